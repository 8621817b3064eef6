#pragma once
// The main dialog: Convert, Exit and the status line of the conversion run,
// the progress over the input, the archive converted into, and the details
// of the last run.
#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/runreport.h"
#include "convert/convertfromseed.h"
#include "platform/diag.h"

class CCoverageWindow;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class CBrevantoDlg : public QDialog, public IConvertHost {
  Q_OBJECT

 public:
  static constexpr const char* kDefaultSettingsFile = "./brevanto.ini";
  // Longest pause between a worker's status text and its display.
  static constexpr int kStatusRefreshMs = 50;
  // The progress bar and the current input are redrawn this often.
  static constexpr int kProgressRefreshMs = 250;
  static constexpr int kProgressSteps = 1000;

  // Shows the file dialog owned by parent, opening in dir; an empty list
  // means the operator cancelled.
  using FileChooser = std::function<QStringList(QWidget* parent, const QString& dir)>;

  // settingsFile is resolved against the working folder at every use.
  explicit CBrevantoDlg(QWidget* parent = nullptr, const QString& settingsFile = QString::fromLatin1(kDefaultSettingsFile),
                        const std::string& vezIni = FindVezIni());
  ~CBrevantoDlg() override;

  // IConvertHost; called on the worker thread.
  void SetStatusText(const char* text) override;
  bool WantsRecordStatus() override { return m_RecordTexts.Due(); }
  void Beep() override;
  void ConvertDone() override;
  void ReportError(const char* text) override;
  void Progress(size_t fileIndex, size_t fileCount, uint64_t bytesDone, uint64_t bytesTotal) override;
  void InputStarted(size_t fileIndex, size_t fileCount, const std::string& path) override;
  void RunEnded(const RunStats& stats, size_t inputCount) override;

  void SetFileChooser(FileChooser chooser) { m_ChooseFiles = std::move(chooser); }
  QStringList ChooseFiles(QWidget* parent, const QString& dir);

  CConvertFromSeed& Converter() { return m_Converter; }
  // Between a Convert whose worker started and the end-of-run notice.
  bool IsRunning() const { return m_bRunning; }
  QString StatusText() const;
  QString SettingsFile() const { return m_SettingsFile; }
  QPushButton* ConvertButton() const { return m_pConvert; }
  QPushButton* ExitButton() const { return m_pExit; }
  QPushButton* StopButton() const { return m_pStop; }
  QLabel* StatusLabel() const { return m_pStatus; }
  QLabel* InputLabel() const { return m_pInput; }
  QProgressBar* ProgressBar() const { return m_pProgress; }
  QLabel* ArchiveLabel() const { return m_pArchive; }
  QPushButton* DetailsButton() const { return m_pDetailsButton; }
  QPushButton* CoverageButton() const { return m_pCoverageButton; }
  // The coverage window, once Coverage has opened it.
  CCoverageWindow* CoverageWindow() const { return m_pCoverage; }
  QPlainTextEdit* Details() const { return m_pDetails; }
  QString DetailsText() const;
  // The dialog's context menu, built afresh for each request.
  QMenu* CreateContextMenu(QWidget* parent);

 public slots:
  void OnConvert();
  void OnConvertDone();
  // Asks the run, or its wait for another run's station, to stop as SIGINT does.
  void OnStop();
  void OnAbout();
  void ShowDetails(bool shown);
  void OnCoverage();
  void reject() override;

 signals:
  // The status line now shows text (after throttling of worker texts).
  void StatusShown(const QString& text);
  // The end-of-run notice has been handled; both buttons are enabled again.
  void ConvertFinished();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void ShowStatus(const QString& text);
  void ShowArchive();
  void ShowProgress();
  void ShowReport();
  void ScheduleStatusFlush();
  void FlushStatus();

  QPushButton* m_pConvert = nullptr;
  QPushButton* m_pExit = nullptr;
  QPushButton* m_pStop = nullptr;
  QLabel* m_pStatus = nullptr;
  QLabel* m_pInput = nullptr;
  QProgressBar* m_pProgress = nullptr;
  QLabel* m_pArchive = nullptr;
  QPushButton* m_pDetailsButton = nullptr;
  QPushButton* m_pCoverageButton = nullptr;
  CCoverageWindow* m_pCoverage = nullptr;
  QPlainTextEdit* m_pDetails = nullptr;
  int m_CompactHeight = 0;
  int m_DetailsHeight = 0;
  QString m_SettingsFile;
  FileChooser m_ChooseFiles;
  bool m_bRunning = false;

  // Worker texts wait here for the GUI thread; only the newest one matters.
  // The label shows a text per refresh at most; half of that keeps it current.
  CStatusThrottle m_RecordTexts{std::chrono::milliseconds(kStatusRefreshMs / 2)};  // worker side
  std::mutex m_StatusMutex;
  std::string m_PendingStatus;
  bool m_bStatusPending = false;
  bool m_bFlushScheduled = false;
  std::thread::id m_GuiThread;
  QTimer m_StatusTimer;
  QElapsedTimer m_SinceFlush;

  // Progress from the worker, shown by m_ProgressTimer.
  struct ProgressState {
    size_t fileIndex = 0, fileCount = 0;
    uint64_t bytesDone = 0, bytesTotal = 0;
    std::string path;
  };
  std::mutex m_ProgressMutex;
  ProgressState m_ProgressState;
  QTimer m_ProgressTimer;

  // The reports and summary of the run in progress or the last one; the
  // diagnostic channel feeds it while a run goes.
  CRunReport m_Report;
  std::optional<platform::ScopedDebugSink> m_Diagnostics;

  // Declared after everything the worker touches through this host, so
  // that those outlive the worker.
  CConvertFromSeed m_Converter;
  QIcon m_hIcon;
};
