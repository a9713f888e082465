// Reading and preparing a Windows library image; field offsets follow the PE
// format's description of each header.
#include "platform/pe_image.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace platform::pe {
namespace {

static_assert(std::endian::native == std::endian::little, "PE fields are read in place");

// DOS header: "MZ" at 0, e_lfanew (offset of the NT headers) at 0x3C.
constexpr std::size_t kDosHeaderSize = 0x40;
constexpr std::size_t kLfanewOffset = 0x3C;
// NT headers: "PE\0\0", then the file header (20 bytes), then the optional header.
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kOptionalOffset = 4 + kFileHeaderSize;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint16_t kMagicPe32 = 0x10b;
constexpr std::uint16_t kMagicPe32Plus = 0x20b;
// Optional header up to and including NumberOfRvaAndSizes.
constexpr std::size_t kOptionalFixedPe32 = 96;
constexpr std::size_t kOptionalFixedPe32Plus = 112;
constexpr std::size_t kDirSecurity = 4;  // holds a file offset, not an RVA
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::size_t kExportDirectorySize = 40;
constexpr std::size_t kTlsDirectorySize32 = 24;
constexpr std::size_t kTlsDirectorySize64 = 40;

template <typename T>
bool ReadAt(std::span<const std::uint8_t> bytes, std::uint64_t offset, T* value) {
  if (offset > bytes.size() || sizeof(T) > bytes.size() - offset) return false;
  std::memcpy(value, bytes.data() + offset, sizeof(T));
  return true;
}

template <typename T>
bool WriteAt(std::span<std::uint8_t> bytes, std::uint64_t offset, T value) {
  if (offset > bytes.size() || sizeof(T) > bytes.size() - offset) return false;
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
  return true;
}

bool ReadPointer(std::span<const std::uint8_t> bytes, std::uint64_t offset, bool wide,
                 std::uint64_t* value) {
  if (wide) return ReadAt(bytes, offset, value);
  std::uint32_t narrow = 0;
  if (!ReadAt(bytes, offset, &narrow)) return false;
  *value = narrow;
  return true;
}

// True iff [offset, offset + size) lies inside a buffer of limit bytes.
bool Inside(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

// Returns a NUL-terminated name at rva, or nullptr when it does not end
// inside the image or is longer than kMaxNameLength.
const char* NameAt(std::span<const std::uint8_t> image, std::uint32_t rva) {
  if (rva >= image.size()) return nullptr;
  const std::size_t room = std::min(image.size() - rva, kMaxNameLength + 1);
  const void* end = std::memchr(image.data() + rva, 0, room);
  if (end == nullptr) return nullptr;
  return reinterpret_cast<const char*>(image.data() + rva);
}

std::string Hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xf]);
    value >>= 4;
  } while (value != 0);
  return "0x" + text;
}

}  // namespace

std::uint16_t HostMachine() {
  return sizeof(void*) == 8 ? kMachineAmd64 : kMachineI386;
}

