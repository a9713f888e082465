// The engine's file calls on Windows, in the shape engine.cpp uses on POSIX
// systems: C runtime descriptors opened in binary mode and never inherited,
// paths in UTF-8 (turned into UTF-16 at the system boundary), reads and
// writes at an offset that leave no shared file position behind, so that two
// threads may read one descriptor. Failures set errno, as the POSIX calls do.
// Internal to the engine; include only from engine.cpp.
#ifndef TRESOLIN_CIPHERKERN_FILE_IO_WIN_H_
#define TRESOLIN_CIPHERKERN_FILE_IO_WIN_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace cipherkern {

// Returns a descriptor, or -1 with errno set.
int OpenForReading(const char* path);
// Creates path or truncates the file there (mode 0600 makes it private to
// the user where the file system can say so; Windows files inherit their
// folder's access rules). Returns a descriptor, or -1 with errno set.
int CreateFile(const std::string& path, mode_t mode, bool readBack);

[[nodiscard]] bool ReadAt(int fd, std::uint8_t* data, std::size_t size, std::uint64_t offset);
[[nodiscard]] bool WriteAt(int fd, const std::uint8_t* data, std::size_t size,
                           std::uint64_t offset);
// Cuts the file to length bytes. Returns true iff it did.
[[nodiscard]] bool TruncateTo(int fd, std::uint64_t length);

// Returns true iff fd is a regular file, with its size in *size; else false
// with the cause in *error (EISDIR for a folder).
[[nodiscard]] bool RegularFileSize(int fd, std::uint64_t* size, int* error);

// Returns true iff path names the file open as fd (same volume and index).
bool SameFile(int fd, const char* path);
// Returns true iff the input names the same file as one of the paths the
// call would write.
bool InputIsWrittenTo(const char* input, const char* written, const std::string& intermediate);

void RemoveFile(const char* path);

}  // namespace cipherkern

#endif  // TRESOLIN_CIPHERKERN_FILE_IO_WIN_H_
