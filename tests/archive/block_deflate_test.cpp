// Large entries deflated in blocks on several threads: what independent
// readers make of the joined stream, sizes on either side of a block, the
// same bytes for any number of workers, and failures in the middle of an entry.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"
#include "platform/platform.h"
#include "tests/archive/archive_test_support.h"

namespace {

using namespace archive_test;
using archive::internal::BlockDeflateStatus;
using archive::internal::DeflateInBlocks;
using archive::internal::kDeflateBlockBytes;

constexpr std::size_t kBlock = kDeflateBlockBytes;
// Random bytes that repeat with this period: a block compresses well only
// when it may refer back into the block before it.
constexpr std::size_t kPeriod = 20000;

std::string RandomBytes(std::size_t size, unsigned seed) {
  const std::vector<std::uint8_t> bytes = ::testing_support::RandomBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

std::string Repeating(std::size_t size) {
  const std::string period = RandomBytes(kPeriod, 5);
  std::string data;
  while (data.size() < size) data += period;
  data.resize(size);
  return data;
}

// Restores the default worker count when a test ends, however it ends.
struct WorkerCount {
  explicit WorkerCount(int workers) { archive::internal::SetDeflateWorkers(workers); }
  ~WorkerCount() { archive::internal::SetDeflateWorkers(0); }
};

// Tests argv[1] and compares each entry with the file of its name below
// argv[2]; all entries must be deflated with the same flags. The repeating
// entry may take its period (argv[3] bytes) once as literals, then matches of
// at most 258 bytes: each block refers back into the one before. Blocks that
// start without the input before them would each take the period again.
constexpr char kCompareEntries[] = R"(
import os, sys, zipfile
path, src, period = sys.argv[1], sys.argv[2], int(sys.argv[3])
archive = zipfile.ZipFile(path)
bad = archive.testzip()
if bad is not None:
    sys.exit('bad CRC in ' + bad)
flags = {info.flag_bits for info in archive.infolist()}
if len(flags) != 1:
    sys.exit('flags differ: %r' % flags)
for info in archive.infolist():
    if info.compress_type != 8:
        sys.exit(info.filename + ' is not deflated')
    if archive.read(info) != open(os.path.join(src, info.filename), 'rb').read():
        sys.exit(info.filename + ' differs')
    if info.filename == 'repeating' and info.compress_size > period + info.file_size // 258 * 4:
        sys.exit('repeating takes %d bytes' % info.compress_size)
print(len(archive.infolist()))
)";

TEST(BlockDeflate, EntriesAroundTheBlockSizePassEveryReader) {
  TempFolder dir;
  const std::string src = dir / "src";
  WriteText(src + "/empty", "");
  WriteText(src + "/one", "x");
  WriteText(src + "/block", SampleData(kBlock, 2));
  WriteText(src + "/block-plus-one", SampleData(kBlock + 1, 3));
  WriteText(src + "/two-blocks", SampleData(2 * kBlock, 4));
  WriteText(src + "/several", SampleData(3 * kBlock + 12345, 6));
  WriteText(src + "/random", RandomBytes(2 * kBlock + 7, 7));
  WriteText(src + "/repeating", Repeating(4 * kBlock + 3));
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(src, list));
  const std::string zip = dir / "blocks.zip";
  ASSERT_TRUE(archive::BuildFolderArchive(src, zip, true, list, 0).ok());

  const auto result = archive::ExtractFolderArchive(zip, dir / "ours");
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(Tree(dir / "ours"), Tree(src));
  // The single-file path: a multi-block file packed and unpacked.
  ASSERT_TRUE(archive::PackFile(src + "/several", dir / "several.ppp", 0).ok());
  ASSERT_TRUE(archive::UnpackFile(dir / "several.ppp", dir / "unpacked", false).ok());
  EXPECT_EQ(ReadText(dir / "unpacked/several"), ReadText(src + "/several"));

  for (const std::string& archive : {zip, dir / "several.ppp"}) {
    if (HasTool("unzip")) {
      const CommandResult tested = Shell("unzip -t -q " + Quote(archive));
      EXPECT_EQ(tested.exitCode, 0) << tested.output;
    }
    if (HasTool("7z")) {
      const CommandResult tested = Shell("7z t " + Quote(archive));
      EXPECT_EQ(tested.exitCode, 0) << tested.output;
    }
  }
  if (HasTool("python3")) {
    const CommandResult compared =
        Python(kCompareEntries, Quote(zip) + " " + Quote(src) + " " + std::to_string(kPeriod));
    EXPECT_EQ(compared.exitCode, 0) << compared.output;
    EXPECT_EQ(compared.output, "8\n");
  }
}

