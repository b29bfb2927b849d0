// The machine's screen and keyboard on the host: a terminal user interface that shows dialogs and message
// boxes and reads the user's answers, one per line, from a stream (a terminal or a script):
//   empty line (Enter)  the focused push button, else the default button
//   esc                 Esc: Cancel, or No where there is no Cancel
//   close               the caption's close box
//   yes / no / ok / cancel, or a single letter   the button with that access key (Y, N, O, C, ...)
//   min                 minimise the dialog for a moment (it paints its icon)
// Every box shown is recorded with its answer. Texts arrive here as UTF-8.
#pragma once

#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace w98 {

struct ShownBox {
  enum class Kind { Dialog, MessageWindow };  // not MessageBox: <windows.h> makes that a macro
  Kind kind = Kind::MessageWindow;
  std::string caption;
  std::string text;                  // lines joined with '\n'
  std::vector<std::string> buttons;  // labels without the access-key marker, e.g. "はい(Y)"
  std::string answer;                // the button's label, or "esc", "close", "end of input"
  int result = 0;                    // the command or message-box result
};

class UserInterface {
 public:
  struct Button {
    int id = 0;
    std::string label;  // UTF-8, '&' marks the access key
    bool isDefault = false;
    bool focused = false;
  };
  struct DialogView {
    std::string caption;
    std::vector<std::string> lines;
    std::vector<Button> buttons;
  };
  struct DialogAction {
    enum class Kind { Command, Close, Minimize, EndOfInput };
    Kind kind = Kind::EndOfInput;
    int id = 0;  // for Command
  };

  // Reads answers from `in` and shows boxes on `out` (null: shows nothing).
  UserInterface(std::istream& in, std::ostream* out);
  // Scripted answers, one per element ("yes", "no", "ok", "", "esc", ...).
  explicit UserInterface(const std::vector<std::string>& answers, std::ostream* out = nullptr);

  // Shows a dialog and waits for one action.
  DialogAction askDialog(const DialogView& view);
  // Shows a message box of Win32 type `type` (MB_OK, MB_YESNO, ... with MB_DEFBUTTONn) and returns the
  // pressed button's result (IDOK, IDYES, ...). At the end of the input it answers as Esc would.
  int messageBox(const std::string& caption, const std::string& text, unsigned type);

  const std::vector<ShownBox>& shown() const { return shown_; }
  void clearShown() { shown_.clear(); }
  // The message boxes only, in order.
  std::vector<ShownBox> messageBoxes() const;

  // Labels: '&' removed ("&&" stays one '&'); the access key in lower case, or 0.
  static std::string stripAccessMarker(const std::string& label);
  static char accessKey(const std::string& label);

 private:
  enum class Input { Enter, Escape, Close, Minimize, Key, End };
  struct Read {
    Input kind = Input::End;
    char key = 0;
  };
  Read readInput();
  void print(const std::string& s);

  std::unique_ptr<std::istringstream> script_;
  std::istream& in_;
  std::ostream* out_;
  std::vector<ShownBox> shown_;
};

}  // namespace w98
