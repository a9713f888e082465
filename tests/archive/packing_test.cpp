// Single-file packing: a file as a one-entry archive and back.
#include <gtest/gtest.h>

#include <string>

#include "archive/archive.h"
#include "platform/platform.h"
#include "tests/archive/archive_test_support.h"

namespace {

using archive::PackFile;
using archive::UnpackFile;
using namespace archive_test;

TEST(Packing, RestoresNameContentPermissionsAndTimeInAnotherFolder) {
  TempFolder dir;
  const std::string source = dir / "Briefe/brief.doc";
  const std::string data = SampleData(archive::kChunkBytes + 1000);
  WriteText(source, data);
  ASSERT_TRUE(platform::SetLastWriteTime(source, Local(2019, 3, 4, 14, 37, 59)));
  ASSERT_TRUE(platform::SetFileMode(source, 0440));
  // The default pause, as the flows run it.
  ASSERT_TRUE(PackFile(source, source + ".ppp").ok());
  EXPECT_EQ(Permissions(source + ".ppp"), 0600u);
  for (const bool keepPaths : {true, false}) {
    const std::string target = dir / (keepPaths ? "kept/new" : "flat");
    ASSERT_TRUE(UnpackFile(source + ".ppp", target, keepPaths).ok());
    EXPECT_EQ(Tree(target), (std::vector<std::string>{"brief.doc=" + data}));
    EXPECT_EQ(Permissions(target + "/brief.doc"), 0440u);
    EXPECT_EQ(TimeText(target + "/brief.doc"), "2019-03-04 14:37:00");
  }
  // One entry only.
  EXPECT_FALSE(ExtractAt(source + ".ppp", 1, dir / "second", true));
}

TEST(Packing, ZeroLengthFileComesBackEmpty) {
  TempFolder dir;
  WriteText(dir / "empty.txt", "");
  ASSERT_TRUE(PackFile(dir / "empty.txt", dir / "empty.ppp", 0).ok());
  ASSERT_TRUE(UnpackFile(dir / "empty.ppp", dir / "out", true).ok());
  EXPECT_EQ(Tree(dir / "out"), (std::vector<std::string>{"empty.txt="}));
}

TEST(Packing, DeflatesEvenAfterAStoredFolderArchive) {
  TempFolder dir;
  WriteText(dir / "src/a.txt", std::string(5000, 'a'));
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(dir / "src", list));
  ASSERT_TRUE(archive::BuildFolderArchive(dir / "src/", dir / "stored.zip", false, list, 0).ok());
  ASSERT_TRUE(PackFile(dir / "src/a.txt", dir / "a.ppp", 0).ok());
  const std::string packed = ReadText(dir / "a.ppp");
  ASSERT_GT(packed.size(), 10u);
  EXPECT_EQ(packed[8], 8);  // method in the local header
  EXPECT_LT(packed.size(), 1000u);
}

TEST(Packing, UnpackingReplacesAFileOfTheSameNameWithANewOne) {
  TempFolder dir;
  WriteText(dir / "a.txt", "new");
  ASSERT_TRUE(PackFile(dir / "a.txt", dir / "a.txt.ppp", 0).ok());
  WriteText(dir / "elsewhere.txt", "an older and longer a.txt");
  fs::create_directories(dir / "out");
  fs::create_hard_link(dir / "elsewhere.txt", dir / "out/a.txt");
  ASSERT_TRUE(UnpackFile(dir / "a.txt.ppp", dir / "out", false).ok());
  EXPECT_EQ(ReadText(dir / "out/a.txt"), "new");
  EXPECT_EQ(ReadText(dir / "elsewhere.txt"), "an older and longer a.txt");
}

TEST(Packing, FailuresAreReportedAndLeaveNoPackedFile) {
  TempFolder dir;
  EXPECT_EQ(PackFile(dir / "missing.txt", dir / "a.ppp", 0).cause, platform::Cause::kMissing);
  EXPECT_FALSE(platform::PathExists(dir / "a.ppp"));
  fs::create_directories(dir / "folder");
  const platform::Status folder = PackFile(dir / "folder", dir / "a.ppp", 0);
  EXPECT_EQ(folder.cause, platform::Cause::kFolder);
  EXPECT_EQ(folder.path, dir / "folder");
  EXPECT_FALSE(platform::PathExists(dir / "a.ppp"));
  WriteText(dir / "a.txt", "a");
  EXPECT_FALSE(PackFile(dir / "a.txt", dir / "no/such/a.ppp", 0).ok());
  // A small archive goes out in one write, at the close.
  platform::SetFaultPlan({.failWriteAt = 1});
  EXPECT_FALSE(PackFile(dir / "a.txt", dir / "a.ppp", 0).ok());
  platform::ClearFaultPlan();
  EXPECT_FALSE(platform::PathExists(dir / "a.ppp"));

  ASSERT_TRUE(PackFile(dir / "a.txt", dir / "a.ppp", 0).ok());
  WriteText(dir / "junk.ppp", "decrypted with the wrong data");
  EXPECT_EQ(UnpackFile(dir / "junk.ppp", dir / "out", true).check, platform::Check::kArchive);
  EXPECT_EQ(UnpackFile(dir / "missing.ppp", dir / "out", true).cause, platform::Cause::kMissing);
  // An empty target (a cancelled folder question) would mean the root folder.
  EXPECT_FALSE(UnpackFile(dir / "a.ppp", "", true).ok());
  WriteText(dir / "file-not-folder", "");
  EXPECT_FALSE(UnpackFile(dir / "a.ppp", dir / "file-not-folder", true).ok());
  platform::SetFaultPlan({.failWriteAt = 1});
  EXPECT_TRUE(UnpackFile(dir / "a.ppp", dir / "out", true).IsFullDisk());
  platform::ClearFaultPlan();
  EXPECT_TRUE(UnpackFile(dir / "a.ppp", dir / "out", true).ok());
}

}  // namespace
