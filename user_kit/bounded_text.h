// Text in fixed buffers for the Windows user-mode images (reveror.dll, oslnkset.exe, oslnkun.exe, oslnkin.dll)
// and their host builds: lengths, copies and appends that never run past a buffer, numbers, and paths split and
// joined by characters of the ANSI code page. On a Japanese Windows 98 that is code page 932, where a lead byte
// and its trail byte are one character and the trail byte may be 0x5C, the byte of '\' (表 is 0x95 0x5C).
// IsDBCSLeadByte (KERNEL32, in Windows 98) tells the two kinds of byte apart; scanning forward from the start
// is the only way to know which bytes are trail bytes ("Double-Byte Character Sets", MSDN).
//
// Image code: no exceptions, runtime or static constructors; loops stay loops.
#ifndef USER_KIT_BOUNDED_TEXT_H
#define USER_KIT_BOUNDED_TEXT_H

#include <windows.h>

namespace user_kit {

// Every path and registry key path of the images: 259 characters and the terminator.
const int kPathSize = MAX_PATH;

inline int Length(const char* text) {
  int n = 0;
  while (text[n]) ++n;
  return n;
}

inline void Fill(void* buffer, int size, BYTE value = 0) {
  BYTE* p = static_cast<BYTE*>(buffer);
  for (int i = 0; i < size; ++i) p[i] = value;
}

inline bool IsLeadByte(char c) { return IsDBCSLeadByte(static_cast<BYTE>(c)) != FALSE; }

// The character after the one at `p`; a lead byte just before the terminator is a character of its own.
inline const char* NextChar(const char* p) { return (IsLeadByte(*p) && p[1]) ? p + 2 : p + 1; }

inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The length of the folder part of `path` with its last separator: the index just past the last '\' or '/'
// that is a character of its own (not the trail byte of a two-byte character); 0 when there is none.
inline int FolderLength(const char* path) {
  int folder = 0;
  for (const char* p = path; *p; p = NextChar(p)) {
    if (IsSeparator(*p)) folder = static_cast<int>(p - path) + 1;
  }
  return folder;
}

// Whether the last character of `path` is a separator.
inline bool EndsInSeparator(const char* path) {
  const char* last = nullptr;
  for (const char* p = path; *p; p = NextChar(p)) last = p;
  return last && IsSeparator(*last);
}

// Case-insensitive equality as the file system and the profile functions compare: ASCII letters fold, the
// bytes of a two-byte character are compared as they are.
inline bool SameText(const char* a, const char* b) {
  while (*a && *b) {
    if (IsLeadByte(*a)) {
      if (a[0] != b[0] || a[1] != b[1]) return false;
      if (!a[1]) return true;
      a += 2;
      b += 2;
      continue;
    }
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    ++a;
    ++b;
  }
  return *a == *b;
}

// A terminated text in a caller's buffer of `size` bytes. Each append either fits whole or changes nothing and
// marks the text as overflowed; once marked, later appends change nothing either, so that a path built in
// several steps is checked once at the end and is never used cut short.
class Text {
 public:
  Text(char* buffer, int size) : buffer_(buffer), size_(size), length_(0), overflowed_(size <= 0) {
    if (size > 0) buffer[0] = '\0';
  }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;

  // `count` bytes of `text` (stopping early at its terminator).
  Text& AppendChars(const char* text, int count) {
    int n = 0;
    while (n < count && text[n]) ++n;
    if (overflowed_ || n > size_ - 1 - length_) {
      overflowed_ = true;
      return *this;
    }
    for (int i = 0; i < n; ++i) buffer_[length_ + i] = text[i];
    length_ += n;
    buffer_[length_] = '\0';
    return *this;
  }
  Text& Append(const char* text) { return AppendChars(text, user_kit::Length(text)); }
  Text& AppendNumber(DWORD value) {
    char digits[10];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value);
    char text[11];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = '\0';
    return Append(text);
  }
  // `name` below the folder held so far: a separator between them unless the text is empty or already ends
  // in one (judged by characters, so a folder ending in 表 still gets its separator).
  Text& AppendPath(const char* name) {
    if (length_ > 0 && !EndsInSeparator(buffer_)) AppendChars("\\", 1);
    return Append(name);
  }

  bool Overflowed() const { return overflowed_; }
  int Length() const { return length_; }
  const char* Get() const { return buffer_; }

 private:
  char* buffer_;
  int size_;
  int length_;
  bool overflowed_;
};

// `text` into `destination` of `size` bytes; false, with `destination` empty, when it would not fit.
inline bool Copy(char* destination, int size, const char* text) {
  Text out(destination, size);
  if (!out.Append(text).Overflowed()) return true;
  if (size > 0) destination[0] = '\0';
  return false;
}

// As much of `text` as fits in `destination` of `size` bytes, ending on a whole character: for messages that
// name a path too long to be held. True when all of it fitted.
inline bool CopyWholeCharacters(char* destination, int size, const char* text) {
  if (size <= 0) return false;
  int n = 0;
  for (const char* p = text; *p;) {
    const char* next = NextChar(p);
    if (next - text > size - 1) break;
    n = static_cast<int>(next - text);
    p = next;
  }
  for (int i = 0; i < n; ++i) destination[i] = text[i];
  destination[n] = '\0';
  return text[n] == '\0';
}

}  // namespace user_kit

#endif