Result ParseHeaders(std::span<const std::uint8_t> file, std::uint16_t machine, Layout* out) {
  if (file.size() < kDosHeaderSize || file[0] != 'M' || file[1] != 'Z') {
    return Result::Fail("no DOS header");
  }
  std::uint32_t nt = 0;
  if (!ReadAt(file, kLfanewOffset, &nt) || !Inside(nt, kOptionalOffset, file.size())) {
    return Result::Fail("NT headers outside the file");
  }
  if (std::memcmp(file.data() + nt, "PE\0\0", 4) != 0) return Result::Fail("no PE signature");

  Layout layout;
  std::uint16_t sectionCount = 0;
  std::uint16_t optionalSize = 0;
  std::uint16_t characteristics = 0;
  if (!ReadAt(file, nt + 4, &layout.machine) || !ReadAt(file, nt + 6, &sectionCount) ||
      !ReadAt(file, nt + 20, &optionalSize) || !ReadAt(file, nt + 22, &characteristics)) {
    return Result::Fail("file header cut short");
  }
  if (layout.machine != machine) {
    return Result::Fail("machine " + Hex(layout.machine) + " where " + Hex(machine) + " is needed");
  }
  if ((characteristics & 0x0002) == 0) return Result::Fail("not an executable image");

  const std::uint64_t opt = std::uint64_t{nt} + kOptionalOffset;
  if (!Inside(opt, optionalSize, file.size())) return Result::Fail("optional header cut short");
  const auto optional = file.subspan(static_cast<std::size_t>(opt), optionalSize);
  std::uint16_t magic = 0;
  if (!ReadAt(optional, 0, &magic)) return Result::Fail("optional header cut short");
  layout.pe32Plus = magic == kMagicPe32Plus;
  if (magic != (machine == kMachineAmd64 ? kMagicPe32Plus : kMagicPe32)) {
    return Result::Fail("optional header magic " + Hex(magic) + " does not fit the machine");
  }
  const std::size_t fixedSize = layout.pe32Plus ? kOptionalFixedPe32Plus : kOptionalFixedPe32;
  if (optionalSize < fixedSize) return Result::Fail("optional header cut short");

  std::uint32_t fileAlignment = 0;
  std::uint32_t dirCount = 0;
  bool read =
      ReadAt(optional, 16, &layout.entryPoint) && ReadAt(optional, 32, &layout.sectionAlignment) &&
      ReadAt(optional, 36, &fileAlignment) && ReadAt(optional, 56, &layout.sizeOfImage) &&
      ReadAt(optional, 60, &layout.sizeOfHeaders) && ReadAt(optional, fixedSize - 4, &dirCount);
  layout.imageBaseOffset = static_cast<std::uint32_t>(opt + (layout.pe32Plus ? 24 : 28));
  read = read && ReadPointer(file, layout.imageBaseOffset, layout.pe32Plus, &layout.imageBase);
  if (!read) return Result::Fail("optional header cut short");

  if (layout.sectionAlignment == 0 || !std::has_single_bit(layout.sectionAlignment)) {
    return Result::Fail("section alignment is not a power of two");
  }
  if (layout.sizeOfImage == 0 || layout.sizeOfImage > kMaxImageSize) {
    return Result::Fail("image size " + Hex(layout.sizeOfImage) + " out of range");
  }
  if (layout.sizeOfHeaders > layout.sizeOfImage || layout.sizeOfHeaders > file.size()) {
    return Result::Fail("headers larger than the image or the file");
  }
  if (layout.entryPoint >= layout.sizeOfImage) return Result::Fail("entry point outside the image");

  if (dirCount > kDirCount || fixedSize + std::uint64_t{dirCount} * 8 > optionalSize) {
    return Result::Fail("data directories do not fit the optional header");
  }
  for (std::size_t i = 0; i < dirCount; ++i) {
    DataDirectory& dir = layout.dirs[i];
    (void)ReadAt(optional, fixedSize + i * 8, &dir.rva);
    (void)ReadAt(optional, fixedSize + i * 8 + 4, &dir.size);
    if (i == kDirSecurity) continue;
    if (dir.size != 0 && !Inside(dir.rva, dir.size, layout.sizeOfImage)) {
      return Result::Fail("data directory " + std::to_string(i) + " outside the image");
    }
  }

  const std::uint64_t table = opt + optionalSize;
  const std::uint64_t tableSize = std::uint64_t{sectionCount} * kSectionHeaderSize;
  if (!Inside(table, tableSize, std::min<std::uint64_t>(file.size(), layout.sizeOfHeaders))) {
    return Result::Fail("section table outside the headers");
  }
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::uint64_t at = table + std::uint64_t{i} * kSectionHeaderSize;
    Section s;
    std::uint32_t rawSize = 0;
    (void)ReadAt(file, at + 8, &s.virtualSize);
    (void)ReadAt(file, at + 12, &s.virtualAddress);
    (void)ReadAt(file, at + 16, &rawSize);
    (void)ReadAt(file, at + 20, &s.rawOffset);
    (void)ReadAt(file, at + 36, &s.characteristics);
    if (s.virtualSize == 0) s.virtualSize = rawSize;
    s.copySize = std::min(rawSize, s.virtualSize);
    const std::string which = "section " + std::to_string(i);
    if (s.virtualAddress < layout.sizeOfHeaders ||
        !Inside(s.virtualAddress, s.virtualSize, layout.sizeOfImage)) {
      return Result::Fail(which + " outside the image");
    }
    if (s.copySize != 0 && !Inside(s.rawOffset, s.copySize, file.size())) {
      return Result::Fail(which + " data outside the file");
    }
    layout.sections.push_back(s);
  }
  *out = std::move(layout);
  return Result::Ok();
}

