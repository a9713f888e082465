// The folder walk, folder archives and the writer and reader primitives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/zip_reader.h"
#include "archive/zip_writer.h"
#include "platform/platform.h"
#include "tests/archive/archive_test_support.h"

namespace {

using archive::BuildFolderArchive;
using archive::CollectFolderFiles;
using archive::ExtractFolderArchive;
using archive::FolderFileList;
using archive::internal::kZipFailed;
using archive::internal::kZipOk;
using namespace archive_test;

// Collects and archives folder; returns 1 when BuildFolderArchive succeeds,
// 0 when it fails, -1 when the walk fails.
int Archive(const std::string& folder, const std::string& zip, bool compress = true) {
  FolderFileList list;
  if (!CollectFolderFiles(folder, list)) return -1;
  return BuildFolderArchive(folder + "/", zip, compress, list, 0).ok() ? 1 : 0;
}

std::vector<std::string> Relative(const std::vector<std::string>& paths, const std::string& base) {
  std::vector<std::string> out;
  for (const std::string& p : paths) out.push_back(p.substr(base.size() + 1));
  return out;
}

// The compression method of an archive's first entry, from its local header.
int FirstEntryMethod(const std::string& zip) {
  const std::string bytes = ReadText(zip);
  if (bytes.size() < 30 || bytes.compare(0, 4, "PK\x03\x04") != 0) return -1;
  return static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
}

TEST(FolderWalk, ListsFilesDepthFirstInEnumerationOrder) {
  TempFolder dir;
  const std::string src = dir / "src";
  for (const char* name : {"a.txt", "sub/b.txt", "sub/deeper/c.txt", "sub/deeper/d.txt", ".hidden",
                           "sub/.also-hidden", "z/y/x.txt", "m.txt"}) {
    WriteText(src + "/" + name, name);
  }
  fs::create_directories(src + "/empty/inner");
  FolderFileList list;
  ASSERT_TRUE(CollectFolderFiles(src, list));
  // find(1) walks in readdir order too, each folder's files where it is met.
  const CommandResult found = Shell("cd " + Quote(src) + " && find . -type f | cut -c3-");
  std::string listed;
  for (const std::string& name : Relative(list.files, src)) listed += name + "\n";
  EXPECT_EQ(listed, found.output);
  EXPECT_EQ(list.files.size(), 8u);
}

TEST(FolderWalk, TakesRegularFilesAndLinksToThemOnly) {
  TempFolder dir;
  const std::string src = dir / "src";
  WriteText(src + "/a.txt", "a");
  WriteText(dir / "outside/f.txt", "linked content");
  fs::create_symlink(dir / "outside/f.txt", src + "/linkfile");
  fs::create_symlink(dir / "outside", src + "/linkdir");
  fs::create_symlink(dir / "nowhere", src + "/dangling");
  ASSERT_EQ(::mkfifo((src + "/fifo").c_str(), 0600), 0);
  FolderFileList list;
  ASSERT_TRUE(CollectFolderFiles(src, list));
  std::vector<std::string> names = Relative(list.files, src);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "linkfile"}));

  ASSERT_TRUE(BuildFolderArchive(src + "/", dir / "l.zip", true, list, 0).ok());
  ASSERT_TRUE(ExtractFolderArchive(dir / "l.zip", dir / "out").ok());
  EXPECT_EQ(Tree(dir / "out"), (std::vector<std::string>{"a.txt=a", "linkfile=linked content"}));
  EXPECT_FALSE(platform::IsSymbolicLink(dir / "out/linkfile"));
}

