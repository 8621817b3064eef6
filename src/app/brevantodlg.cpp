#include "app/brevantodlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <algorithm>
#include <memory>

#include "app/aboutdlg.h"
#include "app/appicon.h"
#include "app/coveragewindow.h"
#include "app/dialogunits.h"
#include "platform/ini.h"

namespace {

std::string Encoded(const QString& path) {
  const QByteArray bytes = QFile::encodeName(path);
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace

CBrevantoDlg::CBrevantoDlg(QWidget* parent, const QString& settingsFile, const std::string& vezIni)
    // A top-level window rather than a dialog type, so that window managers
    // list it in the task bar: it is the program's only window.
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_SettingsFile(settingsFile),
      m_GuiThread(std::this_thread::get_id()),
      m_Converter(this, vezIni),
      m_hIcon(AppIcon()) {
  setObjectName(QStringLiteral("CBrevantoDlg"));
  m_Converter.SetQualityAdvice(Encoded(m_SettingsFile) + " [BREVANTO] QUALITY=");
  setWindowTitle(QStringLiteral("Brevanto"));
  setWindowIcon(m_hIcon);

  const CDialogUnits du(font());
  m_pConvert = new QPushButton(QStringLiteral("Convert"), this);
  m_pConvert->setObjectName(QStringLiteral("convert"));
  m_pConvert->setGeometry(du.Rect(260, 7, 50, 14));
  m_pConvert->setDefault(true);

  m_pExit = new QPushButton(QStringLiteral("Exit"), this);
  m_pExit->setObjectName(QStringLiteral("exit"));
  m_pExit->setGeometry(du.Rect(260, 23, 50, 14));

  m_pStop = new QPushButton(QStringLiteral("&Stop"), this);
  m_pStop->setObjectName(QStringLiteral("stop"));
  m_pStop->setEnabled(false);
  m_pStop->setAutoDefault(false);
  m_pStop->setGeometry(du.Rect(203, 7, 50, 14));

  m_pStatus = new QLabel(QStringLiteral("..."), this);
  m_pStatus->setObjectName(QStringLiteral("status"));
  m_pStatus->setTextFormat(Qt::PlainText);
  m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_pStatus->setWordWrap(false);
  m_pStatus->setGeometry(du.Rect(7, 44, 306, 8));

  m_pInput = new QLabel(this);
  m_pInput->setObjectName(QStringLiteral("input"));
  m_pInput->setTextFormat(Qt::PlainText);
  m_pInput->setGeometry(du.Rect(7, 10, 190, 8));

  m_pProgress = new QProgressBar(this);
  m_pProgress->setObjectName(QStringLiteral("progress"));
  m_pProgress->setRange(0, kProgressSteps);
  m_pProgress->setValue(0);
  m_pProgress->setGeometry(du.Rect(7, 25, 132, 10));

  m_pDetailsButton = new QPushButton(QStringLiteral("&Details"), this);
  m_pDetailsButton->setObjectName(QStringLiteral("details"));
  m_pDetailsButton->setCheckable(true);
  m_pDetailsButton->setEnabled(false);
  m_pDetailsButton->setAutoDefault(false);
  m_pDetailsButton->setGeometry(du.Rect(203, 23, 50, 14));

  m_pCoverageButton = new QPushButton(QStringLiteral("C&overage"), this);
  m_pCoverageButton->setObjectName(QStringLiteral("coverage"));
  m_pCoverageButton->setAutoDefault(false);
  m_pCoverageButton->setGeometry(du.Rect(146, 23, 50, 14));

  m_pArchive = new QLabel(this);
  m_pArchive->setObjectName(QStringLiteral("archive"));
  m_pArchive->setTextFormat(Qt::PlainText);
  m_pArchive->setGeometry(du.Rect(7, 55, 306, 8));

  m_pDetails = new QPlainTextEdit(this);
  m_pDetails->setObjectName(QStringLiteral("detailsText"));
  m_pDetails->setReadOnly(true);
  m_pDetails->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  m_pDetails->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  m_pDetails->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_pDetails->setGeometry(du.Rect(7, 67, 306, 160));
  m_pDetails->hide();

  m_CompactHeight = du.Y(67);
  m_DetailsHeight = du.Y(234);
  setFixedSize(du.X(320), m_CompactHeight);
  m_pConvert->setFocus();

  connect(m_pConvert, &QPushButton::clicked, this, &CBrevantoDlg::OnConvert);
  connect(m_pExit, &QPushButton::clicked, this, &CBrevantoDlg::reject);
  connect(m_pStop, &QPushButton::clicked, this, &CBrevantoDlg::OnStop);
  connect(m_pDetailsButton, &QPushButton::toggled, this, &CBrevantoDlg::ShowDetails);
  connect(m_pCoverageButton, &QPushButton::clicked, this, &CBrevantoDlg::OnCoverage);
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, &CBrevantoDlg::OnAbout);

  m_StatusTimer.setSingleShot(true);
  connect(&m_StatusTimer, &QTimer::timeout, this, &CBrevantoDlg::FlushStatus);
  m_ProgressTimer.setInterval(kProgressRefreshMs);
  connect(&m_ProgressTimer, &QTimer::timeout, this, &CBrevantoDlg::ShowProgress);
  ShowArchive();
}

CBrevantoDlg::~CBrevantoDlg() {
  // The worker's last calls post to this object; it must still be whole.
  m_Converter.Join();
}

QStringList CBrevantoDlg::ChooseFiles(QWidget* parent, const QString& dir) {
  if (m_ChooseFiles) return m_ChooseFiles(parent, dir);
  // Everything by default: many volumes carry no extension at all.
  return QFileDialog::getOpenFileNames(
      parent, QString(), dir,
      QStringLiteral("All files (*);;SEED and miniSEED 2 and 3 (*.mseed *.mseed3 *.miniseed *.ms *.ms3 *.msd *.seed)"));
}

void CBrevantoDlg::OnConvert() {
  if (m_bRunning) return;  // the file list belongs to the worker now
  ShowArchive();
  // The folder checked is the one the run would use, read when the program started.
  if (const std::string problem = m_Converter.DataFolderProblem(); !problem.empty()) {
    ShowStatus(QString::fromLocal8Bit(problem.c_str()));
    m_Report.Clear();
    m_Report.Add(problem);
    ShowReport();
    QApplication::beep();
    return;
  }
  const std::string settings = Encoded(m_SettingsFile);
  long commitMs = 0;
  std::string problem;
  if (!ReadCommitInterval(settings, CConvertFromSeed::kDefaultCommitInterval.count(), commitMs, problem)) {
    ShowStatus(QString::fromLocal8Bit(problem.c_str()));
    QApplication::beep();
    return;
  }
  m_Converter.SetCommitInterval(std::chrono::milliseconds(commitMs));
  // Which streams the archive keeps where a station and channel has several.
  convert::CSelection selection;
  selection.SetLocations(platform::GetPrivateProfileString("BREVANTO", "LOCATIONS", "", settings));
  selection.SetNetworks(platform::GetPrivateProfileString("BREVANTO", "NETWORKS", "", settings));
  m_Converter.SetSelection(selection);
  const std::string quality = platform::GetPrivateProfileString("BREVANTO", "QUALITY", "DQ", settings);
  if (quality.empty() || quality.find_first_not_of("DQRM") != std::string::npos) {
    ShowStatus(QString::fromLocal8Bit((settings + ": QUALITY=" + quality +
                                       " in section [BREVANTO] is not one or more of the letters D, Q, R, M")
                                          .c_str()));
    QApplication::beep();
    return;
  }
  m_Converter.SetQuality(quality);
  const std::string home = Encoded(QDir::homePath());
  const QString dir = QFile::decodeName(platform::GetPrivateProfileString("BREVANTO", "DIR", home, settings).c_str());
  const QStringList files = ChooseFiles(this, dir);
  if (files.isEmpty()) return;

  for (const QString& file : files) {
    const std::string path = Encoded(QDir::cleanPath(QFileInfo(file).absoluteFilePath()));
    platform::WritePrivateProfileString("BREVANTO", "DIR", path.substr(0, path.rfind('/') + 1), settings);
    m_Converter.AddFile(path);
  }

  // Cleared before the worker exists, so that none of its texts can come first.
  ShowStatus(QString());
  m_Report.Clear();
  {
    std::lock_guard<std::mutex> lock(m_ProgressMutex);
    m_ProgressState = ProgressState{0, static_cast<size_t>(files.size()), 0, 0, {}};
  }
  ShowProgress();
  m_Diagnostics.emplace([this](const char* text) { m_Report.Add(text); });
  m_Converter.ClearStopRequest();
  if (m_Converter.Start() != 0) {
    m_Diagnostics.reset();
    ShowStatus(QStringLiteral("Error starting converting procedure"));
    // Otherwise these files would silently join the next run.
    if (!m_Converter.IsRunning()) m_Converter.ClearFiles();
    return;
  }
  m_bRunning = true;
  m_pConvert->setEnabled(false);
  m_pExit->setEnabled(false);
  m_pStop->setEnabled(true);
  m_pDetailsButton->setChecked(false);
  m_pDetailsButton->setEnabled(false);
  m_ProgressTimer.start();
}

void CBrevantoDlg::OnConvertDone() {
  FlushStatus();
  m_ProgressTimer.stop();
  ShowProgress();
  m_Diagnostics.reset();
  ShowReport();
  m_bRunning = false;
  m_pStop->setEnabled(false);
  m_pConvert->setEnabled(true);
  m_pExit->setEnabled(true);
  // Disabling both buttons left the keyboard without a target, or passed it to Coverage.
  if (!focusWidget() || focusWidget() == m_pCoverageButton) m_pConvert->setFocus();
  emit ConvertFinished();
}

void CBrevantoDlg::OnStop() {
  if (!m_bRunning) return;
  m_Converter.RequestStop();
  m_pStop->setEnabled(false);
}

void CBrevantoDlg::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CBrevantoDlg::reject() {
  if (m_bRunning) return;  // the converter is part of the dialog and must outlive the worker
  QDialog::reject();
}

void CBrevantoDlg::closeEvent(QCloseEvent* event) {
  if (m_bRunning) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

QMenu* CBrevantoDlg::CreateContextMenu(QWidget* parent) {
  auto* menu = new QMenu(parent);
  menu->setObjectName(QStringLiteral("contextMenu"));
  QAction* close = menu->addAction(QStringLiteral("&Close"), this, &CBrevantoDlg::reject);
  close->setEnabled(!m_bRunning);
  menu->addSeparator();
  menu->addAction(QStringLiteral("&About brevanto..."), this, &CBrevantoDlg::OnAbout);
  return menu;
}

void CBrevantoDlg::contextMenuEvent(QContextMenuEvent* event) {
  std::unique_ptr<QMenu> menu(CreateContextMenu(this));
  menu->exec(event->globalPos());
  event->accept();
}

void CBrevantoDlg::ShowDetails(bool shown) {
  if (m_pDetailsButton->isChecked() != shown) m_pDetailsButton->setChecked(shown);  // toggles back here
  m_pDetails->setVisible(shown);
  setFixedSize(width(), shown ? m_DetailsHeight : m_CompactHeight);
}

// The details of the last run: shown by themselves when something went wrong,
// on request otherwise.
void CBrevantoDlg::ShowReport() {
  m_pDetails->setPlainText(QString::fromLocal8Bit(m_Report.Text(StatusText().toLocal8Bit().toStdString()).c_str()));
  m_pDetailsButton->setEnabled(!m_pDetails->document()->isEmpty());
  if (m_Report.HasProblems()) ShowDetails(true);
}

QString CBrevantoDlg::DetailsText() const { return m_pDetails->toPlainText(); }

void CBrevantoDlg::ShowArchive() {
  const QString folder = QFile::decodeName(m_Converter.m_DataDir.empty() ? "/" : m_Converter.m_DataDir.c_str());
  const QString vezIni = QFile::decodeName(m_Converter.VezIni().c_str());
  const std::string dsn = m_Converter.DataSourceName();
  const QString source = dsn.empty() ? QStringLiteral("none") : QString::fromLocal8Bit(dsn.c_str());
  const bool named = m_Converter.DataFolderNamed();
  m_pArchive->setText(QStringLiteral("Archive: %1, data source %2").arg(named ? folder : QStringLiteral("no data folder"), source));
  m_pArchive->setToolTip(named ? QStringLiteral("Data folder %1, read from %2 at start-up; ODBC data source %3").arg(folder, vezIni, source)
                               : QStringLiteral("%1 names no data folder; ODBC data source %2").arg(vezIni, source));
}

void CBrevantoDlg::ShowProgress() {
  ProgressState p;
  {
    std::lock_guard<std::mutex> lock(m_ProgressMutex);
    p = m_ProgressState;
  }
  const bool allDone = p.fileCount > 0 && p.fileIndex >= p.fileCount;
  int value = 0;
  if (allDone)
    value = kProgressSteps;
  else if (p.bytesTotal > 0)
    value = static_cast<int>(std::min(p.bytesDone, p.bytesTotal) * kProgressSteps / p.bytesTotal);
  m_pProgress->setValue(value);
  if (p.path.empty()) {
    m_pInput->clear();
    m_pInput->setToolTip(QString());
    return;
  }
  const QString path = QFile::decodeName(p.path.c_str());
  const size_t current = std::min(p.fileIndex + 1, p.fileCount);
  m_pInput->setText(QStringLiteral("file %1 of %2: %3").arg(current).arg(p.fileCount).arg(QFileInfo(path).fileName()));
  m_pInput->setToolTip(path);
}

QString CBrevantoDlg::StatusText() const { return m_pStatus->text(); }

void CBrevantoDlg::ReportError(const char* text) { m_Report.Add(text); }

void CBrevantoDlg::Progress(size_t fileIndex, size_t fileCount, uint64_t bytesDone, uint64_t bytesTotal) {
  std::lock_guard<std::mutex> lock(m_ProgressMutex);
  m_ProgressState.fileIndex = fileIndex;
  m_ProgressState.fileCount = fileCount;
  m_ProgressState.bytesDone = bytesDone;
  m_ProgressState.bytesTotal = bytesTotal;
}

void CBrevantoDlg::InputStarted(size_t fileIndex, size_t fileCount, const std::string& path) {
  std::lock_guard<std::mutex> lock(m_ProgressMutex);
  m_ProgressState.fileIndex = fileIndex;
  m_ProgressState.fileCount = fileCount;
  m_ProgressState.path = path;
}

void CBrevantoDlg::OnCoverage() {
  if (!m_pCoverage)
    m_pCoverage = new CCoverageWindow(
        this, QStringLiteral("data source VEZ, ") + QFile::decodeName(m_Converter.m_DataDir.c_str()),
        CCoverageWindow::FromDatabase(m_Converter.ConnectString()));
  // The stations of a run are known once it has locked them, and kept after it.
  if (!m_bRunning) m_pCoverage->SetLastRunStations(m_Converter.Stats().stations);
  m_pCoverage->Reload();
  m_pCoverage->show();
  m_pCoverage->raise();
  m_pCoverage->activateWindow();
}

void CBrevantoDlg::RunEnded(const RunStats& stats, size_t inputCount) { m_Report.SetEnd(stats, inputCount); }

void CBrevantoDlg::SetStatusText(const char* text) {
  if (std::this_thread::get_id() == m_GuiThread) {
    ShowStatus(QString::fromLocal8Bit(text));
    return;
  }
  // The worker sets a text per record, far more often than a screen can
  // show; it leaves the newest here and the GUI thread picks it up.
  bool schedule;
  {
    std::lock_guard<std::mutex> lock(m_StatusMutex);
    m_PendingStatus.assign(text);
    m_bStatusPending = true;
    schedule = !m_bFlushScheduled;
    m_bFlushScheduled = true;
  }
  if (schedule) QMetaObject::invokeMethod(this, &CBrevantoDlg::ScheduleStatusFlush, Qt::QueuedConnection);
}

void CBrevantoDlg::Beep() {
  QMetaObject::invokeMethod(this, [] { QApplication::beep(); }, Qt::QueuedConnection);
}

void CBrevantoDlg::ConvertDone() {
  QMetaObject::invokeMethod(this, &CBrevantoDlg::OnConvertDone, Qt::QueuedConnection);
}

void CBrevantoDlg::ShowStatus(const QString& text) {
  {
    // A worker text still waiting is older than this one.
    std::lock_guard<std::mutex> lock(m_StatusMutex);
    m_bStatusPending = false;
  }
  m_pStatus->setText(text);
  emit StatusShown(text);
}

void CBrevantoDlg::ScheduleStatusFlush() {
  const qint64 since = m_SinceFlush.isValid() ? m_SinceFlush.elapsed() : kStatusRefreshMs;
  if (since >= kStatusRefreshMs)
    FlushStatus();
  else if (!m_StatusTimer.isActive())
    m_StatusTimer.start(static_cast<int>(kStatusRefreshMs - since));
}

void CBrevantoDlg::FlushStatus() {
  m_StatusTimer.stop();
  QString text;
  bool pending;
  {
    std::lock_guard<std::mutex> lock(m_StatusMutex);
    pending = m_bStatusPending;
    if (pending) text = QString::fromLocal8Bit(m_PendingStatus.data(), static_cast<qsizetype>(m_PendingStatus.size()));
    m_bStatusPending = false;
    m_bFlushScheduled = false;
  }
  m_SinceFlush.restart();
  if (pending) {
    m_pStatus->setText(text);
    emit StatusShown(text);
  }
}
