#include "removal_app.h"

#include <memory>

#include "removal_dialog.h"

int RemovalApp::Run() {
  // The system gives version-4 dialogs their three-dimensional look itself; nothing to load for it.
  auto dialog = std::make_unique<RemovalDialog>(instance_, nullptr);
  mainWindow_ = dialog.get();
  dialog->DoModal();
  mainWindow_ = nullptr;
  return 0;
}
