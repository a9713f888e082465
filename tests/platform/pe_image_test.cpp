// The library image reader on the x86-64 and i686 test libraries as data:
// header checks, mapping, relocation, imports, exports and TLS, on any host.
#include "platform/pe_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tests/platform/pe_fixture/fixture_bytes.h"

namespace platform::pe {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Fixture {
  const char* name;
  Bytes file;
  std::uint16_t machine;
  std::uint64_t base;
};

std::vector<Fixture> BothFixtures() {
  const auto x64 = pe_fixture::ImageX8664();
  const auto x86 = pe_fixture::ImageI686();
  return {{"x86-64", Bytes(x64.begin(), x64.end()), kMachineAmd64, pe_fixture::kBaseX8664},
          {"i686", Bytes(x86.begin(), x86.end()), kMachineI386, pe_fixture::kBaseI686}};
}

Layout ParseOrDie(const Bytes& file, std::uint16_t machine) {
  Layout layout;
  const Result r = ParseHeaders(file, machine, &layout);
  EXPECT_TRUE(r.ok()) << r.reason;
  return layout;
}

Bytes Mapped(const Bytes& file, const Layout& layout) {
  Bytes image(layout.sizeOfImage);
  const Result r = MapImage(file, layout, image);
  EXPECT_TRUE(r.ok()) << r.reason;
  return image;
}

template <typename T>
T Get(const Bytes& b, std::size_t at) {
  T v{};
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

template <typename T>
void Put(Bytes& b, std::size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

std::uint32_t FileOffset(const Layout& layout, std::uint32_t rva) {
  std::uint32_t offset = 0;
  EXPECT_TRUE(RvaToFileOffset(layout, rva, &offset)) << rva;
  return offset;
}

std::size_t NtOffset(const Bytes& file) {
  return Get<std::uint32_t>(file, 0x3C);
}

TEST(PeImage, ParsesBothFixtures) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    const Layout layout = ParseOrDie(f.file, f.machine);
    EXPECT_EQ(layout.machine, f.machine);
    EXPECT_EQ(layout.pe32Plus, f.machine == kMachineAmd64);
    EXPECT_EQ(layout.imageBase, f.base);
    EXPECT_GE(layout.sections.size(), 3u);
    EXPECT_NE(layout.entryPoint, 0u);
    EXPECT_NE(layout.dirs[kDirBaseReloc].size, 0u);
  }
}

TEST(PeImage, RejectsEveryCutOfTheFile) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    const Layout layout = ParseOrDie(f.file, f.machine);
    // Every cut inside the headers, then cuts through the section data.
    for (std::size_t size = 0; size < f.file.size(); size += size < 0x600 ? 1 : 509) {
      const Bytes cut(f.file.begin(), f.file.begin() + static_cast<std::ptrdiff_t>(size));
      Layout out;
      out.sizeOfImage = 77;
      const Result r = ParseHeaders(cut, f.machine, &out);
      const bool allDataPresent = std::all_of(
          layout.sections.begin(), layout.sections.end(),
          [&](const Section& s) { return s.copySize == 0 || s.rawOffset + s.copySize <= size; });
      if (size < layout.sizeOfHeaders || !allDataPresent) {
        ASSERT_FALSE(r.ok()) << "cut at " << size;
        EXPECT_FALSE(r.reason.empty());
        EXPECT_EQ(out.sizeOfImage, 77u);  // unchanged on failure
      }
    }
  }
}

TEST(PeImage, RejectsWrongMachine) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    Layout layout;
    const std::uint16_t other = f.machine == kMachineAmd64 ? kMachineI386 : kMachineAmd64;
    const Result wrongHost = ParseHeaders(f.file, other, &layout);
    EXPECT_FALSE(wrongHost.ok());
    EXPECT_NE(wrongHost.reason.find("machine"), std::string::npos) << wrongHost.reason;
    // The machine field claims the other architecture: the optional header
    // magic no longer fits it.
    Bytes relabelled = f.file;
    Put<std::uint16_t>(relabelled, NtOffset(f.file) + 4, other);
    EXPECT_FALSE(ParseHeaders(relabelled, other, &layout).ok());
  }
}

