#include "app/brevantoapp.h"

#include <QFile>
#include <cstdio>
#include <string>

#include "app/appicon.h"
#include "app/brevantodlg.h"

#ifndef BREVANTO_VERSION
#define BREVANTO_VERSION "1.0"
#endif

namespace {

constexpr const char* kUsage = "usage: brevanto [--vez-ini FILE]\n";

}  // namespace

const char* DialogHelpText() {
  return "usage: brevanto [--vez-ini FILE]\n"
         "\n"
         "Opens the converter's window. Convert asks for one or more SEED or miniSEED\n"
         "files and converts them into VEZ archive data files, registering every file\n"
         "in the archive table FILELIST (ODBC data source VEZ); Exit closes the window.\n"
         "While a run goes, a progress bar and the current input file are shown; after\n"
         "it, Details shows every problem of the run and its summary. The status line\n"
         "ends with \"Data successfully converted\" or \"Data converted with errors\".\n"
         "The window's context menu (or F1) shows the About box. A run waits while\n"
         "another run converts one of its stations. Stop ends a run, or its wait,\n"
         "as SIGINT ends brevanto-cli: what was read is written and registered, and\n"
         "the status line says \"Conversion interrupted\".\n"
         "\n"
         "Options:\n"
         "  --vez-ini FILE    the archive configuration, read once at start; its [DATA]\n"
         "                    DIR names the data folder, which must not be the root\n"
         "  -h, --help        print this help and exit\n"
         "  -V, --version     print the version and exit\n"
         "\n"
         "Qt's own options (-platform NAME, -display DISPLAY, ...) are accepted too.\n"
         "\n"
         "Files:\n"
         "  VEZ.ini           $XDG_CONFIG_HOME/VEZ.ini (without XDG_CONFIG_HOME:\n"
         "                    ~/.config/VEZ.ini) if it exists, else /etc/VEZ.ini;\n"
         "                    --vez-ini names another\n"
         "  ./brevanto.ini    in the folder brevanto was started from: the folder the\n"
         "                    file dialog opens in ([BREVANTO] DIR, default the home\n"
         "                    folder), the record quality indicators converted\n"
         "                    ([BREVANTO] QUALITY, any of D, Q, R, M, default DQ),\n"
         "                    how many milliseconds a FILELIST row may lag its\n"
         "                    data file ([BREVANTO] COMMIT_MS, default 1000; 0 commits\n"
         "                    each write's registration at once), and which location\n"
         "                    and network codes to convert where a station and\n"
         "                    channel has several streams ([BREVANTO] LOCATIONS,\n"
         "                    NETWORKS: codes or patterns, -- a blank location)\n"
         "  odbc.ini          where the data source VEZ is defined: $ODBCINI, else\n"
         "                    ~/.odbc.ini and /etc/odbc.ini\n"
         "\n"
         "Environment:\n"
         "  ODBCINI           the odbc.ini file that defines the data source VEZ\n"
         "  XDG_CONFIG_HOME   the user's configuration folder, where VEZ.ini is looked\n"
         "                    for first\n"
         "\n"
         "Exit status:\n"
         "  0  the window was closed\n"
         "  2  usage error: an unknown argument or --vez-ini without a file name\n"
         "\n"
         "Examples:\n"
         "  brevanto\n"
         "  brevanto --vez-ini /srv/vez/VEZ.ini\n"
         "  ODBCINI=/srv/vez/odbc.ini brevanto --vez-ini /srv/vez/VEZ.ini\n";
}

bool HandleInformationArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(DialogHelpText(), stdout);
      return true;
    }
    if (arg == "-V" || arg == "--version") {
      std::printf("brevanto %s\n", BREVANTO_VERSION);
      return true;
    }
  }
  return false;
}

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
      std::fputs(DialogHelpText(), stdout);
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
