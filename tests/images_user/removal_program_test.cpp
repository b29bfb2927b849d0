// The removal program's host build: its dialog, the order of its questions and what each answer does to the
// machine, as the user of a Japanese Windows 98 would see it.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "host_machine.h"
#include "host_program.h"
#include "images_test_support.h"
#include "removal_app.h"
#include "removal_dialog.h"
#include "resource.h"

namespace images {
namespace {

using w98::ShownBox;

const char* const kYes = "はい(Y)";
const char* const kNo = "いいえ(N)";

bool NothingRemoved(HostMachine& m) {
  for (const std::string& f : HostMachine::kFiles)
    if (!m.disk().exists(f)) return false;
  return m.registry().keyExists(std::string(HostMachine::kPorts) + "\\KVUSB1") &&
         m.registry().keyExists(HostMachine::kClass) && m.registry().keyExists(HostMachine::kUsbDevice) &&
         m.registry().keyExists(HostMachine::kRootDevice) && m.registry().keyExists(HostMachine::kMonitor) &&
         !m.disk().exists("C:\\WINDOWS\\wininit.ini");
}

bool EverythingRemoved(HostMachine& m) {
  for (const std::string& f : HostMachine::kFiles)
    if (m.disk().exists(f)) return false;
  return !m.registry().keyExists(std::string(HostMachine::kPorts) + "\\KVUSB1") &&
         !m.registry().keyExists(std::string(HostMachine::kPorts) + "\\KVUSB2") &&
         m.registry().keyExists(std::string(HostMachine::kPorts) + "\\LPT1") &&
         !m.registry().keyExists(HostMachine::kClass) && !m.registry().keyExists(HostMachine::kUsbDevice) &&
         !m.registry().keyExists(HostMachine::kRootDevice) && !m.registry().keyExists(HostMachine::kMonitor);
}

void ExpectQuestionDialog(const ShownBox& box) {
  EXPECT_EQ(box.kind, ShownBox::Kind::Dialog);
  EXPECT_EQ(box.caption, expected::kDialogCaption);
  // The two lines top to bottom: the upper one (1014) first.
  EXPECT_EQ(box.text, expected::kUpperLine + "\n" + expected::kLowerLine);
  EXPECT_EQ(box.buttons, (std::vector<std::string>{kYes, kNo}));
}

void ExpectCompletionQuestion(const ShownBox& box) {
  EXPECT_EQ(box.kind, ShownBox::Kind::MessageWindow);
  EXPECT_EQ(box.caption, expected::kMessageCaption);
  EXPECT_EQ(box.text, expected::kDoneQuestion);
  EXPECT_EQ(box.buttons.size(), 2u) << "Yes and No";
}

TEST(RemovalProgram, DeclinedByNoEnterEscOrTheCloseBoxChangesNothing) {
  // Enter answers No at once: the focus and the default-button look are on No.
  for (const std::string answer : {"no", "", "esc", "close"}) {
    SCOPED_TRACE("answer '" + answer + "'");
    HostMachine m({answer});
    m.InstallProduct();
    EXPECT_EQ(oslnkun::RunRemovalProgram(), 0);
    ASSERT_EQ(m.ui().shown().size(), 1u) << "nothing asked after the question";
    ExpectQuestionDialog(m.ui().shown()[0]);
    EXPECT_EQ(m.ui().shown()[0].result, answer == "close" ? 0 : IDCANCEL);
    EXPECT_TRUE(NothingRemoved(m));
    EXPECT_FALSE(m.session().restartRequested());
    EXPECT_EQ(m.session().openWindows(), 0u);
    EXPECT_EQ(m.session().openKeyHandles(), 0u);
    EXPECT_TRUE(m.session().spooler().calls().size() == 1) << "only the installer's AddMonitor";
  }
}

TEST(RemovalProgram, YesThenNoRemovesEverythingWithoutRestart) {
  HostMachine m({"yes", "no"});
  m.InstallProduct();
  EXPECT_EQ(oslnkun::RunRemovalProgram(), 0);
  const std::vector<ShownBox>& shown = m.ui().shown();
  ASSERT_EQ(shown.size(), 2u);
  ExpectQuestionDialog(shown[0]);
  EXPECT_EQ(shown[0].result, IDOK);
  ExpectCompletionQuestion(shown[1]);
  EXPECT_EQ(shown[1].result, IDNO);
  EXPECT_TRUE(EverythingRemoved(m));
  EXPECT_TRUE(m.registry().keyExists("HKEY_CURRENT_USER\\wininit"));
  const std::optional<std::string> ini = m.disk().readFile("C:\\WINDOWS\\wininit.ini");
  ASSERT_TRUE(ini.has_value());
  EXPECT_NE(ini->find("NUL=C:\\WINDOWS\\SYSTEM\\reveror.dll"), std::string::npos) << *ini;
  EXPECT_FALSE(m.session().restartRequested());
  EXPECT_TRUE(m.session().exitRequests().empty());
  EXPECT_EQ(m.session().openWindows(), 0u);
  EXPECT_EQ(m.session().openKeyHandles(), 0u);
  // The spooler was asked to drop the monitor, on the local spooler for "Windows 4.0".
  const auto calls = m.session().spooler().calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].op, "DeleteMonitor");
  EXPECT_FALSE(calls[1].server.has_value());
  EXPECT_EQ(calls[1].environment, "Windows 4.0");
  EXPECT_EQ(calls[1].monitor, "Molvex USB Cable Port Monitor");
}