TEST(FolderWalk, ReportsFoldersItCannotListAndTheBuildRefusesThem) {
  TempFolder dir;
  FolderFileList list;
  EXPECT_FALSE(CollectFolderFiles(dir / "missing", list));
  EXPECT_EQ(list.unreadable, (std::vector<std::string>{dir / "missing"}));
  EXPECT_FALSE(BuildFolderArchive(dir / "missing/", dir / "m.zip", true, list, 0).ok());
  EXPECT_FALSE(platform::PathExists(dir / "m.zip"));

  // A subfolder without access, and one that may be listed but not searched:
  // permissions bind only without root, so the walk runs in a child that
  // gives root up.
  const std::string src = dir / "src";
  WriteText(src + "/open/a.txt", "a");
  WriteText(src + "/closed/x.txt", "x");
  WriteText(src + "/open/unsearchable/y.txt", "y");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((src + "/closed").c_str(), 0), 0);
  ASSERT_EQ(::chmod((src + "/open/unsearchable").c_str(), 0444), 0);
  const std::vector<std::string> unreadable{src + "/closed", src + "/open/unsearchable"};
  const auto walkWithoutRoot = [&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return false;
    FolderFileList walked;
    const bool complete = CollectFolderFiles(src, walked);
    std::sort(walked.unreadable.begin(), walked.unreadable.end());
    return !complete && walked.unreadable == unreadable &&
           walked.files == std::vector<std::string>{src + "/open/a.txt"} &&
           BuildFolderArchive(src + "/", dir / "c.zip", true, walked, 0).cause ==
               platform::Cause::kNoAccess &&
           !platform::PathExists(dir / "c.zip");
  };
  EXPECT_EXIT(::_exit(walkWithoutRoot() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST(FolderArchive, NestedFoldersComeBackStoredOrDeflated) {
  TempFolder dir;
  const std::string src = dir / "Fotos";
  WriteText(src + "/a.txt", "alpha");
  WriteText(src + "/sub/b.txt", "beta");
  WriteText(src + "/sub/deeper/c.txt", "gamma");
  WriteText(src + "/.hidden", "hidden");
  WriteText(src + "/zero.txt", "");
  // Several chunks and a remainder.
  WriteText(src + "/big.bin", SampleData(2 * archive::kChunkBytes + 17));
  fs::create_directories(src + "/emptysub/inner");
  FolderFileList list;
  ASSERT_TRUE(CollectFolderFiles(src, list));
  // Files are opened by their listed paths, whatever the current folder is.
  const std::string cwd = platform::CurrentFolder();
  ASSERT_TRUE(platform::SetCurrentFolder("/"));
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "deflated" : "stored");
    const std::string zip = dir / (compress ? "d.zip" : "s.zip");
    const std::string target = dir / (compress ? "out-d/x/Fotos" : "out-s/Fotos");
    ASSERT_TRUE(BuildFolderArchive(src + "/", zip, compress, list, 0).ok());
    EXPECT_EQ(FirstEntryMethod(zip), compress ? 8 : 0);
    const auto result = ExtractFolderArchive(zip, target);
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.extracted, 6);
    EXPECT_EQ(Tree(target), Tree(src));
    EXPECT_FALSE(fs::exists(target + "/emptysub"));
  }
  ASSERT_TRUE(platform::SetCurrentFolder(cwd));
}

TEST(FolderArchive, EmptyFolderGivesAnArchiveWithoutEntries) {
  TempFolder dir;
  fs::create_directories(dir / "empty/only-folders");
  ASSERT_EQ(Archive(dir / "empty", dir / "e.zip"), 1);
  const auto result = ExtractFolderArchive(dir / "e.zip", dir / "new/target");
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.extracted, 0);
  EXPECT_TRUE(fs::is_directory(dir / "new/target"));
  EXPECT_TRUE(fs::is_empty(dir / "new/target"));
}

TEST(FolderArchive, RestoresPermissionsAndTimeToTheMinute) {
  TempFolder dir;
  const std::string src = dir / "src";
  WriteText(src + "/ro.txt", "read only");
  WriteText(src + "/run.sh", "#!/bin/sh");
  WriteText(src + "/old.txt", "before DOS dates");
  ASSERT_TRUE(platform::SetLastWriteTime(src + "/ro.txt", Local(2021, 6, 15, 14, 37, 59)));
  ASSERT_TRUE(platform::SetLastWriteTime(src + "/run.sh", Local(2021, 12, 1, 8, 0, 1)));
  ASSERT_TRUE(platform::SetLastWriteTime(src + "/old.txt", Local(1975, 5, 5, 12, 0, 0)));
  ASSERT_TRUE(platform::SetFileMode(src + "/ro.txt", 0444));
  ASSERT_TRUE(platform::SetFileMode(src + "/run.sh", 0750));
  ASSERT_EQ(Archive(src, dir / "t.zip"), 1);
  ASSERT_TRUE(ExtractFolderArchive(dir / "t.zip", dir / "out").ok());
  EXPECT_EQ(Permissions(dir / "out/ro.txt"), 0444u);
  EXPECT_EQ(TimeText(dir / "out/ro.txt"), "2021-06-15 14:37:00");
  EXPECT_EQ(Permissions(dir / "out/run.sh"), 0750u);
  EXPECT_EQ(TimeText(dir / "out/run.sh"), "2021-12-01 08:00:00");
  // The DOS date starts in 1980.
  EXPECT_EQ(TimeText(dir / "out/old.txt"), "1980-01-01 00:00:00");
}

