// Archive limits: folders past the 16-bit entry count of the zip end record,
// and the sizes that entries declare against the data they yield.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/zip_writer.h"
#include "platform/platform.h"
#include "tests/archive/archive_test_support.h"

namespace {

using namespace archive_test;

// Prints the number of entries Python's zipfile finds in argv[1].
constexpr char kCountEntries[] = R"(
import sys, zipfile
print(len(zipfile.ZipFile(sys.argv[1]).infolist()))
)";

bool HasZip64EndRecord(const std::string& zip) {
  return ReadText(zip).find(std::string("PK\x06\x06", 4)) != std::string::npos;
}

TEST(ManyEntries, SeventyThousandFilesArchiveAndComeBackWhole) {
  constexpr int kFiles = 70000;
  TempFolder dir;
  const std::string src = dir / "src";
  // Spread over subfolders: one folder of 70,000 names makes the file system,
  // not the archive, the slow part.
  for (int i = 0; i < kFiles; ++i) {
    const std::string folder = src + "/" + std::to_string(i / 1000);
    if (i % 1000 == 0) fs::create_directories(folder);
    const int fd = ::open((folder + "/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(src, list));
  ASSERT_EQ(list.files.size(), static_cast<std::size_t>(kFiles));
  const std::string zip = dir / "many.zip";
  ASSERT_TRUE(archive::BuildFolderArchive(src + "/", zip, false, list, 0).ok());
  if (HasTool("python3")) {
    const CommandResult counted = Python(kCountEntries, Quote(zip));
    EXPECT_EQ(counted.output, std::to_string(kFiles) + "\n");
  }
  const archive::FolderExtractResult result = archive::ExtractFolderArchive(zip, dir / "out");
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.extracted, kFiles);
  EXPECT_TRUE(fs::is_regular_file(dir / "out/69/69999"));

  // Without the zip64 end records, as an older writer left such archives:
  // the count says 65,535, and the list ends where the directory does.
  std::string bytes = ReadText(zip);
  const std::size_t record = bytes.rfind(std::string("PK\x06\x06", 4));
  ASSERT_EQ(record, bytes.size() - 56 - 20 - 22);
  bytes.erase(record, 56 + 20);
  WriteText(dir / "old.zip", bytes);
  EXPECT_EQ(CountWithOurReader(dir / "old.zip"), kFiles);
}

// 65,535 is the first count the end record cannot hold: it then means "see
// the zip64 record", and a reader without one runs past the directory.
TEST(ManyEntries, Zip64EndRecordsFromExactlyTheFirstCountThatNeedsThem) {
  TempFolder dir;
  WriteText(dir / "empty.txt", "");
  for (const int entries : {0xffff - 1, 0xffff}) {
    SCOPED_TRACE(entries);
    const std::string zip = dir / (std::to_string(entries) + ".zip");
    archive::internal::ZipWriter writer;
    ASSERT_TRUE(writer.Create(zip));
    for (int i = 0; i < entries; ++i) {
      ASSERT_EQ(writer.AddFileAs(dir / "empty.txt", std::to_string(i), 0),
                archive::internal::kZipOk);
    }
    ASSERT_EQ(writer.Close(), archive::internal::kZipOk);
    EXPECT_EQ(HasZip64EndRecord(zip), entries >= 0xffff);
    EXPECT_EQ(CountWithOurReader(zip), entries);
    EXPECT_EQ(archive::DeclaredTotalBytes(zip), 0u);
    if (HasTool("python3")) {
      EXPECT_EQ(Python(kCountEntries, Quote(zip)).output, std::to_string(entries) + "\n");
    }
    if (HasTool("unzip")) {
      const CommandResult tested = Shell("unzip -tqq " + Quote(zip));
      EXPECT_EQ(tested.exitCode, 0) << tested.output;
    }
    if (HasTool("7z")) {
      const CommandResult tested = Shell("7z t " + Quote(zip));
      EXPECT_EQ(tested.exitCode, 0) << tested.output;
    }
  }
}

// Writes argv[1]: entries whose local and central sizes are set to a value
// other than what their data holds, and one honest entry.
constexpr char kMisdeclaredArchive[] = R"(
import io, struct, sys, zipfile
entries = [('honest.txt', b'honest', zipfile.ZIP_STORED, None),
           ('claims-less.txt', b'eleven byte', zipfile.ZIP_STORED, 5),
           ('claims-more.txt', b'eleven byte', zipfile.ZIP_STORED, 20),
           ('deflated-claims-less.txt', b'x' * 2000, zipfile.ZIP_DEFLATED, 5)]
buffer = io.BytesIO()
with zipfile.ZipFile(buffer, 'w') as archive:
    for name, data, method, _ in entries:
        archive.writestr(name, data, compress_type=method)
data = bytearray(buffer.getvalue())
infos = zipfile.ZipFile(io.BytesIO(bytes(data))).infolist()
directory = data.index(b'PK\x01\x02')
for (name, _, _, declared), info in zip(entries, infos):
    if declared is not None:
        struct.pack_into('<I', data, info.header_offset + 22, declared)
        struct.pack_into('<I', data, data.index(name.encode(), directory) - 46 + 24, declared)
open(sys.argv[1], 'wb').write(data)
)";

TEST(DeclaredSizes, EntriesYieldingMoreOrLessThanDeclaredFail) {
  if (!HasTool("python3")) GTEST_SKIP() << "python3 is missing";
  TempFolder dir;
  const std::string zip = dir / "misdeclared.zip";
  const CommandResult made = Python(kMisdeclaredArchive, Quote(zip));
  ASSERT_EQ(made.exitCode, 0) << made.output;
  EXPECT_EQ(archive::DeclaredTotalBytes(zip), 6u + 5u + 20u + 5u);

  const archive::FolderExtractResult result = archive::ExtractFolderArchive(zip, dir / "out");
  EXPECT_TRUE(result.opened);
  EXPECT_EQ(result.extracted, 1);
  EXPECT_EQ(result.failedEntries, (std::vector<std::string>{"claims-less.txt", "claims-more.txt",
                                                            "deflated-claims-less.txt"}));
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(ReadText(dir / "out/honest.txt"), "honest");
  // Writing stops at the declared size.
  EXPECT_LE(platform::FileSize(dir / "out/claims-less.txt"), 5);
  EXPECT_LE(platform::FileSize(dir / "out/deflated-claims-less.txt"), 5);
}

TEST(DeclaredSizes, SumsTheDirectoryOrSaysItCannot) {
  TempFolder dir;
  WriteText(dir / "src/a.bin", SampleData(archive::kChunkBytes + 3));
  WriteText(dir / "src/sub/b.txt", "bee");
  WriteText(dir / "src/zero.txt", "");
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(dir / "src", list));
  ASSERT_TRUE(archive::BuildFolderArchive(dir / "src/", dir / "x.zip", true, list, 0).ok());
  EXPECT_EQ(archive::DeclaredTotalBytes(dir / "x.zip"), archive::kChunkBytes + 3 + 3);

  fs::create_directories(dir / "empty");
  ASSERT_TRUE(archive::CollectFolderFiles(dir / "empty", list));
  ASSERT_TRUE(archive::BuildFolderArchive(dir / "empty/", dir / "empty.zip", true, list, 0).ok());
  EXPECT_EQ(archive::DeclaredTotalBytes(dir / "empty.zip"), 0u);

  WriteText(dir / "junk.zip", "no zip archive");
  EXPECT_EQ(archive::DeclaredTotalBytes(dir / "junk.zip"), std::nullopt);
  EXPECT_EQ(archive::DeclaredTotalBytes(dir / "missing.zip"), std::nullopt);
  // A directory that breaks off after its first record.
  std::string bytes = ReadText(dir / "x.zip");
  const std::size_t second = bytes.find("PK\x01\x02", bytes.find("PK\x01\x02") + 4);
  ASSERT_NE(second, std::string::npos);
  bytes[second + 3] = 'X';
  WriteText(dir / "broken.zip", bytes);
  EXPECT_EQ(archive::DeclaredTotalBytes(dir / "broken.zip"), std::nullopt);
}

}  // namespace
