#pragma once
#include <QApplication>

// The application: runs the main dialog modally; its end is the program's end.
class CBrevantoApp : public QApplication {
  Q_OBJECT

 public:
  CBrevantoApp(int& argc, char** argv);
  ~CBrevantoApp() override;

  // Shows the main dialog until it is closed; returns the exit code.
  int InitInstance();
};