Result MapImage(std::span<const std::uint8_t> file, const Layout& layout,
                std::span<std::uint8_t> image) {
  if (image.size() != layout.sizeOfImage) return Result::Fail("buffer does not fit the image");
  if (layout.sizeOfHeaders > file.size()) return Result::Fail("headers outside the file");
  std::fill(image.begin(), image.end(), std::uint8_t{0});
  std::memcpy(image.data(), file.data(), layout.sizeOfHeaders);
  for (const Section& s : layout.sections) {
    if (s.copySize == 0) continue;
    if (!Inside(s.rawOffset, s.copySize, file.size()) ||
        !Inside(s.virtualAddress, s.copySize, image.size())) {
      return Result::Fail("section outside the file or the image");
    }
    std::memcpy(image.data() + s.virtualAddress, file.data() + s.rawOffset, s.copySize);
  }
  return Result::Ok();
}

void SetImageBase(std::span<std::uint8_t> image, const Layout& layout, std::uint64_t base) {
  if (layout.pe32Plus) {
    (void)WriteAt(image, layout.imageBaseOffset, base);
  } else {
    (void)WriteAt(image, layout.imageBaseOffset, static_cast<std::uint32_t>(base));
  }
}

Result ReadRelocations(std::span<const std::uint8_t> image, const Layout& layout,
                       std::vector<Relocation>* out) {
  std::vector<Relocation> sites;
  const DataDirectory dir = layout.dirs[kDirBaseReloc];
  if (image.size() != layout.sizeOfImage || !Inside(dir.rva, dir.size, image.size())) {
    return Result::Fail("relocation table outside the image");
  }
  const std::uint16_t wanted = layout.pe32Plus ? kRelDir64 : kRelHighLow;
  const std::uint32_t width = layout.pe32Plus ? 8 : 4;
  std::uint64_t at = dir.rva;
  const std::uint64_t end = std::uint64_t{dir.rva} + dir.size;
  while (end - at >= 8) {
    std::uint32_t page = 0;
    std::uint32_t blockSize = 0;
    (void)ReadAt(image, at, &page);
    (void)ReadAt(image, at + 4, &blockSize);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > end - at) {
      return Result::Fail("relocation block at " + Hex(at) + " runs past its table");
    }
    for (std::uint64_t e = at + 8; e < at + blockSize; e += 2) {
      std::uint16_t entry = 0;
      (void)ReadAt(image, e, &entry);
      const auto type = static_cast<std::uint16_t>(entry >> 12);
      if (type == kRelAbsolute) continue;
      if (type != wanted) return Result::Fail("relocation type " + std::to_string(type));
      const std::uint64_t site = std::uint64_t{page} + (entry & 0xfff);
      if (!Inside(site, width, layout.sizeOfImage)) {
        return Result::Fail("relocation at " + Hex(site) + " outside the image");
      }
      sites.push_back({static_cast<std::uint32_t>(site), type});
    }
    at += blockSize;
  }
  *out = std::move(sites);
  return Result::Ok();
}

Result ApplyRelocations(std::span<std::uint8_t> image, const Layout& layout, std::uint64_t delta,
                        std::size_t* applied) {
  std::vector<Relocation> sites;
  if (Result r = ReadRelocations(image, layout, &sites); !r.ok()) return r;
  std::size_t count = 0;
  if (delta != 0) {
    for (const Relocation& site : sites) {
      if (site.type == kRelDir64) {
        std::uint64_t value = 0;
        (void)ReadAt(std::span<const std::uint8_t>(image), site.rva, &value);
        (void)WriteAt(image, site.rva, value + delta);
      } else {
        std::uint32_t value = 0;
        (void)ReadAt(std::span<const std::uint8_t>(image), site.rva, &value);
        (void)WriteAt(image, site.rva, static_cast<std::uint32_t>(value + delta));
      }
      ++count;
    }
  }
  *applied = count;
  return Result::Ok();
}

