#include "app/brevantoapp.h"

int main(int argc, char** argv) {
  if (HandleInformationArguments(argc, argv)) return 0;
  CBrevantoApp app(argc, argv);
  return app.InitInstance();
}
