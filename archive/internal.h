// Internal to the archive module: what its sources share beyond archive.h.
#ifndef TRESOLIN_ARCHIVE_INTERNAL_H_
#define TRESOLIN_ARCHIVE_INTERNAL_H_

#include <minizip/ioapi.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace archive::internal {

// Results of the writer and the reader besides minizip's own codes.
inline constexpr int kZipOk = 0;
// No archive open, or a file that cannot be opened, read or written.
inline constexpr int kZipFailed = -1;
// An entry name that is unsafe, too long, empty or not UTF-8, or an empty
// target folder; nothing was written for it.
inline constexpr int kZipRefused = -200;
// An entry whose data goes on past the size its directory record declares;
// reading stopped at that size.
inline constexpr int kZipTooLarge = -201;

// What an archive stream knows beyond what it tells minizip.
struct StreamStatus {
  bool writeFailed = false;
  int systemError = 0;  // errno of the first failed write, 0 when none told
  // Entries the writer has opened in the archive; the close needs it for the
  // zip64 end records (see PlatformFileFunctions).
  std::uint64_t entries = 0;
};

// The end-of-directory record counts entries in 16 bits; from this many on
// it holds this value and the zip64 end record the true count.
inline constexpr std::uint64_t kZip64Entries = 0xffff;

// minizip's file functions routed through platform::File, so that archives
// are opened and closed the way every other file of the program is, and
// created only as new files (0600, never through a link, never over anything
// that exists). A failed write is recorded in *status (when given) and fails
// the close, but minizip is not told at once: it leaks the entry it is opening
// when a header write fails. Later writes are dropped.
//
// minizip writes the zip64 end record and its locator only for archives past
// 4 GiB; for status->entries >= kZip64Entries the close adds them in front of
// the end record minizip wrote. Archives with fewer entries keep exactly the
// bytes minizip writes, so that every reader takes them.
zlib_filefunc64_def PlatformFileFunctions(StreamStatus* status = nullptr);

// Language-encoding flag: the entry name is UTF-8 rather than CP850.
inline constexpr unsigned long kUtf8NameFlag = 0x800;

// Hosts in the high byte of "version made by". Readers take the Unix mode
// from the high 16 bits of the external attributes for Unix hosts; for DOS
// hosts they read unflagged names as CP850 whatever the bytes look like.
inline constexpr unsigned kDosHost = 0;
inline constexpr unsigned kUnixHost = 3;
inline constexpr unsigned kDarwinHost = 19;

// Info-ZIP's Unicode Path extra field, which unzip and 7-Zip prefer to an
// unflagged name when its checksum matches that name:
//   2 + 2 + 1 + 4 = 9 bytes  tag, size of the rest, version (1), CRC-32 of
//                            the name as stored; then the name in UTF-8
inline constexpr std::uint16_t kUnicodePathTag = 0x7075;
inline constexpr std::uint8_t kUnicodePathVersion = 1;
inline constexpr std::size_t kUnicodePathHeaderBytes = 2 + 2 + 1 + 4;

// An entry name as the writer stores it.
struct StoredName {
  std::string bytes;  // CP850, or UTF-8 when utf8 is set
  bool utf8 = false;
  unsigned host = kUnixHost;  // for "version made by"
  // For unflagged names beyond ASCII, the Unicode Path field (local and
  // central header alike); empty otherwise.
  std::string extraField;
};

// Makes the stored form of a relative path (UTF-8): separators collapsed,
// "." parts and leading "/" dropped. A name that CP850 holds goes in as
// CP850, unflagged, with its Unicode Path field; from a Unix host, or from a
// DOS host where its CP850 bytes would also read as UTF-8 (unless it holds
// "\" or ":", which a DOS host reads as separators: those go in as UTF-8).
// Any other name goes in as flagged UTF-8. Returns nullopt for names the
// reader would refuse (empty, with "..", kNameLimitBytes or longer as
// stored) and for names that are not valid UTF-8.
std::optional<StoredName> EncodeEntryName(std::string_view path);

