// Deflate in independent blocks on worker threads (see internal.h). The
// calling thread reads blocks and writes their output in order; workers
// deflate and checksum them. A fixed ring of block buffers bounds memory: the
// reader waits for the oldest block once every buffer is in use.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"

namespace archive::internal {
namespace {

constexpr int kLevel = 9;
// zlib's default, as minizip deflates small entries.
constexpr int kMemLevel = 8;
// Raw deflate data, as zip entries carry it.
constexpr int kWindowBits = -MAX_WBITS;
// deflateBound holds what Z_FINISH makes; a sync flush may add an empty
// stored block (3 bits, padding, 4 bytes of lengths) and a pending byte.
constexpr std::size_t kFlushMarkerBytes = 6;
// Room added when a block's output outgrows its estimate anyway.
constexpr std::size_t kOutputGrowthBytes = 65536;

std::atomic<int> g_workers{0};

struct Block {
  // The dictionary (the input before the block), then the block's data.
  std::vector<std::uint8_t> input;
  std::size_t dictionaryBytes = 0;
  std::size_t dataBytes = 0;
  bool last = false;
  // Set by the worker.
  std::vector<std::uint8_t> output;
  std::size_t outputBytes = 0;
  std::uint32_t crc = 0;
  bool deflated = false;
  bool done = false;  // guarded by the pool's mutex
};

// Makes bytes at least size long. Returns false when memory runs out: on a
// worker thread that must not end the process.
bool Grow(std::vector<std::uint8_t>& bytes, std::size_t size) {
  try {
    if (bytes.size() < size) bytes.resize(size);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Deflates block.input past its dictionary into block.output. Sets
// block.deflated iff it succeeded.
void DeflateBlock(Block& block) {
  block.deflated = false;
  block.outputBytes = 0;
  const std::uint8_t* data = block.input.data() + block.dictionaryBytes;
  block.crc = static_cast<std::uint32_t>(
      crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(block.dataBytes)));
  z_stream stream{};
  if (deflateInit2(&stream, kLevel, Z_DEFLATED, kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return;
  }
  if (block.dictionaryBytes > 0 &&
      deflateSetDictionary(&stream, block.input.data(), static_cast<uInt>(block.dictionaryBytes)) !=
          Z_OK) {
    deflateEnd(&stream);
    return;
  }
  const std::size_t estimate = deflateBound(&stream, static_cast<uLong>(block.dataBytes));
  if (!Grow(block.output, estimate + kFlushMarkerBytes)) {
    deflateEnd(&stream);
    return;
  }
  const int flush = block.last ? Z_FINISH : Z_SYNC_FLUSH;
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(block.dataBytes);
  stream.next_out = block.output.data();
  stream.avail_out = static_cast<uInt>(block.output.size());
  for (;;) {
    const int rc = deflate(&stream, flush);
    block.outputBytes = block.output.size() - stream.avail_out;
    const bool complete =
        flush == Z_FINISH ? rc == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out > 0;
    if (complete) {
      block.deflated = true;
      break;
    }
    // Only a full output buffer may keep deflate from completing.
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || stream.avail_out > 0) break;
    if (!Grow(block.output, block.output.size() + kOutputGrowthBytes)) break;
    stream.next_out = block.output.data() + block.outputBytes;
    stream.avail_out = static_cast<uInt>(block.output.size() - block.outputBytes);
  }
  deflateEnd(&stream);
}

// Worker threads taking blocks from a queue. The destructor drops what is
// still queued and joins every worker, on every path out of the caller.
class Pool {
 public:
  explicit Pool(int workers) {
    for (int i = 0; i < workers; ++i) {
      try {
        threads_.emplace_back([this] { Run(); });
      } catch (const std::system_error&) {
        break;  // fewer workers; with none, Submit deflates in place
      }
    }
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.clear();
      stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  void Submit(Block* block) {
    if (threads_.empty()) {
      DeflateBlock(*block);
      block->done = true;
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      block->done = false;
      queue_.push_back(block);
    }
    queued_.notify_one();
  }

  void WaitFor(const Block* block) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [block] { return block->done; });
  }

 private:
  void Run() {
    for (;;) {
      Block* block = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        block = queue_.front();
        queue_.pop_front();
      }
      DeflateBlock(*block);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        block->done = true;
      }
      finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable queued_;
  std::condition_variable finished_;
  std::deque<Block*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// Fills block's data part from read, up to kDeflateBlockBytes: fewer only at
// the end of the source. Returns false on a read error.
bool ReadBlock(const ReadSource& read, Block& block) {
  block.input.resize(block.dictionaryBytes + kDeflateBlockBytes);
  block.dataBytes = 0;
  while (block.dataBytes < kDeflateBlockBytes) {
    const std::int64_t got =
        read(std::span(block.input.data() + block.dictionaryBytes + block.dataBytes,
                       kDeflateBlockBytes - block.dataBytes));
    if (got < 0) return false;
    if (got == 0) break;
    block.dataBytes += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

void SetDeflateWorkers(int workers) {
  g_workers = std::clamp(workers, 0, kMostDeflateWorkers);
}

int DeflateWorkers() {
  const int set = g_workers;
  if (set > 0) return set;
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(cores, 1, kMostDeflateWorkers);
}

BlockDeflateResult DeflateInBlocks(const ReadSource& read, const WriteSink& write, int workers,
                                   int pauseMilliseconds) {
  workers = std::clamp(workers, 1, kMostDeflateWorkers);
  BlockDeflateResult result;
  result.crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  // One block per worker, one queued behind them and one being read: the
  // reader stays ahead without holding more of the file.
  std::vector<Block> blocks(static_cast<std::size_t>(workers) + 2);
  std::vector<Block*> spare;
  for (Block& block : blocks) spare.push_back(&block);
  std::deque<Block*> inFlight;
  // Declared after the blocks: joined before they go.
  Pool pool(workers);

  // Waits for the oldest block in flight and writes it.
  const auto writeOldest = [&]() -> BlockDeflateStatus {
    Block* block = inFlight.front();
    pool.WaitFor(block);
    inFlight.pop_front();
    spare.push_back(block);
    if (!block->deflated) return BlockDeflateStatus::kNoMemory;
    if (!write(std::span<const std::uint8_t>(block->output.data(), block->outputBytes))) {
      return BlockDeflateStatus::kWriteFailed;
    }
    result.crc = static_cast<std::uint32_t>(
        crc32_combine(result.crc, block->crc, static_cast<z_off_t>(block->dataBytes)));
    result.bytesIn += block->dataBytes;
    if (pauseMilliseconds > 0) {
      const std::size_t chunks = (block->dataBytes + kChunkBytes - 1) / kChunkBytes;
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds) *
                                  static_cast<long>(chunks));
    }
    return BlockDeflateStatus::kOk;
  };
  const auto takeSpare = [&](Block** block) -> BlockDeflateStatus {
    if (spare.empty()) {
      const BlockDeflateStatus status = writeOldest();
      if (status != BlockDeflateStatus::kOk) return status;
    }
    *block = spare.back();
    spare.pop_back();
    return BlockDeflateStatus::kOk;
  };

  Block* current = nullptr;
  result.status = takeSpare(&current);
  current->dictionaryBytes = 0;
  if (!ReadBlock(read, *current)) result.status = BlockDeflateStatus::kReadFailed;
  // Whether a full block is the last one shows only when the next read finds
  // nothing: each block is read before the one in front of it is handed on.
  while (result.status == BlockDeflateStatus::kOk) {
    Block* next = nullptr;
    if (current->dataBytes == kDeflateBlockBytes) {
      result.status = takeSpare(&next);
      if (result.status != BlockDeflateStatus::kOk) break;
      const std::size_t behind = current->dictionaryBytes + current->dataBytes;
      next->dictionaryBytes = std::min(behind, kDeflateDictionaryBytes);
      next->input.resize(next->dictionaryBytes + kDeflateBlockBytes);
      std::copy(
          current->input.begin() + static_cast<std::ptrdiff_t>(behind - next->dictionaryBytes),
          current->input.begin() + static_cast<std::ptrdiff_t>(behind), next->input.begin());
      if (!ReadBlock(read, *next)) {
        result.status = BlockDeflateStatus::kReadFailed;
        break;
      }
      if (next->dataBytes == 0) {
        spare.push_back(next);
        next = nullptr;
      }
    }
    current->last = next == nullptr;
    inFlight.push_back(current);
    pool.Submit(current);
    if (next == nullptr) break;
    current = next;
  }
  while (result.status == BlockDeflateStatus::kOk && !inFlight.empty()) {
    result.status = writeOldest();
  }
  return result;
}

}  // namespace archive::internal
