// A reader of 32-bit PE images (what mingw-w64 links for i686): headers, exports, imports and resources,
// for checking the shipped images without Windows.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace images {

inline constexpr uint16_t kVersionType = 16;  // RT_VERSION
inline constexpr uint16_t kGuiSubsystem = 2;  // IMAGE_SUBSYSTEM_WINDOWS_GUI

struct PeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A resource name or type: a number or a string (UTF-16 in the image, kept as UTF-8 here).
struct ResourceId {
  std::optional<uint16_t> number;
  std::string name;
  bool operator==(const ResourceId&) const = default;
  auto operator<=>(const ResourceId&) const = default;
  static ResourceId Number(uint16_t n) { return {n, {}}; }
};

struct ResourceEntry {
  ResourceId type;
  ResourceId name;
  uint16_t language = 0;
  std::vector<uint8_t> data;
};

// One imported function: the DLL as the image names it, and the function's name ("#n" for an ordinal).
struct Import {
  std::string dll;
  std::string function;
  bool operator==(const Import&) const = default;
  auto operator<=>(const Import&) const = default;
};

struct Export {
  uint32_t ordinal = 0;  // biased (as a caller passes it)
  std::string name;      // empty when exported by ordinal only
  uint32_t rva = 0;
};

class PeImage {
 public:
  // Parses the image; throws PeError naming what is wrong when it is not a well-formed 32-bit PE file.
  explicit PeImage(std::vector<uint8_t> bytes);
  static PeImage Load(const std::string& path);

  uint16_t Machine() const { return machine_; }
  uint16_t Characteristics() const { return characteristics_; }
  uint16_t Subsystem() const { return subsystem_; }
  // The Windows version the image states it needs: subsystem version and operating system version.
  std::pair<uint16_t, uint16_t> SubsystemVersion() const { return subsystemVersion_; }
  std::pair<uint16_t, uint16_t> OsVersion() const { return osVersion_; }
  const std::vector<std::string>& SectionNames() const { return sectionNames_; }
  bool IsDll() const { return (characteristics_ & 0x2000) != 0; }

  std::string ExportDirectoryName() const { return exportName_; }
  const std::vector<Export>& Exports() const { return exports_; }
  const std::vector<std::string>& ImportedDlls() const { return importedDlls_; }
  const std::vector<Import>& Imports() const { return imports_; }
  const std::vector<ResourceEntry>& Resources() const { return resources_; }
  std::vector<const ResourceEntry*> FindResources(uint16_t type) const;
  const ResourceEntry* FindResource(uint16_t type, uint16_t name) const;

  // The raw file, for searching constant data.
  std::span<const uint8_t> Bytes() const { return bytes_; }

 private:
  // File offset of an RVA inside a section, checking that size bytes are present there.
  size_t Offset(uint32_t rva, size_t size) const;
  std::string CString(uint32_t rva) const;
  void ReadExports(uint32_t rva, uint32_t size);
  void ReadImports(uint32_t rva);
  void ReadResourceDirectory(uint32_t base, uint32_t offset, int depth, ResourceEntry path);

  struct Section {
    uint32_t rva, virtualSize, fileOffset, fileSize;
  };
  std::vector<uint8_t> bytes_;
  std::vector<Section> sections_;
  uint16_t machine_ = 0, characteristics_ = 0, subsystem_ = 0;
  std::pair<uint16_t, uint16_t> subsystemVersion_, osVersion_;
  std::vector<std::string> sectionNames_;
  std::vector<Import> imports_;
  std::string exportName_;
  std::vector<Export> exports_;
  std::vector<std::string> importedDlls_;
  std::vector<ResourceEntry> resources_;
};

// Little-endian reads with bounds checks over a resource's bytes.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  int16_t S16() { return static_cast<int16_t>(U16()); }
  // A zero-terminated UTF-16 string, returned as UTF-8.
  std::string WideString();
  // A dialog's sz_Or_Ord field: 0xFFFF then a number, or a string.
  ResourceId NameOrOrdinal();
  void AlignTo(size_t n) { pos_ = (pos_ + n - 1) / n * n; }
  void Skip(size_t n);
  size_t Position() const { return pos_; }
  bool AtEnd() const { return pos_ >= data_.size(); }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

std::string Utf16ToUtf8(const std::u16string& text);

// An extended dialog template (DLGTEMPLATEEX) and its items.
struct DialogItem {
  uint32_t exStyle = 0, style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  uint32_t id = 0;
  ResourceId windowClass;  // 0x80 button, 0x81 edit, ...
  std::string title;       // UTF-8
};

struct DialogTemplate {
  uint32_t exStyle = 0, style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  ResourceId menu, windowClass;
  std::string title;
  uint16_t pointSize = 0, weight = 0;
  uint8_t italic = 0, charset = 0;
  std::string typeface;
  std::vector<DialogItem> items;
};

// Throws PeError for anything but an extended template.
DialogTemplate ParseDialogEx(std::span<const uint8_t> data);

// The fixed part of a version resource.
struct FixedVersion {
  uint16_t file[4] = {};
  uint16_t product[4] = {};
  uint32_t fileType = 0;
};
FixedVersion ParseVersion(std::span<const uint8_t> data);

// The text of a string value ("FileVersion", ...) in a version resource; empty when absent.
std::string VersionString(std::span<const uint8_t> data, const std::string& key);

struct IconDirEntry {
  uint8_t width = 0, height = 0, colourCount = 0;
  uint16_t planes = 0, bitCount = 0;
  uint32_t bytes = 0;
  uint16_t iconId = 0;
};
std::vector<IconDirEntry> ParseIconGroup(std::span<const uint8_t> data);

}  // namespace images
