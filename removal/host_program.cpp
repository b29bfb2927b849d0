#include "host_program.h"

#include <windows.h>

#include "removal_app.h"
#include "removal_texts.h"
#include "resource.h"
#include "user/session.h"

namespace oslnkun {

w98::DialogTemplate QuestionDialogTemplate() {
  using Kind = w98::DialogTemplate::ControlKind;
  constexpr uint32_t kButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
  constexpr uint32_t kLine = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL;
  w98::DialogTemplate t;
  t.caption = "";  // set at initialisation
  t.style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT;
  t.exStyle = WS_EX_APPWINDOW;
  t.width = 130;
  t.height = 67;
  // In the resource script's order (the tab order).
  t.controls = {
      {IDOK, Kind::Button, OSLNKUN_TEXT_YES_BUTTON, kButton, 23, 45, 40, 15},
      {IDCANCEL, Kind::Button, OSLNKUN_TEXT_NO_BUTTON, kButton, 69, 45, 40, 15},
      {IDC_UPPER_LINE, Kind::Edit, "", kLine, 2, 5, 122, 12},
      {IDC_LOWER_LINE, Kind::Edit, "", kLine, 2, 17, 122, 13},
  };
  return t;
}

void RegisterResources(w98::UserSession& session) {
  session.registerDialog(IDD_OSLNKUN_DIALOG, QuestionDialogTemplate());
}

int RunRemovalProgram() {
  RegisterResources(w98::UserSession::current());
  return RemovalApp(GetModuleHandleA(nullptr)).Run();
}

}  // namespace oslnkun
