// Test support: a fresh folder per test, removed with everything in it, and
// small file helpers.
#ifndef TRESOLIN_TESTS_SUPPORT_TEMP_FOLDER_H_
#define TRESOLIN_TESTS_SUPPORT_TEMP_FOLDER_H_

#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace testing_support {

// Replaces the trailing "XXXXXX" of pattern by a name not yet taken and makes
// that folder (0700). Returns pattern, or null when none could be made.
inline char* MakeFreshFolder(char* pattern) {
#ifdef _WIN32
  // MinGW's C runtime has no mkdtemp.
  const std::size_t n = std::strlen(pattern);
  if (n < 6 || std::strcmp(pattern + n - 6, "XXXXXX") != 0) return nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::memcpy(pattern + n - 6, "XXXXXX", 6);
    if (_mktemp_s(pattern, n + 1) != 0) return nullptr;
    if (_mkdir(pattern) == 0) return pattern;
  }
  return nullptr;
#else
  return ::mkdtemp(pattern);
#endif
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tresolin-test-XXXXXX").string();
    path_ = MakeFreshFolder(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    // Read-only files and folders must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      // Never through a link: its target may lie outside the folder.
      if (it->is_symlink(ec)) continue;
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, without a trailing "/".
  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> data(n);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  return data;
}

inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Returns true iff something is at path, a dangling link included.
inline bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// Makes a sparse file of the given size: large sizes cost no disk space.
inline void MakeSparseFile(const std::string& path, std::int64_t size) {
  { std::ofstream out(path, std::ios::binary | std::ios::trunc); }
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size));
}

// The names in a folder, sorted.
inline std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testing_support

#endif  // TRESOLIN_TESTS_SUPPORT_TEMP_FOLDER_H_
