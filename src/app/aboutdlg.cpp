#include "app/aboutdlg.h"

#include <QLabel>
#include <QPushButton>

#include "app/appicon.h"
#include "app/dialogunits.h"

#ifndef BREVANTO_VERSION
#define BREVANTO_VERSION "1.0"
#endif

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("CAboutDlg"));
  setWindowTitle(QStringLiteral("About brevanto"));
  const QIcon icon = AppIcon();
  setWindowIcon(icon);

  const CDialogUnits du(font());
  m_pIcon = new QLabel(this);
  m_pIcon->setObjectName(QStringLiteral("icon"));
  m_pIcon->setPixmap(icon.pixmap(32, 32));
  m_pIcon->setGeometry(du.X(11), du.Y(17), 32, 32);

  m_pVersion = new QLabel(QStringLiteral("brevanto Version " BREVANTO_VERSION), this);
  m_pVersion->setObjectName(QStringLiteral("version"));
  m_pVersion->setTextFormat(Qt::PlainText);
  // Both lines reach as far as the space beside and below OK allows, for fonts
  // wider than the one the layout was drawn for.
  m_pVersion->setGeometry(du.Rect(40, 10, 132, 8));

  m_pNotice = new QLabel(QStringLiteral("Copyright \u00A9 2026 the brevanto developers"), this);
  m_pNotice->setObjectName(QStringLiteral("notice"));
  m_pNotice->setTextFormat(Qt::PlainText);
  m_pNotice->setGeometry(du.Rect(40, 25, 188, 8));

  m_pOk = new QPushButton(QStringLiteral("OK"), this);
  m_pOk->setObjectName(QStringLiteral("ok"));
  m_pOk->setDefault(true);
  m_pOk->setGeometry(du.Rect(178, 7, 50, 14));
  connect(m_pOk, &QPushButton::clicked, this, &QDialog::accept);

  setFixedSize(du.X(235), du.Y(55));
}

CAboutDlg::~CAboutDlg() = default;
