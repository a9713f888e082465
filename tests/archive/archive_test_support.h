// Test support for the archive tests: the shared scratch folder, small file
// helpers, and a way to run the independent tools (python3, zip, unzip).
#ifndef TRESOLIN_TESTS_ARCHIVE_ARCHIVE_TEST_SUPPORT_H_
#define TRESOLIN_TESTS_ARCHIVE_ARCHIVE_TEST_SUPPORT_H_

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/zip_reader.h"
#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace archive_test {

namespace fs = std::filesystem;

using ::testing_support::TempFolder;

// Writes text to path, creating the missing folders above it.
inline void WriteText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Bytes that compress somewhat, so that deflate has work to do.
inline std::string SampleData(std::size_t size, unsigned seed = 1) {
  std::string data(size, '\0');
  unsigned x = seed;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<char>((x >> 16) % 16 + 'a');
  }
  return data;
}

inline platform::LocalTime Local(int year, int month, int day, int hour, int minute, int second) {
  return platform::LocalTime{year, month, day, hour, minute, second};
}

// The last-write time of path as "YYYY-MM-DD hh:mm:ss" (local), or "none".
inline std::string TimeText(const std::string& path) {
  const auto t = platform::LastWriteTime(path);
  if (!t) return "none";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t->year, t->month, t->day,
                t->hour, t->minute, t->second);
  return text;
}

inline unsigned Permissions(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// Every regular file below folder as "relative path=content", sorted.
inline std::vector<std::string> Tree(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file()) {
      files.push_back(fs::relative(e.path(), folder).string() + "=" + ReadText(e.path()));
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Counts entries with our reader; -1 when the list breaks off.
inline int CountWithOurReader(const std::string& zip) {
  archive::internal::ZipReader reader;
  if (!reader.Open(zip)) return -1;
  int count = 0;
  int rc = reader.First();
  for (; rc == archive::internal::kZipOk; rc = reader.Next()) ++count;
  return rc == UNZ_END_OF_LIST_OF_FILE ? count : -1;
}

// Extracts the entry at index of zip, as UnpackFile does; true on success.
inline bool ExtractAt(const std::string& zip, int index, const std::string& target,
                      bool keepPaths) {
  std::string name;
  int systemError = 0;
  return archive::internal::ExtractEntryAt(zip, index, target, keepPaths, &name, &systemError) ==
         archive::internal::kZipOk;
}

struct CommandResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

// Runs a shell command (here-documents allowed).
inline CommandResult Shell(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(("( " + command + "\n) 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

inline bool HasTool(const std::string& name) {
  return Shell("command -v " + name + " >/dev/null").exitCode == 0;
}

// Runs a python3 script with arguments.
inline CommandResult Python(const std::string& script, const std::string& arguments) {
  return Shell("python3 - " + arguments + " <<'PYTHON'\n" + script + "\nPYTHON");
}

inline std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace archive_test

#endif  // TRESOLIN_TESTS_ARCHIVE_ARCHIVE_TEST_SUPPORT_H_
