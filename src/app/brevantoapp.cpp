#include "app/brevantoapp.h"

#include <QFile>
#include <cstdio>

#include "app/appicon.h"
#include "app/brevantodlg.h"

#ifndef BREVANTO_VERSION
#define BREVANTO_VERSION "1.0"
#endif

namespace {

constexpr const char* kUsage = "usage: brevanto [--vez-ini FILE]\n";

}  // namespace

bool ParseDialogArguments(const QStringList& args, QString& vezIni, QString& error) {
  const QString option = QStringLiteral("--vez-ini");
  error.clear();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) return false;
    QString value;
    if (arg == option) {
      if (i + 1 >= args.size()) {
        error = QStringLiteral("option --vez-ini needs a file name");
        return false;
      }
      value = args[++i];
    } else if (arg.startsWith(option + QLatin1Char('='))) {
      value = arg.mid(option.size() + 1);
    } else {
      error = QStringLiteral("unknown argument %1").arg(arg);
      return false;
    }
    if (value.isEmpty()) {
      error = QStringLiteral("option --vez-ini needs a file name");
      return false;
    }
    vezIni = value;
  }
  return true;
}

CBrevantoApp::CBrevantoApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("brevanto"));
  setApplicationVersion(QStringLiteral(BREVANTO_VERSION));
  setDesktopFileName(QStringLiteral("brevanto"));
  setWindowIcon(AppIcon());
}

CBrevantoApp::~CBrevantoApp() = default;

int CBrevantoApp::InitInstance() {
  QString vezIni, error;
  if (!ParseDialogArguments(arguments(), vezIni, error)) {
    if (error.isEmpty()) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "brevanto: %s\n%s", error.toLocal8Bit().constData(), kUsage);
    return 2;
  }
  const QByteArray file = QFile::encodeName(vezIni);
  CBrevantoDlg dlg(nullptr, QString::fromLatin1(CBrevantoDlg::kDefaultSettingsFile),
                   vezIni.isEmpty() ? FindVezIni() : std::string(file.constData(), static_cast<size_t>(file.size())));
  dlg.exec();
  return 0;
}