TEST(PeImage, RejectsDamagedHeaderFields) {
  const Fixture f = BothFixtures()[1];
  const std::size_t nt = NtOffset(f.file);
  const std::size_t opt = nt + 24;
  Layout layout;
  Bytes b = f.file;
  b[0] = 'X';
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
  b = f.file;
  Put<std::uint32_t>(b, 0x3C, 0xFFFFFFF0);  // NT headers far outside
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
  b = f.file;
  b[nt + 2] = 'X';  // signature
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
  b = f.file;
  Put<std::uint16_t>(b, nt + 6, 0xFFFF);  // section count past the headers
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
  b = f.file;
  Put<std::uint32_t>(b, opt + 56, kMaxImageSize + 1);  // SizeOfImage
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
  b = f.file;
  Put<std::uint32_t>(b, opt + 32, 0x3000);  // SectionAlignment not a power of two
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
  b = f.file;
  Put<std::uint32_t>(b, opt + 96 + 8 * kDirBaseReloc, 0xFFFFFF00);  // directory outside
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
  b = f.file;
  const std::size_t firstSection = opt + Get<std::uint16_t>(f.file, nt + 20);
  Put<std::uint32_t>(b, firstSection + 12, 0x7FFFFFF0);  // VirtualAddress
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
  b = f.file;
  Put<std::uint32_t>(b, firstSection + 20, 0xFFFFFF00);  // PointerToRawData
  EXPECT_FALSE(ParseHeaders(b, f.machine, &layout).ok());
}

// Maps the image, relocates it by delta and checks the result against the
// image's own relocation table: every site moved by exactly delta, every
// other byte unchanged.
void CheckRelocation(const Fixture& f, std::uint64_t delta) {
  const Layout layout = ParseOrDie(f.file, f.machine);
  const Bytes before = Mapped(f.file, layout);
  std::vector<Relocation> sites;
  const Result read = ReadRelocations(before, layout, &sites);
  ASSERT_TRUE(read.ok()) << read.reason;
  ASSERT_FALSE(sites.empty());
  Bytes after = before;
  std::size_t applied = 0;
  const Result r = ApplyRelocations(after, layout, delta, &applied);
  ASSERT_TRUE(r.ok()) << r.reason;
  EXPECT_EQ(applied, sites.size());
  std::printf("[          ] %s: %zu relocations applied, delta 0x%llx\n", f.name, applied,
              static_cast<unsigned long long>(delta));
  std::vector<bool> isSite(before.size(), false);
  for (const Relocation& s : sites) {
    const std::size_t width = layout.pe32Plus ? 8 : 4;
    EXPECT_EQ(s.type, layout.pe32Plus ? kRelDir64 : kRelHighLow);
    for (std::size_t i = 0; i < width; ++i) {
      ASSERT_FALSE(isSite[s.rva + i]) << "overlapping sites at " << s.rva;
      isSite[s.rva + i] = true;
    }
    if (layout.pe32Plus) {
      EXPECT_EQ(Get<std::uint64_t>(after, s.rva), Get<std::uint64_t>(before, s.rva) + delta);
    } else {
      EXPECT_EQ(Get<std::uint32_t>(after, s.rva),
                static_cast<std::uint32_t>(Get<std::uint32_t>(before, s.rva) + delta));
      // Each site holds an address inside the image at its preferred base.
      const std::uint32_t va = Get<std::uint32_t>(before, s.rva);
      EXPECT_GE(va, layout.imageBase);
      EXPECT_LT(va, layout.imageBase + layout.sizeOfImage);
    }
  }
  std::size_t otherChanged = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (!isSite[i] && before[i] != after[i]) ++otherChanged;
  }
  EXPECT_EQ(otherChanged, 0u);
}

TEST(PeImage, RelocatesThe32BitImageExactlyAsItsTableSays) {
  CheckRelocation(BothFixtures()[1], 0x23450000);
  CheckRelocation(BothFixtures()[1], 0xFFFF0000);  // downwards, wrapping at 32 bits
}

TEST(PeImage, RelocatesThe64BitImageExactlyAsItsTableSays) {
  CheckRelocation(BothFixtures()[0], 0x7FF00000000);
}