TEST(RemovalProgram, YesThenYesShowsTheFloppyMessageBeforeAskingForARestart) {
  HostMachine m({"yes", "yes", "ok"});
  m.InstallProduct();
  EXPECT_EQ(oslnkun::RunRemovalProgram(), 0) << "the exit status carries no result";
  const std::vector<ShownBox>& shown = m.ui().shown();
  ASSERT_EQ(shown.size(), 3u);
  ExpectCompletionQuestion(shown[1]);
  EXPECT_EQ(shown[1].result, IDYES);
  EXPECT_EQ(shown[2].kind, ShownBox::Kind::MessageWindow);
  EXPECT_EQ(shown[2].caption, expected::kMessageCaption);
  EXPECT_EQ(shown[2].text, expected::kFloppy);
  EXPECT_EQ(shown[2].buttons.size(), 1u) << "OK only";
  ASSERT_EQ(m.session().exitRequests().size(), 1u);
  EXPECT_EQ(m.session().exitRequests()[0].flags, static_cast<uint32_t>(EWX_REBOOT));
  EXPECT_EQ(m.session().exitRequests()[0].reason, 0u);
  EXPECT_TRUE(EverythingRemoved(m));
  EXPECT_EQ(m.session().openWindows(), 0u);
}

TEST(RemovalProgram, OnACleanMachineYesLeadsStraightToTheCompletionQuestion) {
  HostMachine m({"yes", "no"});
  EXPECT_EQ(oslnkun::RunRemovalProgram(), 0);
  ASSERT_EQ(m.ui().shown().size(), 2u);
  ExpectCompletionQuestion(m.ui().shown()[1]);
}

TEST(RemovalProgram, FileMessagesComeBeforeTheCompletionQuestion) {
  HostMachine m({"yes", "ok", "ok", "no"});
  m.InstallProduct();
  m.disk().setInUse("C:\\WINDOWS\\SYSTEM\\oslnk.sys", true);
  m.disk().setInUse("C:\\WINDOWS\\SYSTEM\\reveror.dll", true);  // silent: entered for the next start instead
  m.disk().setInUse("C:\\WINDOWS\\SYSTEM\\dudirar.dll", true);
  EXPECT_EQ(oslnkun::RunRemovalProgram(), 0);
  const std::vector<ShownBox>& shown = m.ui().shown();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[1].caption, "C:\\WINDOWS\\SYSTEM\\dudirar.dll");
  EXPECT_EQ(shown[2].caption, "C:\\WINDOWS\\SYSTEM\\oslnk.sys");
  ExpectCompletionQuestion(shown[3]);
}

TEST(RemovalProgram, EndOfInputAtTheQuestionDeclines) {
  HostMachine m(std::vector<std::string>{});
  m.InstallProduct();
  EXPECT_EQ(oslnkun::RunRemovalProgram(), 0);
  EXPECT_TRUE(NothingRemoved(m));
  EXPECT_EQ(m.session().openWindows(), 0u);
}