TEST(BlockDeflate, SameArchiveWhateverTheWorkerCount) {
  TempFolder dir;
  const std::string src = dir / "src";
  WriteText(src + "/text", SampleData(3 * kBlock + 999, 8));
  WriteText(src + "/sub/repeating", Repeating(2 * kBlock));
  ASSERT_TRUE(platform::SetLastWriteTime(src + "/text", Local(2022, 2, 2, 2, 2, 2)));
  ASSERT_TRUE(platform::SetLastWriteTime(src + "/sub/repeating", Local(2022, 2, 2, 2, 2, 2)));
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(src, list));
  std::vector<std::string> packed;
  std::vector<std::string> folders;
  for (const int workers : {1, 2, 3}) {
    SCOPED_TRACE(workers);
    WorkerCount count(workers);
    const std::string name = std::to_string(workers);
    ASSERT_TRUE(archive::PackFile(src + "/text", dir / (name + ".ppp"), 0).ok());
    ASSERT_TRUE(archive::BuildFolderArchive(src, dir / (name + ".zip"), true, list, 0).ok());
    packed.push_back(ReadText(dir / (name + ".ppp")));
    folders.push_back(ReadText(dir / (name + ".zip")));
  }
  EXPECT_EQ(packed[1], packed[0]);
  EXPECT_EQ(packed[2], packed[0]);
  EXPECT_EQ(folders[1], folders[0]);
  EXPECT_EQ(folders[2], folders[0]);
  ASSERT_TRUE(archive::UnpackFile(dir / "1.ppp", dir / "out", false).ok());
  EXPECT_EQ(ReadText(dir / "out/text"), ReadText(src + "/text"));
}

// A source of data in memory that fails every read from failAt on, and a sink
// that fails its failWriteAt-th write; both count what they were asked.
struct Faults {
  const std::string& data;
  std::size_t failAt = std::string::npos;
  int failWriteAt = 0;
  std::size_t readTo = 0;
  int writes = 0;

  archive::internal::ReadSource Reader() {
    return [this](std::span<std::uint8_t> out) -> std::int64_t {
      if (readTo >= failAt) return -1;
      const std::size_t n = std::min(out.size(), data.size() - readTo);
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(readTo), n, out.begin());
      readTo += n;
      return static_cast<std::int64_t>(n);
    };
  }
  archive::internal::WriteSink Writer() {
    return [this](std::span<const std::uint8_t>) { return ++writes != failWriteAt; };
  }
};

std::uint32_t Crc(std::string_view data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

TEST(BlockDeflate, FailuresInTheMiddleStopReadingAndWriting) {
  const std::string data = SampleData(12 * kBlock + 5, 9);
  for (const int workers : {1, 3}) {
    SCOPED_TRACE(workers);
    Faults readFault{data, 5 * kBlock, 0};
    auto result = DeflateInBlocks(readFault.Reader(), readFault.Writer(), workers, 0);
    EXPECT_EQ(result.status, BlockDeflateStatus::kReadFailed);
    // What was handed on is accounted for, block by block.
    EXPECT_EQ(result.bytesIn % kBlock, 0u);
    EXPECT_LE(result.bytesIn, 4 * kBlock);
    EXPECT_EQ(result.crc, Crc(std::string_view(data).substr(0, result.bytesIn)));

    Faults writeFault{data, std::string::npos, 2};
    result = DeflateInBlocks(writeFault.Reader(), writeFault.Writer(), workers, 0);
    EXPECT_EQ(result.status, BlockDeflateStatus::kWriteFailed);
    EXPECT_EQ(writeFault.writes, 2);
    EXPECT_EQ(result.bytesIn, kBlock);
    EXPECT_EQ(result.crc, Crc(std::string_view(data).substr(0, kBlock)));
    // Reading runs ahead by no more than the blocks in flight.
    EXPECT_LE(writeFault.readTo, static_cast<std::size_t>(workers + 3) * kBlock);
  }
  // The whole source, for comparison: every block read and written.
  Faults none{data};
  const auto result = DeflateInBlocks(none.Reader(), none.Writer(), 2, 0);
  EXPECT_EQ(result.status, BlockDeflateStatus::kOk);
  EXPECT_EQ(result.bytesIn, data.size());
  EXPECT_EQ(result.crc, Crc(data));
  EXPECT_EQ(none.writes, 13);
}

TEST(BlockDeflate, WriteFailureInALargeEntryLeavesNoArchive) {
  TempFolder dir;
  const std::string src = dir / "src";
  // Incompressible, so that the archive is written while the entry is.
  WriteText(src + "/random", RandomBytes(3 * kBlock, 10));
  archive::FolderFileList list;
  ASSERT_TRUE(archive::CollectFolderFiles(src, list));
  // The disk's own error reaches the caller, whatever minizip made of it.
  platform::SetFaultPlan({.failWriteAt = 3});
  const platform::Status packed = archive::PackFile(src + "/random", dir / "random.ppp", 0);
  EXPECT_TRUE(packed.IsFullDisk()) << static_cast<int>(packed.cause);
  EXPECT_EQ(packed.path, dir / "random.ppp");
  platform::SetFaultPlan({.failWriteAt = 3});
  const platform::Status built =
      archive::BuildFolderArchive(src, dir / "random.zip", true, list, 0);
  platform::ClearFaultPlan();
  EXPECT_TRUE(built.IsFullDisk()) << static_cast<int>(built.cause);
  EXPECT_FALSE(platform::PathExists(dir / "random.ppp"));
  EXPECT_FALSE(platform::PathExists(dir / "random.zip"));
  // The writer is usable again afterwards.
  ASSERT_TRUE(archive::PackFile(src + "/random", dir / "random.ppp", 0).ok());
  ASSERT_TRUE(archive::UnpackFile(dir / "random.ppp", dir / "out", false).ok());
  EXPECT_EQ(ReadText(dir / "out/random"), ReadText(src + "/random"));
}

}  // namespace