TEST(PeImage, ZeroDeltaChangesNothingButStillChecksTheTable) {
  const Fixture f = BothFixtures()[1];
  const Layout layout = ParseOrDie(f.file, f.machine);
  const Bytes before = Mapped(f.file, layout);
  Bytes after = before;
  std::size_t applied = 99;
  ASSERT_TRUE(ApplyRelocations(after, layout, 0, &applied).ok());
  EXPECT_EQ(applied, 0u);
  EXPECT_EQ(after, before);
}

TEST(PeImage, RejectsRelocationOutsideTheImage) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    const Layout layout = ParseOrDie(f.file, f.machine);
    Bytes damaged = f.file;
    // The first block's page lies just past the end of the image.
    Put<std::uint32_t>(damaged, FileOffset(layout, layout.dirs[kDirBaseReloc].rva),
                       layout.sizeOfImage);
    const Bytes before = Mapped(damaged, layout);
    Bytes image = before;
    std::size_t applied = 0;
    const Result r = ApplyRelocations(image, layout, 0x10000, &applied);
    EXPECT_FALSE(r.ok());
    EXPECT_NE(r.reason.find("outside the image"), std::string::npos) << r.reason;
    EXPECT_EQ(image, before);  // nothing half applied
  }
}

TEST(PeImage, RejectsRelocationBlockPastItsTable) {
  const Fixture f = BothFixtures()[1];
  const Layout layout = ParseOrDie(f.file, f.machine);
  Bytes damaged = f.file;
  Put<std::uint32_t>(damaged, FileOffset(layout, layout.dirs[kDirBaseReloc].rva) + 4, 0x7FFFFFF0);
  Bytes image = Mapped(damaged, layout);
  std::size_t applied = 0;
  EXPECT_FALSE(ApplyRelocations(image, layout, 0x10000, &applied).ok());
}

TEST(PeImage, RejectsRelocationTypeOfTheOtherWidth) {
  const Fixture f = BothFixtures()[1];
  const Layout layout = ParseOrDie(f.file, f.machine);
  Bytes damaged = f.file;
  const std::uint32_t at = FileOffset(layout, layout.dirs[kDirBaseReloc].rva) + 8;
  Put<std::uint16_t>(
      damaged, at,
      static_cast<std::uint16_t>((kRelDir64 << 12) | (Get<std::uint16_t>(damaged, at) & 0xfff)));
  Bytes image = Mapped(damaged, layout);
  std::size_t applied = 0;
  EXPECT_FALSE(ApplyRelocations(image, layout, 0x10000, &applied).ok());
}

TEST(PeImage, ResolvesImportsByNameIntoTheAddressTable) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    const Layout layout = ParseOrDie(f.file, f.machine);
    Bytes image = Mapped(f.file, layout);
    std::set<std::string> modules;
    std::set<std::string> names;
    std::vector<std::uint64_t> given;
    const Result r = ResolveImports(image, layout, [&](const Import& i, std::uint64_t* address) {
      if (i.firstOfModule) modules.insert(i.module);
      EXPECT_NE(i.name, nullptr);
      if (i.name != nullptr) names.insert(i.name);
      *address = 0x7A5A0000u + given.size() * 16;  // markers that occur nowhere else
      given.push_back(*address);
      return true;
    });
    ASSERT_TRUE(r.ok()) << r.reason;
    EXPECT_TRUE(modules.count("KERNEL32.dll") == 1 && modules.count("msvcrt.dll") == 1);
    EXPECT_EQ(names.count("malloc"), 1u);
    EXPECT_EQ(names.count("TlsAlloc"), 1u);
    for (const std::uint64_t marker : given) {
      std::size_t found = 0;
      for (std::size_t at = 0; at + layout.pointerSize() <= image.size();
           at += layout.pointerSize()) {
        const std::uint64_t v =
            layout.pe32Plus ? Get<std::uint64_t>(image, at) : Get<std::uint32_t>(image, at);
        if (v == marker) ++found;
      }
      EXPECT_EQ(found, 1u) << "marker " << marker;
    }
  }
}