// The dialog with its steps and initialisation observed from inside.
class ObservedDialog : public RemovalDialog {
 public:
  ObservedDialog() : RemovalDialog(GetModuleHandleA(nullptr), nullptr) {}

  std::vector<std::string> steps;
  int stepResult = 0;  // what every step reports; the dialog must not care
  struct AfterInit {
    BOOL result = TRUE;
    HWND window = nullptr, focus = nullptr, no = nullptr, yes = nullptr, owner = nullptr;
    uint32_t noStyle = 0, yesStyle = 0;
    LRESULT bigIcon = 0, smallIcon = 0;
    std::string caption, upper, lower;
    RECT client{};
  } init;
  HICON dragIcon = nullptr;

  using RemovalDialog::OnQueryDragIcon;

 protected:
  BOOL OnInitDialog() override {
    init.result = RemovalDialog::OnInitDialog();
    const HWND w = Window();
    init.window = w;
    init.focus = GetFocus();
    init.no = GetDlgItem(w, IDCANCEL);
    init.yes = GetDlgItem(w, IDOK);
    init.owner = OwnerWindow();
    init.bigIcon = SendMessageA(w, WM_GETICON, ICON_BIG, 0);
    init.smallIcon = SendMessageA(w, WM_GETICON, ICON_SMALL, 0);
    init.caption = Text(w);
    GetClientRect(w, &init.client);
    init.upper = Text(GetDlgItem(w, IDC_UPPER_LINE));
    init.lower = Text(GetDlgItem(w, IDC_LOWER_LINE));
    dragIcon = reinterpret_cast<HICON>(SendMessageA(w, WM_QUERYDRAGICON, 0, 0));
    return init.result;
  }
  int RemoveRegistryEntries() override { return Step("RemoveRegistryEntries", [this] { RemovalDialog::RemoveRegistryEntries(); }); }
  int RemoveRootDeviceKey() override { return Step("RemoveRootDeviceKey", [this] { RemovalDialog::RemoveRootDeviceKey(); }); }
  void RemoveFiles() override { Step("RemoveFiles", [this] { RemovalDialog::RemoveFiles(); }); }
  int ScheduleMonitorDllRemoval() override {
    return Step("ScheduleMonitorDllRemoval", [this] { RemovalDialog::ScheduleMonitorDllRemoval(); });
  }

 private:
  template <typename F>
  int Step(const char* name, F run) {
    steps.push_back(name);
    run();
    return stepResult;
  }
  static std::string Text(HWND w) {
    char buffer[256] = {};
    GetWindowTextA(w, buffer, sizeof buffer);
    return buffer;
  }
};

TEST(RemovalDialog, InitialisationSetsIconsTextsAndPutsFocusAndDefaultOnNo) {
  HostMachine m({"no"});
  oslnkun::RegisterResources(m.session());
  ObservedDialog d;
  d.DoModal();
  EXPECT_EQ(d.init.result, FALSE) << "the focus has been set by the dialog itself";
  EXPECT_EQ(d.init.focus, d.init.no);
  ASSERT_NE(d.init.no, nullptr);
  EXPECT_EQ(d.init.owner, d.init.window) << "the steps' messages belong to the dialog";
  const HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_OSLNKUN));
  EXPECT_EQ(d.init.bigIcon, reinterpret_cast<LRESULT>(icon));
  EXPECT_EQ(d.init.smallIcon, reinterpret_cast<LRESULT>(icon));
  EXPECT_EQ(d.dragIcon, icon);
  EXPECT_EQ(d.OnQueryDragIcon(), icon);
  EXPECT_EQ(*Cp932ToUtf8(d.init.caption), expected::kDialogCaption);
  EXPECT_EQ(*Cp932ToUtf8(d.init.upper), expected::kUpperLine);
  EXPECT_EQ(*Cp932ToUtf8(d.init.lower), expected::kLowerLine);
  EXPECT_TRUE(d.steps.empty()) << "No runs no step";
  EXPECT_EQ(d.Window(), nullptr) << "no window once the dialog has ended";
}

