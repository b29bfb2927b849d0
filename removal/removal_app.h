// The removal program's application object: shows the question dialog once and ends.
#ifndef OSLNKUN_REMOVAL_APP_H
#define OSLNKUN_REMOVAL_APP_H

#include <windows.h>

class RemovalDialog;

class RemovalApp {
 public:
  explicit RemovalApp(HINSTANCE instance) : instance_(instance) {}

  // The whole program: the dialog, run modally; no message loop follows it. The exit status is always 0,
  // since no result of the removal is reported through it.
  int Run();

  // The dialog while it is shown (the program's main window); null otherwise.
  RemovalDialog* MainWindow() const { return mainWindow_; }

 private:
  HINSTANCE instance_;
  RemovalDialog* mainWindow_ = nullptr;
};

#endif