Result ResolveImports(std::span<std::uint8_t> image, const Layout& layout,
                      const ImportResolver& resolver) {
  const DataDirectory dir = layout.dirs[kDirImport];
  if (dir.size == 0) return Result::Ok();
  if (image.size() != layout.sizeOfImage) return Result::Fail("buffer does not fit the image");
  const std::span<const std::uint8_t> view(image);
  const bool wide = layout.pe32Plus;
  const std::uint32_t width = wide ? 8 : 4;
  const std::uint64_t ordinalFlag = wide ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 31);
  for (std::uint64_t d = dir.rva;; d += kImportDescriptorSize) {
    std::uint32_t lookup = 0;
    std::uint32_t nameRva = 0;
    std::uint32_t thunks = 0;
    if (!ReadAt(view, d + 12, &nameRva) || !ReadAt(view, d, &lookup) ||
        !ReadAt(view, d + 16, &thunks)) {
      return Result::Fail("import descriptor outside the image");
    }
    if (nameRva == 0 && thunks == 0) break;
    const char* module = NameAt(view, nameRva);
    if (module == nullptr) return Result::Fail("import module name outside the image");
    if (lookup == 0) lookup = thunks;
    bool first = true;
    for (std::uint64_t i = 0;; ++i) {
      std::uint64_t entry = 0;
      if (!ReadPointer(view, lookup + i * width, wide, &entry) ||
          !Inside(thunks + i * width, width, image.size())) {
        return Result::Fail(std::string("import table of ") + module + " outside the image");
      }
      if (entry == 0) break;
      Import import;
      import.module = module;
      import.firstOfModule = first;
      first = false;
      std::string what;
      if ((entry & ordinalFlag) != 0) {
        import.ordinal = static_cast<std::uint16_t>(entry & 0xffff);
        what = "#" + std::to_string(import.ordinal);
      } else {
        if (entry > 0xffffffffu - 2) return Result::Fail("import name outside the image");
        import.name = NameAt(view, static_cast<std::uint32_t>(entry + 2));
        if (import.name == nullptr) return Result::Fail("import name outside the image");
        what = import.name;
      }
      std::uint64_t address = 0;
      if (!resolver(import, &address)) {
        return Result::Fail(std::string("missing import ") + module + "!" + what);
      }
      if (wide) {
        (void)WriteAt(image, thunks + i * width, address);
      } else {
        (void)WriteAt(image, thunks + i * width, static_cast<std::uint32_t>(address));
      }
    }
  }
  return Result::Ok();
}

Result FindExport(std::span<const std::uint8_t> image, const Layout& layout, std::string_view name,
                  std::uint32_t* rva) {
  const DataDirectory dir = layout.dirs[kDirExport];
  if (dir.size < kExportDirectorySize || !Inside(dir.rva, dir.size, image.size())) {
    return Result::Fail("no export directory");
  }
  std::uint32_t functionCount = 0;
  std::uint32_t nameCount = 0;
  std::uint32_t functions = 0;
  std::uint32_t names = 0;
  std::uint32_t ordinals = 0;
  (void)ReadAt(image, dir.rva + 20, &functionCount);
  (void)ReadAt(image, dir.rva + 24, &nameCount);
  (void)ReadAt(image, dir.rva + 28, &functions);
  (void)ReadAt(image, dir.rva + 32, &names);
  (void)ReadAt(image, dir.rva + 36, &ordinals);
  if (!Inside(functions, std::uint64_t{functionCount} * 4, image.size()) ||
      !Inside(names, std::uint64_t{nameCount} * 4, image.size()) ||
      !Inside(ordinals, std::uint64_t{nameCount} * 2, image.size())) {
    return Result::Fail("export tables outside the image");
  }
  for (std::uint32_t i = 0; i < nameCount; ++i) {
    std::uint32_t nameRva = 0;
    (void)ReadAt(image, names + std::uint64_t{i} * 4, &nameRva);
    const char* exported = NameAt(image, nameRva);
    if (exported == nullptr || name != exported) continue;
    std::uint16_t index = 0;
    (void)ReadAt(image, ordinals + std::uint64_t{i} * 2, &index);
    if (index >= functionCount) return Result::Fail("export ordinal out of range");
    std::uint32_t target = 0;
    (void)ReadAt(image, functions + std::uint64_t{index} * 4, &target);
    if (target >= dir.rva && target - dir.rva < dir.size) {
      return Result::Fail("export " + std::string(name) + " is forwarded");
    }
    if (target == 0 || target >= image.size()) return Result::Fail("export outside the image");
    *rva = target;
    return Result::Ok();
  }
  return Result::Fail("no export named " + std::string(name));
}

