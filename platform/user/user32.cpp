// user32: modal dialogs from registered templates, message boxes and the restart request, shown through the
// session's UserInterface. Windows are entries of the session's window table; HWNDs are their keys.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "user/codepage.h"
#include "user/session_internal.h"

using w98::DialogTemplate;
using w98::UserSession;
using Window = UserSession::Impl::Window;

namespace {

UserSession::Impl& impl() { return UserSession::current().impl(); }

HWND toHwnd(uintptr_t h) { return reinterpret_cast<HWND>(h); }
uintptr_t fromHwnd(HWND h) { return reinterpret_cast<uintptr_t>(h); }

Window* windowOrError(HWND h) {
  Window* w = impl().window(h);
  if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return w;
}

// Dialog units to pixels for the dialog font (9-point Gothic: about 6 x 12 pixels per character cell).
LONG unitsX(int u) { return u * 6 / 4; }
LONG unitsY(int u) { return u * 12 / 8; }

INT_PTR callProc(uintptr_t dlg, UINT msg, WPARAM wp, LPARAM lp) {
  Window* w = impl().window(toHwnd(dlg));
  if (!w || !w->proc) return 0;
  DLGPROC proc = w->proc;  // the table may change while the procedure runs
  return proc(toHwnd(dlg), msg, wp, lp);
}

uintptr_t childById(const Window& dlg, int id) {
  for (uintptr_t c : dlg.children) {
    const Window* w = impl().window(toHwnd(c));
    if (w && w->id == id) return c;
  }
  return 0;
}

void sendCommand(uintptr_t dlg, int id) {
  Window* d = impl().window(toHwnd(dlg));
  if (!d) return;
  uintptr_t ctl = childById(*d, id);
  callProc(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), static_cast<LPARAM>(ctl));
}

void destroy(uintptr_t h) {
  auto& im = impl();
  auto it = im.windows.find(h);
  if (it == im.windows.end()) return;
  std::vector<uintptr_t> children = it->second.children;
  for (uintptr_t c : children) destroy(c);
  if (im.focus == h) im.focus = 0;
  im.windows.erase(h);
}

w98::UserInterface::DialogView viewOf(uintptr_t dlg) {
  auto& im = impl();
  const Window& d = im.windows.at(dlg);
  w98::UserInterface::DialogView view;
  view.caption = w98::cp932ToUtf8(d.text);
  std::vector<const Window*> texts;
  for (uintptr_t c : d.children) {
    const Window& w = im.windows.at(c);
    if (!(w.style & WS_VISIBLE)) continue;
    if (w.kind == DialogTemplate::ControlKind::Button) {
      view.buttons.push_back({w.id, w98::cp932ToUtf8(w.text), (w.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON,
                              im.focus == c});
    } else {
      texts.push_back(&w);
    }
  }
  // Text lines top to bottom, as they stand in the dialog.
  std::stable_sort(texts.begin(), texts.end(), [](const Window* a, const Window* b) { return a->y < b->y; });
  for (const Window* w : texts) view.lines.push_back(w98::cp932ToUtf8(w->text));
  // Enter falls to the dialog's default id when the focus is not on a push button.
  bool focusOnButton = std::any_of(view.buttons.begin(), view.buttons.end(), [](const auto& b) { return b.focused; });
  bool anyDefault = std::any_of(view.buttons.begin(), view.buttons.end(), [](const auto& b) { return b.isDefault; });
  if (!focusOnButton && !anyDefault) {
    for (auto& b : view.buttons) b.isDefault = b.id == d.defId;
  }
  return view;
}

uintptr_t createWindow(Window w) {
  auto& im = impl();
  uintptr_t h = im.nextWindow;
  im.nextWindow += 0x10;
  im.windows.emplace(h, std::move(w));
  return h;
}

}  // namespace

