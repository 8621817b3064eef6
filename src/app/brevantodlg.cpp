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
#include <QPushButton>
#include <QShortcut>
#include <memory>

#include "app/aboutdlg.h"
#include "app/appicon.h"
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
      m_VezIni(vezIni),
      m_GuiThread(std::this_thread::get_id()),
      m_Converter(this, vezIni),
      m_hIcon(AppIcon()) {
  setObjectName(QStringLiteral("CBrevantoDlg"));
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

  m_pStatus = new QLabel(QStringLiteral("..."), this);
  m_pStatus->setObjectName(QStringLiteral("status"));
  m_pStatus->setTextFormat(Qt::PlainText);
  m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_pStatus->setWordWrap(false);
  m_pStatus->setGeometry(du.Rect(7, 44, 306, 8));

  setFixedSize(du.X(320), du.Y(59));
  m_pConvert->setFocus();

  connect(m_pConvert, &QPushButton::clicked, this, &CBrevantoDlg::OnConvert);
  connect(m_pExit, &QPushButton::clicked, this, &CBrevantoDlg::reject);
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, &CBrevantoDlg::OnAbout);

  m_StatusTimer.setSingleShot(true);
  connect(&m_StatusTimer, &QTimer::timeout, this, &CBrevantoDlg::FlushStatus);
}

CBrevantoDlg::~CBrevantoDlg() {
  // The worker's last calls post to this object; it must still be whole.
  m_Converter.Join();
}

QStringList CBrevantoDlg::ChooseFiles(QWidget* parent, const QString& dir) {
  if (m_ChooseFiles) return m_ChooseFiles(parent, dir);
  return QFileDialog::getOpenFileNames(parent, QString(), dir, QStringLiteral("All files (*)"));
}

void CBrevantoDlg::OnConvert() {
  if (m_bRunning) return;  // the file list belongs to the worker now
  // Without a data folder the run would put its files under the root folder.
  if (const QString problem = ArchiveProblem(); !problem.isEmpty()) {
    ShowStatus(problem);
    QApplication::beep();
    return;
  }
  const std::string settings = Encoded(m_SettingsFile);
  const QString dir = QFile::decodeName(platform::GetPrivateProfileString("BREVANTO", "DIR", "/", settings).c_str());
  const QStringList files = ChooseFiles(this, dir);
  if (files.isEmpty()) return;

  for (const QString& file : files) {
    const std::string path = Encoded(QDir::cleanPath(QFileInfo(file).absoluteFilePath()));
    platform::WritePrivateProfileString("BREVANTO", "DIR", path.substr(0, path.rfind('/') + 1), settings);
    m_Converter.AddFile(path);
  }

  // Cleared before the worker exists, so that none of its texts can come first.
  ShowStatus(QString());
  if (m_Converter.Start() != 0) {
    ShowStatus(QStringLiteral("Error starting converting procedure"));
    // Otherwise these files would silently join the next run.
    if (!m_Converter.IsRunning()) m_Converter.ClearFiles();
    return;
  }
  m_bRunning = true;
  m_pConvert->setEnabled(false);
  m_pExit->setEnabled(false);
}

void CBrevantoDlg::OnConvertDone() {
  FlushStatus();
  m_bRunning = false;
  m_pConvert->setEnabled(true);
  m_pExit->setEnabled(true);
  // Disabling both buttons left the keyboard without a target.
  if (!focusWidget()) m_pConvert->setFocus();
  emit ConvertFinished();
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

QString CBrevantoDlg::ArchiveProblem() const {
  return QString::fromLocal8Bit(DataFolderProblem(m_VezIni).c_str());
}

QString CBrevantoDlg::StatusText() const { return m_pStatus->text(); }

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
