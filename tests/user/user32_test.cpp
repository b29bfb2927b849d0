#include <windows.h>

#include "user_fixture.h"

namespace {

using User32 = w98test::UserMachine;
using w98::ShownBox;

// "はい(&Y)", "いいえ(&N)" and a caption, in code page 932.
const char kYes[] = "\x82\xCD\x82\xA2(&Y)";
const char kNo[] = "\x82\xA2\x82\xA2\x82\xA6(&N)";

w98::DialogTemplate questionTemplate() {
  using K = w98::DialogTemplate::ControlKind;
  w98::DialogTemplate t;
  t.style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  t.width = 130;
  t.height = 67;
  const uint32_t button = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
  const uint32_t edit = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY;
  t.controls = {{IDOK, K::Button, kYes, button, 23, 45, 40, 15},
                {IDCANCEL, K::Button, kNo, button, 69, 45, 40, 15},
                {1015, K::Edit, "", edit, 2, 17, 122, 13},
                {1014, K::Edit, "", edit, 2, 5, 122, 12}};
  return t;
}

// What the test dialog saw.
struct Seen {
  std::vector<UINT> messages;
  std::vector<WPARAM> commands;
  bool focusOnNo = true;   // what WM_INITDIALOG does with the focus
  bool endOnCancel = true;
  bool handleClose = false;
  HWND window = nullptr;
};
Seen* g_seen = nullptr;

INT_PTR CALLBACK questionProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  Seen& s = *g_seen;
  s.messages.push_back(msg);
  switch (msg) {
    case WM_INITDIALOG:
      s.window = dlg;
      EXPECT_EQ(lp, 42);
      SetWindowTextA(GetDlgItem(dlg, 1014), "upper");
      SetWindowTextA(GetDlgItem(dlg, 1015), "lower");
      SetWindowTextA(dlg, "Question");
      SendMessageA(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(LoadIconA(nullptr, MAKEINTRESOURCEA(128))));
      if (!s.focusOnNo) return TRUE;
      SetFocus(GetDlgItem(dlg, IDCANCEL));
      SendMessageA(GetDlgItem(dlg, IDCANCEL), BM_SETSTYLE, BS_DEFPUSHBUTTON, 1);
      return FALSE;
    case WM_COMMAND:
      s.commands.push_back(LOWORD(wp));
      if (LOWORD(wp) == IDOK) {
        MessageBoxA(dlg, "done", "Caption", MB_OK);
        EndDialog(dlg, IDOK);
      } else if (LOWORD(wp) == IDCANCEL && s.endOnCancel) {
        EndDialog(dlg, IDCANCEL);
      }
      return TRUE;
    case WM_CLOSE:
      if (s.handleClose) EndDialog(dlg, 77);
      return s.handleClose;
    case WM_PAINT:
      if (IsIconic(dlg)) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(dlg, &ps);
        RECT r;
        GetClientRect(dlg, &r);
        DrawIcon(dc, (r.right - GetSystemMetrics(SM_CXICON) + 1) / 2, (r.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2,
                 reinterpret_cast<HICON>(SendMessageA(dlg, WM_GETICON, ICON_BIG, 0)));
        EndPaint(dlg, &ps);
        return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

class Dialogs : public User32 {
 protected:
  INT_PTR run(std::vector<std::string> answers) {
    boot(std::move(answers));
    session->registerDialog(102, questionTemplate());
    g_seen = &seen;
    INT_PTR r = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(102), nullptr, questionProc, 42);
    g_seen = nullptr;
    return r;
  }
  Seen seen;
};

TEST_F(User32, MessageBoxesAnswerFromTheScriptAndRecord) {
  boot({"yes", "", "n", "esc", "ok", "what?", "y"});
  EXPECT_EQ(MessageBoxA(nullptr, "q1", "C", MB_YESNO), IDYES);
  EXPECT_EQ(MessageBoxA(nullptr, "q2", "C", MB_YESNO), IDYES) << "Enter: the first button is the default";
  EXPECT_EQ(MessageBoxA(nullptr, "q3", "C", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(MessageBoxA(nullptr, "q4", "C", MB_YESNO), IDNO) << "Esc answers No";
  EXPECT_EQ(MessageBoxA(nullptr, "q5", "C", MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "q6", nullptr, MB_YESNOCANCEL), IDYES) << "an unknown answer is asked again";
  EXPECT_EQ(MessageBoxA(nullptr, "q7", "C", MB_OKCANCEL), IDCANCEL) << "end of input answers as Esc";
  auto boxes = ui->messageBoxes();
  ASSERT_EQ(boxes.size(), 7u);
  EXPECT_EQ(boxes[0].buttons, (std::vector<std::string>{"はい(Y)", "いいえ(N)"}));
  EXPECT_EQ(boxes[3].answer, "esc");
  EXPECT_EQ(boxes[5].caption, "エラー");
  EXPECT_EQ(boxes[6].answer, "end of input");
  EXPECT_EQ(boxes[6].result, IDCANCEL);
  EXPECT_NE(screen.str().find("--- C ---"), std::string::npos);
  EXPECT_EQ(MessageBoxA(reinterpret_cast<HWND>(uintptr_t{0x999}), "x", "y", MB_OK), 0) << "bad owner";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(User32, MessageBoxTextsAreShownFromShiftJis) {
  boot({"ok"});
  // "共有ファイルを削除しようとしました" with a path for caption.
  MessageBoxA(nullptr,
              "\x8B\xA4\x97\x4C\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8D\xED\x8F\x9C\x82\xB5\x82\xE6\x82\xA4\x82\xC6"
              "\x82\xB5\x82\xDC\x82\xB5\x82\xBD",
              "C:\\WINDOWS\\SYSTEM\\oslnk.sys", MB_OK);
  ASSERT_EQ(ui->shown().size(), 1u);
  EXPECT_EQ(ui->shown()[0].text, "共有ファイルを削除しようとしました");
  EXPECT_EQ(ui->shown()[0].caption, "C:\\WINDOWS\\SYSTEM\\oslnk.sys");
  EXPECT_NE(screen.str().find("共有ファイル"), std::string::npos);
}

TEST_F(Dialogs, EnterPressesTheFocusedButton) {
  EXPECT_EQ(run({""}), IDCANCEL);
  EXPECT_EQ(seen.commands, std::vector<WPARAM>{IDCANCEL});
  ASSERT_EQ(ui->shown().size(), 1u);
  const ShownBox& box = ui->shown()[0];
  EXPECT_EQ(box.kind, ShownBox::Kind::Dialog);
  EXPECT_EQ(box.caption, "Question");
  EXPECT_EQ(box.text, "upper\nlower") << "lines top to bottom";
  EXPECT_EQ(box.buttons, (std::vector<std::string>{"はい(Y)", "いいえ(N)"}));
  EXPECT_EQ(box.answer, "いいえ(N)");
  EXPECT_NE(screen.str().find("[*いいえ(N)*]"), std::string::npos);
  EXPECT_EQ(session->openWindows(), 0u) << "the dialog's windows are gone";
  EXPECT_FALSE(IsWindow(seen.window));
}

TEST_F(Dialogs, EnterWithoutAFocusedButtonPressesOk) {
  seen.focusOnNo = false;  // the system focuses the first tab stop: the Yes button
  EXPECT_EQ(run({"", "ok"}), IDOK);
  EXPECT_EQ(seen.commands, std::vector<WPARAM>{IDOK});
  ASSERT_EQ(ui->shown().size(), 2u);
  EXPECT_EQ(ui->shown()[1].kind, ShownBox::Kind::MessageWindow) << "the box the OK handling showed";
}

TEST_F(Dialogs, AccessKeysEscAndCloseBox) {
  EXPECT_EQ(run({"y", "ok"}), IDOK);
  EXPECT_EQ(run({"N"}), IDCANCEL);
  EXPECT_EQ(run({"esc"}), IDCANCEL);
  seen = Seen{};
  EXPECT_EQ(run({"close"}), IDCANCEL) << "an unhandled WM_CLOSE cancels";
  EXPECT_EQ(seen.commands, std::vector<WPARAM>{IDCANCEL});
  seen = Seen{};
  seen.handleClose = true;
  EXPECT_EQ(run({"close"}), 77);
  EXPECT_TRUE(seen.commands.empty());
  seen = Seen{};
  EXPECT_EQ(run({"q", "x", "no"}), IDCANCEL) << "keys of no button are asked again";
  EXPECT_EQ(ui->shown().size(), 1u);
}

TEST_F(Dialogs, EndOfInputCancelsOrGivesUp) {
  EXPECT_EQ(run({}), IDCANCEL);
  seen = Seen{};
  seen.endOnCancel = false;
  EXPECT_EQ(run({}), -1) << "nobody left to answer a dialog that will not cancel";
  EXPECT_EQ(session->openWindows(), 0u);
}

TEST_F(Dialogs, MinimisedDialogPaintsItsIconCentred) {
  EXPECT_EQ(run({"min", "no"}), IDCANCEL);
  ASSERT_EQ(session->iconDraws().size(), 1u);
  // 130 x 67 dialog units are 195 x 100 pixels here; a 32-pixel icon sits at ((195-32+1)/2, (100-32+1)/2).
  EXPECT_EQ(session->iconDraws()[0].x, 82);
  EXPECT_EQ(session->iconDraws()[0].y, 34);
  EXPECT_EQ(session->iconDraws()[0].icon, reinterpret_cast<uintptr_t>(LoadIconA(nullptr, MAKEINTRESOURCEA(128))));
  int paints = 0, drags = 0;
  for (UINT m : seen.messages) {
    paints += m == WM_PAINT;
    drags += m == WM_QUERYDRAGICON;
  }
  EXPECT_EQ(paints, 2) << "the first paint and the minimised one";
  EXPECT_EQ(drags, 1);
}

TEST_F(User32, UnknownTemplateAndBadHandles) {
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(999), nullptr, questionProc, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  HWND bogus = reinterpret_cast<HWND>(uintptr_t{0x4321});
  EXPECT_FALSE(SetWindowTextA(bogus, "x"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetDlgItem(bogus, 1), nullptr);
  EXPECT_FALSE(EndDialog(bogus, 1));
  EXPECT_EQ(SetFocus(bogus), nullptr);
  EXPECT_FALSE(IsIconic(bogus));
}

TEST_F(User32, ExitWindowsIsRecorded) {
  EXPECT_FALSE(session->restartRequested());
  EXPECT_TRUE(ExitWindowsEx(EWX_LOGOFF, 0));
  EXPECT_FALSE(session->restartRequested());
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
  EXPECT_TRUE(session->restartRequested());
  ASSERT_EQ(session->exitRequests().size(), 2u);
  EXPECT_EQ(session->exitRequests()[1].flags, static_cast<uint32_t>(EWX_REBOOT));
}

TEST(UserInterfaceLabels, AccessMarkers) {
  EXPECT_EQ(w98::UserInterface::stripAccessMarker("はい(&Y)"), "はい(Y)");
  EXPECT_EQ(w98::UserInterface::accessKey("はい(&Y)"), 'y');
  EXPECT_EQ(w98::UserInterface::stripAccessMarker("A&&B &C"), "A&B C");
  EXPECT_EQ(w98::UserInterface::accessKey("A&&B &C"), 'c');
  EXPECT_EQ(w98::UserInterface::accessKey("none&"), 0);
}

using SessionDeathTest = w98test::UserMachine;
TEST_F(SessionDeathTest, OneSessionAtATime) {
  EXPECT_DEATH(w98::UserSession second(registry, *disk, *ui), "second session");
}

TEST(NoSessionDeathTest, Win32CallsNeedASession) {
  EXPECT_DEATH(DeleteFileA("C:\\x"), "no current UserSession");
}

}  // namespace
