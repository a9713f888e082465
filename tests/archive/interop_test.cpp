// Cross-checks with independent zip implementations: our archives read by
// Info-ZIP unzip, 7-Zip (where installed) and Python's zipfile, and archives written by Info-ZIP
// zip and by Python (hostile ones included) read by us.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "platform/platform.h"
#include "tests/archive/archive_test_support.h"

namespace {

using namespace archive_test;

// Checks every entry of argv[1] against the files below argv[2]: CRC and size
// of the data, method argv[3], read-only bit and DOS time. Prints each entry
// as zipfile shows it: name, encoding, host and mode.
constexpr char kCheckEntries[] = R"(
import os, sys, time, zipfile, zlib
path, src, method = sys.argv[1], sys.argv[2], int(sys.argv[3])
archive = zipfile.ZipFile(path)
if archive.testzip() is not None:
    sys.exit('bad CRC in ' + archive.testzip())
for info in archive.infolist():
    utf8 = info.flag_bits & 0x800
    name = info.filename if utf8 else info.filename.encode('cp437').decode('cp850')
    data = open(os.path.join(src, name), 'rb').read()
    st = os.stat(os.path.join(src, name))
    t = time.localtime(st.st_mtime)
    checks = [('size', info.file_size, len(data)), ('crc', info.CRC, zlib.crc32(data)),
              ('method', info.compress_type, method),
              ('read-only', info.external_attr & 1, 0 if st.st_mode & 0o200 else 1),
              ('time', info.date_time, (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min,
                                        t.tm_sec // 2 * 2))]
    for what, got, want in checks:
        if got != want:
            sys.exit('%s: %s is %r, not %r' % (name, what, got, want))
    print('%s|%s|%d|%o' % (info.filename, 'utf8' if utf8 else 'cp850', info.create_system,
                           info.external_attr >> 16))
)";

// Returns "" when python3, unzip, zip and 7z are all there, else the first
// missing.
std::string MissingTool() {
  for (const char* tool : {"python3", "unzip", "zip", "7z"}) {
    if (!HasTool(tool)) return tool;
  }
  return "";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (const char c : text) {
    if (c != '\n') {
      line += c;
    } else {
      lines.push_back(line);
      line.clear();
    }
  }
  return lines;
}

// Every name the writer stores differently, and what each reader makes of
// it. zipfile reads unflagged names as CP437 and restores no modes; unzip
// takes no execute bits from a DOS host.
struct NameCase {
  const char* name;
  unsigned mode;
  bool utf8;  // stored as flagged UTF-8, else as CP850
  unsigned host;
  bool zipfileShowsIt;
  bool unzipKeepsMode;
};
constexpr NameCase kNames[] = {
    {"plain.txt", 0640, false, 3, true, true},
    {"Größe.txt", 0750, false, 3, true, true},
    {"Übersicht/ärger ß.txt", 0444, false, 3, true, true},
    {"½ ░ é.txt", 0644, false, 3, true, true},   // characters CP437 and CP850 share
    {"Søren.txt", 0600, false, 3, false, true},  // ø is CP850's only
    // Its CP850 bytes C6 82 are UTF-8 too, which a Unix host would mean.
    {"ãé.txt", 0750, false, 0, false, false},
    // ... and a DOS host would take "\" for a separator.
    {"back\\slash ãé.txt", 0644, true, 3, true, true},
    {"€uro.txt", 0600, true, 3, true, true},  // not in CP850
    {"日本語.txt", 0755, true, 3, true, true},
};

TEST(Interop, NamesAndModesReadRightInUnzipSevenZipAndZipfile) {
  if (const std::string tool = MissingTool(); !tool.empty()) GTEST_SKIP() << tool << " is missing";
  TempFolder dir;
  const std::string src = dir / "src";
  std::vector<std::string> names;
  for (const NameCase& c : kNames) {
    WriteText(src + "/" + c.name, c.name);
    names.emplace_back(c.name);
  }
  WriteText(src + "/big.bin", SampleData(3 * archive::kChunkBytes));
  WriteText(src + "/zero.txt", "");
  ASSERT_TRUE(platform::SetLastWriteTime(src + "/plain.txt", Local(2021, 6, 15, 14, 37, 59)));
  for (const NameCase& c : kNames) ASSERT_TRUE(platform::SetFileMode(src + "/" + c.name, c.mode));
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(src, list));
  names.insert(names.end(), {"big.bin", "zero.txt"});
  std::sort(names.begin(), names.end());

  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "deflated" : "stored");
    const std::string zip = dir / (compress ? "d.zip" : "s.zip");
    ASSERT_TRUE(archive::BuildFolderArchive(src + "/", zip, compress, list, 0).ok());

    const CommandResult unzipped = Shell("LANG=C.UTF-8 unzip -Z1 " + Quote(zip));
    std::vector<std::string> listed = Lines(unzipped.output);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, names) << "unzip";
    const CommandResult sevenZip = Shell("LANG=C.UTF-8 7z l -slt " + Quote(zip));
    listed.clear();
    for (const std::string& line : Lines(sevenZip.output)) {
      if (line.starts_with("Path = ") && line != "Path = " + zip) listed.push_back(line.substr(7));
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, names) << "7z";
    EXPECT_EQ(Shell("unzip -tqq " + Quote(zip)).exitCode, 0);
    EXPECT_EQ(Shell("7z t " + Quote(zip)).exitCode, 0);

