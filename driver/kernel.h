// The driver's only window onto the platform: every driver source includes this header and no other
// system header. The same text builds the Windows image (mingw-w64 DDK headers) and the host library
// (platform/include, with OSLNK_HOST defined).
#pragma once

#include <ddk/wdm.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <ddk/usbdlib.h>
}

// Exported by the kernel on both targets; declared here because the driver has no C library.
extern "C" int __cdecl sprintf(char*, const char*, ...);
extern "C" int __cdecl strncmp(const char*, const char*, size_t);

// Every block the driver allocates carries this tag: the bytes "Ddk " read as a little-endian word.
constexpr ULONG DDK_POOL_TAG = 0x206B6444;

// A wide literal of the platform's WCHAR, from an ASCII literal: WIDE("Port Name") yields a PCWSTR
// with static storage. Built at compile time, so no static constructor.
template <size_t N>
struct WideLiteral {
    WCHAR Text[N];
    constexpr WideLiteral(const char (&Ascii)[N]) : Text{}
    {
        for (size_t i = 0; i < N; ++i) Text[i] = static_cast<WCHAR>(static_cast<unsigned char>(Ascii[i]));
    }
};
#define WIDE(ascii) ([]() -> PCWSTR { static constexpr WideLiteral Literal{ascii}; return Literal.Text; }())

#ifdef OSLNK_HOST
// Host only: puts every driver global back to its load-time value, as a fresh image load would.
extern "C" void OslnkResetImage(void);
#endif
