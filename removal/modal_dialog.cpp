#include "modal_dialog.h"

ModalDialog::ModalDialog(HINSTANCE instance, UINT templateId, HWND parent)
    : instance_(instance), templateId_(templateId), parent_(parent) {}

ModalDialog* ModalDialog::shown_ = nullptr;

INT_PTR ModalDialog::DoModal() {
  // The window is tied to this object at WM_INITDIALOG; until then it gets the system's handling.
  outer_ = shown_;
  shown_ = this;
  const INT_PTR result =
      DialogBoxParamA(instance_, MAKEINTRESOURCEA(templateId_), parent_, &ModalDialog::DialogProc,
                      reinterpret_cast<LPARAM>(this));
  shown_ = outer_;
  outer_ = nullptr;
  window_ = nullptr;
  return result;
}

ModalDialog* ModalDialog::Find(HWND window) {
  for (ModalDialog* d = shown_; d; d = d->outer_)
    if (d->window_ == window) return d;
  return nullptr;
}

BOOL ModalDialog::OnInitDialog() { return TRUE; }

void ModalDialog::OnOK() { EndDialog(IDOK); }

void ModalDialog::OnCancel() { EndDialog(IDCANCEL); }

bool ModalDialog::OnPaint() { return false; }

HICON ModalDialog::OnQueryDragIcon() { return nullptr; }

void ModalDialog::EndDialog(INT_PTR result) {
  if (window_) ::EndDialog(window_, result);
}

INT_PTR CALLBACK ModalDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  ModalDialog* self;
  if (message == WM_INITDIALOG) {
    // The object comes with the creation parameter.
    self = reinterpret_cast<ModalDialog*>(lParam);
    self->window_ = window;
  } else {
    self = Find(window);
  }
  // Messages sent before WM_INITDIALOG (the font, for one) go to the system's handling.
  return self ? self->HandleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR ModalDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          OnOK();
          return TRUE;
        case IDCANCEL:
          OnCancel();
          return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
  }
  return FALSE;
}
