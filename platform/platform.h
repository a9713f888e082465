// The operating system as Tresolin sees it: files, folders, the temporary
// folder, free space, code pages, times and attributes. Every other module
// reaches the OS through this header only.
//
// Paths are byte strings (the file system's own bytes, UTF-8 on a usual
// desktop); folders that the program hands around end in "/". No call throws:
// each reports through its result. Calls are thread-safe except the fault
// plan, which tests set up before they start the code under test.
#ifndef TRESOLIN_PLATFORM_PLATFORM_H_
#define TRESOLIN_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- results

// Why an operation failed. The layer that sees errno records it; the layers
// above add the path and what they were doing; only a front end chooses the
// words. The causes past kTooLarge are set by the crypto and flow layers,
// which share this one type so that a cause reaches the front end unchanged.
enum class Cause {
  kNone,
  kMissing,        // nothing at the path (or a dangling link)
  kFolder,         // a folder where a file belongs
  kSpecial,        // a FIFO, device or socket where a regular file belongs
  kNameTaken,      // something exists where a new name was to be made
  kNoAccess,       // the system refused to open the path (systemError)
  kReadFailed,     // reading failed part-way (systemError)
  kWriteFailed,    // writing, syncing or closing failed (systemError)
  kNoSpace,        // the volume has too little free space for the run
  kTooLarge,       // an input of 2 GiB or more, which a container cannot record
  kNameRefused,    // a name an archive cannot hold: absolute, "..", too long, not UTF-8
  kNotContainer,   // no readable trailer: no container, or one cut short at its end
  kWrongPassword,  // the fingerprint in the trailer is not the password's
  kDamaged,        // the trailer reads, the body fails a check (see Check)
  kNoMemory,
  kEngine,  // the AES engine could not be bound or said nothing of its work
  kFailed,  // failed for a reason nobody below could tell
};

// For kDamaged: the check the body failed.
enum class Check {
  kNone,
  kBodyLength,    // the body length in the trailer does not fit the file
  kDecoding,      // AES: padding or pack container does not decode, or its checksum
  kArchive,       // the decrypted body is no zip archive
  kZipChecksum,   // a zip entry's data fails its CRC or ends short
  kZipDirectory,  // the zip archive's entry list breaks off
};

// The result of an operation: ok, or its cause with the path concerned and
// the system's errno. Cheap to copy.
struct [[nodiscard]] Status {
  Cause cause = Cause::kNone;
  std::string path;     // the path concerned, "" when none applies
  int systemError = 0;  // errno of the failed call, 0 when none
  Check check = Check::kNone;

  static Status Ok() { return {}; }
  static Status Of(Cause cause, std::string path = {}, int systemError = 0) {
    return {cause, std::move(path), systemError, Check::kNone};
  }
  static Status DamagedAt(Check check, std::string path = {}) {
    return {Cause::kDamaged, std::move(path), 0, check};
  }

  bool ok() const { return cause == Cause::kNone; }
  // Returns true iff the failure is a full volume, told by the system
  // (ENOSPC, EDQUOT) or found by a free-space check.
  bool IsFullDisk() const;
};

// Returns ok iff path (following links) is a regular file that this process
// can open for reading; else kMissing, kFolder, kSpecial or kNoAccess with
// path and errno.
Status ExamineFileToRead(const std::string& path);

// ---------------------------------------------------------------- folders

// Returns the folder of the running executable, ending in "/".
std::string ProgramFolder();

// Returns $TMPDIR when it names a folder, else /tmp, resolved to its real
// path and ending in "/".
std::string TempFolder();

// Returns the process's current folder without a trailing "/" (just "/" for
// the root), or "" when it cannot be had.
std::string CurrentFolder();

// Returns path made absolute against the current folder (no links resolved,
// nothing checked); an absolute path comes back unchanged.
std::string AbsolutePath(const std::string& path);

// Returns true iff the current folder was changed to path.
bool SetCurrentFolder(const std::string& path);

// Returns true iff path names a folder (following a symbolic link).
bool IsFolder(const std::string& path);

// Creates path and every missing parent (mode 0777 minus the umask).
// Returns true iff path is a folder afterwards.
bool MakeFolders(const std::string& path);

// Removes path iff it is an empty folder. Returns true iff it was removed.
bool RemoveEmptyFolder(const std::string& path);

// Returns the free space of the volume that holds folder in whole MiB
// (all free bytes, also those reserved from users), or -1 when the system
// cannot tell.
std::int32_t FreeDiskMegabytes(const std::string& folder);

// What a folder entry is. A symbolic link is reported by what it points to,
// with `isLink` set; a dangling link is kOther.
enum class EntryType { kFile, kFolder, kOther };

