// The small dialog class under the removal dialog: message routing to the right object, also with one
// dialog opened from another, and the results of DoModal.
#include <gtest/gtest.h>

#include <windows.h>

#include "host_machine.h"
#include "modal_dialog.h"
#include "user/session.h"

namespace images {
namespace {

constexpr int kTemplate = 500;

w98::DialogTemplate OkCancelTemplate() {
  using Kind = w98::DialogTemplate::ControlKind;
  w98::DialogTemplate t;
  t.caption = "test";
  t.style = WS_POPUP | WS_VISIBLE | WS_CAPTION;
  t.width = 100;
  t.height = 40;
  t.controls = {{IDOK, Kind::Button, "&OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 5, 20, 40, 14},
                {IDCANCEL, Kind::Button, "&Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 50, 20, 40, 14}};
  return t;
}

class Probe : public ModalDialog {
 public:
  explicit Probe(const char* name, Probe* openOnOk = nullptr)
      : ModalDialog(nullptr, kTemplate, nullptr), name_(name), inner_(openOnOk) {}
  std::vector<std::string>* log = nullptr;
  HICON icon = nullptr;
  HWND peer = nullptr;  // a window this dialog queries while it initialises

 protected:
  BOOL OnInitDialog() override {
    log->push_back(std::string(name_) + " init");
    // While this dialog is shown, a message to the other dialog's window must still reach that object.
    if (peer) SendMessageA(peer, WM_QUERYDRAGICON, 0, 0);
    return TRUE;
  }
  void OnOK() override {
    log->push_back(std::string(name_) + " ok");
    if (inner_) {
      inner_->log = log;
      inner_->peer = Window();
      inner_->DoModal();
      // Back from the inner dialog: messages to this window still reach this object.
      SendMessageA(Window(), WM_QUERYDRAGICON, 0, 0);
    }
    ModalDialog::OnOK();
  }
  void OnCancel() override {
    log->push_back(std::string(name_) + " cancel");
    ModalDialog::OnCancel();
  }
  HICON OnQueryDragIcon() override {
    log->push_back(std::string(name_) + " drag icon");
    return icon;
  }

 private:
  const char* name_;
  Probe* inner_;
};

TEST(ModalDialog, RoutesEachWindowsMessagesToItsOwnObjectAlsoWhenNested) {
  HostMachine m({"ok", "cancel"});
  m.session().registerDialog(kTemplate, OkCancelTemplate());
  std::vector<std::string> log;
  Probe inner("inner");
  Probe outer("outer", &inner);
  outer.log = &log;
  EXPECT_EQ(outer.DoModal(), IDOK);
  EXPECT_EQ(log, (std::vector<std::string>{"outer init", "outer ok", "inner init", "outer drag icon", "inner cancel",
                                      "outer drag icon"}));
  EXPECT_EQ(outer.Window(), nullptr);
  EXPECT_EQ(inner.Window(), nullptr);
  EXPECT_EQ(m.session().openWindows(), 0u);
}

TEST(ModalDialog, ReturnsMinusOneWhenTheTemplateIsMissing) {
  HostMachine m({"ok"});
  std::vector<std::string> log;
  Probe d("d");
  d.log = &log;
  EXPECT_EQ(d.DoModal(), -1);
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(m.ui().shown().empty());
  // The same object can be shown once the template exists.
  m.session().registerDialog(kTemplate, OkCancelTemplate());
  EXPECT_EQ(d.DoModal(), IDOK);
  EXPECT_EQ(log, (std::vector<std::string>{"d init", "d ok"}));
}

}  // namespace
}  // namespace images
