// The built libcipherkern.so as the main program binds it: by name, one
// symbol, per call.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cipherkern/cipherkern.h"
#include "tests/support/temp_folder.h"

#ifdef CIPHERKERN_LIBRARY_PATH

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr char kKeyText[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";

std::optional<Bytes> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Names of the defined symbols in the library's dynamic symbol table that
// other objects can bind to: global or weak binding, default visibility.
std::set<std::string> ExportedSymbols(const Bytes& elf) {
  std::set<std::string> names;
  if (elf.size() < sizeof(Elf64_Ehdr) || std::memcmp(elf.data(), ELFMAG, SELFMAG) != 0 ||
      elf[EI_CLASS] != ELFCLASS64) {
    ADD_FAILURE() << "not a 64-bit ELF file";
    return names;
  }
  Elf64_Ehdr header;
  std::memcpy(&header, elf.data(), sizeof header);
  const auto section = [&](std::size_t i) {
    Elf64_Shdr s;
    std::memcpy(&s, elf.data() + header.e_shoff + i * header.e_shentsize, sizeof s);
    return s;
  };
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Elf64_Shdr symtab = section(i);
    if (symtab.sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr strtab = section(symtab.sh_link);
    for (std::size_t off = 0; off + sizeof(Elf64_Sym) <= symtab.sh_size; off += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, elf.data() + symtab.sh_offset + off, sizeof sym);
      const unsigned bind = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || ELF64_ST_VISIBILITY(sym.st_other) != STV_DEFAULT ||
          (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE)) {
        continue;
      }
      names.insert(reinterpret_cast<const char*>(elf.data() + strtab.sh_offset + sym.st_name));
    }
  }
  return names;
}

class AesEngineLibrary : public testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(3);
    Bytes text;
    while (text.size() < 200000) {
      const std::string line = "Zeile " + std::to_string(rng() % 1000) + " der Datei\r\n";
      text.insert(text.end(), line.begin(), line.end());
    }
    WriteFile(Path("f"), text);
    file_ = text;
  }
  std::string Path(const std::string& name) const { return folder_ / name; }

  ::testing_support::TempFolder folder_;
  Bytes file_;
};