struct FolderEntry {
  std::string name;  // the bare name, never "." or ".."
  EntryType type = EntryType::kOther;
  bool isLink = false;
};

// Lists folder in the file system's enumeration order. Returns nullopt when
// the folder cannot be read or an entry in it cannot be examined (as in a
// folder that may be read but not searched), so that a walk never leaves a
// file out unseen. Entries that vanish while listed are left out.
std::optional<std::vector<FolderEntry>> ListFolder(const std::string& folder);

// ---------------------------------------------------------------- files

// Returns the size of the file at path (following links), or -1 when there
// is none.
std::int64_t FileSize(const std::string& path);

// Returns true iff path names a regular file (following links).
bool FileExists(const std::string& path);

// Returns true iff something (file, folder, link, even a dangling one) exists
// at path.
bool PathExists(const std::string& path);

// Returns true iff path itself is a symbolic link (dangling or not), without
// following it.
bool IsSymbolicLink(const std::string& path);

// Returns true iff both paths name the same existing file (same device and
// inode), whatever their spelling.
bool SameFile(const std::string& a, const std::string& b);

// Deletes the file (or link) at path. Returns true iff it was deleted.
bool DeleteFile(const std::string& path);

// Renames from to to. Never replaces: fails when to exists or from does not.
// Returns true iff renamed.
bool RenameFile(const std::string& from, const std::string& to);

// Renames from to to, replacing to only when it is a regular file (never a
// link, folder or special file; checked without following links). Returns
// true iff renamed. For results the user agreed to replace.
bool ReplaceFile(const std::string& from, const std::string& to);

// Makes a symbolic link at linkPath pointing at target. Returns true iff
// made; an existing linkPath is never replaced.
bool MakeSymbolicLink(const std::string& target, const std::string& linkPath);

// Makes standIn, a new name inside this run's working folder, read as the
// regular file at source, for a reader that takes its input by path and
// derives names from it. A symbolic link to source's absolute path where the
// system lets this user make one; on Windows, which lets most users make
// none, a hard link when both lie on one volume and source is not read-only
// (deleting a read-only link would mean changing the file itself), else a
// copy. The stand-in is only ever read and deleted. Never replaces anything;
// returns true iff made, else errno tells why.
bool MakeStandIn(const std::string& source, const std::string& standIn);

// What is at a path, not following a link there.
enum class PathKind { kMissing, kFile, kFolder, kLink, kSpecial };
PathKind KindOfPath(const std::string& path);

// Flushes the folder's entries (new names, renames) to the disk. Returns true
// iff flushed.
bool SyncFolder(const std::string& folder);

// How File::Open opens a path.
enum class OpenMode {
  kRead,       // existing file, read-only
  kUpdate,     // read and write an existing file; never creates one
  kCreateNew,  // a new file only: fails when anything (file, link, folder)
               // exists at path; write-only, mode 0600. A result gets its
               // shared mode once complete (SetSharedFileMode).
};

// An open file. Move-only; closes on destruction. Reads and writes are
// unbuffered; callers move data in blocks.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens path. With noFollow, a symbolic link at path makes the open fail
  // (extraction must never write through one). Check ok() for the outcome.
  static File Open(const std::string& path, OpenMode mode, bool noFollow = false);

  bool ok() const { return fd_ >= 0; }

  // Returns the number of bytes read (less than out.size() only at the end of
  // the file), or -1 on an error.
  std::int64_t Read(std::span<std::uint8_t> out);

  // Returns true iff all of data was written.
  bool Write(std::span<const std::uint8_t> data);

  // Moves to offset from the start. Returns true iff moved.
  bool Seek(std::int64_t offset);

  // Returns the current position, or -1.
  std::int64_t Position() const;

  // Returns the file's size, or -1.
  std::int64_t Size() const;

  // Sets the permission bits of the open file. Returns true iff set.
  bool SetMode(std::uint32_t mode);

  // Flushes the file's data to the disk. Returns true iff flushed.
  bool Sync();

  // Returns true iff the file was open and closed without an error (a
  // delayed write error shows here).
  bool Close();

  // The errno of the last failed call on this file (Open included), 0 when
  // none failed; ENOSPC for a write the fault plan failed.
  int lastError() const { return error_; }

 private:
  explicit File(int fd) : fd_(fd) {}
  static File Failed(int error);
  int fd_ = -1;
  int error_ = 0;
};

// Reads the whole file at path. Returns nullopt when it cannot be opened or
// read, or is larger than limit bytes.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path, std::int64_t limit);

// ------------------------------------------------------- times and modes

