#include "app/brevantoapp.h"

#include "app/appicon.h"
#include "app/brevantodlg.h"

#ifndef BREVANTO_VERSION
#define BREVANTO_VERSION "1.0"
#endif

CBrevantoApp::CBrevantoApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("brevanto"));
  setApplicationVersion(QStringLiteral(BREVANTO_VERSION));
  setDesktopFileName(QStringLiteral("brevanto"));
  setWindowIcon(AppIcon());
}

CBrevantoApp::~CBrevantoApp() = default;

int CBrevantoApp::InitInstance() {
  CBrevantoDlg dlg;
  dlg.exec();
  return 0;
}
