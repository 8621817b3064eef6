#pragma once
#include <QApplication>
#include <QString>
#include <QStringList>

// The application: runs the main dialog modally; its end is the program's end.
class CBrevantoApp : public QApplication {
  Q_OBJECT

 public:
  CBrevantoApp(int& argc, char** argv);
  ~CBrevantoApp() override;

  // Shows the main dialog until it is closed; returns the exit code.
  int InitInstance();
};

// The program's arguments after Qt has taken its own: only --vez-ini FILE
// (or --vez-ini=FILE). Returns false with error set for anything else, or
// for -h/--help with an empty error.
bool ParseDialogArguments(const QStringList& args, QString& vezIni, QString& error);

// The help, also the source of the manual page brevanto(1).
const char* DialogHelpText();

// Prints the help or the version when asked for and returns true; needs no
// display, so it runs before the application object exists.
bool HandleInformationArguments(int argc, char** argv);
