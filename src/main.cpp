#include "app/Km7App.h"

int main(int argc, char** argv) {
  CKm7App app(argc, argv);
  return app.Run();
}
