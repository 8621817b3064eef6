#pragma once
// The main dialog: Convert, Exit and the status line of the conversion run.
#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "convert/convertfromseed.h"

class QLabel;
class QMenu;
class QPushButton;

class CBrevantoDlg : public QDialog, public IConvertHost {
  Q_OBJECT

 public:
  static constexpr const char* kDefaultSettingsFile = "./brevanto.ini";
  // Longest pause between a worker's status text and its display.
  static constexpr int kStatusRefreshMs = 50;

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

  void SetFileChooser(FileChooser chooser) { m_ChooseFiles = std::move(chooser); }
  QStringList ChooseFiles(QWidget* parent, const QString& dir);

  CConvertFromSeed& Converter() { return m_Converter; }
  // Between a Convert whose worker started and the end-of-run notice.
  bool IsRunning() const { return m_bRunning; }
  QString StatusText() const;
  QString SettingsFile() const { return m_SettingsFile; }
  QPushButton* ConvertButton() const { return m_pConvert; }
  QPushButton* ExitButton() const { return m_pExit; }
  QLabel* StatusLabel() const { return m_pStatus; }
  // The dialog's context menu, built afresh for each request.
  QMenu* CreateContextMenu(QWidget* parent);

 public slots:
  void OnConvert();
  void OnConvertDone();
  void OnAbout();
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
  // Empty when the archive settings name an existing data folder.
  QString ArchiveProblem() const;
  void ShowStatus(const QString& text);
  void ScheduleStatusFlush();
  void FlushStatus();

  QPushButton* m_pConvert = nullptr;
  QPushButton* m_pExit = nullptr;
  QLabel* m_pStatus = nullptr;
  QString m_SettingsFile;
  std::string m_VezIni;
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

  // Declared after everything the worker touches through this host, so
  // that those outlive the worker.
  CConvertFromSeed m_Converter;
  QIcon m_hIcon;
};
