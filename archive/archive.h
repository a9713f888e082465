// Zip archives of folders and single files, written and read through minizip
// and zlib. A folder becomes one archive whose entries carry the files' paths
// relative to the folder; a single file is packed as a one-entry archive.
//
// Every procedure makes its own zip writer or reader (archive/zip_writer.h,
// archive/zip_reader.h, internal to this module) and keeps no state between
// calls, so procedures on different archives may run on different threads.
// Paths are byte strings as platform.h takes them; folders may or may not end
// in "/". Nothing here throws.
//
// Deflated files larger than 1 MiB are compressed in blocks on worker threads
// (one per core, up to four), which the call joins before it returns; an
// archive's bytes do not depend on the number of cores.
//
// Entry names are relative paths with "/", written from UTF-8 so that unzip
// (in a UTF-8 locale), 7-Zip, this reader and the Windows program all show
// them right:
//   - ASCII, or a name that CP850 holds: CP850, unflagged, which is what the
//     Windows program reads. Beyond ASCII the entry also carries Info-ZIP's
//     Unicode Path extra field with the UTF-8 name, which unzip and 7-Zip
//     show instead (without it they show the raw CP850 bytes from any host).
//     Python's zipfile reads unflagged names as CP437: right for names whose
//     characters CP437 and CP850 share (umlauts, "ß", "é"), not for others
//     ("ø", "ã").
//   - any other name ("€", Japanese): UTF-8 with the language-encoding flag
//     (bit 11), which every reader takes.
//   - bytes that are not UTF-8 (Latin-1 names on old disks): refused, the
//     folder archive fails naming the file. Stored flagged, strict readers
//     (zipfile) would refuse the whole archive; unflagged, nobody could tell
//     what they mean.
// "Version made by" names Unix, so that readers restore the mode kept in the
// high 16 bits of the external attributes, except where that would garble a
// name, on purpose: a CP850 name whose bytes also form UTF-8 ("ãé" is C6 82)
// is read as UTF-8 from a Unix host by readers without the extra field (older
// versions of this program among them), so such an entry names DOS (0), where
// CP850 is meant, and marks its mode as 7-Zip does (0x8000). A DOS host makes
// "\" and ":" separators, so such a name holding either goes in as flagged
// UTF-8 instead.
// What is lost where, for those DOS-host entries only: unzip takes the mode
// but no execute bits; 7-Zip and this reader keep the whole mode. zipfile
// restores no modes anywhere, and the Windows program maps only the DOS bits.
//
// Reading, a Unicode Path field that matches its name wins, a flagged name
// is UTF-8 (byte for byte, also where it is not valid UTF-8, as older
// versions of this program wrote them), and an unflagged one is CP850,
// except that one from a Unix host that is valid UTF-8 is taken as UTF-8
// (Info-ZIP zip writes such names). Names from DOS and Windows hosts may also
// separate with "\" and lose a drive prefix ("C:\").
//
// Entries carry the local last-write time as a DOS date and time (1980 to
// 2107; earlier times become 1980-01-01 00:00) and, in their external
// attributes, the DOS read-only and archive bits plus the Unix mode in the high
// 16 bits. Extraction restores the time with seconds 0, then the permission
// bits (never set-id bits), or for an entry without a mode removes write
// permission when it is read-only.
//
// Files are only ever created, never opened for writing where something
// exists: archives and extracted files alike are made new (mode 0600 until
// their own mode is restored), never through a link.
//
// Folders of 65,535 files or more get zip64 end records, which every current
// reader takes; smaller archives have none (see internal.h).
//
// Safety: extraction writes only below its target folder. Names that are
// absolute, contain "..", are 500 bytes or longer, or would pass through a
// symbolic link are refused (the entry is not written, the others go on).
// The writer refuses the same names, so that every archive it makes can be
// read back whole.
#ifndef TRESOLIN_ARCHIVE_ARCHIVE_H_
#define TRESOLIN_ARCHIVE_ARCHIVE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace archive {

// Data moves in and out of entries in chunks of this size.
inline constexpr std::size_t kChunkBytes = 102400;

// Pause after each chunk written into an entry (for a file deflated in
// blocks, after each block, as long as its chunks take), so that a long
// packing run leaves the machine responsive. The flows use it; a command line
// passes 0.
inline constexpr int kChunkPauseMilliseconds = 10;

// Entry names of this many bytes (as stored) or more are refused, by the
// writer and by the reader.
inline constexpr std::size_t kNameLimitBytes = 500;

// Returns the path at which the entry at index (from 0, in archive order) of
// archivePath would be extracted below targetDir, with its folder part when
// keepPaths is set (as UnpackFile does for index 0), or nullopt when that entry cannot be read,
// is a folder entry or would be refused. Writes nothing.
std::optional<std::string> EntryTargetPath(const std::string& archivePath, int index,
                                           const std::string& targetDir, bool keepPaths);

// Returns the sum of the uncompressed sizes that the directory of archivePath
// declares for its entries (as much as a complete extraction may write, which
// extraction enforces), saturated at the largest value; 0 for an archive
// without entries; nullopt when the archive cannot be opened or its
// directory cannot be read to its end.
std::optional<std::uint64_t> DeclaredTotalBytes(const std::string& archivePath);