extern "C" {

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  auto& session = UserSession::current();
  if (hWnd && !windowOrError(hWnd)) return 0;
  // Japanese Windows 98 captions an untitled box "エラー" (error).
  std::string caption = lpCaption ? w98::cp932ToUtf8(lpCaption) : std::string("エラー");
  std::string text = lpText ? w98::cp932ToUtf8(lpText) : std::string();
  return session.ui().messageBox(caption, text, uType);
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
  auto& session = UserSession::current();
  const DialogTemplate* t = IS_INTRESOURCE(lpTemplateName)
                                ? session.dialogTemplate(static_cast<int>(reinterpret_cast<uintptr_t>(lpTemplateName)))
                                : (lpTemplateName ? session.dialogTemplate(lpTemplateName) : nullptr);
  if (!t) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  if (!lpDialogFunc || (hWndParent && !impl().window(hWndParent))) {
    SetLastError(hWndParent ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return -1;
  }
  Window dw;
  dw.isDialog = true;
  dw.parent = fromHwnd(hWndParent);
  dw.text = t->caption;
  dw.style = t->style;
  dw.width = t->width;
  dw.height = t->height;
  dw.proc = lpDialogFunc;
  const DialogTemplate copy = *t;  // a procedure may register templates while the dialog runs
  uintptr_t dlg = createWindow(std::move(dw));
  uintptr_t firstTab = 0;
  for (const auto& c : copy.controls) {
    Window cw;
    cw.parent = dlg;
    cw.id = c.id;
    cw.kind = c.kind;
    cw.text = c.text;
    cw.style = c.style;
    cw.x = c.x;
    cw.y = c.y;
    cw.width = c.width;
    cw.height = c.height;
    uintptr_t h = createWindow(std::move(cw));
    impl().windows.at(dlg).children.push_back(h);
    if (!firstTab && (c.style & WS_TABSTOP)) firstTab = h;
  }
  const uintptr_t previousFocus = impl().focus;
  if (callProc(dlg, WM_INITDIALOG, static_cast<WPARAM>(firstTab), dwInitParam) && firstTab) {
    impl().focus = firstTab;
  }
  // The first paint of the shown dialog.
  if (!impl().window(toHwnd(dlg))->ended) callProc(dlg, WM_PAINT, 0, 0);

  bool endOfInput = false;
  while (Window* d = impl().window(toHwnd(dlg))) {
    if (d->ended) break;
    if (endOfInput) {
      // The input ended and the procedure would not close on Cancel: nobody is left to answer.
      d->ended = true;
      d->result = -1;
      break;
    }
    using Kind = w98::UserInterface::DialogAction::Kind;
    auto action = session.ui().askDialog(viewOf(dlg));
    switch (action.kind) {
      case Kind::Command:
        sendCommand(dlg, action.id);
        break;
      case Kind::Close:
        // The close box: the procedure's WM_CLOSE, which by default cancels the dialog.
        if (!callProc(dlg, WM_CLOSE, 0, 0)) sendCommand(dlg, IDCANCEL);
        break;
      case Kind::Minimize: {
        Window* w = impl().window(toHwnd(dlg));
        w->iconic = true;
        callProc(dlg, WM_PAINT, 0, 0);
        callProc(dlg, WM_QUERYDRAGICON, 0, 0);
        if ((w = impl().window(toHwnd(dlg)))) w->iconic = false;
        break;
      }
      case Kind::EndOfInput:
        endOfInput = true;
        sendCommand(dlg, IDCANCEL);
        break;
    }
  }
  Window* d = impl().window(toHwnd(dlg));
  INT_PTR result = d ? d->result : -1;
  destroy(dlg);
  if (impl().window(toHwnd(previousFocus))) impl().focus = previousFocus;
  return result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  Window* w = windowOrError(hDlg);
  if (!w || !w->isDialog) {
    if (w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  w->ended = true;
  w->result = nResult;
  return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  Window* d = windowOrError(hDlg);
  if (!d) return nullptr;
  uintptr_t c = childById(*d, nIDDlgItem);
  if (!c) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return toHwnd(c);
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
  Window* w = windowOrError(hWnd);
  return w ? w->id : 0;
}

HWND WINAPI GetParent(HWND hWnd) {
  Window* w = windowOrError(hWnd);
  return w ? toHwnd(w->parent) : nullptr;
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  Window* w = windowOrError(hWnd);
  if (!w) return FALSE;
  w->text = lpString ? lpString : "";
  return TRUE;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  Window* w = windowOrError(hWnd);
  if (!w || !lpString || nMaxCount <= 0) return 0;
  size_t n = std::min(w->text.size(), static_cast<size_t>(nMaxCount - 1));
  std::memcpy(lpString, w->text.data(), n);
  lpString[n] = '\0';
  return static_cast<int>(n);
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
  HWND c = GetDlgItem(hDlg, nIDDlgItem);
  return c ? SetWindowTextA(c, lpString) : FALSE;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Window* w = windowOrError(hWnd);
  if (!w) return 0;
  switch (Msg) {
    case WM_SETICON: {
      uintptr_t& slot = wParam == ICON_BIG ? w->bigIcon : w->smallIcon;
      uintptr_t old = slot;
      slot = static_cast<uintptr_t>(lParam);
      return static_cast<LRESULT>(old);
    }
    case WM_GETICON:
      return static_cast<LRESULT>(wParam == ICON_BIG ? w->bigIcon : w->smallIcon);
    case WM_SETTEXT:
      w->text = lParam ? reinterpret_cast<const char*>(lParam) : "";
      return TRUE;
    case WM_GETTEXT:
      return GetWindowTextA(hWnd, reinterpret_cast<LPSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(w->text.size());
    case BM_SETSTYLE:
      if (w->kind == DialogTemplate::ControlKind::Button) {
        w->style = (w->style & ~static_cast<uint32_t>(0xFFFF)) | LOWORD(wParam);
      }
      return 0;
    case BM_CLICK:
      if (w->kind == DialogTemplate::ControlKind::Button && w->parent) sendCommand(w->parent, w->id);
      return 0;
    case DM_GETDEFID:
      return w->isDialog ? MAKELONG(w->defId, DC_HASDEFID) : 0;
    case DM_SETDEFID:
      if (w->isDialog) w->defId = static_cast<int>(wParam);
      return TRUE;
    default:
      // Anything else goes to a dialog's own procedure.
      return w->isDialog ? callProc(fromHwnd(hWnd), Msg, wParam, lParam) : 0;
  }
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  HWND c = GetDlgItem(hDlg, nIDDlgItem);
  return c ? SendMessageA(c, Msg, wParam, lParam) : 0;
}

HWND WINAPI SetFocus(HWND hWnd) {
  auto& im = impl();
  uintptr_t old = im.focus;
  if (hWnd && !windowOrError(hWnd)) return nullptr;
  im.focus = fromHwnd(hWnd);
  return toHwnd(old);
}

HWND WINAPI GetFocus(void) { return toHwnd(impl().focus); }

BOOL WINAPI IsWindow(HWND hWnd) { return hWnd && impl().window(hWnd) ? TRUE : FALSE; }

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR lpIconName) {
  // Icons are not drawn on the terminal; each resource id gets a handle of its own.
  uintptr_t id = IS_INTRESOURCE(lpIconName) ? reinterpret_cast<uintptr_t>(lpIconName) : 0x7FFF;
  return reinterpret_cast<HICON>(0x200000 + id);
}

BOOL WINAPI IsIconic(HWND hWnd) {
  Window* w = impl().window(hWnd);
  return w && w->iconic ? TRUE : FALSE;
}

int WINAPI GetSystemMetrics(int nIndex) {
  switch (nIndex) {
    case SM_CXSCREEN: return 640;
    case SM_CYSCREEN: return 480;
    case SM_CXICON:
    case SM_CYICON: return 32;
    default: return 0;
  }
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  Window* w = windowOrError(hWnd);
  if (!w || !lpRect) return FALSE;
  *lpRect = RECT{0, 0, unitsX(w->width), unitsY(w->height)};
  return TRUE;
}

BOOL WINAPI DrawIcon(HDC, int X, int Y, HICON hIcon) {
  if (!hIcon) return FALSE;
  UserSession::current().recordIconDraw({X, Y, reinterpret_cast<uintptr_t>(hIcon)});
  return TRUE;
}

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
  Window* w = windowOrError(hWnd);
  if (!w || !lpPaint) return nullptr;
  std::memset(lpPaint, 0, sizeof *lpPaint);
  lpPaint->hdc = reinterpret_cast<HDC>(fromHwnd(hWnd) | 1);
  GetClientRect(hWnd, &lpPaint->rcPaint);
  return lpPaint->hdc;
}

BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT*) { return impl().window(hWnd) ? TRUE : FALSE; }

BOOL WINAPI InvalidateRect(HWND hWnd, const RECT*, BOOL) { return !hWnd || impl().window(hWnd) ? TRUE : FALSE; }

LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  UserSession::current().recordExit({uFlags, dwReason});
  return TRUE;
}

}  // extern "C"
