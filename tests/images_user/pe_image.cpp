#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace images {
namespace {

uint16_t Get16(std::span<const uint8_t> b, size_t at) {
  if (at + 2 > b.size()) throw PeError("read past the end of the image at " + std::to_string(at));
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t Get32(std::span<const uint8_t> b, size_t at) {
  if (at + 4 > b.size()) throw PeError("read past the end of the image at " + std::to_string(at));
  return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) | static_cast<uint32_t>(b[at + 3]) << 24;
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

constexpr uint32_t kResourceSubdirectory = 0x80000000u;
constexpr uint32_t kResourceNameIsString = 0x80000000u;

}  // namespace

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);
  }
  return out;
}

PeImage PeImage::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PeError("cannot open " + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return PeImage(std::move(bytes));
}

PeImage::PeImage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
  const std::span<const uint8_t> b = bytes_;
  if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z') throw PeError("no MZ header");
  const uint32_t pe = Get32(b, 0x3C);
  if (Get32(b, pe) != 0x00004550) throw PeError("no PE signature");
  const size_t coff = pe + 4;
  machine_ = Get16(b, coff);
  const uint16_t sectionCount = Get16(b, coff + 2);
  const uint16_t optionalSize = Get16(b, coff + 16);
  characteristics_ = Get16(b, coff + 18);
  const size_t opt = coff + 20;
  if (Get16(b, opt) != 0x10B) throw PeError("not a 32-bit (PE32) image");
  subsystem_ = Get16(b, opt + 68);
  osVersion_ = {Get16(b, opt + 40), Get16(b, opt + 42)};
  subsystemVersion_ = {Get16(b, opt + 48), Get16(b, opt + 50)};
  const uint32_t directoryCount = Get32(b, opt + 92);
  auto directory = [&](uint32_t index) -> std::pair<uint32_t, uint32_t> {
    if (index >= directoryCount) return {0, 0};
    return {Get32(b, opt + 96 + 8 * index), Get32(b, opt + 100 + 8 * index)};
  };
  const size_t sectionTable = opt + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const size_t s = sectionTable + 40u * i;
    sections_.push_back({Get32(b, s + 12), Get32(b, s + 8), Get32(b, s + 20), Get32(b, s + 16)});
    std::string name;
    for (size_t k = 0; k < 8 && b[s + k]; ++k) name += static_cast<char>(b[s + k]);
    sectionNames_.push_back(name);
  }
  if (auto [rva, size] = directory(0); rva) ReadExports(rva, size);
  if (auto [rva, size] = directory(1); rva) ReadImports(rva);
  if (auto [rva, size] = directory(2); rva) ReadResourceDirectory(rva, 0, 0, {});
}

size_t PeImage::Offset(uint32_t rva, size_t size) const {
  for (const Section& s : sections_) {
    const uint32_t extent = std::max(s.virtualSize, s.fileSize);
    if (rva >= s.rva && rva - s.rva < extent) {
      const size_t inSection = rva - s.rva;
      if (inSection + size > s.fileSize || s.fileOffset + inSection + size > bytes_.size())
        throw PeError("data at RVA " + std::to_string(rva) + " is not in the file");
      return s.fileOffset + inSection;
    }
  }
  throw PeError("RVA " + std::to_string(rva) + " lies in no section");
}

std::string PeImage::CString(uint32_t rva) const {
  std::string out;
  for (size_t at = Offset(rva, 1); at < bytes_.size() && bytes_[at]; ++at) out += static_cast<char>(bytes_[at]);
  return out;
}

void PeImage::ReadExports(uint32_t rva, uint32_t) {
  const std::span<const uint8_t> b = bytes_;
  const size_t d = Offset(rva, 40);
  exportName_ = CString(Get32(b, d + 12));
  const uint32_t base = Get32(b, d + 16);
  const uint32_t functionCount = Get32(b, d + 20);
  const uint32_t nameCount = Get32(b, d + 24);
  const uint32_t functions = Get32(b, d + 28), names = Get32(b, d + 32), ordinals = Get32(b, d + 36);
  for (uint32_t i = 0; i < functionCount; ++i) {
    const uint32_t target = Get32(b, Offset(functions + 4 * i, 4));
    if (target) exports_.push_back({base + i, {}, target});
  }
  for (uint32_t i = 0; i < nameCount; ++i) {
    const std::string name = CString(Get32(b, Offset(names + 4 * i, 4)));
    const uint32_t ordinal = base + Get16(b, Offset(ordinals + 2 * i, 2));
    auto it = std::find_if(exports_.begin(), exports_.end(), [&](const Export& e) { return e.ordinal == ordinal; });
    if (it == exports_.end()) throw PeError("export name " + name + " refers to a missing ordinal");
    it->name = name;
  }
}

