#include "user/user_interface.h"

#include <algorithm>

namespace w98 {

namespace {

constexpr int kIdOk = 1, kIdCancel = 2, kIdAbort = 3, kIdRetry = 4, kIdIgnore = 5, kIdYes = 6, kIdNo = 7;

struct BoxButton {
  int id;
  const char* label;  // as Japanese Windows 98 labels them
  char key;
};

// The buttons of each message-box type (MB_OK .. MB_RETRYCANCEL).
std::vector<BoxButton> buttonsOf(unsigned type) {
  switch (type & 0xF) {
    case 1: return {{kIdOk, "OK", 'o'}, {kIdCancel, "キャンセル", 'c'}};
    case 2: return {{kIdAbort, "中止(A)", 'a'}, {kIdRetry, "再試行(R)", 'r'}, {kIdIgnore, "無視(I)", 'i'}};
    case 3: return {{kIdYes, "はい(Y)", 'y'}, {kIdNo, "いいえ(N)", 'n'}, {kIdCancel, "キャンセル", 'c'}};
    case 4: return {{kIdYes, "はい(Y)", 'y'}, {kIdNo, "いいえ(N)", 'n'}};
    case 5: return {{kIdRetry, "再試行(R)", 'r'}, {kIdCancel, "キャンセル", 'c'}};
    default: return {{kIdOk, "OK", 'o'}};
  }
}

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

}  // namespace

UserInterface::UserInterface(std::istream& in, std::ostream* out) : in_(in), out_(out) {}

UserInterface::UserInterface(const std::vector<std::string>& answers, std::ostream* out)
    : script_(std::make_unique<std::istringstream>([&answers] {
        std::string all;
        for (const auto& a : answers) all += a + "\n";
        return all;
      }())),
      in_(*script_),
      out_(out) {}

void UserInterface::print(const std::string& s) {
  if (out_) {
    *out_ << s;
    out_->flush();
  }
}

std::string UserInterface::stripAccessMarker(const std::string& label) {
  std::string out;
  for (size_t i = 0; i < label.size(); ++i) {
    if (label[i] == '&') {
      if (i + 1 < label.size() && label[i + 1] == '&') {
        out += '&';
        ++i;
      }
      continue;
    }
    out += label[i];
  }
  return out;
}

char UserInterface::accessKey(const std::string& label) {
  for (size_t i = 0; i + 1 < label.size(); ++i) {
    if (label[i] != '&') continue;
    if (label[i + 1] == '&') {
      ++i;
      continue;
    }
    return lower(std::string(1, label[i + 1]))[0];
  }
  return 0;
}

UserInterface::Read UserInterface::readInput() {
  while (true) {
    std::string line;
    if (!std::getline(in_, line)) return {Input::End, 0};
    const std::string a = lower(trim(line));
    if (a.empty()) return {Input::Enter, 0};
    if (a == "esc" || a == "escape" || a == "\x1b") return {Input::Escape, 0};
    if (a == "close") return {Input::Close, 0};
    if (a == "min" || a == "minimize") return {Input::Minimize, 0};
    if (a == "yes") return {Input::Key, 'y'};
    if (a == "no") return {Input::Key, 'n'};
    if (a == "ok") return {Input::Key, 'o'};
    if (a == "cancel") return {Input::Key, 'c'};
    if (a.size() == 1) return {Input::Key, a[0]};
    print("  (answer with Enter, a button's letter, yes, no, ok, cancel, esc or close)\n> ");
  }
}

UserInterface::DialogAction UserInterface::askDialog(const DialogView& view) {
  ShownBox box;
  box.kind = ShownBox::Kind::Dialog;
  box.caption = view.caption;
  for (size_t i = 0; i < view.lines.size(); ++i) box.text += (i ? "\n" : "") + view.lines[i];
  for (const auto& b : view.buttons) box.buttons.push_back(stripAccessMarker(b.label));

  std::string screen = "\n=== " + view.caption + " ===\n";
  for (const auto& l : view.lines) screen += "  " + l + "\n";
  screen += " ";
  for (const auto& b : view.buttons) {
    const std::string l = stripAccessMarker(b.label);
    screen += b.focused ? "  [*" + l + "*]" : b.isDefault ? "  <" + l + ">" : "  [" + l + "]";
  }
  print(screen + "\n> ");

  auto finish = [&](DialogAction a, const std::string& answer) {
    box.answer = answer;
    box.result = a.kind == DialogAction::Kind::Command ? a.id : 0;
    shown_.push_back(box);
    return a;
  };
  auto command = [&](const Button& b) {
    return finish({DialogAction::Kind::Command, b.id}, stripAccessMarker(b.label));
  };
  while (true) {
    Read r = readInput();
    switch (r.kind) {
      case Input::End:
        print("(end of input)\n");
        return finish({DialogAction::Kind::EndOfInput, 0}, "end of input");
      case Input::Close:
        return finish({DialogAction::Kind::Close, 0}, "close");
      case Input::Minimize:
        return finish({DialogAction::Kind::Minimize, 0}, "min");
      case Input::Escape:
        return finish({DialogAction::Kind::Command, kIdCancel}, "esc");
      case Input::Enter: {
        // Enter presses the focused push button, else the default one, else OK.
        auto it = std::find_if(view.buttons.begin(), view.buttons.end(), [](const Button& b) { return b.focused; });
        if (it == view.buttons.end()) {
          it = std::find_if(view.buttons.begin(), view.buttons.end(), [](const Button& b) { return b.isDefault; });
        }
        if (it != view.buttons.end()) return command(*it);
        return finish({DialogAction::Kind::Command, kIdOk}, "enter");
      }
      case Input::Key: {
        for (const auto& b : view.buttons) {
          if (accessKey(b.label) == r.key) return command(b);
        }
        print("  (no button has that key)\n> ");
        break;
      }
    }
  }
}

int UserInterface::messageBox(const std::string& caption, const std::string& text, unsigned type) {
  const auto buttons = buttonsOf(type);
  size_t def = (type >> 8) & 0xF;
  if (def >= buttons.size()) def = 0;
  ShownBox box;
  box.kind = ShownBox::Kind::MessageWindow;
  box.caption = caption;
  box.text = text;
  for (const auto& b : buttons) box.buttons.emplace_back(b.label);

  std::string screen = "\n--- " + caption + " ---\n";
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    screen += "  " + text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos) + "\n";
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  screen += " ";
  for (size_t i = 0; i < buttons.size(); ++i) {
    screen += i == def ? std::string("  <") + buttons[i].label + ">" : std::string("  [") + buttons[i].label + "]";
  }
  print(screen + "\n> ");

