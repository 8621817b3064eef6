#pragma once
#include <QDialog>

class QLabel;
class QPushButton;

// The About box: icon, program name and version, maker's notice, OK.
class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
  ~CAboutDlg() override;

  QPushButton* OkButton() const { return m_pOk; }
  QLabel* IconLabel() const { return m_pIcon; }
  QLabel* VersionLabel() const { return m_pVersion; }
  QLabel* NoticeLabel() const { return m_pNotice; }

 private:
  QLabel* m_pIcon;
  QLabel* m_pVersion;
  QLabel* m_pNotice;
  QPushButton* m_pOk;
};
