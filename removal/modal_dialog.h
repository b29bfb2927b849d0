// A small modal-dialog class: a dialog template shown with DialogBoxParamA, its messages routed to
// virtual members. The removal dialog derives from it.
#ifndef OSLNKUN_MODAL_DIALOG_H
#define OSLNKUN_MODAL_DIALOG_H

#include <windows.h>

class ModalDialog {
 public:
  ModalDialog(HINSTANCE instance, UINT templateId, HWND parent);
  ~ModalDialog() = default;  // not virtual: nothing is deleted through this class (no C++ runtime)
  ModalDialog(const ModalDialog&) = delete;
  ModalDialog& operator=(const ModalDialog&) = delete;

  // Shows the dialog and returns once it has been ended: the value passed to EndDialog, or -1 when the
  // dialog could not be created. The object must outlive the call.
  INT_PTR DoModal();

  // The dialog's window while it is shown; null before and after.
  HWND Window() const { return window_; }

 protected:
  // The members below run on the dialog's thread while it is shown.

  // After the controls exist. TRUE lets the system give the focus to the first control; FALSE reports
  // that the focus has been set already.
  virtual BOOL OnInitDialog();
  // The OK command (IDOK) and the Cancel command (IDCANCEL: Cancel button, Esc, close box).
  virtual void OnOK();
  virtual void OnCancel();
  // WM_PAINT; the default leaves painting to the system.
  virtual bool OnPaint();
  // WM_QUERYDRAGICON: the icon to show while the minimised window is dragged; null for the system's.
  virtual HICON OnQueryDragIcon();

  void EndDialog(INT_PTR result);
  HINSTANCE Instance() const { return instance_; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static ModalDialog* Find(HWND window);
  INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

  HINSTANCE instance_;
  UINT templateId_;
  HWND parent_;
  HWND window_ = nullptr;
  // The dialogs being shown, innermost first (a dialog may open another). The programs that use this class
  // run their dialogs on one thread.
  ModalDialog* outer_ = nullptr;
  static ModalDialog* shown_;
};

#endif