TEST(RemovalDialog, NoButtonIsDrawnAsTheDefaultButton) {
  // Enter answers whatever the screen shows as focused/default; the view offered to the user marks No.
  HostMachine m({""});
  m.InstallProduct();
  oslnkun::RegisterResources(m.session());
  ObservedDialog d;
  EXPECT_EQ(d.DoModal(), IDCANCEL);
  ASSERT_EQ(m.ui().shown().size(), 1u);
  EXPECT_EQ(m.ui().shown()[0].answer, kNo);
  EXPECT_TRUE(NothingRemoved(m));
}

TEST(RemovalDialog, YesRunsTheFourStepsInOrderWhateverTheyReport) {
  for (int result : {0, -1}) {
    SCOPED_TRACE(result);
    HostMachine m({"yes", "no"});
    m.InstallProduct();
    oslnkun::RegisterResources(m.session());
    ObservedDialog d;
    d.stepResult = result;
    EXPECT_EQ(d.DoModal(), IDOK);
    EXPECT_EQ(d.steps, (std::vector<std::string>{"RemoveRegistryEntries", "RemoveRootDeviceKey", "RemoveFiles",
                                                 "ScheduleMonitorDllRemoval"}));
    ASSERT_EQ(m.ui().shown().size(), 2u) << "the completion question is asked whatever the steps achieved";
    ExpectCompletionQuestion(m.ui().shown()[1]);
  }
}

TEST(RemovalDialog, MinimisedItDrawsItsIconCentred) {
  HostMachine m({"min", "no"});
  oslnkun::RegisterResources(m.session());
  ObservedDialog d;
  d.DoModal();
  // Only the minimised paint draws the icon (the first, normal paint leaves painting to the system).
  ASSERT_EQ(m.session().iconDraws().size(), 1u);
  const auto draw = m.session().iconDraws()[0];
  const HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_OSLNKUN));
  EXPECT_EQ(draw.icon, reinterpret_cast<uintptr_t>(icon));
  // Centred in the client area by the system's icon size.
  const int iconW = GetSystemMetrics(SM_CXICON), iconH = GetSystemMetrics(SM_CYICON);
  const int clientW = d.init.client.right - d.init.client.left, clientH = d.init.client.bottom - d.init.client.top;
  ASSERT_GT(clientW, iconW);
  EXPECT_EQ(draw.x, (clientW - iconW + 1) / 2);
  EXPECT_EQ(draw.y, (clientH - iconH + 1) / 2);
  EXPECT_TRUE(d.steps.empty());
}

TEST(CentredIconPosition, UsesIntegerDivisionOfTheRoundedUpDifference) {
  POINT p = CentredIconPosition(100, 60, 32, 32);
  EXPECT_EQ(p.x, 34);  // (100 - 32 + 1) / 2 = 34.5 -> 34
  EXPECT_EQ(p.y, 14);  // (60 - 32 + 1) / 2 = 14.5 -> 14
  p = CentredIconPosition(101, 61, 32, 32);
  EXPECT_EQ(p.x, 35);
  EXPECT_EQ(p.y, 15);
  p = CentredIconPosition(33, 32, 16, 32);
  EXPECT_EQ(p.x, 9);
  EXPECT_EQ(p.y, 0);
}

TEST(RemovalApp, RunsTheDialogOnceAndReleasesIt) {
  HostMachine m({"yes", "no"});
  oslnkun::RegisterResources(m.session());
  RemovalApp app(GetModuleHandleA(nullptr));
  EXPECT_EQ(app.Run(), 0);
  EXPECT_EQ(app.MainWindow(), nullptr);
  EXPECT_EQ(m.ui().shown().size(), 2u);
  EXPECT_EQ(m.session().openWindows(), 0u);
}

TEST(RemovalApp, WithoutItsDialogResourceItEndsQuietly) {
  // A damaged image (no template 102): the dialog cannot be created and the program ends, showing nothing.
  HostMachine m({"yes"});
  RemovalApp app(GetModuleHandleA(nullptr));
  EXPECT_EQ(app.Run(), 0);
  EXPECT_TRUE(m.ui().shown().empty());
}

}  // namespace
}  // namespace images
