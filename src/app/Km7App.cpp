#include "app/Km7App.h"

#include <csignal>

#include <QApplication>

#include "app/Km7Dlg.h"

CKm7App::CKm7App(int& argc, char** argv) : argc_(argc), argv_(argv) {}

int CKm7App::Run() {
  QApplication qtApp(argc_, argv_);
  QApplication::setApplicationName(QStringLiteral("km7"));
  QApplication::setDesktopFileName(QStringLiteral("km7"));
  InitInstance();
  return 0;
}

bool CKm7App::InitInstance() {
  // The socket layer's start-up: a write to a connection the server has
  // closed must come back as an error, not end the program.
  std::signal(SIGPIPE, SIG_IGN);

  CKm7Dlg dlg;
  mainWindow = &dlg;
  dlg.DoModal();
  mainWindow = nullptr;
  return false;
}