TEST(FolderArchive, NamesInsideAndOutsideCp850RoundTripExactly) {
  TempFolder dir;
  const std::string src = dir / "src";
  // "ãé" is CP850 whose bytes also read as UTF-8.
  for (const char* name : {"Größe.txt", "Übersicht/ärger ß.txt", "日本語.txt", "€uro.txt", "ãé.txt",
                           "back\\slash.txt", "C:/in-a-folder.txt"}) {
    WriteText(src + "/" + name, name);
  }
  ASSERT_EQ(Archive(src, dir / "n.zip"), 1);
  ASSERT_TRUE(ExtractFolderArchive(dir / "n.zip", dir / "out").ok());
  EXPECT_EQ(Tree(dir / "out"), Tree(src));
}

TEST(FolderArchive, SecondFolderInTheSameRunHoldsOnlyItsOwnFiles) {
  TempFolder dir;
  WriteText(dir / "first/a1.txt", "1");
  WriteText(dir / "first/sub/a2.txt", "2");
  WriteText(dir / "second/b1.txt", "3");
  FolderFileList list;
  ASSERT_TRUE(CollectFolderFiles(dir / "first", list));
  ASSERT_TRUE(BuildFolderArchive(dir / "first/", dir / "1.zip", true, list, 0).ok());
  ASSERT_TRUE(CollectFolderFiles(dir / "second", list));
  ASSERT_TRUE(BuildFolderArchive(dir / "second/", dir / "2.zip", false, list, 0).ok());
  ASSERT_TRUE(ExtractFolderArchive(dir / "2.zip", dir / "out").ok());
  EXPECT_EQ(Tree(dir / "out"), (std::vector<std::string>{"b1.txt=3"}));
}

TEST(FolderArchive, LaterEntryOfTheSameNameReplacesTheEarlierAsANewFile) {
  if (!HasTool("python3")) GTEST_SKIP() << "python3 is missing";
  TempFolder dir;
  const std::string zip = dir / "twice.zip";
  const CommandResult made = Python(R"(
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1], 'w')
for name, data, mode in [('a.txt', 'first', 0o444), ('b.txt', 'b', 0o644), ('a.txt', 'second', 0o640)]:
    info = zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6))
    info.create_system = 3
    info.external_attr = (0o100000 | mode) << 16
    archive.writestr(info, data)
)",
                                    Quote(zip));
  ASSERT_EQ(made.exitCode, 0) << made.output;
  auto result = ExtractFolderArchive(zip, dir / "out");
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(ReadText(dir / "out/a.txt"), "second");
  EXPECT_EQ(Permissions(dir / "out/a.txt"), 0640u);

  // The earlier file cannot be removed: the later entry fails, honestly.
  platform::SetFaultPlan({.failDeleteAt = 1});
  result = ExtractFolderArchive(zip, dir / "out2");
  platform::ClearFaultPlan();
  EXPECT_EQ(result.failedEntries, (std::vector<std::string>{"a.txt"}));
  EXPECT_FALSE(result.ok());
}