// The first entry of the first lookup table of the mapped image.
std::uint32_t FirstLookupEntry(const Bytes& image, const Layout& layout) {
  const std::uint32_t descriptor = layout.dirs[kDirImport].rva;
  const std::uint32_t lookup = Get<std::uint32_t>(image, descriptor);
  return lookup != 0 ? lookup : Get<std::uint32_t>(image, descriptor + 16);
}

TEST(PeImage, ResolvesImportsByOrdinal) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    const Layout layout = ParseOrDie(f.file, f.machine);
    Bytes image = Mapped(f.file, layout);
    const std::uint32_t entry = FirstLookupEntry(image, layout);
    if (layout.pe32Plus) {
      Put<std::uint64_t>(image, entry, (std::uint64_t{1} << 63) | 42);
    } else {
      Put<std::uint32_t>(image, entry, 0x80000000u | 42);
    }
    int byOrdinal = 0;
    const Result r = ResolveImports(image, layout, [&](const Import& i, std::uint64_t* address) {
      if (i.name == nullptr) {
        ++byOrdinal;
        EXPECT_EQ(i.ordinal, 42);
        EXPECT_TRUE(i.firstOfModule);
      }
      *address = 1;
      return true;
    });
    ASSERT_TRUE(r.ok()) << r.reason;
    EXPECT_EQ(byOrdinal, 1);
  }
}

TEST(PeImage, MissingImportFailsWithItsName) {
  const Fixture f = BothFixtures()[0];
  const Layout layout = ParseOrDie(f.file, f.machine);
  Bytes image = Mapped(f.file, layout);
  const Result r = ResolveImports(image, layout, [](const Import& i, std::uint64_t* address) {
    *address = 1;
    return i.name == nullptr || std::string(i.name) != "malloc";
  });
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.reason, "missing import msvcrt.dll!malloc");
}

TEST(PeImage, RejectsImportNamesOutsideTheImage) {
  const Fixture f = BothFixtures()[1];
  const Layout layout = ParseOrDie(f.file, f.machine);
  const auto accept = [](const Import&, std::uint64_t* address) {
    *address = 1;
    return true;
  };
  Bytes image = Mapped(f.file, layout);
  Put<std::uint32_t>(image, layout.dirs[kDirImport].rva + 12, 0xFFFFFFF0);  // module name
  EXPECT_FALSE(ResolveImports(image, layout, accept).ok());
  image = Mapped(f.file, layout);
  Put<std::uint32_t>(image, FirstLookupEntry(image, layout), 0x7FFFFFF0);  // hint/name entry
  EXPECT_FALSE(ResolveImports(image, layout, accept).ok());
  image = Mapped(f.file, layout);
  Put<std::uint32_t>(image, layout.dirs[kDirImport].rva, layout.sizeOfImage - 2);  // lookup table
  EXPECT_FALSE(ResolveImports(image, layout, accept).ok());
}

TEST(PeImage, FindsExportsByExactName) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    const Layout layout = ParseOrDie(f.file, f.machine);
    const Bytes image = Mapped(f.file, layout);
    std::uint32_t rva = 0;
    ASSERT_TRUE(FindExport(image, layout, "FixtureCheck", &rva).ok());
    // The export lies in an executable section.
    const bool inCode = std::any_of(layout.sections.begin(), layout.sections.end(), [&](auto& s) {
      return (s.characteristics & kSectionExecute) != 0 && rva >= s.virtualAddress &&
             rva < s.virtualAddress + s.virtualSize;
    });
    EXPECT_TRUE(inCode);
    std::uint32_t other = 0;
    ASSERT_TRUE(FindExport(image, layout, "FixtureThrowAndCatch", &other).ok());
    EXPECT_NE(other, rva);
    EXPECT_FALSE(FindExport(image, layout, "fixturecheck", &other).ok());
    EXPECT_FALSE(FindExport(image, layout, "FixtureChec", &other).ok());
    EXPECT_FALSE(FindExport(image, layout, "FixtureCheckX", &other).ok());
  }
}