Result ReadTls(std::span<const std::uint8_t> image, const Layout& layout, std::uint64_t base,
               TlsInfo* out) {
  TlsInfo info;
  const DataDirectory dir = layout.dirs[kDirTls];
  if (dir.size == 0) {
    *out = info;
    return Result::Ok();
  }
  const bool wide = layout.pe32Plus;
  const std::size_t width = layout.pointerSize();
  if (dir.size < (wide ? kTlsDirectorySize64 : kTlsDirectorySize32) ||
      !Inside(dir.rva, dir.size, image.size())) {
    return Result::Fail("TLS directory outside the image");
  }
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t index = 0;
  std::uint64_t callbacks = 0;
  (void)ReadPointer(image, dir.rva, wide, &start);
  (void)ReadPointer(image, dir.rva + width, wide, &end);
  (void)ReadPointer(image, dir.rva + 2 * width, wide, &index);
  (void)ReadPointer(image, dir.rva + 3 * width, wide, &callbacks);
  (void)ReadAt(image, dir.rva + 4 * width, &info.zeroFill);
  // Every address in the directory is a virtual address of the mapped image.
  const auto toRva = [&](std::uint64_t va, std::uint32_t* rva) {
    if (va < base || va - base >= image.size()) return false;
    *rva = static_cast<std::uint32_t>(va - base);
    return true;
  };
  std::uint32_t startRva = 0;
  std::uint32_t endRva = 0;
  if (start != 0 || end != 0) {
    if (!toRva(start, &startRva) || !toRva(end, &endRva) || endRva < startRva) {
      return Result::Fail("TLS template outside the image");
    }
  }
  info.templateSize = endRva - startRva;
  if (index != 0 && !toRva(index, &info.indexRva))
    return Result::Fail("TLS index outside the image");
  if (callbacks != 0) {
    std::uint32_t list = 0;
    if (!toRva(callbacks, &list)) return Result::Fail("TLS callback list outside the image");
    for (std::size_t i = 0;; ++i) {
      std::uint64_t callback = 0;
      if (i > kMaxTlsCallbacks || !ReadPointer(image, list + i * width, wide, &callback)) {
        return Result::Fail("TLS callback list has no end");
      }
      if (callback == 0) break;
      std::uint32_t callbackRva = 0;
      if (!toRva(callback, &callbackRva)) return Result::Fail("TLS callback outside the image");
      info.callbackRvas.push_back(callbackRva);
    }
  }
  info.present = true;
  *out = std::move(info);
  return Result::Ok();
}

bool RvaToFileOffset(const Layout& layout, std::uint32_t rva, std::uint32_t* offset) {
  if (rva < layout.sizeOfHeaders) {
    *offset = rva;
    return true;
  }
  for (const Section& s : layout.sections) {
    if (rva >= s.virtualAddress && rva - s.virtualAddress < s.copySize) {
      *offset = s.rawOffset + (rva - s.virtualAddress);
      return true;
    }
  }
  return false;
}

}  // namespace platform::pe