TEST(FolderArchive, ExtractionNeverWritesIntoAFileThatIsThere) {
  TempFolder dir;
  const std::string src = dir / "src";
  FolderFileList list;
  for (const char* name : {"a.txt", "sub/b.txt", "sub/c.txt", "fifo", "d.txt"}) {
    WriteText(src + "/" + name, std::string("new ") + name);
    list.files.push_back(src + "/" + name);
  }
  ASSERT_TRUE(BuildFolderArchive(src + "/", dir / "x.zip", true, list, 0).ok());

  const std::string target = dir / "target";
  // A hard link shares its data with a file elsewhere: writing into it
  // would change that file.
  WriteText(dir / "elsewhere.txt", "keep");
  fs::create_directories(target + "/sub");
  fs::create_hard_link(dir / "elsewhere.txt", target + "/a.txt");
  fs::create_directories(target + "/sub/c.txt");
  ASSERT_EQ(::mkfifo((target + "/fifo").c_str(), 0600), 0);
  // The open of b.txt, the second file, fails as on a full folder.
  platform::SetFaultPlan({.failOpenForWriteAt = 2});
  const auto result = ExtractFolderArchive(dir / "x.zip", target);
  platform::ClearFaultPlan();
  EXPECT_TRUE(result.opened);
  EXPECT_EQ(result.extracted, 2);
  EXPECT_EQ(result.failedEntries, (std::vector<std::string>{"sub/b.txt", "sub/c.txt", "fifo"}));
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(ReadText(target + "/a.txt"), "new a.txt");
  EXPECT_EQ(ReadText(dir / "elsewhere.txt"), "keep");
  EXPECT_TRUE(fs::is_directory(target + "/sub/c.txt"));
  EXPECT_EQ(platform::KindOfPath(target + "/fifo"), platform::PathKind::kSpecial);
  EXPECT_EQ(ReadText(target + "/d.txt"), "new d.txt");
}

TEST(FolderArchive, ExtractionNeverWritesThroughALink) {
  TempFolder dir;
  WriteText(dir / "src/a.txt", "a");
  WriteText(dir / "src/sub/b.txt", "b");
  WriteText(dir / "src/c.txt", "c");
  ASSERT_EQ(Archive(dir / "src", dir / "x.zip"), 1);
  WriteText(dir / "outside/secret.txt", "keep");
  fs::create_directories(dir / "target");
  fs::create_symlink(dir / "outside", dir / "target/sub");
  fs::create_symlink(dir / "outside/secret.txt", dir / "target/a.txt");
  const auto result = ExtractFolderArchive(dir / "x.zip", dir / "target");
  std::vector<std::string> failed = result.failedEntries;
  std::sort(failed.begin(), failed.end());
  EXPECT_EQ(failed, (std::vector<std::string>{"a.txt", "sub/b.txt"}));
  EXPECT_EQ(ReadText(dir / "target/c.txt"), "c");
  EXPECT_EQ(Tree(dir / "outside"), (std::vector<std::string>{"secret.txt=keep"}));
}

TEST(FolderArchive, BuildFailsWithoutLeavingAnArchiveWhenAFileCannotBeRead) {
  TempFolder dir;
  const std::string src = dir / "src";
  const std::string zip = dir / "x.zip";
  WriteText(src + "/a.txt", "a");
  WriteText(src + "/b.txt", "b");
  FolderFileList list;
  ASSERT_TRUE(CollectFolderFiles(src, list));
  // The failure names the file and says what is wrong with it.
  const auto expectFailure = [&](platform::Cause cause, const std::string& why) {
    const platform::Status status = BuildFolderArchive(src + "/", zip, true, list, 0);
    EXPECT_EQ(status.cause, cause) << why;
    EXPECT_EQ(status.path, src + "/b.txt") << why;
    EXPECT_FALSE(platform::PathExists(zip)) << why;
  };
  fs::remove(src + "/b.txt");
  expectFailure(platform::Cause::kMissing, "vanished after the walk");
  fs::create_directories(src + "/b.txt");
  expectFailure(platform::Cause::kFolder, "a folder in its place");
  fs::remove(src + "/b.txt");
  ASSERT_EQ(::mkfifo((src + "/b.txt").c_str(), 0600), 0);
  expectFailure(platform::Cause::kSpecial, "a FIFO in its place, which must not block");
  fs::remove(src + "/b.txt");
  WriteText(src + "/b.txt", "b");
  platform::SetFaultPlan({.failOpenForReadAt = 2});
  const platform::Status unopened = BuildFolderArchive(src + "/", zip, true, list, 0);
  platform::ClearFaultPlan();
  EXPECT_FALSE(unopened.ok());
  EXPECT_EQ(unopened.path, list.files[1]);
  EXPECT_FALSE(platform::PathExists(zip));

  FolderFileList outside = list;
  outside.files.push_back(dir / "elsewhere.txt");
  WriteText(dir / "elsewhere.txt", "e");
  EXPECT_EQ(BuildFolderArchive(src + "/", zip, true, outside, 0).path, dir / "elsewhere.txt");
  const platform::Status noFolder =
      BuildFolderArchive(src + "/", dir / "no/such/folder.zip", true, list, 0);
  EXPECT_EQ(noFolder.cause, platform::Cause::kWriteFailed);
  EXPECT_EQ(noFolder.systemError, ENOENT);
}

