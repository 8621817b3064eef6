// The main dialog and the About box, on the offscreen platform.
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
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
#include <string>
#include <thread>
#include <vector>

#include "app/aboutdlg.h"
#include "app/brevantodlg.h"
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
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Errors;
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
  void ReportError(const char* text) override {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Errors.emplace_back(text);
  }

 private:
  std::mutex m_Mutex;
  std::condition_variable m_Cv;
  bool m_bHold = false;
  bool m_bHeld = false;
  std::vector<std::string> m_Errors;
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
    QVERIFY(!dlg->Errors().empty());
    QVERIFY(QString::fromStdString(dlg->Errors().front()).startsWith("VEZ Database open error"));
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
    QCOMPARE(chooser.dirsAsked, QStringList{QStringLiteral("/")});
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
        {"no VEZ.ini", "", QStringLiteral("No VEZ data folder set in ")},
        {"no DIR key", "[DATA]\nOTHER=1\n", QStringLiteral("No VEZ data folder set in ")},
        {"missing folder", "[DATA]\nDIR=" + missing + "\n", QStringLiteral("VEZ data folder not found: ")},
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
    QCOMPARE(chooser.dirsAsked, QStringList{QStringLiteral("/")});
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
    const fs::path makeArchive = fs::path(BREVANTO_SOURCE_DIR) / "scripts" / "make-archive";
    if (seedDir.empty() || !fs::exists(seedDir / "gaps.mseed")) QSKIP("SEED test data not found");
    if (!fs::exists(makeArchive)) QSKIP("scripts/make-archive not found");

    const fs::path archive = m_Tmp->Path() / "archive";
    QProcess make;
    make.start(QStringLiteral("bash"), {QString::fromStdString(makeArchive.string()), QString::fromStdString(archive.string())});
    QVERIFY(make.waitForFinished(120000));
    QVERIFY2(make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0, make.readAllStandardError().constData());

    const QByteArray previousOdbcIni = qgetenv("ODBCINI");
    qputenv("ODBCINI", QFile::encodeName(QString::fromStdString((archive / "odbc.ini").string())));
    auto restore = qScopeGuard([&] {
      if (previousOdbcIni.isNull())
        qunsetenv("ODBCINI");
      else
        qputenv("ODBCINI", previousOdbcIni);
    });

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
    QVERIFY(dlg.Errors().empty());
    const fs::path dataDir = platform::GetPrivateProfileString("DATA", "DIR", "", (archive / "VEZ.ini").string());
    QVERIFY(fs::is_directory(dataDir));
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dataDir)) {
      if (!entry.is_regular_file()) continue;
      ++files;
      QCOMPARE(ReadText(entry.path().string()).substr(0, 8), std::string("[VEZ4.0]"));
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
