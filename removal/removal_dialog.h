// The removal program's question dialog (template 102): asks once, runs the removal steps on Yes, then
// offers to restart Windows.
#ifndef OSLNKUN_REMOVAL_DIALOG_H
#define OSLNKUN_REMOVAL_DIALOG_H

#include <windows.h>

#include "modal_dialog.h"
#include "steps/removal_steps.h"

// Where a centred icon of iconWidth x iconHeight goes in a client area of clientWidth x clientHeight
// (integer division, so an odd remainder leans to the left and top).
POINT CentredIconPosition(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

class RemovalDialog : public ModalDialog, public RemovalSteps {
 public:
  RemovalDialog(HINSTANCE instance, HWND parent);

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  bool OnPaint() override;
  HICON OnQueryDragIcon() override;

 private:
  HWND lowerLine_ = nullptr;  // edit 1015
  HWND upperLine_ = nullptr;  // edit 1014
  HWND yesButton_ = nullptr;  // control 1 (IDOK)
  HWND noButton_ = nullptr;   // control 2 (IDCANCEL)
  HICON icon_;                // icon group 128
};

#endif
