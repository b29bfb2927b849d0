#include "removal_app.h"

#include "removal_dialog.h"

int RemovalApp::Run() {
  // The system gives version-4 dialogs their three-dimensional look itself; nothing to load for it.
  {
    RemovalDialog dialog(instance_, nullptr);
    mainWindow_ = &dialog;
    dialog.DoModal();
    mainWindow_ = nullptr;
  }  // the dialog object is released here, before the program ends
  return 0;
}
