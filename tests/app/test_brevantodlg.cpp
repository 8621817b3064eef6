// The main dialog and the About box, on the offscreen platform.
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/aboutdlg.h"
#include "app/brevantoapp.h"
#include "app/brevantodlg.h"
#include "convert/stationlocks.h"
#include "app/coveragewindow.h"
#include "archive/coveragesvg.h"
#include <QComboBox>
#include "platform/ini.h"
#include "support/testsupport.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kMissingSource = "DSN=brevanto-test-no-such-source;";

// The dialog with a host that can hold the worker at its first status text,
// so that a test can act while a run is certainly in progress.
class CHeldDlg : public CBrevantoDlg {
 public:
  using CBrevantoDlg::CBrevantoDlg;
  ~CHeldDlg() override { Release(); }

  void HoldFirstText() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bHold = true;
  }
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Cv.wait_for(lock, std::chrono::seconds(30), [this] { return m_bHeld; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bHold = false;
    m_Cv.notify_all();
  }

  void SetStatusText(const char* text) override {
    {
      std::unique_lock<std::mutex> lock(m_Mutex);
      if (m_bHold) {
        m_bHeld = true;
        m_Cv.notify_all();
        m_Cv.wait(lock, [this] { return !m_bHold; });
      }
    }
    CBrevantoDlg::SetStatusText(text);
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cv;
  bool m_bHold = false;
  bool m_bHeld = false;
};

// Records what the dialog asks of the file dialog and answers with a fixed selection.
struct FakeChooser {
  QStringList answer;
  QStringList dirsAsked;
  std::vector<QWidget*> parents;

  CBrevantoDlg::FileChooser Bind() {
    return [this](QWidget* parent, const QString& dir) {
      dirsAsked << dir;
      parents.push_back(parent);
      return answer;
    };
  }
};

void Touch(const std::string& path) { std::ofstream(path) << "not SEED\n"; }

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Finds the About box among the top-level widgets and closes it with OK.
struct AboutSeen {
  int count = 0;
  QString title, version, notice;
  bool iconShown = false, okIsDefault = false, windowIconSet = false;
};

std::shared_ptr<AboutSeen> CloseAboutWhenShown(QObject* owner) {
  auto seen = std::make_shared<AboutSeen>();
  auto* timer = new QTimer(owner);
  QObject::connect(timer, &QTimer::timeout, owner, [seen] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* about = qobject_cast<CAboutDlg*>(w);
      if (!about || !about->isVisible()) continue;
      ++seen->count;
      seen->title = about->windowTitle();
      seen->version = about->VersionLabel()->text();
      seen->notice = about->NoticeLabel()->text();
      seen->iconShown = !about->IconLabel()->pixmap().isNull();
      seen->okIsDefault = about->OkButton()->isDefault();
      seen->windowIconSet = !about->windowIcon().isNull();
      QTest::mouseClick(about->OkButton(), Qt::LeftButton);
    }
  });
  timer->start(20);
  return seen;
}

// An archive made by scripts/make-archive, named by ODBCINI while alive;
// problem says why there is none.
struct SqliteArchive {
  explicit SqliteArchive(const fs::path& root) : previousOdbcIni(qgetenv("ODBCINI")) {
    const fs::path script = fs::path(BREVANTO_SOURCE_DIR) / "scripts" / "make-archive";
    QProcess make;
    make.start(QStringLiteral("bash"), {QString::fromStdString(script.string()), QString::fromStdString(root.string())});
    if (!make.waitForFinished(120000) || make.exitStatus() != QProcess::NormalExit || make.exitCode() != 0) {
      problem = QStringLiteral("make-archive failed: ") + QString::fromLocal8Bit(make.readAllStandardError());
      return;
    }
    qputenv("ODBCINI", QFile::encodeName(QString::fromStdString((root / "odbc.ini").string())));
  }
  ~SqliteArchive() {
    if (previousOdbcIni.isNull())
      qunsetenv("ODBCINI");
    else
      qputenv("ODBCINI", previousOdbcIni);
  }
  QByteArray previousOdbcIni;
  QString problem;
};

// Every entry below root, relative, folders with a trailing slash.
// What a folder holds, without the station locks of runs.
std::set<std::string> Tree(const fs::path& root) {
  std::set<std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename() == ".brevanto-lock") {
      it.disable_recursion_pending();
      continue;
    }
    entries.insert(fs::relative(it->path(), root).string() + (it->is_directory() ? "/" : ""));
  }
  return entries;
}

std::set<std::string> RootFolder() {
  std::set<std::string> entries;
  for (const auto& e : fs::directory_iterator("/")) entries.insert(e.path().string());
  return entries;
}

// Two weeks of hourly files of a small network: ST01 BHZ misses 6 hours on
// day 3, ST02 stops on day 10, ST03 HHZ has a day read twice.
archive::Coverage TwoWeeks() {
  constexpr double kStart = 1710460800;  // 2024-03-15
  archive::CCoverageBuilder b;
  const char* stations[] = {"ST01", "ST02", "ST03"};
  for (const char* sta : stations)
    for (const char* ch : {"BHE", "BHN", "BHZ"})
      for (int h = 0; h < 14 * 24; ++h) {
        const std::string s = sta, c = ch;
        if (s == "ST01" && c == "BHZ" && h >= 3 * 24 + 6 && h < 3 * 24 + 12) continue;
        if (s == "ST02" && h >= 10 * 24) continue;
        b.Add(s, c, 100, kStart + h * 3600.0, 3600);
      }
  for (int h = 0; h < 14 * 24; ++h) b.Add("ST03", "HHZ", 200, kStart + h * 3600.0, 3600);
  for (int h = 5 * 24; h < 6 * 24; ++h) b.Add("ST03", "HHZ", 200, kStart + h * 3600.0 + 1800, 3600);
  return b.Finish();
}

}  // namespace