TEST(FolderArchive, EveryFailedArchiveWriteFailsTheBuild) {
  TempFolder dir;
  // Deflated to several of the stream's buffers, so that writes in the middle
  // fail too.
  WriteText(dir / "src/a.txt", SampleData(5 * archive::kChunkBytes + 5));
  WriteText(dir / "src/sub/b.txt", "b");
  FolderFileList list;
  ASSERT_TRUE(CollectFolderFiles(dir / "src", list));
  int writes = 0;
  for (int n = 1; n < 1000 && writes == 0; ++n) {
    platform::SetFaultPlan({.failWriteAt = n});
    const platform::Status built = BuildFolderArchive(dir / "src/", dir / "x.zip", true, list, 0);
    platform::ClearFaultPlan();
    if (built.ok()) {
      writes = n - 1;  // the plan no longer reached a write
    } else {
      EXPECT_FALSE(platform::PathExists(dir / "x.zip")) << "write " << n;
      EXPECT_TRUE(built.IsFullDisk()) << "write " << n;
    }
  }
  EXPECT_GT(writes, 3);
  ASSERT_TRUE(ExtractFolderArchive(dir / "x.zip", dir / "out").ok());
  EXPECT_EQ(Tree(dir / "out"), Tree(dir / "src"));
}

TEST(FolderArchive, NamesOfFiveHundredBytesAreRefusedShorterOnesKept) {
  TempFolder dir;
  const std::string longest =
      std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(97, 'f');
  ASSERT_EQ(longest.size(), archive::kNameLimitBytes - 1);
  WriteText(dir / "ok/" + longest, "kept");
  ASSERT_EQ(Archive(dir / "ok", dir / "ok.zip"), 1);
  ASSERT_TRUE(ExtractFolderArchive(dir / "ok.zip", dir / "out").ok());
  EXPECT_EQ(ReadText(dir / "out/" + longest), "kept");

  WriteText(dir / "long/" + longest + "g", "refused");
  EXPECT_EQ(Archive(dir / "long", dir / "long.zip"), 0);
  EXPECT_FALSE(platform::PathExists(dir / "long.zip"));
}

TEST(FolderArchive, DamagedDataAndUnusableArchivesAreReported) {
  TempFolder dir;
  WriteText(dir / "src/a.txt", "payload-payload-payload");
  WriteText(dir / "src/b.txt", "other");
  ASSERT_EQ(Archive(dir / "src", dir / "x.zip", false), 1);
  std::string bytes = ReadText(dir / "x.zip");
  const std::size_t at = bytes.find("payload-payload");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'P';
  WriteText(dir / "x.zip", bytes);
  auto result = ExtractFolderArchive(dir / "x.zip", dir / "out");
  EXPECT_TRUE(result.opened);
  EXPECT_EQ(result.failedEntries, (std::vector<std::string>{"a.txt"}));
  EXPECT_EQ(ReadText(dir / "out/b.txt"), "other");

  WriteText(dir / "junk.zip", "this is no zip archive");
  EXPECT_FALSE(ExtractFolderArchive(dir / "junk.zip", dir / "out2").opened);
  EXPECT_FALSE(ExtractFolderArchive(dir / "missing.zip", dir / "out2").opened);
  EXPECT_FALSE(fs::exists(dir / "out2"));

  const std::string cwd = platform::CurrentFolder();
  fs::create_directories(dir / "cwd");
  ASSERT_TRUE(platform::SetCurrentFolder(dir / "cwd"));
  result = ExtractFolderArchive(dir / "x.zip", "");
  ASSERT_TRUE(platform::SetCurrentFolder(cwd));
  EXPECT_FALSE(result.opened);
  EXPECT_TRUE(fs::is_empty(dir / "cwd"));
}

