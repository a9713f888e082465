// cipherkern.dll as a Windows program binds it: its export table, imports
// and TLS directory, and calls through the export on files with Windows
// paths.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cipherkern/cipherkern.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using ::testing_support::ReadFile;
using ::testing_support::WriteFile;

constexpr char kKeyText[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

// A sample whose bytes are the same on every platform: text lines, runs and
// noise from a fixed generator, about 3 MiB (long enough for the encoder's
// second thread).
inline std::vector<std::uint8_t> CrossPlatformSample() {
  std::vector<std::uint8_t> data;
  std::mt19937 rng(20261208);
  while (data.size() < (std::size_t{3} << 20)) {
    switch (rng() % 3) {
      case 0: {
        const std::string line = "Zeile " + std::to_string(rng() % 5000) + " der Probe\r\n";
        data.insert(data.end(), line.begin(), line.end());
        break;
      }
      case 1: {
        const std::uint32_t length = rng() % 300;
        data.insert(data.end(), length, static_cast<std::uint8_t>(rng()));
        break;
      }
      default:
        for (std::uint32_t n = rng() % 200; n > 0; --n)
          data.push_back(static_cast<std::uint8_t>(rng()));
    }
  }
  return data;
}

// FNV-1a, 64 bits.
inline std::uint64_t Fnv1a(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (const std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3u;
  return h;
}

std::wstring LibraryPath() {
  return fs::path(CIPHERKERN_LIBRARY_PATH).wstring();
}

// The library loaded by the system's loader, for reading its tables.
class Library {
 public:
  Library() : module_(LoadLibraryW(LibraryPath().c_str())) {}
  ~Library() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  HMODULE module() const { return module_; }
  const std::uint8_t* base() const { return reinterpret_cast<const std::uint8_t*>(module_); }
  const IMAGE_NT_HEADERS* headers() const {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base());
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base() + dos->e_lfanew);
  }
  const IMAGE_DATA_DIRECTORY& directory(int index) const {
    return headers()->OptionalHeader.DataDirectory[index];
  }
  template <typename T>
  const T* at(DWORD rva) const {
    return reinterpret_cast<const T*>(base() + rva);
  }
  template <typename Fn>
  Fn function(const char* name) const {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

 private:
  HMODULE module_;
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

TEST(CipherkernDll, ExportsOnlyItsTwoFunctionsByTheirPlainNames) {
  Library library;
  ASSERT_NE(library.module(), nullptr) << GetLastError();
  const IMAGE_DATA_DIRECTORY& dir = library.directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
  ASSERT_NE(dir.Size, 0u);
  const auto* exports = library.at<IMAGE_EXPORT_DIRECTORY>(dir.VirtualAddress);
  const auto* names = library.at<DWORD>(exports->AddressOfNames);
  const auto* ordinals = library.at<WORD>(exports->AddressOfNameOrdinals);
  const auto* functions = library.at<DWORD>(exports->AddressOfFunctions);
  std::set<std::string> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    found.insert(library.at<char>(names[i]));
    // A forwarder's address points into the export directory itself.
    const DWORD rva = functions[ordinals[i]];
    EXPECT_FALSE(rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size)
        << library.at<char>(names[i]);
  }
  EXPECT_EQ(found, (std::set<std::string>{CIPHERKERN_EXPORT_NAME, CIPHERKERN_STATUS_EXPORT_NAME}));
  EXPECT_EQ(exports->NumberOfFunctions, 2u);
  EXPECT_NE(library.function<AES_Crypt_File_Fn>(CIPHERKERN_EXPORT_NAME), nullptr);
  for (const char* name : {"_AES_Crypt_File", "AES_Crypt_File@20", "Engine_CryptFile",
                           "_ZN10cipherkern16Engine_CryptFileERKNS_13EngineRequestE"}) {
    EXPECT_EQ(GetProcAddress(library.module(), name), nullptr) << name;
  }
}

// Loaded from memory, the library gets no TLS set-up for the threads it
// starts: it must hold no thread-local data. MinGW's C runtime start-up
// (tlssup) always brings a TLS directory with its own callbacks, but its
// template must stay empty: no thread_local or __thread data of ours.
TEST(CipherkernDll, HoldsNoThreadLocalData) {
  Library library;
  ASSERT_NE(library.module(), nullptr);
  const IMAGE_DATA_DIRECTORY& dir = library.directory(IMAGE_DIRECTORY_ENTRY_TLS);
  if (dir.Size == 0) return;
  const auto* tls = library.at<IMAGE_TLS_DIRECTORY>(dir.VirtualAddress);
  EXPECT_EQ(tls->SizeOfZeroFill, 0u);
  // The template is the bytes between the two markers the runtime puts
  // around it; an empty one has room for nothing but those markers.
  EXPECT_LE(tls->EndAddressOfRawData - tls->StartAddressOfRawData, 2 * sizeof(void*));
  const auto* start = reinterpret_cast<const std::uint8_t*>(tls->StartAddressOfRawData);
  const auto* end = reinterpret_cast<const std::uint8_t*>(tls->EndAddressOfRawData);
  EXPECT_TRUE(std::all_of(start, end, [](std::uint8_t b) { return b == 0; }));
}

// Linked statically: no runtime DLL of the compiler or of zlib, only what
// every Windows has in its system folder.
TEST(CipherkernDll, ImportsOnlySystemLibraries) {
  Library library;
  ASSERT_NE(library.module(), nullptr);
  const IMAGE_DATA_DIRECTORY& dir = library.directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
  ASSERT_NE(dir.Size, 0u);
  wchar_t system[MAX_PATH];
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  std::set<std::string> imported;
  for (const auto* d = library.at<IMAGE_IMPORT_DESCRIPTOR>(dir.VirtualAddress); d->Name != 0; ++d) {
    imported.insert(Lower(library.at<char>(d->Name)));
  }
  EXPECT_TRUE(imported.count("kernel32.dll")) << testing::PrintToString(imported);
  for (const std::string& name : imported) {
    EXPECT_EQ(name.find("lib"), std::string::npos) << name;
    EXPECT_NE(name, "zlib1.dll");
    EXPECT_TRUE(fs::exists(fs::path(system) / name)) << name;
  }
}

class CipherkernDllCalls : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(library_.module(), nullptr);
    crypt_ = library_.function<AES_Crypt_File_Fn>(CIPHERKERN_EXPORT_NAME);
    status_ = library_.function<AES_Crypt_File_Status_Fn>(CIPHERKERN_STATUS_EXPORT_NAME);
    ASSERT_NE(crypt_, nullptr);
    ASSERT_NE(status_, nullptr);
    // Bytes that text mode would change: CR LF, a lone LF, Ctrl-Z, NUL.
    for (int i = 0; i < 5000; ++i) {
      const std::string line = "Zeile " + std::to_string(i * 7 % 1000) + "\r\n\x1a\n";
      file_.insert(file_.end(), line.begin(), line.end());
      file_.push_back(0);
    }
    const Bytes noise = testing_support::RandomBytes(70000, 5);
    file_.insert(file_.end(), noise.begin(), noise.end());
    WriteFile(Path("f"), file_);
  }
  std::string Path(const std::string& name) const { return folder_ / name; }
  int Call(int mode, const std::string& in, const std::string& out, int* systemError,
           const char* key = kKeyText) {
    return status_(mode, in.c_str(), out.c_str(), key, CIPHERKERN_CHUNK_SIZE, nullptr, nullptr,
                   systemError);
  }

  testing_support::TempFolder folder_;
  Library library_;
  AES_Crypt_File_Fn crypt_ = nullptr;
  AES_Crypt_File_Status_Fn status_ = nullptr;
  Bytes file_;
};