void PeImage::ReadImports(uint32_t rva) {
  const std::span<const uint8_t> b = bytes_;
  for (uint32_t entry = rva;; entry += 20) {
    const size_t d = Offset(entry, 20);
    const uint32_t nameRva = Get32(b, d + 12);
    if (nameRva == 0 && Get32(b, d) == 0 && Get32(b, d + 16) == 0) break;
    const std::string dll = CString(nameRva);
    importedDlls_.push_back(dll);
    // The lookup table (or, without one, the address table before binding): one 32-bit entry per function,
    // an ordinal when the top bit is set, else the RVA of a hint and the name.
    const uint32_t lookup = Get32(b, d) ? Get32(b, d) : Get32(b, d + 16);
    for (uint32_t at = lookup;; at += 4) {
      const uint32_t thunk = Get32(b, Offset(at, 4));
      if (thunk == 0) break;
      if (thunk & 0x80000000u) {
        imports_.push_back({dll, "#" + std::to_string(thunk & 0xFFFF)});
      } else {
        imports_.push_back({dll, CString(thunk + 2)});
      }
    }
  }
}

void PeImage::ReadResourceDirectory(uint32_t base, uint32_t offset, int depth, ResourceEntry path) {
  if (depth > 2) throw PeError("resource tree deeper than type/name/language");
  const std::span<const uint8_t> b = bytes_;
  const size_t d = Offset(base + offset, 16);
  const unsigned count = Get16(b, d + 12) + Get16(b, d + 14);
  for (unsigned i = 0; i < count; ++i) {
    const size_t e = Offset(base + offset + 16 + 8 * i, 8);
    const uint32_t nameField = Get32(b, e), target = Get32(b, e + 4);
    ResourceId id;
    if (nameField & kResourceNameIsString) {
      const size_t s = Offset(base + (nameField & ~kResourceNameIsString), 2);
      const uint16_t length = Get16(b, s);
      std::u16string text;
      for (uint16_t k = 0; k < length; ++k) text += static_cast<char16_t>(Get16(b, s + 2 + 2 * k));
      id.name = Utf16ToUtf8(text);
    } else {
      id.number = static_cast<uint16_t>(nameField);
    }
    ResourceEntry next = path;
    if (depth == 0) next.type = id;
    if (depth == 1) next.name = id;
    if (depth == 2) next.language = static_cast<uint16_t>(nameField);
    if (target & kResourceSubdirectory) {
      ReadResourceDirectory(base, target & ~kResourceSubdirectory, depth + 1, next);
    } else {
      if (depth != 2) throw PeError("resource data above the language level");
      const size_t data = Offset(base + target, 16);
      const uint32_t dataRva = Get32(b, data), size = Get32(b, data + 4);
      const size_t at = Offset(dataRva, size);
      next.data.assign(bytes_.begin() + at, bytes_.begin() + at + size);
      resources_.push_back(std::move(next));
    }
  }
}

std::vector<const ResourceEntry*> PeImage::FindResources(uint16_t type) const {
  std::vector<const ResourceEntry*> out;
  for (const ResourceEntry& r : resources_)
    if (r.type.number == type) out.push_back(&r);
  return out;
}

const ResourceEntry* PeImage::FindResource(uint16_t type, uint16_t name) const {
  for (const ResourceEntry& r : resources_)
    if (r.type.number == type && r.name.number == name) return &r;
  return nullptr;
}

uint8_t ByteReader::U8() {
  if (pos_ + 1 > data_.size()) throw PeError("resource ends early at byte " + std::to_string(pos_));
  return data_[pos_++];
}

uint16_t ByteReader::U16() {
  const uint16_t v = Get16(data_, pos_);
  pos_ += 2;
  return v;
}

uint32_t ByteReader::U32() {
  const uint32_t v = Get32(data_, pos_);
  pos_ += 4;
  return v;
}

void ByteReader::Skip(size_t n) {
  if (pos_ + n > data_.size()) throw PeError("resource ends early at byte " + std::to_string(pos_));
  pos_ += n;
}

std::string ByteReader::WideString() {
  std::u16string text;
  for (uint16_t c = U16(); c != 0; c = U16()) text += static_cast<char16_t>(c);
  return Utf16ToUtf8(text);
}

ResourceId ByteReader::NameOrOrdinal() {
  const size_t start = pos_;
  const uint16_t first = U16();
  if (first == 0) return {};
  if (first == 0xFFFF) return ResourceId::Number(U16());
  pos_ = start;
  ResourceId id;
  id.name = WideString();
  return id;
}