class TestBrevantoDlg : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<testsupport::TempDir> m_Tmp;
  QString m_Settings;
  std::string m_VezIni;

  std::unique_ptr<CHeldDlg> MakeDialog(FakeChooser& chooser) {
    auto dlg = std::make_unique<CHeldDlg>(nullptr, m_Settings, m_VezIni);
    dlg->Converter().SetConnectString(kMissingSource);
    dlg->SetFileChooser(chooser.Bind());
    return dlg;
  }
  static bool ShowActive(QWidget& w) {
    w.show();
    w.activateWindow();
    return QTest::qWaitForWindowActive(&w);
  }
  // Waits for the next end-of-run notice and consumes it.
  static bool WaitFinished(CBrevantoDlg& dlg, QSignalSpy& finished, int ms = 30000) {
    if (!QTest::qWaitFor([&] { return finished.count() > 0; }, ms)) return false;
    finished.removeFirst();
    return !dlg.IsRunning();
  }

 private slots:
  void init() {
    m_Tmp = std::make_unique<testsupport::TempDir>();
    m_Settings = QString::fromStdString(*m_Tmp / "brevanto.ini");
    m_VezIni = *m_Tmp / "VEZ.ini";
    fs::create_directories(*m_Tmp / "data");
    platform::WritePrivateProfileString("DATA", "DIR", *m_Tmp / "data", m_VezIni);
  }
  void cleanup() { m_Tmp.reset(); }

  // The gap of ST01 BHZ lies where the window's own axis puts it; hovering
  // it tells its length, hovering a bar its span and files.
  void coverageWindowShowsTheGapWhereItIs() {
    std::vector<std::vector<std::string>> asked;
    CCoverageWindow window(nullptr, QStringLiteral("data source VEZ, /srv/vez/data"),
                           [&](const std::vector<std::string>& stations) {
                             asked.push_back(stations);
                             return TwoWeeks();
                           });
    window.SetLastRunStations({"ST01", "ST03"});
    QCOMPARE(window.Scope()->count(), 2);
    window.Reload();
    QCOMPARE(asked.back(), (std::vector<std::string>{"ST01", "ST03"}));
    window.Scope()->setCurrentIndex(0);
    window.Reload();
    QVERIFY(asked.back().empty());
    QVERIFY(ShowActive(window));

    CCoverageView& view = *window.View();
    const archive::Coverage& cov = view.Coverage();
    QCOMPARE(cov.channels.size(), size_t{10});
    QCOMPARE(cov.channels[2].station + cov.channels[2].channel, std::string("ST01BHZ"));
    const double from = cov.window.from, to = cov.window.to;
    const double left = CCoverageView::kLabelWidth, width = view.width() - left - CCoverageView::kRightMargin;
    const auto x = [&](double t) { return left + (t - from) / (to - from) * width; };
    const double gapBegin = from + (3 * 24 + 6) * 3600.0, gapEnd = gapBegin + 6 * 3600;
    const int y = view.RowTop(2) + CCoverageView::kRowHeight / 2;
    QVERIFY(x(gapEnd) - x(gapBegin) > 8);  // wide enough to point into

    const auto gap = view.HitAt(QPoint(static_cast<int>((x(gapBegin) + x(gapEnd)) / 2), y));
    QCOMPARE(gap.kind, CCoverageView::Hit::kGap);
    QCOMPARE(gap.begin, gapBegin);
    QCOMPARE(gap.end, gapEnd);
    QVERIFY(view.ToolTipAt(QPoint(static_cast<int>((x(gapBegin) + x(gapEnd)) / 2), y))
                .contains(QStringLiteral("ST01 BHZ: gap of 06:00:00")));
    for (double edge : {x(gapBegin) - 2, x(gapEnd) + 2}) {
      const auto bar = view.HitAt(QPoint(static_cast<int>(edge), y));
      QCOMPARE(bar.kind, CCoverageView::Hit::kSpan);
      QCOMPARE(bar.files, edge < x(gapBegin) ? uint64_t{78} : uint64_t{252});
    }
    // The row above has no gap there.
    QCOMPARE(view.HitAt(QPoint(static_cast<int>(x(gapBegin) + 4), y - CCoverageView::kRowHeight)).kind,
             CCoverageView::Hit::kSpan);
    // ST03 HHZ: the day read twice is an overlap.
    const auto overlap = view.HitAt(QPoint(static_cast<int>(x(from + 5.5 * 86400)), view.RowTop(9) + 9));
    QCOMPARE(overlap.kind, CCoverageView::Hit::kOverlap);

    // Saved as SVG and PNG.
    QString problem;
    const QString svg = QString::fromStdString(*m_Tmp / "coverage.svg"), png = QString::fromStdString(*m_Tmp / "coverage.png");
    QVERIFY2(window.SaveSvg(svg, problem), qPrintable(problem));
    QVERIFY2(window.SavePng(png, problem), qPrintable(problem));
    QFile saved(svg);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QVERIFY(saved.readAll().contains("<svg xmlns=\"http://www.w3.org/2000/svg\""));
    QImage image(png);
    QCOMPARE(image.width(), view.width());
    // The gap is white-grey row background, the bar beside it the span colour.
    QCOMPARE(image.pixelColor(static_cast<int>((x(gapBegin) + x(gapEnd)) / 2), y), QColor(archive::kRowColour));
    QCOMPARE(image.pixelColor(static_cast<int>(x(gapBegin) - 3), y), QColor(archive::kSpanColour));

    if (const QByteArray shot = qgetenv("BREVANTO_COVERAGE_SCREENSHOT"); !shot.isEmpty())
      QVERIFY(window.grab().save(QFile::decodeName(shot)));
  }

  // The dialog's Coverage button opens the window; a data source that is
  // not there is said in it.
  void coverageButtonOpensTheWindow() {
    FakeChooser chooser;
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));
    QCOMPARE(dlg->CoverageButton()->text(), QStringLiteral("C&overage"));
    QTest::mouseClick(dlg->CoverageButton(), Qt::LeftButton);
    QVERIFY(dlg->CoverageWindow() != nullptr);
    QVERIFY(dlg->CoverageWindow()->isVisible());
    QVERIFY(dlg->CoverageWindow()->Message()->text().startsWith(QStringLiteral("Cannot read FILELIST")));
    QCOMPARE(dlg->CoverageWindow()->Scope()->count(), 1);  // no run yet
  }

  void idleStateAndLayout() {
    FakeChooser chooser;
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));

    QCOMPARE(dlg->windowTitle(), QStringLiteral("Brevanto"));
    QCOMPARE(dlg->StatusText(), QStringLiteral("..."));
    QCOMPARE(dlg->ConvertButton()->text(), QStringLiteral("Convert"));
    QCOMPARE(dlg->ExitButton()->text(), QStringLiteral("Exit"));
    QVERIFY(dlg->ConvertButton()->isDefault());
    QVERIFY(!dlg->ExitButton()->isDefault());
    QVERIFY(dlg->ConvertButton()->isEnabled() && dlg->ExitButton()->isEnabled());
    QCOMPARE(QApplication::focusWidget(), dlg->ConvertButton());
    QVERIFY(!dlg->windowIcon().isNull());
    QVERIFY(!(dlg->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(dlg->minimumSize(), dlg->maximumSize());

    // Buttons stacked at the right, the status line across the bottom under both.
    const QRect convert = dlg->ConvertButton()->geometry(), exit = dlg->ExitButton()->geometry();
    const QRect status = dlg->StatusLabel()->geometry();
    QVERIFY(convert.bottom() < exit.top());
    QVERIFY(convert.left() > dlg->width() * 3 / 4);
    QVERIFY(status.top() > exit.bottom());
    QVERIFY(status.width() > dlg->width() * 9 / 10);
    QVERIFY(dlg->StatusLabel()->alignment() & Qt::AlignLeft);

    // A status text wider than the dialog stays one clipped line.
    const QSize before = dlg->size();
    const int lineHeight = dlg->StatusLabel()->height();
    const std::string wide = "STA::BHZ Time=1293840000.000000 " + std::string(400, 'x') + " & <b>bold</b>";
    dlg->SetStatusText(wide.c_str());
    QTest::qWait(20);
    QCOMPARE(dlg->size(), before);
    QCOMPARE(dlg->StatusLabel()->height(), lineHeight);
    QCOMPARE(dlg->StatusText(), QString::fromStdString(wide));
  }

  void enterStartsConvertAndKeepsDialogOpen() {
    FakeChooser chooser;
    const std::string input = *m_Tmp / "input.mseed";
    Touch(input);
    chooser.answer = {QString::fromStdString(input)};
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));
    QSignalSpy finished(dlg.get(), &CBrevantoDlg::ConvertFinished);

    QTest::keyClick(dlg->windowHandle(), Qt::Key_Return);
    QCOMPARE(chooser.dirsAsked.size(), 1);
    QCOMPARE(chooser.parents.front(), dlg.get());
    QVERIFY(dlg->isVisible());

    QVERIFY(WaitFinished(*dlg, finished));
    QVERIFY(dlg->isVisible());
    QCOMPARE(dlg->result(), 0);
    QVERIFY(dlg->ConvertButton()->isEnabled() && dlg->ExitButton()->isEnabled());
    // The run's own text stays after the end-of-run notice when the data source is missing.
    QCOMPARE(dlg->StatusText(), QStringLiteral("VEZ Database open error"));
    // The driver's message and what to do about it, in the details, which open by themselves.
    QVERIFY(dlg->Details()->isVisible());
    const QStringList details = dlg->DetailsText().split(QLatin1Char('\n'));
    QVERIFY2(details.value(0).startsWith("VEZ Database open error: cannot connect with \"DSN=brevanto-test-no-such-source;\": [IM002] "),
             qPrintable(dlg->DetailsText()));
    QVERIFY2(details.value(1).startsWith("Data source brevanto-test-no-such-source not found: it is looked up in "),
             qPrintable(dlg->DetailsText()));
    QVERIFY(dlg->DetailsText().contains("\nresult: VEZ Database open error\n"));
    QVERIFY(fs::is_empty(*m_Tmp / "data"));

    // Enter works again for the next run.
    QTest::keyClick(dlg->windowHandle(), Qt::Key_Return);
    QCOMPARE(chooser.dirsAsked.size(), 2);
    QVERIFY(WaitFinished(*dlg, finished));
    QTest::qWait(50);
    QCOMPARE(finished.count(), 0);
  }

  void closingRefusedWhileRunning() {
    FakeChooser chooser;
    const std::string input = *m_Tmp / "input.mseed";
    Touch(input);
    chooser.answer = {QString::fromStdString(input)};
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));
    QSignalSpy finished(dlg.get(), &CBrevantoDlg::ConvertFinished);
    dlg->HoldFirstText();

    QTest::mouseClick(dlg->ConvertButton(), Qt::LeftButton);
    QVERIFY(dlg->WaitUntilHeld());
    QVERIFY(dlg->IsRunning());
    QVERIFY(!dlg->ConvertButton()->isEnabled());
    QVERIFY(!dlg->ExitButton()->isEnabled());
    QCOMPARE(dlg->StatusText(), QString());

    QTest::keyClick(dlg->windowHandle(), Qt::Key_Escape);
    QVERIFY(!dlg->close());
    QTest::mouseClick(dlg->ExitButton(), Qt::LeftButton);
    dlg->reject();
    QTest::keyClick(dlg->windowHandle(), Qt::Key_Return);
    dlg->OnConvert();
    QTest::qWait(50);
    QVERIFY(dlg->isVisible());
    QCOMPARE(chooser.dirsAsked.size(), 1);
    QCOMPARE(finished.count(), 0);
    QVERIFY(dlg->IsRunning());

    dlg->Release();
    QVERIFY(WaitFinished(*dlg, finished));
    QCOMPARE(dlg->StatusText(), QStringLiteral("VEZ Database open error"));
    QVERIFY(dlg->ConvertButton()->isEnabled() && dlg->ExitButton()->isEnabled());
    QCOMPARE(QApplication::focusWidget(), dlg->ConvertButton());

    // Idle again: Escape closes.
    QTest::keyClick(dlg->windowHandle(), Qt::Key_Escape);
    QVERIFY(!dlg->isVisible());
    QCOMPARE(dlg->result(), int(QDialog::Rejected));

    auto again = MakeDialog(chooser);
    QVERIFY(ShowActive(*again));
    QVERIFY(again->close());
    auto byExit = MakeDialog(chooser);
    QVERIFY(ShowActive(*byExit));
    QTest::mouseClick(byExit->ExitButton(), Qt::LeftButton);
    QVERIFY(!byExit->isVisible());
  }

  void cancelChangesNothing() {
    FakeChooser chooser;  // answers with no files: the operator cancelled
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));
    QSignalSpy shown(dlg.get(), &CBrevantoDlg::StatusShown);

    QTest::mouseClick(dlg->ConvertButton(), Qt::LeftButton);
    // Nothing remembered yet: the user's home folder.
    QCOMPARE(chooser.dirsAsked, QStringList{QDir::homePath()});
    QVERIFY(!QFile::exists(m_Settings));
    QCOMPARE(shown.count(), 0);
    QCOMPARE(dlg->StatusText(), QStringLiteral("..."));
    QVERIFY(!dlg->IsRunning() && !dlg->Converter().IsRunning());
    QVERIFY(dlg->Converter().m_FileList.empty());
    QVERIFY(dlg->ConvertButton()->isEnabled() && dlg->ExitButton()->isEnabled());

    // An existing settings file is left exactly as it was.
    const std::string before = "[BREVANTO]\r\nDIR = /somewhere/else/\r\n[OTHER]\r\nKEY=1\r\n";
    std::ofstream(m_Settings.toStdString(), std::ios::binary) << before;
    QTest::mouseClick(dlg->ConvertButton(), Qt::LeftButton);
    QCOMPARE(chooser.dirsAsked.back(), QStringLiteral("/somewhere/else/"));
    QCOMPARE(ReadText(m_Settings.toStdString()), before);
    QCOMPARE(shown.count(), 0);
  }

  void archiveWithoutDataFolderRefused() {
    struct Case {
      const char* name;
      std::string vezIniText;
      QString expected;
    };
    const std::string missing = *m_Tmp / "no-such-folder";
    const std::vector<Case> cases = {
        {"no VEZ.ini", "", QStringLiteral("VEZ.ini not found: ")},
        {"no DIR key", "[DATA]\nOTHER=1\n", QStringLiteral("No VEZ data folder set in ")},
        {"missing folder", "[DATA]\nDIR=" + missing + "\n", QStringLiteral("VEZ data folder not found: ")},
        // An empty DIR or one that leads to / would put the archive into the root folder.
        {"empty DIR", "[DATA]\nDIR=\n", QStringLiteral("No VEZ data folder set in ")},
        {"DIR of the root folder", "[DATA]\nDIR=/\n", QStringLiteral("No VEZ data folder set in ")},
    };
    for (const Case& c : cases) {
      const std::string vezIni = *m_Tmp / "case-VEZ.ini";
      fs::remove(vezIni);
      if (!c.vezIniText.empty()) std::ofstream(vezIni) << c.vezIniText;
      FakeChooser chooser;
      chooser.answer = {QString::fromStdString(*m_Tmp / "VEZ.ini")};
      CHeldDlg dlg(nullptr, m_Settings, vezIni);
      dlg.SetFileChooser(chooser.Bind());
      dlg.OnConvert();
      QVERIFY2(dlg.StatusText().startsWith(c.expected), c.name);
      QVERIFY2(!dlg.Details()->isHidden() && dlg.DetailsText() == dlg.StatusText() + QLatin1Char('\n'), c.name);
      QVERIFY2(chooser.dirsAsked.isEmpty(), c.name);
      QVERIFY2(!dlg.IsRunning() && !dlg.Converter().IsRunning(), c.name);
      QVERIFY2(dlg.ConvertButton()->isEnabled() && dlg.ExitButton()->isEnabled(), c.name);
      QVERIFY2(!QFile::exists(m_Settings), c.name);
    }
  }

  void settingsRememberFolderOfEachFile() {
    fs::create_directories(*m_Tmp / "a");
    fs::create_directories(*m_Tmp / "b c");
    const std::string first = *m_Tmp / "a/one.mseed", second = *m_Tmp / "b c/two.mseed";
    Touch(first);
    Touch(second);
    std::ofstream(m_Settings.toStdString()) << "[OTHER]\nKEY=kept\n";

    FakeChooser chooser;
    // A relative name as some file dialogs hand back, and a path with "..".
    const QString relative = QDir::current().relativeFilePath(QString::fromStdString(first));
    chooser.answer = {relative, QString::fromStdString(*m_Tmp / "a/../b c/two.mseed")};
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));
    QSignalSpy finished(dlg.get(), &CBrevantoDlg::ConvertFinished);
    dlg->HoldFirstText();

    QTest::mouseClick(dlg->ConvertButton(), Qt::LeftButton);
    QVERIFY(dlg->WaitUntilHeld());
    // Nothing remembered yet: the user's home folder.
    QCOMPARE(chooser.dirsAsked, QStringList{QDir::homePath()});
    // The worker is held before it empties its list, so the list can be read.
    const std::vector<std::string> files(dlg->Converter().m_FileList.begin(), dlg->Converter().m_FileList.end());
    QCOMPARE(files, (std::vector<std::string>{first, second}));
    const std::string settings = m_Settings.toStdString();
    QCOMPARE(platform::GetPrivateProfileString("BREVANTO", "DIR", "", settings), *m_Tmp / "b c/");
    QCOMPARE(platform::GetPrivateProfileString("OTHER", "KEY", "", settings), std::string("kept"));
    dlg->Release();
    QVERIFY(WaitFinished(*dlg, finished));

    chooser.answer.clear();
    QTest::mouseClick(dlg->ConvertButton(), Qt::LeftButton);
    QCOMPARE(chooser.dirsAsked.back(), QString::fromStdString(*m_Tmp / "b c/"));

    // A new dialog, as at the next start of the program, opens there too.
    auto next = MakeDialog(chooser);
    next->OnConvert();
    QCOMPARE(chooser.dirsAsked.back(), QString::fromStdString(*m_Tmp / "b c/"));
  }

  void defaultSettingsFileFollowsWorkingFolder() {
    const QString previous = QDir::currentPath();
    const std::string input = *m_Tmp / "input.mseed";
    Touch(input);
    fs::create_directories(*m_Tmp / "cwd");
    QVERIFY(QDir::setCurrent(QString::fromStdString(*m_Tmp / "cwd")));
    FakeChooser chooser;
    chooser.answer = {QString::fromStdString(input)};
    {
      CHeldDlg dlg(nullptr, QString::fromLatin1(CBrevantoDlg::kDefaultSettingsFile), m_VezIni);
      dlg.Converter().SetConnectString(kMissingSource);
      dlg.SetFileChooser(chooser.Bind());
      QSignalSpy finished(&dlg, &CBrevantoDlg::ConvertFinished);
      dlg.OnConvert();
      QVERIFY(WaitFinished(dlg, finished));
    }
    QDir::setCurrent(previous);
    QCOMPARE(platform::GetPrivateProfileString("BREVANTO", "DIR", "", *m_Tmp / "cwd/brevanto.ini"),
             m_Tmp->Path().string() + "/");
  }

  void workerTextsShownInOrderAndLastStands() {
    FakeChooser chooser;
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));
    QSignalSpy finished(dlg.get(), &CBrevantoDlg::ConvertFinished);
    std::vector<long> shown;
    bool nonNumeric = false;
    connect(dlg.get(), &CBrevantoDlg::StatusShown, this, [&](const QString& text) {
      bool ok = false;
      shown.push_back(text.toLong(&ok));
      nonNumeric |= !ok;
    });

    constexpr long kTexts = 200000;
    std::atomic<bool> anyShown{false}, gaveUp{false};
    connect(dlg.get(), &CBrevantoDlg::StatusShown, this, [&] { anyShown = true; });
    std::thread worker([&] {
      for (long i = 1; i <= kTexts; ++i) {
        dlg->SetStatusText(std::to_string(i).c_str());
        // Halfway, until the GUI thread has shown something: texts must appear
        // while a run goes on, not only at its end.
        if (i == kTexts / 2) {
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
          while (!anyShown && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          gaveUp = !anyShown;
        }
      }
      dlg->ConvertDone();
    });
    const bool done = WaitFinished(*dlg, finished);
    worker.join();
    QVERIFY(done);
    QVERIFY(!nonNumeric);
    QVERIFY(!shown.empty());
    for (size_t i = 1; i < shown.size(); ++i) QVERIFY2(shown[i - 1] < shown[i], "status texts reordered");
    QCOMPARE(shown.back(), kTexts);
    QCOMPARE(dlg->StatusText(), QString::number(kTexts));
    QVERIFY(!gaveUp);
    QVERIFY(shown.front() < kTexts);
  }

  void olderWorkerTextNeverFollowsConvertsClear() {
    FakeChooser chooser;
    const std::string input = *m_Tmp / "input.mseed";
    Touch(input);
    chooser.answer = {QString::fromStdString(input)};
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));
    QSignalSpy finished(dlg.get(), &CBrevantoDlg::ConvertFinished);
    QStringList shown;
    connect(dlg.get(), &CBrevantoDlg::StatusShown, this, [&](const QString& text) { shown << text; });

    // A text from another thread that the GUI thread has not displayed yet.
    std::thread([&] { dlg->SetStatusText("stale text"); }).join();
    dlg->HoldFirstText();
    dlg->OnConvert();
    QVERIFY(dlg->WaitUntilHeld());
    QTest::qWait(3 * CBrevantoDlg::kStatusRefreshMs);
    QCOMPARE(dlg->StatusText(), QString());
    dlg->Release();
    QVERIFY(WaitFinished(*dlg, finished));
    QVERIFY(!shown.contains(QStringLiteral("stale text")));
    QCOMPARE(shown.first(), QString());
    QCOMPARE(dlg->StatusText(), QStringLiteral("VEZ Database open error"));
  }

  void realConversionIntoSqliteArchive() {
    const fs::path seedDir = testsupport::SeedDataDir();
    if (seedDir.empty() || !fs::exists(seedDir / "gaps.mseed")) QSKIP("SEED test data not found");
    const fs::path archive = m_Tmp->Path() / "archive";
    SqliteArchive made(archive);
    if (!made.problem.isEmpty()) QSKIP(qPrintable(made.problem));

    FakeChooser chooser;
    chooser.answer = {QString::fromStdString((seedDir / "gaps.mseed").string())};
    CHeldDlg dlg(nullptr, m_Settings, (archive / "VEZ.ini").string());
    dlg.SetFileChooser(chooser.Bind());
    QVERIFY(ShowActive(dlg));
    QSignalSpy finished(&dlg, &CBrevantoDlg::ConvertFinished);
    QTest::mouseClick(dlg.ConvertButton(), Qt::LeftButton);
    QVERIFY(dlg.IsRunning());
    QVERIFY(WaitFinished(dlg, finished, 120000));

    QCOMPARE(dlg.StatusText(), QStringLiteral("Data successfully converted"));
    // Nothing went wrong: the details stay closed, and open on request with the summary.
    QVERIFY(!dlg.Details()->isVisible());
    QVERIFY(dlg.DetailsButton()->isEnabled());
    QTest::mouseClick(dlg.DetailsButton(), Qt::LeftButton);
    QVERIFY(dlg.Details()->isVisible());
    QVERIFY(dlg.height() > dlg.StatusLabel()->geometry().bottom() + dlg.Details()->height());
    QVERIFY2(dlg.DetailsText().startsWith(QStringLiteral(
                 "1 input file: 1 read, 0 failed\n"
                 "  records converted 128; skipped: 0 not data or quality not accepted, 0 empty code, 0 unsafe code\n"
                 "  samples 52728; data files created 4, extended 5; FILELIST registrations 9, rows of this run's files 4\n"
                 "  segments not stored 0 (0 samples)\n"
                 "result: Data successfully converted\n")),
             qPrintable(dlg.DetailsText()));
    QCOMPARE(dlg.ProgressBar()->value(), dlg.ProgressBar()->maximum());
    QCOMPARE(dlg.InputLabel()->text(), QStringLiteral("file 1 of 1: gaps.mseed"));
    const fs::path dataDir = platform::GetPrivateProfileString("DATA", "DIR", "", (archive / "VEZ.ini").string());
    QVERIFY(fs::is_directory(dataDir));
    int files = 0;
    for (const std::string& entry : Tree(dataDir)) {
      if (entry.back() == '/') continue;
      ++files;
      QCOMPARE(ReadText((dataDir / entry).string()).substr(0, 8), std::string("[VEZ4.0]"));
    }
    QVERIFY(files > 0);

    if (!QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty()) {
      QProcess count;
      count.start(QStringLiteral("sqlite3"), {QString::fromStdString((archive / "vez.db").string()),
                                              QStringLiteral("SELECT COUNT(*) FROM FILELIST")});
      QVERIFY(count.waitForFinished(30000));
      QCOMPARE(count.readAllStandardOutput().trimmed().toInt(), files);
    }
  }

  // The run an operator must be able to read from the window alone: a folder,
  // a file of R records, a file cut short, one whose data cannot be stored
  // and a name that does not exist.
  void runWithProblemsShowsEachInputAndTheSummary() {
    const fs::path seedDir = testsupport::SeedDataDir();
    if (seedDir.empty() || !fs::exists(seedDir / "gaps.mseed")) QSKIP("SEED test data not found");
    const fs::path archive = m_Tmp->Path() / "archive";
    SqliteArchive made(archive);
    if (!made.problem.isEmpty()) QSKIP(qPrintable(made.problem));
    const fs::path data = archive / "data";

    const std::string missing = *m_Tmp / "typed-name.mseed", folder = *m_Tmp / "a-folder";
    const std::string allR = *m_Tmp / "raw.mseed", cut = *m_Tmp / "interrupted-copy.mseed";
    const std::string monn = (seedDir / "1T_MONN_00_EDH.mseed").string();
    fs::create_directory(folder);
    auto bytes = testsupport::ReadFileBytes((seedDir / "gaps.mseed").string());
    auto raw = bytes;
    for (size_t r = 0; r * 512 < raw.size(); ++r) raw[r * 512 + 6] = 'R';
    testsupport::WriteFileBytes(allR, raw);
    bytes.resize(bytes.size() - 512 + 100);
    testsupport::WriteFileBytes(cut, bytes);
    std::ofstream((data / "MONN").string()) << "in the way\n";

    FakeChooser chooser;
    for (const std::string& f : {folder, allR, cut, monn, missing}) chooser.answer << QString::fromStdString(f);
    CHeldDlg dlg(nullptr, m_Settings, (archive / "VEZ.ini").string());
    dlg.SetFileChooser(chooser.Bind());
    QVERIFY(ShowActive(dlg));
    QCOMPARE(dlg.ArchiveLabel()->text(), QStringLiteral("Archive: %1, data source VEZ").arg(QString::fromStdString(data.string())));
    QSignalSpy finished(&dlg, &CBrevantoDlg::ConvertFinished);
    // Held at the first record's text: the window names the input while the run goes.
    dlg.HoldFirstText();
    QTest::mouseClick(dlg.ConvertButton(), Qt::LeftButton);
    QVERIFY(dlg.WaitUntilHeld());
    QTRY_COMPARE(dlg.InputLabel()->text(), QStringLiteral("file 3 of 5: interrupted-copy.mseed"));
    QVERIFY(dlg.Details()->isHidden() && !dlg.DetailsButton()->isEnabled());
    dlg.Release();
    QVERIFY(WaitFinished(dlg, finished, 120000));

    QCOMPARE(dlg.StatusText(), QStringLiteral("Data converted with errors"));
    QVERIFY(dlg.Details()->isVisible());
    QCOMPARE(dlg.ProgressBar()->value(), dlg.ProgressBar()->maximum());
    QCOMPARE(dlg.InputLabel()->text(), QStringLiteral("file 5 of 5: typed-name.mseed"));
    const QStringList expected = {
        QString::fromStdString(folder + ": read error at byte 0: Is a directory"),
        QString::fromStdString(allR + ": only records of quality R found; " + m_Settings.toStdString() +
                               " [BREVANTO] QUALITY=DQR converts them"),
        QString::fromStdString(cut + ": the last 100 bytes, from byte " + std::to_string(127 * 512) +
                               ", are not a whole 512-byte record and are not converted"),
        QString::fromStdString(missing + ": cannot open: No such file or directory"),
        QStringLiteral("Data file %1: cannot create: Not a directory; 7501 samples of MONN EDH not stored")
            .arg(QString::fromStdString((data / "MONN/18/01042019-184300-EDH.MONN").string())),
        QString(),
        QStringLiteral("5 input files: 1 read, 3 failed (1 without a data record of an accepted quality), 1 cut short"),
        QStringLiteral("  records converted 131; skipped: 0 not data or quality not accepted, 0 empty code, 0 unsafe code"),
        // The first 127 records of gaps.mseed and the 7501 samples of 1T_MONN_00_EDH.mseed.
        QStringLiteral("  samples 59817; data files created 4, extended 5; FILELIST registrations 9, rows of this run's files 4"),
        QStringLiteral("  segments not stored 1 (7501 samples)"),
        QStringLiteral("result: Data converted with errors"),
    };
    QCOMPARE(dlg.DetailsText(), expected.join(QLatin1Char('\n')) + QLatin1Char('\n'));

    // Text to select and copy, never to edit.
    QVERIFY(dlg.Details()->isReadOnly());
    QVERIFY(dlg.Details()->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(dlg.Details()->textInteractionFlags() & Qt::TextSelectableByKeyboard);

    if (const QByteArray shot = qgetenv("BREVANTO_SCREENSHOT"); !shot.isEmpty()) QVERIFY(dlg.grab().save(QFile::decodeName(shot)));
  }

  // QUALITY of [BREVANTO] in the settings file decides which records are
  // converted, as --quality does for the command line; a bad value refuses Convert.
  void qualityFromTheSettingsFile() {
    const fs::path seedDir = testsupport::SeedDataDir();
    if (seedDir.empty() || !fs::exists(seedDir / "gaps.mseed")) QSKIP("SEED test data not found");
    const fs::path archive = m_Tmp->Path() / "archive";
    SqliteArchive made(archive);
    if (!made.problem.isEmpty()) QSKIP(qPrintable(made.problem));
    const std::string allR = *m_Tmp / "raw.mseed";
    auto raw = testsupport::ReadFileBytes((seedDir / "gaps.mseed").string());
    for (size_t r = 0; r * 512 < raw.size(); ++r) raw[r * 512 + 6] = 'R';
    testsupport::WriteFileBytes(allR, raw);
    const std::string settings = m_Settings.toStdString();

    FakeChooser chooser;
    chooser.answer = {QString::fromStdString(allR)};
    CHeldDlg dlg(nullptr, m_Settings, (archive / "VEZ.ini").string());
    dlg.SetFileChooser(chooser.Bind());
    QSignalSpy finished(&dlg, &CBrevantoDlg::ConvertFinished);
    const struct {
      const char* quality;  // nullptr: not set
      QString status;
    } cases[] = {
        {nullptr, QStringLiteral("Data converted with errors")},
        {"DQR", QStringLiteral("Data successfully converted")},
        {"dq", QString::fromStdString(settings + ": QUALITY=dq in section [BREVANTO] is not one or more of the letters D, Q, R, M")},
    };
    for (const auto& c : cases) {
      if (c.quality) platform::WritePrivateProfileString("BREVANTO", "QUALITY", c.quality, settings);
      dlg.OnConvert();
      if (dlg.IsRunning()) QVERIFY(WaitFinished(dlg, finished, 120000));
      QCOMPARE(dlg.StatusText(), c.status);
    }
    QCOMPARE(chooser.dirsAsked.size(), 2);
  }

  // Stop asks for the clean stop of SIGINT: during a run, what was read is
  // written and registered; during the wait for a station another run
  // holds, nothing is. Either way the summary says so and the buttons come back.
  void stopDuringARunAndDuringAWait() {
    const fs::path seedDir = testsupport::SeedDataDir();
    if (seedDir.empty() || !fs::exists(seedDir / "gaps.mseed")) QSKIP("SEED test data not found");
    const fs::path archive = m_Tmp->Path() / "archive";
    SqliteArchive made(archive);
    if (!made.problem.isEmpty()) QSKIP(qPrintable(made.problem));
    const fs::path data = archive / "data";
    FakeChooser chooser;
    chooser.answer = {QString::fromStdString((seedDir / "gaps.mseed").string())};
    CHeldDlg dlg(nullptr, m_Settings, (archive / "VEZ.ini").string());
    dlg.SetFileChooser(chooser.Bind());
    QVERIFY(ShowActive(dlg));
    QSignalSpy finished(&dlg, &CBrevantoDlg::ConvertFinished);
    QVERIFY(!dlg.StopButton()->isEnabled());

    dlg.HoldFirstText();
    QTest::mouseClick(dlg.ConvertButton(), Qt::LeftButton);
    QVERIFY(dlg.WaitUntilHeld());
    QVERIFY(dlg.StopButton()->isEnabled());
    QTest::mouseClick(dlg.StopButton(), Qt::LeftButton);
    dlg.Release();
    QVERIFY(WaitFinished(dlg, finished, 120000));
    QCOMPARE(dlg.StatusText(), QStringLiteral("Conversion interrupted"));
    QVERIFY2(dlg.DetailsText().contains(QStringLiteral("\ninterrupted: the run was stopped before the end of its input\n")),
             qPrintable(dlg.DetailsText()));
    QVERIFY(dlg.ConvertButton()->isEnabled() && dlg.ExitButton()->isEnabled() && !dlg.StopButton()->isEnabled());
    int files = 0;
    for (const std::string& entry : Tree(data)) files += entry.back() != '/';
    QVERIFY(files > 0);  // the records read before the stop

    // Another run holds the station: the wait, not the run, is stopped.
    fs::remove_all(data);
    fs::create_directory(data);
    convert::CStationLocks other(data.string());
    std::string busy, problem;
    pid_t holder = 0;
    QCOMPARE(other.Acquire({"BGLD"}, false, {}, nullptr, busy, holder, problem), convert::CStationLocks::Result::kLocked);
    QTest::mouseClick(dlg.ConvertButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(dlg.StatusText().startsWith(QStringLiteral("waiting for another conversion of station BGLD")),
                             30000);
    QVERIFY(dlg.StopButton()->isEnabled() && !dlg.ConvertButton()->isEnabled());
    QTest::mouseClick(dlg.StopButton(), Qt::LeftButton);
    QVERIFY(WaitFinished(dlg, finished, 30000));
    QCOMPARE(dlg.StatusText(), QStringLiteral("Conversion interrupted"));
    QVERIFY(dlg.DetailsText().contains(QStringLiteral("interrupted: the run was stopped")));
    QCOMPARE(Tree(data), std::set<std::string>{});
    QVERIFY(dlg.ConvertButton()->isEnabled() && !dlg.StopButton()->isEnabled());
  }

  // The folder checked is the folder the run would use: the one read when
  // the dialog was made. A VEZ.ini put right since is not used, and said so.
  void vezIniChangedWhileOpenRefusesAndWritesNothing() {
    struct Case {
      const char* name;
      std::string before;  // VEZ.ini when the dialog is made; empty: none
      QString expected;
    };
    const std::string vezIni = *m_Tmp / "changing-VEZ.ini", data = *m_Tmp / "data";
    const QString ini = QString::fromStdString(vezIni);
    const QString restart = QStringLiteral("; VEZ.ini has changed since it was read: restart brevanto to use it");
    const std::vector<Case> cases = {
        {"put in place", "", QStringLiteral("VEZ.ini not found: ") + ini + restart},
        {"key added", "[DATA]\n", QStringLiteral("No VEZ data folder set in %1 (key DIR of section [DATA])").arg(ini) + restart},
        {"folder changed", "[DATA]\nDIR=" + (*m_Tmp / "nowhere") + "\n",
         QStringLiteral("VEZ data folder not found: ") + QString::fromStdString(*m_Tmp / "nowhere") + restart},
    };
    const std::string input = *m_Tmp / "input.mseed";
    Touch(input);
    for (const Case& c : cases) {
      fs::remove(vezIni);
      if (!c.before.empty()) std::ofstream(vezIni) << c.before;
      FakeChooser chooser;
      chooser.answer = {QString::fromStdString(input)};
      CHeldDlg dlg(nullptr, m_Settings, vezIni);
      dlg.Converter().SetConnectString("");
      dlg.SetFileChooser(chooser.Bind());
      QVERIFY2(dlg.ArchiveLabel()->text().startsWith(QStringLiteral("Archive: ")), c.name);
      std::ofstream(vezIni, std::ios::trunc) << "[DATA]\nDIR=" << data << "\n";

      const auto tree = Tree(m_Tmp->Path());
      const auto root = RootFolder();
      dlg.OnConvert();
      QCOMPARE(dlg.StatusText(), c.expected);
      QVERIFY2(chooser.dirsAsked.isEmpty(), c.name);
      QVERIFY2(!dlg.IsRunning() && !dlg.Converter().IsRunning(), c.name);
      QVERIFY2(Tree(m_Tmp->Path()) == tree, c.name);
      QVERIFY2(RootFolder() == root, c.name);
    }
  }

  void runUsesTheFolderReadAtStart() {
    const fs::path seedDir = testsupport::SeedDataDir();
    if (seedDir.empty() || !fs::exists(seedDir / "gaps.mseed")) QSKIP("SEED test data not found");
    fs::create_directories(*m_Tmp / "other");
    FakeChooser chooser;
    chooser.answer = {QString::fromStdString((seedDir / "gaps.mseed").string())};
    auto dlg = MakeDialog(chooser);
    dlg->Converter().SetConnectString("");
    platform::WritePrivateProfileString("DATA", "DIR", *m_Tmp / "other", m_VezIni);
    QSignalSpy finished(dlg.get(), &CBrevantoDlg::ConvertFinished);
    dlg->OnConvert();
    QVERIFY(WaitFinished(*dlg, finished));
    QCOMPARE(dlg->StatusText(), QStringLiteral("Data successfully converted"));
    QCOMPARE(dlg->ArchiveLabel()->text(), QStringLiteral("Archive: %1, data source none").arg(QString::fromStdString(*m_Tmp / "data")));
    QCOMPARE(Tree(m_Tmp->Path() / "data").size(), size_t{2 + 4});
    QVERIFY(fs::is_empty(*m_Tmp / "other"));
  }

  void commandLineTakesOnlyTheVezIni() {
    struct Case {
      QStringList args;
      bool ok;
      QString vezIni, error;
    };
    const std::vector<Case> cases = {
        {{}, true, QString(), QString()},
        {{"--vez-ini", "/a/VEZ.ini"}, true, "/a/VEZ.ini", QString()},
        {{"--vez-ini=/b/VEZ.ini"}, true, "/b/VEZ.ini", QString()},
        {{"--vez-ini"}, false, QString(), "option --vez-ini needs a file name"},
        {{"--vez-ini="}, false, QString(), "option --vez-ini needs a file name"},
        {{"file.mseed"}, false, QString(), "unknown argument file.mseed"},
        {{"--help"}, false, QString(), QString()},
    };
    for (const Case& c : cases) {
      QString vezIni, error;
      const QStringList args = QStringList{QStringLiteral("brevanto")} + c.args;
      QCOMPARE(ParseDialogArguments(args, vezIni, error), c.ok);
      QCOMPARE(vezIni, c.vezIni);
      QCOMPARE(error, c.error);
    }
  }

  void aboutFromContextMenuAndF1() {
    FakeChooser chooser;
    auto dlg = MakeDialog(chooser);
    QVERIFY(ShowActive(*dlg));
    auto about = CloseAboutWhenShown(this);

    // Right click on the dialog: the last two entries are a separator and About.
    QStringList entries;
    bool lastIsSeparator = false;
    QTimer::singleShot(50, this, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (!menu) return;
      const QList<QAction*> actions = menu->actions();
      for (QAction* a : actions) entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
      lastIsSeparator = actions.size() >= 2 && actions[actions.size() - 2]->isSeparator();
      QTest::keyClick(menu, Qt::Key_A);
    });
    QTest::mouseClick(dlg->windowHandle(), Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
    QTRY_COMPARE(about->count, 1);
    QVERIFY(!entries.isEmpty());
    QVERIFY(lastIsSeparator);
    QCOMPARE(entries.last(), QStringLiteral("&About brevanto..."));
    QCOMPARE(about->title, QStringLiteral("About brevanto"));
    QCOMPARE(about->version, QStringLiteral("brevanto Version 1.0"));
    QVERIFY(!about->notice.trimmed().isEmpty());
    QVERIFY(about->iconShown && about->windowIconSet && about->okIsDefault);

    // The keyboard's menu key asks the focused button; the request reaches the dialog.
    QTimer::singleShot(50, this, [&] {
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) QTest::keyClick(menu, Qt::Key_A);
    });
    QVERIFY(ShowActive(*dlg));
    QWidget* focus = QApplication::focusWidget();
    QCOMPARE(focus, dlg->ConvertButton());
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(5, 5), focus->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(focus, &menuKey);
    QTRY_COMPARE(about->count, 2);

    QVERIFY(ShowActive(*dlg));
    QTest::keyClick(dlg->windowHandle(), Qt::Key_F1);
    QTRY_COMPARE(about->count, 3);
    QVERIFY(dlg->isVisible());
    QVERIFY(dlg->ConvertButton()->isEnabled());
  }
};

QTEST_MAIN(TestBrevantoDlg)
#include "test_brevantodlg.moc"