TEST(ZipWriterAndReader, ReportFailureWithoutAnOpenArchive) {
  TempFolder dir;
  WriteText(dir / "a.txt", "a");
  archive::internal::ZipWriter writer;
  archive::internal::ZipReader reader;
  std::string name;
  int systemError = 0;
  EXPECT_EQ(writer.AddFile(dir / "a.txt", false, 0), kZipFailed);
  EXPECT_EQ(writer.Close(), kZipOk);
  EXPECT_EQ(reader.First(), kZipFailed);
  EXPECT_EQ(reader.Next(), kZipFailed);
  EXPECT_EQ(reader.ExtractCurrent(dir / "out", true, &name, &systemError), kZipFailed);
  EXPECT_EQ(reader.CheckCurrent(&name), kZipFailed);
  EXPECT_FALSE(reader.Open(dir / "a.txt"));
  EXPECT_EQ(reader.First(), kZipFailed);
}

TEST(ZipWriterAndReader, CreatingRefusesWhateverIsAtThePathAndLeavesItAlone) {
  TempFolder dir;
  WriteText(dir / "src/a.txt", "a");
  FolderFileList list;
  ASSERT_TRUE(CollectFolderFiles(dir / "src", list));
  WriteText(dir / "old.zip", "somebody's file");
  ASSERT_TRUE(platform::SetFileMode(dir / "old.zip", 0644));
  WriteText(dir / "victim.txt", "keep");
  fs::create_symlink(dir / "victim.txt", dir / "link.zip");
  fs::create_symlink(dir / "nowhere.txt", dir / "dangling.zip");
  fs::create_directories(dir / "folder.zip");
  for (const char* name : {"old.zip", "link.zip", "dangling.zip", "folder.zip"}) {
    SCOPED_TRACE(name);
    archive::internal::ZipWriter writer;
    EXPECT_FALSE(writer.Create(dir / name));
    EXPECT_EQ(BuildFolderArchive(dir / "src/", dir / name, true, list, 0).cause,
              platform::Cause::kNameTaken);
    EXPECT_EQ(archive::PackFile(dir / "src/a.txt", dir / name, 0).cause,
              platform::Cause::kNameTaken);
  }
  EXPECT_EQ(ReadText(dir / "old.zip"), "somebody's file");
  EXPECT_EQ(Permissions(dir / "old.zip"), 0644u);
  EXPECT_EQ(ReadText(dir / "victim.txt"), "keep");
  EXPECT_TRUE(platform::IsSymbolicLink(dir / "link.zip"));
  EXPECT_FALSE(platform::PathExists(dir / "nowhere.txt"));
  EXPECT_TRUE(fs::is_empty(dir / "folder.zip"));

  {
    archive::internal::ZipWriter writer;
    ASSERT_TRUE(writer.Create(dir / "new.zip"));
  }  // completed as the writer goes
  EXPECT_EQ(Permissions(dir / "new.zip"), 0600u);
  EXPECT_EQ(CountWithOurReader(dir / "new.zip"), 0);
}