    const CommandResult checked =
        Python(kCheckEntries, Quote(zip) + " " + Quote(src) + (compress ? " 8" : " 0"));
    ASSERT_EQ(checked.exitCode, 0) << checked.output;
    const std::vector<std::string> shown = Lines(checked.output);
    for (const NameCase& c : kNames) {
      SCOPED_TRACE(c.name);
      char mode[16];
      std::snprintf(mode, sizeof mode, "%o", 0100000 | c.mode);
      const std::string rest = std::string("|") + (c.utf8 ? "utf8" : "cp850") + "|" +
                               std::to_string(c.host) + "|" + mode;
      const auto row = std::find_if(shown.begin(), shown.end(), [&](const std::string& line) {
        return line.ends_with(rest) && (line == c.name + rest || !c.zipfileShowsIt);
      });
      EXPECT_NE(row, shown.end()) << checked.output;
      if (row != shown.end()) {
        EXPECT_EQ(*row == c.name + rest, c.zipfileShowsIt);
      }
    }
  }

  // What each extracts, and which modes survive.
  const std::string zip = dir / "d.zip";
  ASSERT_EQ(Shell("mkdir " + Quote(dir / "unzip") + " && cd " + Quote(dir / "unzip") +
                  " && LANG=C.UTF-8 unzip -q " + Quote(zip))
                .exitCode,
            0);
  ASSERT_EQ(Shell("LANG=C.UTF-8 7z x -o" + Quote(dir / "7z") + " " + Quote(zip)).exitCode, 0);
  ASSERT_TRUE(archive::ExtractFolderArchive(zip, dir / "ours").ok());
  for (const char* reader : {"unzip", "7z", "ours"}) {
    SCOPED_TRACE(reader);
    const std::string out = dir / reader;
    EXPECT_EQ(Tree(out), Tree(src));
    for (const NameCase& c : kNames) {
      const bool kept = Permissions(out + "/" + c.name) == c.mode;
      EXPECT_EQ(kept, std::string(reader) != "unzip" || c.unzipKeepsMode) << c.name;
    }
  }
}

TEST(Interop, NamesThatAreNotUtf8FailTheArchiveNamingTheFile) {
  TempFolder dir;
  // Latin-1 bytes, as old disks hold them: no reader could be told what they
  // mean, and a flag would make strict readers refuse the whole archive.
  const std::string latin1 = dir / "src/sub/caf\xe9.txt";
  WriteText(dir / "src/a.txt", "a");
  WriteText(latin1, "latin-1 name");
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(dir / "src", list));
  const platform::Status built =
      archive::BuildFolderArchive(dir / "src/", dir / "x.zip", true, list, 0);
  EXPECT_EQ(built.cause, platform::Cause::kNameRefused);
  EXPECT_EQ(built.path, latin1);
  EXPECT_FALSE(platform::PathExists(dir / "x.zip"));
  EXPECT_EQ(archive::PackFile(latin1, dir / "x.ppp", 0).cause, platform::Cause::kNameRefused);
  EXPECT_FALSE(platform::PathExists(dir / "x.ppp"));
}

// Writes into folder argv[1] archives as other programs wrote them, one
// stored entry per name, with the raw name bytes, flags, host, attributes
// and extra fields each used.
constexpr char kForeignArchives[] = R"(
import os, struct, sys, zlib
def unicode_path(stored, name):
    body = struct.pack('<BI', 1, zlib.crc32(stored)) + name.encode()
    return struct.pack('<HH', 0x7075, len(body)) + body
def write(path, entries):
    out, directory = bytearray(), bytearray()
    for name, flag, host, attributes, extra in entries:
        data = name if isinstance(name, bytes) else name.encode()
        crc, offset = zlib.crc32(data), len(out)
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, flag, 0, 0, 0x21, crc, len(data),
                           len(data), len(name), len(extra)) + name + extra + data
        directory += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, host << 8 | 20, 20, flag, 0, 0,
                                 0x21, crc, len(data), len(data), len(name), len(extra), 0, 0, 0,
                                 attributes, offset) + name + extra
    end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(entries), len(entries), len(directory),
                      len(out), 0)
    open(os.path.join(sys.argv[1], path), 'wb').write(out + directory + end)
