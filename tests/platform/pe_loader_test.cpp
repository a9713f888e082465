// The Windows in-memory binding on the x86-64 test library: loading at the
// preferred base and elsewhere, damaged images, and no leaks over many
// load/call/release cycles.
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>
// platform::DeleteFile, not the system's macro of that name.
#undef DeleteFile

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cipherkern/cipherkern.h"
#include "platform/pe_image.h"
#include "platform/platform.h"
#include "tests/platform/pe_fixture/fixture_bytes.h"

namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;
using CheckFn = int (*)();
using ThrowFn = int (*)(int);
constexpr int kFixtureGood = 12345;  // FixtureCheck's answer when everything worked

Bytes FixtureFile() {
  const auto image = pe_fixture::ImageX8664();
  return Bytes(image.begin(), image.end());
}

pe::Layout FixtureLayout() {
  pe::Layout layout;
  EXPECT_TRUE(pe::ParseHeaders(FixtureFile(), pe::kMachineAmd64, &layout).ok());
  return layout;
}

// Where the library was mapped: its export's address less the export's RVA.
std::uintptr_t MappedBase(const MemoryLibrary& library) {
  const pe::Layout layout = FixtureLayout();
  const Bytes file = FixtureFile();
  Bytes image(layout.sizeOfImage);
  EXPECT_TRUE(pe::MapImage(file, layout, image).ok());
  std::uint32_t rva = 0;
  EXPECT_TRUE(pe::FindExport(image, layout, "FixtureCheck", &rva).ok());
  return reinterpret_cast<std::uintptr_t>(library.Symbol("FixtureCheck")) - rva;
}

std::size_t RelocationCount() {
  const pe::Layout layout = FixtureLayout();
  Bytes image(layout.sizeOfImage);
  EXPECT_TRUE(pe::MapImage(FixtureFile(), layout, image).ok());
  std::vector<pe::Relocation> sites;
  EXPECT_TRUE(pe::ReadRelocations(image, layout, &sites).ok());
  return sites.size();
}

// The process's private bytes as the system counts them; where that count is
// not kept (Wine reports 0), the committed private memory summed over the
// address space, which is the same quantity.
std::size_t PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  EXPECT_TRUE(GetProcessMemoryInfo(
      GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters));
  if (counters.PrivateUsage != 0) return counters.PrivateUsage;
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION info{};
  for (auto* at = static_cast<std::uint8_t*>(nullptr);
       VirtualQuery(at, &info, sizeof info) == sizeof info; at += info.RegionSize) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    if (info.RegionSize == 0) break;
  }
  return total;
}

template <typename T>
T Symbol(const MemoryLibrary& library, const char* name) {
  return reinterpret_cast<T>(library.Symbol(name));
}

TEST(PeLoader, LoadsAtThePreferredBaseAndRuns) {
  const Bytes file = FixtureFile();
  MemoryLibrary library = MemoryLibrary::Load(file);
  ASSERT_TRUE(library.ok());
  EXPECT_EQ(MappedBase(library), pe_fixture::kBaseX8664);
  EXPECT_TRUE(library.loadPath().empty());  // never on disk
  const auto check = Symbol<CheckFn>(library, "FixtureCheck");
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(check(), kFixtureGood);
  // The static constructor, DllMain and the TLS callback ran exactly once.
  EXPECT_EQ(check(), kFixtureGood);
}

TEST(PeLoader, ReleaseFreesTheLibrariesItLoadedForTheImports) {
  ASSERT_EQ(GetModuleHandleA("msimg32.dll"), nullptr);  // only the fixture imports it
  {
    MemoryLibrary library = MemoryLibrary::Load(FixtureFile());
    ASSERT_TRUE(library.ok());
    EXPECT_NE(GetModuleHandleA("msimg32.dll"), nullptr);
    EXPECT_EQ(Symbol<CheckFn>(library, "FixtureCheck")(), kFixtureGood);
  }
  EXPECT_EQ(GetModuleHandleA("msimg32.dll"), nullptr);
}

TEST(PeLoader, LoadsRelocatedWhenThePreferredBaseIsTaken) {
  const pe::Layout layout = FixtureLayout();
  void* taken = VirtualAlloc(reinterpret_cast<void*>(pe_fixture::kBaseX8664), layout.sizeOfImage,
                             MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_EQ(reinterpret_cast<std::uintptr_t>(taken), pe_fixture::kBaseX8664);
  {
    MemoryLibrary library = MemoryLibrary::Load(FixtureFile());
    ASSERT_TRUE(library.ok());
    const std::uintptr_t base = MappedBase(library);
    EXPECT_NE(base, pe_fixture::kBaseX8664);
    std::printf("[          ] relocated to 0x%llx: %zu relocations applied\n",
                static_cast<unsigned long long>(base), RelocationCount());
    const auto check = Symbol<CheckFn>(library, "FixtureCheck");
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check(), kFixtureGood);
    // The mapped headers name the base the library really has.
    std::uint64_t recorded = 0;
    std::memcpy(&recorded, reinterpret_cast<const void*>(base + layout.imageBaseOffset), 8);
    EXPECT_EQ(recorded, base);
  }
  VirtualFree(taken, 0, MEM_RELEASE);
}