  // Esc answers Cancel where there is one; otherwise OK, No or Abort.
  auto escape = [&]() -> const BoxButton& {
    for (const auto& b : buttons) {
      if (b.id == kIdCancel) return b;
    }
    for (const auto& b : buttons) {
      if (b.id == kIdNo) return b;
    }
    return buttons.front();
  };
  auto finish = [&](const BoxButton& b, const std::string& answer) {
    box.answer = answer;
    box.result = b.id;
    shown_.push_back(box);
    return b.id;
  };
  while (true) {
    Read r = readInput();
    switch (r.kind) {
      case Input::End:
        print("(end of input)\n");
        return finish(escape(), "end of input");
      case Input::Escape:
        return finish(escape(), "esc");
      case Input::Close:
        return finish(escape(), "close");
      case Input::Enter:
        return finish(buttons[def], buttons[def].label);
      case Input::Minimize:
        print("  (a message box cannot be minimised)\n> ");
        break;
      case Input::Key:
        for (const auto& b : buttons) {
          if (b.key == r.key) return finish(b, b.label);
        }
        print("  (no button has that key)\n> ");
        break;
    }
  }
}

std::vector<ShownBox> UserInterface::messageBoxes() const {
  std::vector<ShownBox> out;
  for (const auto& b : shown_) {
    if (b.kind == ShownBox::Kind::MessageWindow) out.push_back(b);
  }
  return out;
}

}  // namespace w98