dos, unix = 0, 3
# The Windows program: OEM names with "\", the attribute word (0x21 read-only).
write('windows.zip', [('Größe.txt'.encode('cp850'), 0, dos, 0x20, b''),
                      ('Übersicht\\ärger.txt'.encode('cp850'), 0, dos, 0x21, b'')])
# Older versions of ours: a Unix host, CP850 unflagged, Latin-1 bytes flagged.
write('older.zip', [('Größe.txt'.encode('cp850'), 0, unix, 0o100644 << 16, b''),
                    (b'caf\xe9.txt', 0x800, unix, 0o100644 << 16, b''),
                    ('日本語.txt'.encode(), 0x800, unix, 0o100644 << 16, b'')])
# Zip on Windows: "?" for what the OEM code page lacks, the name in a Unicode
# Path field; one whose field belongs to another name.
write('unicode-path.zip',
      [(b'?uro.txt', 0, 11, 0x20, unicode_path(b'?uro.txt', '€uro.txt')),
       ('Größe.txt'.encode('cp850'), 0, dos, 0x20, unicode_path(b'other', 'Fremd.txt'))])
)";

TEST(Interop, NamesFromOtherWritersComeBackRight) {
  if (const std::string tool = MissingTool(); !tool.empty()) GTEST_SKIP() << tool << " is missing";
  TempFolder dir;
  const std::string src = dir / "src";
  for (const char* name :
       {"plain.txt", "Größe.txt", "€uro.txt", "日本語.txt", "Übersicht/ärger.txt"}) {
    WriteText(src + "/" + name, name);
  }
  // Latin-1 bytes on disk: Unix writers store them unflagged, and unflagged
  // bytes that are not UTF-8 are CP850 here.
  WriteText(src + "/caf\xe9.txt", "latin-1");
  const std::vector<std::string> fromDisk{
      "Größe.txt=Größe.txt", "cafÚ.txt=latin-1",
      "plain.txt=plain.txt", "Übersicht/ärger.txt=Übersicht/ärger.txt",
      "€uro.txt=€uro.txt",   "日本語.txt=日本語.txt"};
  const CommandResult made = Python(kForeignArchives, Quote(dir.path()));
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string cdSrc = "cd " + Quote(src) + " && ";
  struct Writer {
    std::string label;
    std::string command;  // makes label + ".zip" in dir, "" for kForeignArchives
    std::vector<std::string> tree;
  };
  const std::vector<Writer> writers{
      // Unflagged UTF-8 from a Unix host.
      {"zip", cdSrc + "LC_ALL=C.UTF-8 zip -q -r -9 ../zip.zip .", fromDisk},
      // Flagged UTF-8 where a name is not ASCII.
      {"7z", cdSrc + "LC_ALL=C.UTF-8 7z a ../7z.zip . >/dev/null", fromDisk},
      {"zipfile",
       "python3 -c \"import zipfile; z = zipfile.ZipFile('../zipfile.zip', 'w'); "
       "[z.writestr(n, n) for n in ['Größe.txt', '€uro.txt', '日本/語 ü.txt']]\"",
       {"Größe.txt=Größe.txt", "€uro.txt=€uro.txt", "日本/語 ü.txt=日本/語 ü.txt"}},
      {"windows",
       "",
       {"Größe.txt=Gr\x94\xe1"
        "e.txt",
        "Übersicht/ärger.txt=\x9a"
        "bersicht\\\x84rger.txt"}},
      {"older",
       "",
       {"Größe.txt=Gr\x94\xe1"
        "e.txt",
        "caf\xe9.txt=caf\xe9.txt", "日本語.txt=日本語.txt"}},
      {"unicode-path",
       "",
       {"Größe.txt=Gr\x94\xe1"
        "e.txt",
        "€uro.txt=?uro.txt"}},
  };
  for (const Writer& writer : writers) {
    SCOPED_TRACE(writer.label);
    if (!writer.command.empty()) {
      const CommandResult written = Shell(cdSrc + writer.command);
      ASSERT_EQ(written.exitCode, 0) << written.output;
    }
    const auto result =
        archive::ExtractFolderArchive(dir / (writer.label + ".zip"), dir / ("out-" + writer.label));
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(Tree(dir / ("out-" + writer.label)), writer.tree);
  }
  // The Windows program's read-only attribute.
  EXPECT_EQ(Permissions(dir / "out-windows/Übersicht/ärger.txt") & 0222, 0u);
  EXPECT_NE(Permissions(dir / "out-windows/Größe.txt") & 0200, 0u);
}

