// Times one conversion run through the main dialog, to set beside the same
// run through brevanto-cli. Usage: brevanto_gui_bench VEZ.ini FILE...
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <cstdio>

#include "app/brevantodlg.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList args = QApplication::arguments().mid(1);
  if (args.size() < 2) {
    std::fprintf(stderr, "usage: brevanto_gui_bench VEZ.ini FILE...\n");
    return 2;
  }
  const std::string vezIni = args.takeFirst().toStdString();
  QTemporaryDir settingsDir;
  CBrevantoDlg dlg(nullptr, settingsDir.filePath(QStringLiteral("brevanto.ini")), vezIni);
  dlg.SetFileChooser([&args](QWidget*, const QString&) { return args; });
  int shown = 0;
  QObject::connect(&dlg, &CBrevantoDlg::StatusShown, [&shown] { ++shown; });
  dlg.show();
  QApplication::processEvents();

  QEventLoop loop;
  QObject::connect(&dlg, &CBrevantoDlg::ConvertFinished, &loop, &QEventLoop::quit);
  QElapsedTimer timer;
  timer.start();
  dlg.OnConvert();
  if (dlg.IsRunning()) loop.exec();
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  std::printf("%.3f s; status line repainted %d times; last: %s\n", seconds, shown,
              dlg.StatusText().toLocal8Bit().constData());
  return dlg.StatusText() == QLatin1String("Data successfully converted") ? 0 : 1;
}