DialogTemplate ParseDialogEx(std::span<const uint8_t> data) {
  ByteReader r(data);
  if (r.U16() != 1 || r.U16() != 0xFFFF) throw PeError("not an extended dialog template");
  DialogTemplate t;
  r.U32();  // help id
  t.exStyle = r.U32();
  t.style = r.U32();
  const uint16_t count = r.U16();
  t.x = r.S16();
  t.y = r.S16();
  t.cx = r.S16();
  t.cy = r.S16();
  t.menu = r.NameOrOrdinal();
  t.windowClass = r.NameOrOrdinal();
  t.title = r.WideString();
  constexpr uint32_t kSetFont = 0x40;
  if (t.style & kSetFont) {
    t.pointSize = r.U16();
    t.weight = r.U16();
    t.italic = r.U8();
    t.charset = r.U8();
    t.typeface = r.WideString();
  }
  for (uint16_t i = 0; i < count; ++i) {
    r.AlignTo(4);
    DialogItem item;
    r.U32();  // help id
    item.exStyle = r.U32();
    item.style = r.U32();
    item.x = r.S16();
    item.y = r.S16();
    item.cx = r.S16();
    item.cy = r.S16();
    item.id = r.U32();
    item.windowClass = r.NameOrOrdinal();
    const ResourceId title = r.NameOrOrdinal();
    item.title = title.name;
    r.Skip(r.U16());  // creation data
    t.items.push_back(std::move(item));
  }
  return t;
}

FixedVersion ParseVersion(std::span<const uint8_t> data) {
  // VS_VERSIONINFO: length, value length, type, L"VS_VERSION_INFO", padding, then VS_FIXEDFILEINFO.
  ByteReader r(data);
  r.U16();
  const uint16_t valueLength = r.U16();
  r.U16();
  if (r.WideString() != "VS_VERSION_INFO") throw PeError("not a version resource");
  r.AlignTo(4);
  if (valueLength < 52 || r.U32() != 0xFEEF04BD) throw PeError("version resource without its fixed part");
  FixedVersion v;
  r.U32();  // structure version
  const uint32_t fileMs = r.U32(), fileLs = r.U32(), productMs = r.U32(), productLs = r.U32();
  v.file[0] = fileMs >> 16, v.file[1] = fileMs & 0xFFFF, v.file[2] = fileLs >> 16, v.file[3] = fileLs & 0xFFFF;
  v.product[0] = productMs >> 16, v.product[1] = productMs & 0xFFFF;
  v.product[2] = productLs >> 16, v.product[3] = productLs & 0xFFFF;
  r.U32();  // flags mask
  r.U32();  // flags
  r.U32();  // OS
  v.fileType = r.U32();
  return v;
}

namespace {

// Walks the version resource's blocks (each: length, value length, type, key, padding, value, children)
// looking for a string value with the given key.
std::string FindVersionString(std::span<const uint8_t> block, const std::string& key) {
  ByteReader r(block);
  const uint16_t length = r.U16();
  const uint16_t valueLength = r.U16();
  const uint16_t type = r.U16();
  if (length > block.size() || length < 6) throw PeError("version block with a bad length");
  const std::string name = r.WideString();
  r.AlignTo(4);
  if (type == 1 && name == key) {
    std::u16string text;
    for (uint16_t i = 0; i < valueLength; ++i) {
      const uint16_t c = r.U16();
      if (c == 0) break;
      text += static_cast<char16_t>(c);
    }
    return Utf16ToUtf8(text);
  }
  r.Skip(type == 1 ? 2u * valueLength : valueLength);
  r.AlignTo(4);
  while (r.Position() + 6 <= length) {
    const std::span<const uint8_t> child = block.subspan(r.Position(), length - r.Position());
    const uint16_t childLength = Get16(child, 0);
    if (childLength == 0) break;
    std::string found = FindVersionString(child.first(std::min<size_t>(childLength, child.size())), key);
    if (!found.empty()) return found;
    r.Skip(std::min<size_t>(childLength, child.size()));
    r.AlignTo(4);
  }
  return {};
}

}  // namespace

std::string VersionString(std::span<const uint8_t> data, const std::string& key) {
  return FindVersionString(data, key);
}

std::vector<IconDirEntry> ParseIconGroup(std::span<const uint8_t> data) {
  ByteReader r(data);
  if (r.U16() != 0 || r.U16() != 1) throw PeError("not an icon group");
  const uint16_t count = r.U16();
  std::vector<IconDirEntry> out;
  for (uint16_t i = 0; i < count; ++i) {
    IconDirEntry e;
    e.width = r.U8();
    e.height = r.U8();
    e.colourCount = r.U8();
    r.U8();
    e.planes = r.U16();
    e.bitCount = r.U16();
    e.bytes = r.U32();
    e.iconId = r.U16();
    out.push_back(e);
  }
  return out;
}

}  // namespace images