TEST(ZipWriterAndReader, MethodPersistsAndOtherValuesAreIgnored) {
  TempFolder dir;
  WriteText(dir / "a.txt", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
  archive::internal::ZipWriter writer;
  const auto firstMethod = [&](const std::string& name) {
    EXPECT_TRUE(writer.Create(dir / name));
    EXPECT_EQ(writer.AddFile(dir / "a.txt", false, 0), kZipOk);
    EXPECT_EQ(writer.Close(), kZipOk);
    return FirstEntryMethod(dir / name);
  };
  writer.SetMethod(0);
  writer.SetMethod(5);
  EXPECT_EQ(firstMethod("1.zip"), 0);
  EXPECT_EQ(firstMethod("2.zip"), 0);
  writer.SetMethod(8);
  writer.SetMethod(-1);
  EXPECT_EQ(firstMethod("3.zip"), 8);
}

TEST(ZipWriterAndReader, CreatingASecondArchiveCompletesTheFirst) {
  TempFolder dir;
  WriteText(dir / "a.txt", "first");
  archive::internal::ZipWriter writer;
  ASSERT_TRUE(writer.Create(dir / "1.zip"));
  ASSERT_EQ(writer.AddFile(dir / "a.txt", false, 0), kZipOk);
  ASSERT_TRUE(writer.Create(dir / "2.zip"));
  EXPECT_TRUE(ExtractAt(dir / "1.zip", 0, dir / "out", false));
  EXPECT_EQ(ReadText(dir / "out/a.txt"), "first");
}

// The check reads what extraction would and writes nothing.
TEST(CheckArchiveEntries, FindsWhatExtractionWouldFailOnAndWritesNothing) {
  if (!HasTool("python3")) GTEST_SKIP() << "python3 is missing";
  TempFolder dir;
  WriteText(dir / "src/a.txt", "payload-payload-payload");
  WriteText(dir / "src/sub/b.bin", SampleData(3 * archive::kChunkBytes + 1));
  WriteText(dir / "src/c.txt", "other");
  for (const bool compress : {false, true}) {
    ASSERT_EQ(Archive(dir / "src", dir / (compress ? "d.zip" : "s.zip"), compress), 1);
  }
  fs::create_directories(dir / "empty");
  ASSERT_EQ(Archive(dir / "empty", dir / "empty.zip"), 1);
  // A name extraction refuses is no damage; its data is still read.
  const CommandResult made = Python(R"(
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1], 'w')
archive.writestr('../outside.txt', 'refused name')
archive.writestr('dir/', '')
archive.writestr('fine.txt', 'fine', zipfile.ZIP_DEFLATED)
)",
                                    Quote(dir / "refused.zip"));
  ASSERT_EQ(made.exitCode, 0) << made.output;

  const std::string stored = ReadText(dir / "s.zip");
  const std::string deflated = ReadText(dir / "d.zip");
  const auto damaged = [&](const std::string& name, std::string bytes, std::size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
    WriteText(dir / name, bytes);
    return dir / name;
  };
  const std::size_t secondRecord = stored.find("PK\x01\x02", stored.find("PK\x01\x02") + 4);
  struct Case {
    std::string label;
    std::string zip;
    platform::Cause cause;
    platform::Check check;
    int entries;
  };
  const std::vector<Case> cases{
      {"stored", dir / "s.zip", platform::Cause::kNone, platform::Check::kNone, 3},
      {"deflated", dir / "d.zip", platform::Cause::kNone, platform::Check::kNone, 3},
      {"no entries", dir / "empty.zip", platform::Cause::kNone, platform::Check::kNone, 0},
      {"refused name", dir / "refused.zip", platform::Cause::kNone, platform::Check::kNone, 3},
      {"stored data changed", damaged("s1.zip", stored, stored.find("payload-payload")),
       platform::Cause::kDamaged, platform::Check::kZipChecksum, -1},
      {"deflated data changed", damaged("d1.zip", deflated, deflated.size() / 2),
       platform::Cause::kDamaged, platform::Check::kZipChecksum, -1},
      {"entry list broken", damaged("s2.zip", stored, secondRecord + 3), platform::Cause::kDamaged,
       platform::Check::kZipDirectory, 1},
      {"no zip", damaged("junk.zip", "this is no zip archive", 0), platform::Cause::kDamaged,
       platform::Check::kArchive, 0},
      {"missing", dir / "missing.zip", platform::Cause::kMissing, platform::Check::kNone, 0},
  };
  const std::vector<std::string> before = Tree(dir.path());
  std::vector<std::string> damagedEntries;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    int entries = -7;
    const platform::Status status = archive::CheckArchiveEntries(c.zip, &entries);
    EXPECT_EQ(status.cause, c.cause);
    EXPECT_EQ(status.check, c.check);
    if (c.entries >= 0) {
      EXPECT_EQ(entries, c.entries);
    }
    if (c.check == platform::Check::kZipChecksum) damagedEntries.push_back(status.path);
  }
  EXPECT_EQ(Tree(dir.path()), before);
  // Extraction fails on the very entries the check names.
  ASSERT_EQ(damagedEntries.size(), 2u);
  EXPECT_EQ(ExtractFolderArchive(cases[4].zip, dir / "out1").failedEntries,
            std::vector<std::string>{damagedEntries[0]});
  EXPECT_EQ(ExtractFolderArchive(cases[5].zip, dir / "out2").failedEntries,
            std::vector<std::string>{damagedEntries[1]});
}

}  // namespace
