// Property: whatever archive a decrypted folder container turns out to hold,
// extracting it stays inside its buffers (the sanitizers watch that) and
// inside its target folder: afterwards the folders around the target hold
// just what they held before, with the archive unchanged in size, and below
// the target there are only folders and regular files, never a symbolic link,
// at most one file per entry the extraction went through. An archive that
// could not be opened leaves the target empty, and the reported problem is
// empty exactly when the extraction went through whole.
//
// Layout, made once per process below the temporary folder:
//   <root>/outer/in.zip   the input
//   <root>/outer/out      the target, made empty for each input
// so that a name climbing one or two levels out lands where it is seen.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "archive/archive.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// What a damaged directory or an odd name can do, a short archive does too;
// longer inputs only make the runs slower.
constexpr std::size_t kMaxInputBytes = 64 * 1024;
// The reader has no limit of its own on what an entry expands to, and a few
// kilobytes of deflate data (or one entry listed many times) can ask for
// gigabytes. A file size limit during the extraction makes such writes fail
// instead, which the extraction must handle as it handles a full disk. Only
// the soft limit moves, and only around the call: libFuzzer's own files
// (merge lists, findings) may be larger.
constexpr rlim_t kMaxFileBytes = 1 << 20;

class FileSizeLimit {
 public:
  FileSizeLimit() {
    if (getrlimit(RLIMIT_FSIZE, &saved_) != 0) std::abort();
    rlimit limit = saved_;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > kMaxFileBytes) {
      limit.rlim_cur = kMaxFileBytes;
    }
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) std::abort();
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
};

void Fail(const char* what, const fs::path& path) {
  std::fprintf(stderr, "zip_extract: %s: %s\n", what, path.c_str());
  std::abort();
}

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    names.insert(it->path().filename().string());
  }
  if (error) Fail("cannot list", folder);
  return names;
}

class Workspace {
 public:
  Workspace() {
    // Past the limit, a write is to fail rather than end the process.
    signal(SIGXFSZ, SIG_IGN);

    std::string pattern = platform::TempFolder() + "tresolin-fuzz-zip-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    root_ = pattern;
    outer_ = root_ / "outer";
    archive_ = outer_ / "in.zip";
    target_ = outer_ / "out";
    std::error_code error;
    fs::create_directory(outer_, error);
    if (error) Fail("cannot create", outer_);
  }
  ~Workspace() {
    std::error_code error;
    fs::remove_all(root_, error);
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  void Prepare(const std::uint8_t* data, std::size_t size) {
    const int fd = open(archive_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot create", archive_);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) Fail("cannot write", archive_);
      done += static_cast<std::size_t>(n);
    }
    close(fd);
    std::error_code error;
    fs::create_directory(target_, error);
    if (error) Fail("cannot create", target_);
  }

  // Removes the target again, also where the extraction made files that
  // refuse to go.
  void Clear() {
    std::error_code error;
    fs::remove_all(target_, error);
    if (error || fs::exists(fs::symlink_status(target_))) Fail("cannot remove", target_);
  }

  const fs::path& root() const { return root_; }
  const fs::path& outer() const { return outer_; }
  const fs::path& archive() const { return archive_; }
  const fs::path& target() const { return target_; }

 private:
  fs::path root_;
  fs::path outer_;
  fs::path archive_;
  fs::path target_;
};

// Returns the number of regular files below folder; aborts on anything but
// folders and regular files. Links are not followed.
std::size_t CountFiles(const fs::path& folder) {
  std::size_t files = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) Fail("symbolic link extracted", it->path());
    if (fs::is_regular_file(status)) {
      ++files;
    } else if (!fs::is_directory(status)) {
      Fail("neither file nor folder extracted", it->path());
    }
  }
  if (error) Fail("cannot walk", folder);
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInputBytes) return 0;
  static Workspace space;
  space.Prepare(data, size);

  archive::FolderExtractResult result;
  {
    const FileSizeLimit limit;
    result = archive::ExtractFolderArchive(space.archive().string(), space.target().string());
  }

  if (Names(space.root()) != std::set<std::string>{"outer"}) Fail("written into", space.root());
  if (Names(space.outer()) != std::set<std::string>{"in.zip", "out"}) {
    Fail("written into", space.outer());
  }
  if (fs::symlink_status(space.target()).type() != fs::file_type::directory) {
    Fail("target replaced", space.target());
  }
  if (platform::FileSize(space.archive().string()) != static_cast<std::int64_t>(size)) {
    Fail("archive changed", space.archive());
  }

  const std::size_t files = CountFiles(space.target());
  const std::size_t entries =
      static_cast<std::size_t>(result.extracted) + result.failedEntries.size();
  if (result.extracted < 0 || files > entries) Fail("more files than entries", space.target());
  if (!result.opened && (entries != 0 || !Names(space.target()).empty())) {
    Fail("unopened archive extracted", space.target());
  }
  if (result.status.ok() != result.ok()) Fail("status disagrees", space.archive());

  space.Clear();
  return 0;
}