TEST_F(CipherkernDllCalls, RoundTripsEveryByteAndReturnsZero) {
  EXPECT_EQ(crypt_(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("f_aes").c_str(), kKeyText,
                   CIPHERKERN_CHUNK_SIZE),
            0);
  const Bytes body = ReadFile(Path("f_aes"));
  EXPECT_EQ(body.size() % 16, 0u);
  EXPECT_FALSE(body.empty());
  EXPECT_EQ(crypt_(CIPHERKERN_MODE_DECRYPT, Path("f_aes").c_str(), Path("g").c_str(), kKeyText,
                   CIPHERKERN_CHUNK_SIZE),
            0);
  EXPECT_EQ(ReadFile(Path("g.dec")), file_);
  // The decrypted container is the pack container that encryption wrote.
  EXPECT_EQ(ReadFile(Path("g")), ReadFile(Path("f.pack")));
}

TEST_F(CipherkernDllCalls, EmptyFileRoundTrips) {
  WriteFile(Path("e"), Bytes{});
  int error = -1;
  EXPECT_EQ(Call(CIPHERKERN_MODE_ENCRYPT, Path("e"), Path("e_aes"), &error),
            CIPHERKERN_STATUS_DONE);
  EXPECT_EQ(Call(CIPHERKERN_MODE_DECRYPT, Path("e_aes"), Path("e2"), &error),
            CIPHERKERN_STATUS_DONE);
  EXPECT_TRUE(fs::exists(Path("e2.dec")));
  EXPECT_TRUE(ReadFile(Path("e2.dec")).empty());
}