// A local calendar time, as the zip format carries it.
struct LocalTime {
  int year = 1980;  // four digits
  int month = 1;    // 1 to 12
  int day = 1;      // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Returns the last-write time of path in local time, or nullopt.
std::optional<LocalTime> LastWriteTime(const std::string& path);

// Sets the last-write time of path (not following a link) from a local time;
// the access time is left alone. Returns true iff set.
bool SetLastWriteTime(const std::string& path, const LocalTime& time);

// Returns the st_mode (type and permission bits) of path, following links,
// or nullopt.
std::optional<std::uint32_t> FileMode(const std::string& path);

// Sets the permission bits (07777) of path. Returns true iff set.
bool SetFileMode(const std::string& path, std::uint32_t mode);

// Gives path the mode a newly created shared file gets: 0666 minus the
// umask. Returns true iff set.
bool SetSharedFileMode(const std::string& path);

// ----------------------------------------------------------- code pages

// The password as the bytes that containers hash and key with: Windows-1252
// when every character of the UTF-8 text has a code there, else the UTF-8
// bytes unchanged. Never a lossy replacement.
std::string PasswordBytes(std::string_view utf8);

// Converts a UTF-8 name to CP850. Returns nullopt when a character has no
// CP850 code (the caller then stores UTF-8).
std::optional<std::string> Utf8ToCp850(std::string_view utf8);

// Converts CP850 bytes to UTF-8 (every byte has a character).
std::string Cp850ToUtf8(std::string_view cp850);

// ----------------------------------------------- processes and instances

// The program's arguments after its name, as UTF-8. Linux hands them over
// as they are; Windows reads the wide command line, so that every character
// of a file name survives, whatever the code page.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// The value of an environment variable as UTF-8, or nullopt when unset.
std::optional<std::string> EnvironmentValue(const std::string& name);

// Makes standard input and output pass bytes unchanged (on Windows: binary
// mode, no line-end translation) and a console show UTF-8 text. Call once,
// before anything is read or written.
void PrepareStandardStreams();

// Sets an environment variable of this process (children inherit it).
// Returns true iff set.
bool SetEnvironmentVariable(const std::string& name, const std::string& value);

// Starts program with args (argv[1..]), inheriting the environment and the
// current folder. Returns the process id, or -1 when it cannot be started.
int StartProgram(const std::string& program, const std::vector<std::string>& args);

// Kills the process (SIGKILL) and reaps it, so no zombie stays. Does nothing
// for pid <= 0. Returns true iff a process was ended.
bool KillProgram(int pid);

// Returns true iff a process with this id exists (a zombie counts as gone).
bool IsProcessAlive(int pid);

// Returns the id of the process that started this one.
int ParentProcessId();

// What became of the single-instance lock.
enum class InstanceLock {
  kAcquired,       // this process holds it now
  kHeldElsewhere,  // another process holds it
  kUnavailable,    // no lock file could be made (the caller may run unguarded)
};

// Takes the named single-instance lock for the life of the process: a lock
// file of that name in $XDG_RUNTIME_DIR, else in /tmp/tresolin-<uid>/
// (made 0700). The kernel drops it when the process ends, also after a
// crash.
InstanceLock AcquireInstanceLock(const std::string& name);

// ------------------------------------------------ libraries from memory

// A shared library bound from an image in memory. The image goes into an
// anonymous in-memory file (close-on-exec) and is loaded from there with
// RTLD_NOW | RTLD_LOCAL; where such files are unavailable, into a private
// 0700 temporary folder that is removed again on release. The image is never
// written anywhere else. Move-only; releasing unloads the library.
class MemoryLibrary {
 public:
  MemoryLibrary() = default;
  MemoryLibrary(MemoryLibrary&& other) noexcept;
  MemoryLibrary& operator=(MemoryLibrary&& other) noexcept;
  MemoryLibrary(const MemoryLibrary&) = delete;
  MemoryLibrary& operator=(const MemoryLibrary&) = delete;
  ~MemoryLibrary();

  // Binds the library held in image. Check ok() for the outcome.
  static MemoryLibrary Load(std::span<const std::uint8_t> image);

  bool ok() const { return handle_ != nullptr; }

  // Returns the address of the exported symbol with exactly this name
  // (case-sensitive), or nullptr.
  void* Symbol(const char* name) const;

  // Where the library was loaded from while it is bound (tests use it to
  // prove that release really unloads it).
  const std::string& loadPath() const { return loadPath_; }