// Binds the library as the main program does for one call, and releases it.
class Binding {
 public:
  Binding() : handle_(dlopen(CIPHERKERN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~Binding() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  void* handle() const { return handle_; }
  AES_Crypt_File_Fn function() const {
    return reinterpret_cast<AES_Crypt_File_Fn>(dlsym(handle_, CIPHERKERN_EXPORT_NAME));
  }

 private:
  void* handle_;
};

TEST_F(AesEngineLibrary, ExportsOnlyItsTwoFunctions) {
  const std::optional<Bytes> image = ReadFile(CIPHERKERN_LIBRARY_PATH);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(ExportedSymbols(*image),
            (std::set<std::string>{CIPHERKERN_EXPORT_NAME, CIPHERKERN_STATUS_EXPORT_NAME}));

  Binding binding;
  ASSERT_NE(binding.handle(), nullptr) << dlerror();
  EXPECT_NE(dlsym(binding.handle(), "AES_Crypt_File"), nullptr);
  for (const char* name :
       {"aes_crypt_file", "AES_CRYPT_FILE", "AES_Crypt_File_", "Engine_CryptFile",
        "_ZN10cipherkern16Engine_CryptFileERKNS_13EngineRequestE", "Aes_ExpandKey", "Pack_Compress",
        "Pack_Decompress"}) {
    EXPECT_EQ(dlsym(binding.handle(), name), nullptr) << name;
  }
}

TEST_F(AesEngineLibrary, RoundTripsAndReturnsZeroWhateverHappens) {
  Binding binding;
  ASSERT_NE(binding.function(), nullptr);
  const AES_Crypt_File_Fn crypt = binding.function();
  EXPECT_EQ(crypt(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("f_aes").c_str(), kKeyText,
                  CIPHERKERN_CHUNK_SIZE),
            0);
  EXPECT_EQ(crypt(CIPHERKERN_MODE_DECRYPT, Path("f_aes").c_str(), Path("g").c_str(), kKeyText,
                  CIPHERKERN_CHUNK_SIZE),
            0);
  EXPECT_EQ(ReadFile(Path("g.dec")), file_);

  // Failures look the same to the caller; only the files differ.
  EXPECT_EQ(crypt(2, Path("f").c_str(), Path("h").c_str(), kKeyText, CIPHERKERN_CHUNK_SIZE), 0);
  EXPECT_EQ(crypt(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("h").c_str(), kKeyText, 15), 0);
  EXPECT_EQ(crypt(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("h").c_str(), "", 16), 0);
  EXPECT_EQ(crypt(CIPHERKERN_MODE_DECRYPT, Path("f").c_str(), Path("h").c_str(), kKeyText, 16), 0);
  EXPECT_FALSE(fs::exists(Path("h")));
  EXPECT_FALSE(fs::exists(Path("h.dec")));
}

// The second export tells what the files would: done, damaged, or which
// side failed and the system's reason.
TEST_F(AesEngineLibrary, StatusExportSaysHowACallWent) {
  using Outcome = std::pair<int, int>;  // status, system error
  Binding binding;
  const auto crypt = reinterpret_cast<AES_Crypt_File_Status_Fn>(
      dlsym(binding.handle(), CIPHERKERN_STATUS_EXPORT_NAME));
  ASSERT_NE(crypt, nullptr);
  const auto call = [&](int mode, const std::string& in, const std::string& out,
                        const char* key = kKeyText) {
    int systemError = -1;
    const int status = crypt(mode, in.c_str(), out.c_str(), key, CIPHERKERN_CHUNK_SIZE, nullptr,
                             nullptr, &systemError);
    return Outcome(status, systemError);
  };
  std::pair<long long, long long> lastReport{-1, 0};  // done, total
  EXPECT_EQ(crypt(
                CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("f_aes").c_str(), kKeyText,
                CIPHERKERN_CHUNK_SIZE,
                [](void* context, long long done, long long total) {
                  *static_cast<std::pair<long long, long long>*>(context) = {done, total};
                },
                &lastReport, nullptr),
            CIPHERKERN_STATUS_DONE);
  EXPECT_EQ(lastReport.first, lastReport.second);
  EXPECT_GT(lastReport.second, 0);
  EXPECT_EQ(call(CIPHERKERN_MODE_DECRYPT, Path("f_aes"), Path("g")),
            Outcome(CIPHERKERN_STATUS_DONE, 0));
  EXPECT_EQ(
      call(CIPHERKERN_MODE_DECRYPT, Path("f_aes"), Path("h"), "ffffffffffffffffffffffffffffffff"),
      Outcome(CIPHERKERN_STATUS_DAMAGED, 0));
  EXPECT_EQ(call(CIPHERKERN_MODE_ENCRYPT, Path("missing"), Path("h")),
            Outcome(CIPHERKERN_STATUS_READ_ERROR, ENOENT));
  EXPECT_EQ(call(CIPHERKERN_MODE_ENCRYPT, Path("f"), Path("no/h")),
            Outcome(CIPHERKERN_STATUS_WRITE_ERROR, ENOENT));
  EXPECT_EQ(call(2, Path("f"), Path("h")), Outcome(CIPHERKERN_STATUS_REFUSED, 0));
  EXPECT_FALSE(fs::exists(Path("h")));
  EXPECT_FALSE(fs::exists(Path("h.dec")));
}

TEST_F(AesEngineLibrary, EveryCallStartsAfreshThroughOneBindingOrTwo) {
  {
    Binding binding;
    const AES_Crypt_File_Fn crypt = binding.function();
    ASSERT_NE(crypt, nullptr);
    crypt(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("a1").c_str(), kKeyText, 16384);
    crypt(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("a2").c_str(), kKeyText, 16384);
    // A call with another key in between must not leave its key behind.
    crypt(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("other").c_str(),
          "ffffffffffffffffffffffffffffffff", 16384);
    crypt(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path("a3").c_str(), kKeyText, 16384);
  }
  for (const char* out : {"b1", "b2"}) {
    Binding binding;
    ASSERT_NE(binding.function(), nullptr);
    binding.function()(CIPHERKERN_MODE_ENCRYPT, Path("f").c_str(), Path(out).c_str(), kKeyText,
                       16384);
  }
  const std::optional<Bytes> first = ReadFile(Path("a1"));
  ASSERT_TRUE(first.has_value());
  EXPECT_FALSE(first->empty());
  for (const char* out : {"a2", "a3", "b1", "b2"}) EXPECT_EQ(ReadFile(Path(out)), first) << out;
  EXPECT_NE(ReadFile(Path("other")), first);
}

}  // namespace

#endif  // CIPHERKERN_LIBRARY_PATH
