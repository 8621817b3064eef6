#include "app/brevantoapp.h"

int main(int argc, char** argv) {
  CBrevantoApp app(argc, argv);
  return app.InitInstance();
}
