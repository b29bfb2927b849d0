// Where the Windows build put the images, the Japanese texts they must carry, and code page 932 conversion.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "pe_image.h"

namespace images {

// The Windows build folder: $OSLNK_WINDOWS_BUILD_DIR when set, else the one configured into the tests.
std::string WindowsBuildDir();
// The path of an image below the Windows build folder, or nothing when it has not been built.
std::optional<std::string> BuiltImage(const std::string& relative);

// Code page 932 (Shift-JIS) to UTF-8 and back, through the C library's converter. Nothing when the text
// does not convert (or the converter lacks the code page).
std::optional<std::string> Cp932ToUtf8(const std::string& bytes);
std::optional<std::string> Utf8ToCp932(const std::string& text);

// Runs a command and returns its standard output, or nothing when it could not run or failed.
std::optional<std::string> CommandOutput(const std::string& command);
bool HaveTool(const std::string& name);

// Checks an image's imports against its written allow-list of "dll!function" entries (DLL names in lower
// case): every import must be listed. Where binutils is installed, its reading of the import table must
// agree with ours, so that a fault of our reader cannot hide an import.
void ExpectImportsOnly(const PeImage& image, const std::string& path, const std::set<std::string>& allowed);
// Windows 98 is version 4.0: the image states it as subsystem and operating system version.
void ExpectWindows98Version(const PeImage& image);

// The removal program's texts, as a Japanese reader sees them.
namespace expected {
inline const std::string kUpperLine = "プリンタUSBケーブル Ostrolinkの";
inline const std::string kLowerLine = "アンインストールを実行します。";
inline const std::string kDialogCaption = "Ostrolinkのアンインストール";
inline const std::string kDoneQuestion =
    "アンインストールが完了しました。ドライバを再インストールする場合は\n\n"
    "Windowsの再起動が必要です。Windowsを再起動しますか？\n";
inline const std::string kMessageCaption = "Ostrolink のアンインストール";
inline const std::string kFloppy = "フロッピーディスクを抜いて［OK］ボタンをクリックしてください。\n";
inline const std::string kYesButton = "はい(&Y)";
inline const std::string kNoButton = "いいえ(&N)";
inline const std::string kDialogFont = "ＭＳ Ｐゴシック";
}  // namespace expected

}  // namespace images