TEST(PeImage, RefusesForwardedExports) {
  const Fixture f = BothFixtures()[0];
  const Layout layout = ParseOrDie(f.file, f.machine);
  Bytes image = Mapped(f.file, layout);
  const DataDirectory dir = layout.dirs[kDirExport];
  const std::uint32_t functions = Get<std::uint32_t>(image, dir.rva + 28);
  const std::uint32_t count = Get<std::uint32_t>(image, dir.rva + 20);
  for (std::uint32_t i = 0; i < count; ++i) {
    Put<std::uint32_t>(image, functions + i * 4, dir.rva + 12);  // points at a name inside
  }
  std::uint32_t rva = 0;
  const Result r = FindExport(image, layout, "FixtureCheck", &rva);
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.reason.find("forwarded"), std::string::npos) << r.reason;
}

TEST(PeImage, RejectsExportTablesOutsideTheImage) {
  const Fixture f = BothFixtures()[1];
  const Layout layout = ParseOrDie(f.file, f.machine);
  const DataDirectory dir = layout.dirs[kDirExport];
  std::uint32_t rva = 0;
  for (const std::uint32_t field : {24u, 28u, 32u, 36u}) {
    Bytes image = Mapped(f.file, layout);
    Put<std::uint32_t>(image, dir.rva + field, field == 24 ? 0x40000000u : 0xFFFFFFF0u);
    EXPECT_FALSE(FindExport(image, layout, "FixtureCheck", &rva).ok()) << field;
  }
}

TEST(PeImage, ReadsTheTlsDirectoryAndItsCallbacks) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    const Layout layout = ParseOrDie(f.file, f.machine);
    const Bytes image = Mapped(f.file, layout);
    TlsInfo tls;
    const Result r = ReadTls(image, layout, layout.imageBase, &tls);
    ASSERT_TRUE(r.ok()) << r.reason;
    EXPECT_TRUE(tls.present);
    ASSERT_GE(tls.callbackRvas.size(), 1u);  // ours, besides the runtime's
    for (const std::uint32_t rva : tls.callbackRvas) {
      const bool inCode = std::any_of(layout.sections.begin(), layout.sections.end(), [&](auto& s) {
        return (s.characteristics & kSectionExecute) != 0 && rva >= s.virtualAddress &&
               rva < s.virtualAddress + s.virtualSize;
      });
      EXPECT_TRUE(inCode) << rva;
    }
    // After relocation the directory's addresses follow the image.
    Bytes moved = image;
    std::size_t applied = 0;
    ASSERT_TRUE(ApplyRelocations(moved, layout, 0x1000000, &applied).ok());
    TlsInfo relocated;
    ASSERT_TRUE(ReadTls(moved, layout, layout.imageBase + 0x1000000, &relocated).ok());
    EXPECT_EQ(relocated.callbackRvas, tls.callbackRvas);
    // Read at the wrong base, the addresses lie outside the image.
    EXPECT_FALSE(ReadTls(moved, layout, layout.imageBase, &relocated).ok());
  }
}

TEST(PeImage, RejectsTlsCallbackListWithoutEnd) {
  const Fixture f = BothFixtures()[1];
  const Layout layout = ParseOrDie(f.file, f.machine);
  Bytes image = Mapped(f.file, layout);
  const std::uint32_t list = Get<std::uint32_t>(image, layout.dirs[kDirTls].rva + 12) -
                             static_cast<std::uint32_t>(layout.imageBase);
  // Fill from the list to the end of the image with a valid callback address.
  const std::uint32_t callback = Get<std::uint32_t>(image, list);
  for (std::size_t at = list; at + 4 <= image.size(); at += 4) Put(image, at, callback);
  TlsInfo tls;
  EXPECT_FALSE(ReadTls(image, layout, layout.imageBase, &tls).ok());
}

TEST(PeImage, SetsTheImageBaseInTheMappedHeaders) {
  for (const Fixture& f : BothFixtures()) {
    SCOPED_TRACE(f.name);
    const Layout layout = ParseOrDie(f.file, f.machine);
    Bytes image = Mapped(f.file, layout);
    SetImageBase(image, layout, 0x20000000);
    const std::uint64_t base = layout.pe32Plus ? Get<std::uint64_t>(image, layout.imageBaseOffset)
                                               : Get<std::uint32_t>(image, layout.imageBaseOffset);
    EXPECT_EQ(base, 0x20000000u);
  }
}

}  // namespace
}  // namespace platform::pe
