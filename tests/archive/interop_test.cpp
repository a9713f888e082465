// Cross-checks with independent zip implementations: our archives read by
// Info-ZIP unzip, 7-Zip (where installed) and Python's zipfile, and archives written by Info-ZIP
// zip and by Python (hostile ones included) read by us.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "platform/platform.h"
#include "tests/archive/archive_test_support.h"

namespace {

using namespace archive_test;

// Checks every entry of argv[1] against the files below argv[2]: CRC and size
// of the data, method argv[3], Unix host, mode, read-only bit and DOS time.
// Prints each entry's name and how it is encoded.
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
              ('method', info.compress_type, method), ('host', info.create_system, 3),
              ('mode', info.external_attr >> 16, st.st_mode),
              ('read-only', info.external_attr & 1, 0 if st.st_mode & 0o200 else 1),
              ('time', info.date_time, (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min,
                                        t.tm_sec // 2 * 2))]
    for what, got, want in checks:
        if got != want:
            sys.exit('%s: %s is %r, not %r' % (name, what, got, want))
    print(name, 'utf8' if utf8 else 'cp850')
)";

// Returns "" when python3, unzip and zip are all there, else the first missing.
std::string MissingTool() {
  for (const char* tool : {"python3", "unzip", "zip"}) {
    if (!HasTool(tool)) return tool;
  }
  return "";
}

TEST(Interop, OurArchivesPassUnzipAndPythonZipfile) {
  if (const std::string tool = MissingTool(); !tool.empty()) GTEST_SKIP() << tool << " is missing";
  TempDir dir;
  const std::string src = dir / "src";
  for (const char* name :
       {"Größe.txt", "Übersicht/ärger.txt", "日本語.txt", "€uro.txt", "ãé.txt", "zero.txt"}) {
    WriteText(src + "/" + name, name == std::string("zero.txt") ? "" : name);
  }
  WriteText(src + "/big.bin", SampleData(3 * archive::kChunkBytes));
  WriteText(src + "/ro.txt", "read only");
  ASSERT_TRUE(platform::SetFileMode(src + "/ro.txt", 0444));
  ASSERT_TRUE(platform::SetLastWriteTime(src + "/ro.txt", Local(2021, 6, 15, 14, 37, 59)));
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(src, list));
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "deflated" : "stored");
    const std::string zip = dir / (compress ? "d.zip" : "s.zip");
    ASSERT_TRUE(archive::BuildFolderArchive(src + "/", zip, compress, list, 0).ok());
    const CommandResult tested = Shell("unzip -t -q " + Quote(zip));
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
    if (HasTool("7z")) {
      const CommandResult tested7z = Shell("7z t " + Quote(zip));
      EXPECT_EQ(tested7z.exitCode, 0) << tested7z.output;
    }
    const CommandResult checked =
        Python(kCheckEntries, Quote(zip) + " " + Quote(src) + (compress ? " 8" : " 0"));
    ASSERT_EQ(checked.exitCode, 0) << checked.output;
    std::vector<std::string> lines;
    std::string line;
    for (const char c : checked.output) {
      if (c != '\n') {
        line += c;
      } else {
        lines.push_back(line);
        line.clear();
      }
    }
    std::sort(lines.begin(), lines.end());
    // CP850 where it holds the name exactly and cannot be mistaken for UTF-8.
    std::vector<std::string> expected{"big.bin cp850",
                                      "ro.txt cp850",
                                      "zero.txt cp850",
                                      "Größe.txt cp850",
                                      "Übersicht/ärger.txt cp850",
                                      "ãé.txt utf8",
                                      "€uro.txt utf8",
                                      "日本語.txt utf8"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
  }
}

TEST(Interop, ArchivesWrittenByInfoZipExtractCorrectly) {
  if (const std::string tool = MissingTool(); !tool.empty()) GTEST_SKIP() << tool << " is missing";
  TempDir dir;
  // Raw CP850 bytes on disk, as copied from an old DOS share: zip stores them
  // unchanged and unflagged.
  WriteText(dir /
                "cp/Gr\x94\xe1"
                "e.txt",
            "cp850 name");
  WriteText(dir / "cp/sub/plain.txt", "plain");
  ASSERT_EQ(Shell("cd " + Quote(dir / "cp") + " && LC_ALL=C zip -q -r ../cp.zip .").exitCode, 0);
  auto result = archive::ExtractFolderArchive(dir / "cp.zip", dir / "cp-out");
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(Tree(dir / "cp-out"),
            (std::vector<std::string>{"Größe.txt=cp850 name", "sub/plain.txt=plain"}));

  // UTF-8 names, as zip on Linux writes them: also unflagged.
  const std::string src = dir / "u8";
  WriteText(src + "/Größe.txt", "ö");
  WriteText(src + "/日本/語 ü.txt", "utf-8 name");
  WriteText(src + "/secret.txt", "private");
  ASSERT_TRUE(platform::SetFileMode(src + "/secret.txt", 0600));
  ASSERT_EQ(Shell("cd " + Quote(src) + " && LC_ALL=C.UTF-8 zip -q -r -9 ../u8.zip .").exitCode, 0);
  result = archive::ExtractFolderArchive(dir / "u8.zip", dir / "u8-out");
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(Tree(dir / "u8-out"), Tree(src));
  EXPECT_EQ(Permissions(dir / "u8-out/secret.txt"), 0600u);
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
  TempDir dir;
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
  TempDir dir;
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
  EXPECT_EQ(archive::Zip_ExtractByIndex(zip, 1, dir / "t1", true), 1);
  EXPECT_TRUE(fs::is_directory(dir / "t1/dir/empty"));
  EXPECT_EQ(archive::Zip_ExtractByIndex(zip, 0, dir / "t2", false), 0);
  EXPECT_TRUE(fs::is_empty(dir / "t2"));
  EXPECT_EQ(archive::Zip_ExtractByIndex(zip, 2, dir / "t3", false), 1);
  EXPECT_EQ(ReadText(dir / "t3/f.txt"), "file");
  EXPECT_EQ(archive::Zip_ExtractByIndex(zip, -1, dir / "t4", true), 0);
  EXPECT_EQ(archive::Zip_ExtractByIndex(zip, 3, dir / "t4", true), 0);

  const auto result = archive::ExtractFolderArchive(zip, dir / "all");
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.extracted, 3);
  EXPECT_TRUE(fs::is_directory(dir / "all/dir/empty"));
  EXPECT_EQ(ReadText(dir / "all/dir/f.txt"), "file");
}

}  // namespace