// Where an entry goes below the target folder.
struct EntryPath {
  std::vector<std::string> folders;  // folder part, one name per level
  std::string file;                  // "" for a folder entry
};

// The name of an entry as an archive holds it.
struct RawEntryName {
  std::string_view stored;
  std::string_view extraField;  // the central header's extra fields
  bool utf8 = false;            // kUtf8NameFlag
  bool madeOnUnix = false;      // a Unix or Darwin host
};

// The stored name as UTF-8: a Unicode Path field whose checksum matches an
// unflagged name wins; flagged names are UTF-8, unflagged ones CP850, except
// that names from a Unix host which are valid UTF-8 are taken as such (as
// Info-ZIP zip writes them). A flagged name that is not UTF-8 (older
// versions of this program stored such names) comes back byte for byte.
std::string DecodeName(const RawEntryName& raw);

// Reads a stored entry name (see DecodeName). Entries made on a Unix host
// separate with "/" only; for others "\" separates too and a drive prefix
// ("C:/") is dropped.
// Returns nullopt when the entry must not be written: absolute, "..", an
// embedded NUL, nothing left of it, or a folder entry without keepPaths.
std::optional<EntryPath> ResolveEntryName(const RawEntryName& raw, bool keepPaths);

// ------------------------------------------------ deflate in blocks
//
// A large entry is deflated as independent blocks of kDeflateBlockBytes on
// worker threads, so that level 9 keeps every core busy. Each block has a
// raw deflate stream of its own, primed with the kDeflateDictionaryBytes of
// input before it; every block but the last ends with a sync flush (byte
// aligned, no final bit), the last with Z_FINISH, so the blocks joined in
// order are one raw deflate stream. Block boundaries depend only on offsets
// in the data, never on the number of workers: one input gives the same
// bytes on every machine.

inline constexpr std::size_t kDeflateBlockBytes = std::size_t{1} << 20;
// deflate's window: everything a block's first bytes may refer back to.
inline constexpr std::size_t kDeflateDictionaryBytes = 32768;
// Each worker holds a z_stream at level 9 (about 260 KiB) and keeps one more
// block (about 2 MiB, input and output) in flight, so the count bounds memory.
inline constexpr int kMostDeflateWorkers = 4;

// Sets how many worker threads later entries are deflated on: 1 to
// kMostDeflateWorkers, or 0 (the start value) for one per core up to
// kMostDeflateWorkers. The bytes written do not depend on it.
void SetDeflateWorkers(int workers);
// Returns the count that SetDeflateWorkers's setting stands for, at least 1.
int DeflateWorkers();

// Reads into out; returns the bytes read (0 at the end) or -1 on an error.
using ReadSource = std::function<std::int64_t(std::span<std::uint8_t>)>;
// Takes compressed bytes in order; returns false when they cannot be kept.
using WriteSink = std::function<bool(std::span<const std::uint8_t>)>;

enum class BlockDeflateStatus {
  kOk,
  kReadFailed,   // read returned -1
  kWriteFailed,  // write returned false
  kNoMemory,     // a z_stream could not be set up
};

struct BlockDeflateResult {
  BlockDeflateStatus status = BlockDeflateStatus::kOk;
  // Of the blocks handed to write, also after a failure: the input's size
  // and CRC-32, as the entry's directory record declares them.
  std::uint64_t bytesIn = 0;
  std::uint32_t crc = 0;
};

// Reads the source to its end and hands its raw deflate stream (level 9) to
// write, block by block in order, on `workers` threads (clamped to 1 to
// kMostDeflateWorkers) besides the calling one, which reads and writes.
// Sleeps pauseMilliseconds per kChunkBytes written. On a failure, stops
// reading and writing at once. The workers are joined before it returns.
[[nodiscard]] BlockDeflateResult DeflateInBlocks(const ReadSource& read, const WriteSink& write,
                                                 int workers, int pauseMilliseconds);

}  // namespace archive::internal

#endif  // TRESOLIN_ARCHIVE_INTERNAL_H_