// Writes argv[1] with a harmless entry, entries that try to leave the target
// folder argv[2] in every way we know, a drive-prefixed name from Windows and
// the longest and the shortest refused name.
constexpr char kHostileArchive[] = R"(
import sys, zipfile
path, outside = sys.argv[1], sys.argv[2]
archive = zipfile.ZipFile(path, 'w')
def add(name, data, host=3):
    info = zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6))
    info.create_system = host
    info.external_attr = 0o100644 << 16 if host == 3 else 0x20
    archive.writestr(info, data)
add('good.txt', 'good')
add('../evil1.txt', 'x')
add('sub/../../evil2.txt', 'x')
add(outside + '/evil3.txt', 'x')
add('C:\\..\\evil4.txt', 'x', host=0)
add('..\\evil5.txt', 'x', host=0)
add('link/evil6.txt', 'x')
add('C:\\docs\\ok.txt', 'drive', host=0)
add('d' * 200 + '/' + 'e' * 200 + '/' + 'f' * 97, 'longest')
add('d' * 200 + '/' + 'e' * 200 + '/' + 'f' * 98, 'x')
archive.close()
single = zipfile.ZipFile(path + '.single', 'w')
single.writestr('../evil7.txt', 'x')
single.close()
)";

TEST(Interop, HostileArchivesWriteNothingOutsideTheTarget) {
  if (const std::string tool = MissingTool(); !tool.empty()) GTEST_SKIP() << tool << " is missing";
  TempFolder dir;
  const std::string outside = dir / "outside";
  const std::string target = dir / "a/b/target";
  fs::create_directories(outside);
  fs::create_directories(target);
  fs::create_symlink(outside, target + "/link");
  const CommandResult made =
      Python(kHostileArchive, Quote(dir / "hostile.zip") + " " + Quote(outside));
  ASSERT_EQ(made.exitCode, 0) << made.output;

  const auto result = archive::ExtractFolderArchive(dir / "hostile.zip", target);
  EXPECT_TRUE(result.opened);
  EXPECT_EQ(result.extracted, 3);
  ASSERT_EQ(result.failedEntries.size(), 7u);
  EXPECT_EQ(result.failedEntries[0], "../evil1.txt");
  EXPECT_EQ(result.failedEntries[3], "C:\\..\\evil4.txt");
  EXPECT_EQ(ReadText(target + "/good.txt"), "good");
  EXPECT_EQ(ReadText(target + "/docs/ok.txt"), "drive");
  EXPECT_EQ(ReadText(target + "/" + std::string(200, 'd') + "/" + std::string(200, 'e') + "/" +
                     std::string(97, 'f')),
            "longest");

  // A name with ".." is refused even where only its last part would be used.
  EXPECT_FALSE(archive::UnpackFile(dir / "hostile.zip.single", target, true).ok());
  EXPECT_FALSE(archive::UnpackFile(dir / "hostile.zip.single", target, false).ok());

  for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
    EXPECT_FALSE(e.path().filename().string().starts_with("evil")) << e.path();
  }
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST(Interop, FolderEntriesFromOtherArchivesAreAccepted) {
  if (const std::string tool = MissingTool(); !tool.empty()) GTEST_SKIP() << tool << " is missing";
  TempFolder dir;
  const std::string zip = dir / "folders.zip";
  const CommandResult made = Python(R"(
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1], 'w')
archive.writestr('dir/', '')
archive.writestr('dir/empty/', '')
archive.writestr('dir/f.txt', 'file')
)",
                                    Quote(zip));
  ASSERT_EQ(made.exitCode, 0) << made.output;
  EXPECT_TRUE(ExtractAt(zip, 1, dir / "t1", true));
  EXPECT_TRUE(fs::is_directory(dir / "t1/dir/empty"));
  EXPECT_FALSE(ExtractAt(zip, 0, dir / "t2", false));
  EXPECT_TRUE(fs::is_empty(dir / "t2"));
  EXPECT_TRUE(ExtractAt(zip, 2, dir / "t3", false));
  EXPECT_EQ(ReadText(dir / "t3/f.txt"), "file");
  EXPECT_FALSE(ExtractAt(zip, -1, dir / "t4", true));
  EXPECT_FALSE(ExtractAt(zip, 3, dir / "t4", true));

  const auto result = archive::ExtractFolderArchive(zip, dir / "all");
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.extracted, 3);
  EXPECT_TRUE(fs::is_directory(dir / "all/dir/empty"));
  EXPECT_EQ(ReadText(dir / "all/dir/f.txt"), "file");
}

}  // namespace
