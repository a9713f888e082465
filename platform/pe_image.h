// Reading and preparing a Windows library image (PE/COFF) held in memory.
//
// These functions check a library file's headers, copy it into the layout it
// has when loaded, apply its base relocations, walk its imports, find its
// exports and read its thread-local storage directory. They only ever touch
// the buffers they are given and never call the operating system, so they
// build and run on every host; the Windows binding (memory_library_win.cpp)
// adds address space, protection and the calls into the image. Every check
// fails with a reason and never reads outside the given buffers. Internal to
// platform: no other module includes this header.
#ifndef TRESOLIN_PLATFORM_PE_IMAGE_H_
#define TRESOLIN_PLATFORM_PE_IMAGE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::pe {

// COFF machine types (PE format, "Machine Types").
inline constexpr std::uint16_t kMachineI386 = 0x014c;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;

// The machine type of the running process.
std::uint16_t HostMachine();

// Data directory indexes (PE format, "Optional Header Data Directories").
inline constexpr std::size_t kDirExport = 0;
inline constexpr std::size_t kDirImport = 1;
inline constexpr std::size_t kDirBaseReloc = 5;
inline constexpr std::size_t kDirTls = 9;
inline constexpr std::size_t kDirCount = 16;

// Section characteristics used for protection.
inline constexpr std::uint32_t kSectionExecute = 0x20000000;
inline constexpr std::uint32_t kSectionRead = 0x40000000;
inline constexpr std::uint32_t kSectionWrite = 0x80000000;

// Base relocation types (PE format, "Base Relocation Types").
inline constexpr std::uint16_t kRelAbsolute = 0;
inline constexpr std::uint16_t kRelHighLow = 3;
inline constexpr std::uint16_t kRelDir64 = 10;

// Limits that keep a damaged image from asking for absurd amounts of work.
inline constexpr std::uint32_t kMaxImageSize = 256u << 20;  // 256 MiB of address space
inline constexpr std::size_t kMaxNameLength = 4096;         // import and export names
inline constexpr std::size_t kMaxTlsCallbacks = 1024;

struct [[nodiscard]] Result {
  static Result Ok() { return Result{}; }
  static Result Fail(std::string why) { return Result{false, std::move(why)}; }
  bool ok() const { return good; }
  bool good = true;
  std::string reason;  // empty iff good
};

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

struct Section {
  std::uint32_t virtualAddress = 0;
  std::uint32_t virtualSize = 0;  // bytes the section spans when loaded
  std::uint32_t rawOffset = 0;    // where its bytes lie in the file
  std::uint32_t copySize = 0;     // bytes copied from the file (<= virtualSize)
  std::uint32_t characteristics = 0;
};

// Everything the loader needs from the headers, all checked against the
// image's size and the file's size.
struct Layout {
  std::uint16_t machine = 0;
  bool pe32Plus = false;  // 64-bit pointers
  std::uint64_t imageBase = 0;
  std::uint32_t sizeOfImage = 0;
  std::uint32_t sizeOfHeaders = 0;
  std::uint32_t sectionAlignment = 0;
  std::uint32_t entryPoint = 0;       // RVA, 0 = none
  std::uint32_t imageBaseOffset = 0;  // where ImageBase lies in the headers
  std::array<DataDirectory, kDirCount> dirs{};
  std::vector<Section> sections;

  std::size_t pointerSize() const { return pe32Plus ? 8 : 4; }
};

// Checks the DOS header, the NT signature, the machine (must equal machine),
// the optional header's magic (PE32 for I386, PE32+ for AMD64), the section
// table and every data directory's bounds.
// On failure, *out is unchanged.
Result ParseHeaders(std::span<const std::uint8_t> file, std::uint16_t machine, Layout* out);

// Copies headers and sections of file into image, which must be exactly
// layout.sizeOfImage bytes; everything not copied is zero.
// Requires: layout came from ParseHeaders on the same file.
Result MapImage(std::span<const std::uint8_t> file, const Layout& layout,
                std::span<std::uint8_t> image);

// Writes base into the ImageBase field of the mapped headers.
void SetImageBase(std::span<std::uint8_t> image, const Layout& layout, std::uint64_t base);

struct Relocation {
  std::uint32_t rva = 0;
  std::uint16_t type = 0;  // kRelHighLow or kRelDir64; absolute entries are left out
};

// Reads the mapped image's base relocation table. Fails for a block that runs
// past its directory, a type other than ABSOLUTE and the one that fits the
// image's pointer size, or a site outside the image.
Result ReadRelocations(std::span<const std::uint8_t> image, const Layout& layout,
                       std::vector<Relocation>* out);

// Adds delta to every relocation site of the mapped image; *applied is the
// number of sites changed (0 when delta is 0, though the table is still
// checked). Nothing is changed when the table is damaged.
Result ApplyRelocations(std::span<std::uint8_t> image, const Layout& layout, std::uint64_t delta,
                        std::size_t* applied);

struct Import {
  const char* module = nullptr;  // NUL-terminated, inside the image
  const char* name = nullptr;    // NUL-terminated, or nullptr when by ordinal
  std::uint16_t ordinal = 0;     // meaningful when name is nullptr
  bool firstOfModule = false;    // the first import of a new import descriptor
};

// Returns true iff the import was found, with its address in *address.
using ImportResolver = std::function<bool(const Import& import, std::uint64_t* address)>;

// Walks the import descriptors of the mapped image in order and writes each
// address the resolver gives into the import address table. Fails on the
// first import the resolver cannot find or any table outside the image.
Result ResolveImports(std::span<std::uint8_t> image, const Layout& layout,
                      const ImportResolver& resolver);

// Finds the export with exactly this name (case-sensitive) and gives its RVA.
// Fails for a missing name and for an export forwarded to another library.
Result FindExport(std::span<const std::uint8_t> image, const Layout& layout, std::string_view name,
                  std::uint32_t* rva);

struct TlsInfo {
  bool present = false;
  std::uint32_t templateSize = 0;  // EndAddressOfRawData - StartAddressOfRawData
  std::uint32_t zeroFill = 0;
  std::uint32_t indexRva = 0;               // AddressOfIndex as an RVA
  std::vector<std::uint32_t> callbackRvas;  // in order, without the final null
};

// Reads the TLS directory of an image mapped (and relocated) at base.
Result ReadTls(std::span<const std::uint8_t> image, const Layout& layout, std::uint64_t base,
               TlsInfo* out);

// Converts an RVA into the file offset of its bytes; returns false when the
// RVA has no bytes in the file. Tests use it to damage images on purpose.
bool RvaToFileOffset(const Layout& layout, std::uint32_t rva, std::uint32_t* offset);

}  // namespace platform::pe

#endif  // TRESOLIN_PLATFORM_PE_IMAGE_H_