 private:
  void Release();
  void* handle_ = nullptr;
  int fd_ = -1;
  std::string loadPath_;
  std::string tempFolder_;  // set only on the fallback path
#ifdef _WIN32
  struct Image;  // the mapped image and the modules it imports, never on disk
  Image* image_ = nullptr;
#endif
};

// ------------------------------------------------ private working folders

// Every file a run works with lives in one folder that the run creates next
// to where its result will land, so that the last step is a rename on one
// file system and nothing of the run is ever visible to other users:
//
//   <parent>/.tresolin-work-XXXXXX/   mode 0700, made with mkdtemp
//     owner                           host, boot id, process id and start time
//     ...                             working files, mode 0600
//
// The folder is removed with everything in it when the WorkFolder ends, and
// by the interrupt clean-up (InstallInterruptCleanup) when the process is
// ended by SIGINT, SIGTERM or SIGHUP. A folder left by a process that was
// killed outright is removed by the next WorkFolder made in the same parent,
// once its owner record shows a process of this host that is gone. A folder
// without a readable record, of another user, of another mode or of another
// host is never touched. Removal never follows a link.
inline constexpr std::string_view kWorkFolderPrefix = ".tresolin-work-";

class WorkFolder {
 public:
  WorkFolder() = default;
  WorkFolder(WorkFolder&& other) noexcept;
  WorkFolder& operator=(WorkFolder&& other) noexcept;
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  // Removes the folder with everything still in it: a result leaves it by
  // MoveOut first.
  ~WorkFolder();

  // Sweeps stale working folders in parent, then creates a new one there.
  // Check ok(); on failure nothing was created.
  static WorkFolder Create(const std::string& parent);

  // For scratch work that leaves nothing behind (checking, piping): creates
  // the folder in parent, near the data and on its volume, or in
  // TempFolder() where parent takes none (a read-only folder, a CD).
  static WorkFolder CreateForScratch(const std::string& parent);

  bool ok() const { return !path_.empty(); }

  // The folder, ending in "/".
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + std::string(name); }

  // Moves the file or folder from (inside this folder) to the result path to,
  // never replacing (with replace: only a regular file, as ReplaceFile). A
  // path that did not exist before is recorded as created by this run.
  // Returns true iff moved. An interrupt sees the move done or not begun.
  bool MoveOut(const std::string& from, const std::string& to, bool replace = false);

  // Creates the folder path outside (one level) and records it as created.
  // Returns true iff it is a folder afterwards; an existing folder (not a
  // link) is fine and is not recorded.
  bool MakeFolderOutside(const std::string& path);

  // Removes every path this run recorded as created outside, newest first
  // (folders only when empty). For a restore that failed part-way.
  void UndoCreated();

  // Forgets the recorded paths: the result is complete and stays.
  void Commit();

  // Removes the folder and everything in it now. Returns true iff gone.
  bool Remove();

 private:
  std::string path_;
  int slot_ = -1;  // registration with the interrupt clean-up
};

// Removes stale working folders in parent (see WorkFolder). Returns how many
// were removed.
int SweepStaleWorkFolders(const std::string& parent);

// ------------------------------------------------------------ interrupts

// Makes SIGINT, SIGTERM and SIGHUP end the process cleanly: every live
// WorkFolder is removed, with the paths it recorded as created outside, and
// the process exits with 128 + the signal's number (130, 143, 129). Call at
// the very start of main, before any thread is started: the signals are then
// blocked in every thread and taken by one clean-up thread. Calling it again
// does nothing.
//
// notice, when given, is called on the clean-up thread once everything is
// removed, just before the exit, with the signal's number: a program tells
// its user there why it ended.
using InterruptNotice = void (*)(int signal);
void InstallInterruptCleanup(InterruptNotice notice = nullptr);

// ------------------------------------------------------------ terminal

// Returns true iff the process has a controlling terminal to ask on.
bool HasTerminal();

// Returns true iff standard output (standard error) is a terminal.
bool StandardOutputIsTerminal();
bool StandardErrorIsTerminal();

// Shows prompt on the controlling terminal and reads one line without echo.
// Returns the line without its line end, or nullopt when there is no
// terminal or reading fails.
std::optional<std::string> ReadSecretFromTerminal(std::string_view prompt);

// ------------------------------------------------------ fault injection

// Test seam: makes chosen OS operations fail, the way a full disk, a locked
// file or a refused rename would. Counts start at 1 ("fail the 2nd write").
// Production code never sets it.
struct FaultPlan {
  int failOpenForWriteAt = 0;       // Nth File::Open in a writing mode fails
  int failWriteAt = 0;              // Nth File::Write fails
  int failRenameAt = 0;             // Nth RenameFile / ReplaceFile / MoveOut fails
  int failOpenForReadAt = 0;        // Nth File::Open for reading fails
  int failDeleteAt = 0;             // Nth DeleteFile fails
  std::int32_t freeMegabytes = -2;  // >= -1: FreeDiskMegabytes answers this
  bool noAnonymousFiles = false;    // MemoryLibrary takes its fallback path
};

// Installs plan (counters restart) until ClearFaultPlan().
void SetFaultPlan(const FaultPlan& plan);
void ClearFaultPlan();

}  // namespace platform

#endif  // TRESOLIN_PLATFORM_PLATFORM_H_