TEST(PeLoader, ExceptionsUnwindInsideTheLibrary) {
  MemoryLibrary library = MemoryLibrary::Load(FixtureFile());
  ASSERT_TRUE(library.ok());
  const auto throwAndCatch = Symbol<ThrowFn>(library, "FixtureThrowAndCatch");
  ASSERT_NE(throwAndCatch, nullptr);
  EXPECT_EQ(throwAndCatch(41), 42);
  EXPECT_EQ(throwAndCatch(0), 0);
}

TEST(PeLoader, SectionsGetTheirProtection) {
  MemoryLibrary library = MemoryLibrary::Load(FixtureFile());
  ASSERT_TRUE(library.ok());
  const std::uintptr_t base = MappedBase(library);
  for (const pe::Section& s : FixtureLayout().sections) {
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(reinterpret_cast<void*>(base + s.virtualAddress), &info, sizeof info),
              0u);
    const bool code = (s.characteristics & pe::kSectionExecute) != 0;
    const bool write = (s.characteristics & pe::kSectionWrite) != 0;
    const DWORD expected = code    ? (write ? PAGE_EXECUTE_READWRITE : PAGE_EXECUTE_READ)
                           : write ? PAGE_READWRITE
                                   : PAGE_READONLY;
    EXPECT_EQ(info.Protect, expected) << s.virtualAddress;
  }
}

TEST(PeLoader, SymbolNamesAreExact) {
  MemoryLibrary library = MemoryLibrary::Load(FixtureFile());
  ASSERT_TRUE(library.ok());
  EXPECT_NE(library.Symbol("FixtureCheck"), nullptr);
  EXPECT_EQ(library.Symbol("fixturecheck"), nullptr);
  EXPECT_EQ(library.Symbol("Fixture"), nullptr);
  EXPECT_EQ(library.Symbol(""), nullptr);
  EXPECT_EQ(library.Symbol(nullptr), nullptr);
}

TEST(PeLoader, MovedLibraryStaysBoundOnce) {
  MemoryLibrary first = MemoryLibrary::Load(FixtureFile());
  ASSERT_TRUE(first.ok());
  MemoryLibrary second = std::move(first);
  EXPECT_FALSE(first.ok());  // NOLINT(bugprone-use-after-move): moved-from is empty
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(Symbol<CheckFn>(second, "FixtureCheck")(), kFixtureGood);
  second = MemoryLibrary();
  EXPECT_FALSE(second.ok());
  // Released: the preferred base is free again.
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_NE(VirtualQuery(reinterpret_cast<void*>(pe_fixture::kBaseX8664), &info, sizeof info), 0u);
  EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));
}

// Each damaged image: Load fails and leaves nothing mapped at the base.
void ExpectRefused(const Bytes& damaged) {
  MemoryLibrary library = MemoryLibrary::Load(damaged);
  EXPECT_FALSE(library.ok());
  EXPECT_EQ(library.Symbol("FixtureCheck"), nullptr);
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_NE(VirtualQuery(reinterpret_cast<void*>(pe_fixture::kBaseX8664), &info, sizeof info), 0u);
  EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));
}

TEST(PeLoader, RefusesCutHeaders) {
  const Bytes file = FixtureFile();
  for (const std::size_t size : {std::size_t{0}, std::size_t{2}, std::size_t{0x40},
                                 std::size_t{0x90}, std::size_t{0x200}, file.size() / 2}) {
    ExpectRefused(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)));
  }
}

TEST(PeLoader, RefusesTheWrongMachine) {
  const auto x86 = pe_fixture::ImageI686();
  ExpectRefused(Bytes(x86.begin(), x86.end()));
  Bytes relabelled = FixtureFile();
  std::uint32_t nt = 0;
  std::memcpy(&nt, relabelled.data() + 0x3C, 4);
  const std::uint16_t i386 = pe::kMachineI386;
  std::memcpy(relabelled.data() + nt + 4, &i386, 2);
  ExpectRefused(relabelled);
}

TEST(PeLoader, RefusesAnImportOfAMissingFunction) {
  Bytes file = FixtureFile();
  const char* const wanted = "TlsGetValue";
  const auto at = std::search(file.begin(), file.end(), wanted, wanted + std::strlen(wanted) + 1);
  ASSERT_NE(at, file.end());
  std::memcpy(&*at, "TlsGetVaLQQ", std::strlen(wanted));  // same length, no such function
  ExpectRefused(file);
}