// Reads every entry's data of archivePath to its end, without writing it
// anywhere, and tests it against the size and CRC-32 its directory record
// declares. *entries (when given) counts the entries gone through, also on
// failure. Returns ok when every entry's data matches: names that extraction
// refuses are no damage, and an archive without entries is fine. Otherwise:
//   kMissing ... kNoAccess  the archive cannot be opened (its path)
//   kDamaged, kArchive      it opens but is no zip archive (archivePath)
//   kDamaged, kZipDirectory the entry list breaks off (archivePath)
//   kDamaged, kZipChecksum  an entry's data fails its CRC-32, ends short,
//                           runs past its declared size or does not inflate
//                           (the entry's name)
//   kNoMemory               zlib found no memory (the entry's name)
platform::Status CheckArchiveEntries(const std::string& archivePath, int* entries);

// ---------------------------------------------------- folder procedures

// The files below a folder, as CollectFolderFiles found them. The application
// state owns one and hands it to BuildFolderArchive.
struct FolderFileList {
  std::vector<std::string> files;       // full paths, depth first, in enumeration order
  std::vector<std::string> unreadable;  // folders that could not be listed
};

// Empties list, then walks folder (without a trailing "/") depth first in the
// file system's enumeration order: regular files and links to regular files
// are listed as folder + "/" + relative path, subfolders are walked where they
// are met, links to folders, private working folders of runs
// (platform::kWorkFolderPrefix) and other kinds of entry are left out. Returns
// true iff every folder could be listed; the others are in list.unreadable.
bool CollectFolderFiles(const std::string& folder, FolderFileList& list);

// Creates archivePath as a new file (mode 0600) with one entry per listed file,
// named by its path below folder, stored or (compress) deflated. Files are
// opened by their listed paths, so the current folder does not matter.
// Returns ok when every file is in the archive. Otherwise nothing is left at
// archivePath that this call made, and the status says why:
//   kNoAccess    a folder of the list could not be listed (its path)
//   kFailed      a listed path lies outside folder (that path)
//   kNameTaken   something exists at archivePath (left untouched)
//   kMissing, kFolder, kSpecial, kNoAccess, kReadFailed
//                a listed file cannot be read (its path, errno)
//   kNameRefused a file's name below folder cannot be stored (its path)
//   kWriteFailed the archive cannot be written (archivePath, errno)
// Nothing is created for the first two.
platform::Status BuildFolderArchive(const std::string& folder, const std::string& archivePath,
                                    bool compress, const FolderFileList& list,
                                    int pauseMilliseconds = kChunkPauseMilliseconds);

struct FolderExtractResult {
  // False when nothing was extracted: the archive cannot be opened, or the
  // target folder is empty or cannot be created.
  bool opened = false;
  // False when the archive's entry list broke off (a damaged directory).
  bool complete = true;
  int extracted = 0;                       // entries written, folder entries included
  std::vector<std::string> failedEntries;  // names of the entries not written
  // The first failure, ok when there was none:
  //   kFailed           no target folder
  //   kMissing ... kNoAccess  the archive cannot be opened (its path)
  //   kDamaged, kArchive      the archive opens but is no zip archive
  //   kWriteFailed      the target or an entry cannot be written (entry name
  //                     or target folder, errno)
  //   kNameRefused      an entry's name is refused (the entry's name)
  //   kDamaged, kZipChecksum  an entry's data fails its CRC-32, ends short or
  //                     runs past its declared size (the entry's name)
  //   kDamaged, kZipDirectory the entry list breaks off (archivePath)
  //   kNoMemory, kFailed      what else stopped an entry (its name)
  platform::Status status;
  [[nodiscard]] bool ok() const { return opened && complete && failedEntries.empty(); }
};

// Creates targetFolder with its parents and extracts every entry below it with
// its relative path: each entry's file is created new (a regular file of an
// earlier entry's name is removed first; a link there refuses the entry, a
// folder or special file fails it), its time (seconds 0) and then its
// permissions restored; a failed copy leaves the partly written file. This is meant for a folder
// the caller has just created, where the only files are those of earlier entries. A failed entry
// does not stop the others. The reader is closed afterwards, so the caller can delete the archive.
[[nodiscard]] FolderExtractResult ExtractFolderArchive(const std::string& archivePath,
                                                       const std::string& targetFolder);

// ------------------------------------------------------ single-file packing

// Creates packed as a new file (mode 0600; nothing may exist at packed) as an archive holding
// source under its file-name part, deflated at level 9. Returns ok on success; otherwise, as
// BuildFolderArchive says, kNameTaken (something exists at packed: left untouched), a cause for a
// source that cannot be read (its path) or kWriteFailed (packed, errno; no file is left at packed).
platform::Status PackFile(const std::string& source, const std::string& packed,
                          int pauseMilliseconds = kChunkPauseMilliseconds);

// Restores the first entry of packed into targetFolder (created if missing),
// as ExtractFolderArchive extracts an entry, with its folder part when
// keepPaths is set. Returns ok when the file was restored;
// otherwise the causes of FolderExtractResult::status (kFailed for an empty
// targetFolder, where nothing is written; kDamaged, kArchive also for an
// archive without entries).
platform::Status UnpackFile(const std::string& packed, const std::string& targetFolder,
                            bool keepPaths);

}  // namespace archive

#endif  // TRESOLIN_ARCHIVE_ARCHIVE_H_