TEST_F(CipherkernDllCalls, StatusSaysWhichSideFailedAndWhy) {
  int error = -1;
  ASSERT_EQ(Call(CIPHERKERN_MODE_ENCRYPT, Path("f"), Path("f_aes"), &error),
            CIPHERKERN_STATUS_DONE);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Call(CIPHERKERN_MODE_DECRYPT, Path("f_aes"), Path("h"), &error,
                 "ffffffffffffffffffffffffffffffff"),
            CIPHERKERN_STATUS_DAMAGED);
  EXPECT_FALSE(fs::exists(Path("h.dec")));
  EXPECT_EQ(Call(CIPHERKERN_MODE_ENCRYPT, Path("missing"), Path("h"), &error),
            CIPHERKERN_STATUS_READ_ERROR);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(Call(CIPHERKERN_MODE_ENCRYPT, Path("f"), Path("no/h"), &error),
            CIPHERKERN_STATUS_WRITE_ERROR);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(Call(2, Path("f"), Path("h"), &error), CIPHERKERN_STATUS_REFUSED);
  EXPECT_FALSE(fs::exists(Path("h")));
}

// Another spelling of the input's path (backslashes, upper case) is still
// the input: writing there would destroy what is being read.
TEST_F(CipherkernDllCalls, RefusesAnOutputThatIsTheInputByAnotherName) {
  std::string other = Path("F");
  std::replace(other.begin(), other.end(), '/', '\\');
  int error = -1;
  EXPECT_EQ(Call(CIPHERKERN_MODE_ENCRYPT, Path("f"), other, &error), CIPHERKERN_STATUS_REFUSED);
  EXPECT_EQ(ReadFile(Path("f")), file_);
  // A different file beside it is no overlap.
  EXPECT_EQ(Call(CIPHERKERN_MODE_ENCRYPT, Path("f"), Path("f2"), &error), CIPHERKERN_STATUS_DONE);
}

// Paths are UTF-8; names outside the ANSI code page work too.
TEST_F(CipherkernDllCalls, TakesUtf8PathsBeyondTheAnsiCodePage) {
  const std::string name =
      "Gr\xc3\xbc\xc3\x9f"
      "e-\xe2\x82\xac-\xce\xa9";  // Grüße-€-Ω
  int error = -1;
  ASSERT_EQ(Call(CIPHERKERN_MODE_ENCRYPT, Path("f"), Path(name), &error), CIPHERKERN_STATUS_DONE);
  const auto utf8 = [&](const std::string& n) {
    return fs::path(folder_.path()) /
           fs::path(std::u8string(reinterpret_cast<const char8_t*>(n.data()), n.size()));
  };
  EXPECT_TRUE(fs::exists(utf8(name)));
  const std::string back = name +
                           "-zur\xc3\xbc"
                           "ck";
  ASSERT_EQ(Call(CIPHERKERN_MODE_DECRYPT, Path(name), Path(back), &error), CIPHERKERN_STATUS_DONE);
  std::ifstream in(utf8(back + ".dec"), std::ios::binary);
  ASSERT_TRUE(in.good());
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), file_);
}

// The engine's output does not depend on the system: the same sample and
// key give the body the Linux library makes (its length and FNV-1a hash,
// taken from libcipherkern.so), with the encoder's second thread at work.
TEST_F(CipherkernDllCalls, MakesTheSameBodyAsTheLinuxLibrary) {
  const Bytes sample = CrossPlatformSample();
  ASSERT_EQ(sample.size(), 3145729u);
  ASSERT_EQ(Fnv1a(sample), 0x41cf370321118307u);
  WriteFile(Path("sample"), sample);
  int error = -1;
  ASSERT_EQ(Call(CIPHERKERN_MODE_ENCRYPT, Path("sample"), Path("sample_aes"), &error),
            CIPHERKERN_STATUS_DONE);
  const Bytes body = ReadFile(Path("sample_aes"));
  EXPECT_EQ(body.size(), 1346784u);
  EXPECT_EQ(Fnv1a(body), 0x2abfe78f9d57c4c4u);
  ASSERT_EQ(Call(CIPHERKERN_MODE_DECRYPT, Path("sample_aes"), Path("back"), &error),
            CIPHERKERN_STATUS_DONE);
  EXPECT_EQ(ReadFile(Path("back.dec")), sample);
}

}  // namespace
