#include "app/Km7App.h"
#include "platform/ProcessSecrets.h"

int main(int argc, char** argv) {
  // The mail password and tokens live in this process.
  km7::KeepSecretsOutOfCoreDumps();
  CKm7App app(argc, argv);
  return app.Run();
}
