#include "app/Km7App.h"

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <QApplication>

#include "app/CommandLine.h"
#include "app/Km7Dlg.h"

CKm7App::CKm7App(int& argc, char** argv) : argc_(argc), argv_(argv) {}

int CKm7App::Run() {
  const std::vector<std::string> args(argv_ + 1, argv_ + argc_);
  if (const auto status = km7::AnswerInfoOptions(args, std::cout)) return *status;
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