TEST(PeLoader, RefusesAnImportFromAMissingLibrary) {
  Bytes file = FixtureFile();
  const char* const wanted = "msvcrt.dll";
  const auto at = std::search(file.begin(), file.end(), wanted, wanted + std::strlen(wanted) + 1);
  ASSERT_NE(at, file.end());
  std::memcpy(&*at, "nosuch.dll", std::strlen(wanted));
  ExpectRefused(file);
}

TEST(PeLoader, RefusesARelocationOutsideTheImage) {
  const pe::Layout layout = FixtureLayout();
  Bytes file = FixtureFile();
  std::uint32_t offset = 0;
  ASSERT_TRUE(pe::RvaToFileOffset(layout, layout.dirs[pe::kDirBaseReloc].rva, &offset));
  std::memcpy(file.data() + offset, &layout.sizeOfImage, 4);  // first block's page
  // Refused at the preferred base and when it must be relocated.
  ExpectRefused(file);
  void* taken = VirtualAlloc(reinterpret_cast<void*>(pe_fixture::kBaseX8664), layout.sizeOfImage,
                             MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(taken, nullptr);
  EXPECT_FALSE(MemoryLibrary::Load(file).ok());
  VirtualFree(taken, 0, MEM_RELEASE);
}

// Runs cycle `count` times after a few to let the heap settle; returns how
// much the private bytes grew, having checked that every cycle succeeded.
template <typename Cycle>
long long PrivateBytesGrowth(int count, Cycle cycle) {
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(cycle());
  const std::size_t before = PrivateBytes();
  int good = 0;
  for (int i = 0; i < count; ++i) good += cycle() ? 1 : 0;
  const std::size_t after = PrivateBytes();
  EXPECT_EQ(good, count);
  const long long growth = static_cast<long long>(after) - static_cast<long long>(before);
  std::printf("[          ] %d cycles: private bytes %zu before, %zu after (%+lld)\n", count,
              before, after, growth);
  return growth;
}

constexpr long long kLeakSlackBytes = 256 * 1024;

TEST(PeLoader, TenThousandCyclesLeakNoMemory) {
  // The lean build: the full one's C++ runtime keeps memory per load by
  // design (see fixture.cpp), which would hide what the loader does.
  const auto lean = pe_fixture::ImageX8664Lean();
  const Bytes file(lean.begin(), lean.end());
  EXPECT_LE(PrivateBytesGrowth(10000,
                               [&file] {
                                 MemoryLibrary library = MemoryLibrary::Load(file);
                                 const auto check = Symbol<CheckFn>(library, "FixtureCheck");
                                 return check != nullptr && check() == kFixtureGood;
                               }),
            kLeakSlackBytes);
}

// The engine DLL is bound afresh for every call, so nothing of a binding
// may outlive it: not the loader's, not the DLL's C++ runtime's (its
// exception pool alone is some 70 KiB), not the engine's threads'.
TEST(PeLoader, BindingTheEngineForEveryCallCostsNothingThatStays) {
  std::ifstream in(CIPHERKERN_LIBRARY_PATH, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(file.empty());
  const std::string folder = TempFolder() + "pe_loader_engine/";
  ASSERT_TRUE(MakeFolders(folder));
  const std::string input = folder + "input";
  const std::string output = folder + "output";
  {
    File f = File::Open(input, OpenMode::kCreateNew);
    const std::vector<std::uint8_t> data(4096, 'a');
    ASSERT_TRUE(f.Write(data) && f.Close());
  }
  // The engine's files from the last call: all but the input.
  const auto removeOutputs = [&folder] {
    for (const FolderEntry& entry : ListFolder(folder).value_or(std::vector<FolderEntry>{})) {
      if (entry.name != "input") DeleteFile(folder + entry.name);
    }
  };
  EXPECT_LE(PrivateBytesGrowth(500,
                               [&] {
                                 removeOutputs();
                                 MemoryLibrary library = MemoryLibrary::Load(file);
                                 const auto crypt = Symbol<AES_Crypt_File_Status_Fn>(
                                     library, CIPHERKERN_STATUS_EXPORT_NAME);
                                 return crypt != nullptr &&
                                        crypt(CIPHERKERN_MODE_ENCRYPT, input.c_str(),
                                              output.c_str(), "0f1e2d3c4b5a69788796a5b4c3d2e1f0",
                                              CIPHERKERN_CHUNK_SIZE, nullptr, nullptr,
                                              nullptr) == CIPHERKERN_STATUS_DONE;
                               }),
            kLeakSlackBytes);
  removeOutputs();
  DeleteFile(input);
  RemoveEmptyFolder(folder);
}

}  // namespace
}  // namespace platform
