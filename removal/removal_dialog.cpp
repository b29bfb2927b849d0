#include "removal_dialog.h"

#include "removal_texts.h"
#include "resource.h"

POINT CentredIconPosition(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
  POINT at;
  at.x = (clientWidth - iconWidth + 1) / 2;
  at.y = (clientHeight - iconHeight + 1) / 2;
  return at;
}

RemovalDialog::RemovalDialog(HINSTANCE instance, HWND parent)
    : ModalDialog(instance, IDD_OSLNKUN_DIALOG, parent),
      RemovalSteps(nullptr),
      icon_(LoadIconA(instance, MAKEINTRESOURCEA(IDI_OSLNKUN))) {}

BOOL RemovalDialog::OnInitDialog() {
  ModalDialog::OnInitDialog();
  const HWND window = Window();
  // The steps' messages are owned by this dialog.
  SetOwnerWindow(window);
  lowerLine_ = GetDlgItem(window, IDC_LOWER_LINE);
  upperLine_ = GetDlgItem(window, IDC_UPPER_LINE);
  yesButton_ = GetDlgItem(window, IDOK);
  noButton_ = GetDlgItem(window, IDCANCEL);

  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  SetWindowTextA(upperLine_, OSLNKUN_TEXT_UPPER_LINE);
  SetWindowTextA(lowerLine_, OSLNKUN_TEXT_LOWER_LINE);
  SetWindowTextA(window, OSLNKUN_TEXT_DIALOG_CAPTION);

  // Enter answers No: the focus and the default-button look go to No.
  SetFocus(noButton_);
  SendMessageA(noButton_, BM_SETSTYLE, BS_DEFPUSHBUTTON, 1);
  return FALSE;  // the focus has been set
}

void RemovalDialog::OnOK() {
  // Each step runs whatever the one before achieved; their results change nothing here.
  RemoveRegistryEntries();
  RemoveRootDeviceKey();
  RemoveFiles();
  ScheduleMonitorDllRemoval();

  const HWND window = Window();
  if (MessageBoxA(window, OSLNKUN_TEXT_DONE_QUESTION, OSLNKUN_TEXT_MESSAGE_CAPTION, MB_YESNO) == IDYES) {
    MessageBoxA(window, OSLNKUN_TEXT_FLOPPY, OSLNKUN_TEXT_MESSAGE_CAPTION, MB_OK);
    EndDialog(IDOK);
    ExitWindowsEx(EWX_REBOOT, 0);
  }
  ModalDialog::OnOK();
}

void RemovalDialog::OnCancel() { EndDialog(IDCANCEL); }

bool RemovalDialog::OnPaint() {
  const HWND window = Window();
  if (!IsIconic(window)) return false;
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(window, &paint);
  SendMessageA(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(window, &client);
  const POINT at = CentredIconPosition(client.right - client.left, client.bottom - client.top,
                                       GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  DrawIcon(dc, at.x, at.y, icon_);
  EndPaint(window, &paint);
  return true;
}

HICON RemovalDialog::OnQueryDragIcon() { return icon_; }
