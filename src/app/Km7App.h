#pragma once
// The application object: starts the platform services, runs the main
// window modally and ends the program when it closes.
class CKm7Dlg;

class CKm7App {
 public:
  CKm7App(int& argc, char** argv);
  CKm7App(const CKm7App&) = delete;
  CKm7App& operator=(const CKm7App&) = delete;

  // Creates the toolkit's application, runs InitInstance and returns the
  // process's exit status.
  int Run();

  // The start-up operation. Returns false: the program ends when it returns.
  virtual bool InitInstance();
  virtual ~CKm7App() = default;

  // The main window while it runs.
  CKm7Dlg* mainWindow = nullptr;

 private:
  int& argc_;
  char** argv_;
};
