// Pack stream encoder. Every stream is fixed byte for byte by one decision
// procedure, the plain walk (SearchMode::kPlain): the match finder's chain
// walk, the rating of candidates, the lazy decision with the next position,
// the literal-format, index-bits and raw-block rules. The fast search, the
// streaming buffers and the helper thread change how fast the decisions
// come, never which.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#ifdef _WIN32
#include "cipherkern/thread_win.h"
#endif

#include "cipherkern/pack_stream.h"
#include "cipherkern/pack_stream_encoder_tuning.h"
#include "cipherkern/pack_stream_internal.h"
#include "cipherkern/pack_stream_io.h"

namespace cipherkern::pack {
namespace {

constexpr std::uint32_t kNoPosition = 0xffffffff;
constexpr std::uint64_t kNever = ~std::uint64_t{0};
// A streaming encode reports progress after about this many input bytes.
constexpr std::size_t kProgressEvery = std::size_t{4} << 20;
// Input bytes timed with the helper thread and without, and then run the
// faster way, before it is timed again.
constexpr std::size_t kReviewStretch = std::size_t{1} << 20;
constexpr std::size_t kSettledStretch = std::size_t{8} << 20;
constexpr double kHelperMargin = 1.1;

void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

std::uint64_t LoadNative64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Returns how many bytes a and b have in common, at most limit.
std::size_t MatchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t n = 0;
  for (; n + 8 <= limit; n += 8) {
    const std::uint64_t diff = LoadNative64(a + n) ^ LoadNative64(b + n);
    if (diff != 0) {
      const int bits = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                  : std::countl_zero(diff);
      return n + static_cast<std::size_t>(bits) / 8;
    }
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Returns how many bytes from p on equal c, at most limit.
std::size_t RunLength(const std::uint8_t* p, std::uint8_t c, std::size_t limit) {
  const std::uint64_t pattern = 0x0101010101010101ULL * c;
  std::size_t n = 0;
  for (; n + 8 <= limit; n += 8) {
    const std::uint64_t diff = LoadNative64(p + n) ^ pattern;
    if (diff != 0) {
      const int bits = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                  : std::countl_zero(diff);
      return n + static_cast<std::size_t>(bits) / 8;
    }
  }
  while (n < limit && p[n] == c) ++n;
  return n;
}

// Returns the smallest and the largest of the n (>= 1) bytes at p.
std::pair<std::uint8_t, std::uint8_t> ByteRange(const std::uint8_t* p, std::size_t n) {
  using Vec = std::uint8_t __attribute__((vector_size(16)));
  std::size_t i = 0;
  std::uint8_t lo = 0xff;
  std::uint8_t hi = 0;
  if (n >= 16) {
    Vec vlo;
    std::memcpy(&vlo, p, 16);
    Vec vhi = vlo;
    for (i = 16; i + 16 <= n; i += 16) {
      Vec v;
      std::memcpy(&v, p + i, 16);
      vlo = v < vlo ? v : vlo;
      vhi = v > vhi ? v : vhi;
    }
    for (int j = 0; j < 16; ++j) {
      lo = std::min(lo, static_cast<std::uint8_t>(vlo[j]));
      hi = std::max(hi, static_cast<std::uint8_t>(vhi[j]));
    }
  }
  for (; i < n; ++i) {
    lo = std::min(lo, p[i]);
    hi = std::max(hi, p[i]);
  }
  return {lo, hi};
}

// Returns the least k in 1..reach (reach <= 14) with p[-k] == b, or 0.
// Requires: `before` bytes precede p, at least reach.
std::size_t NearestEqual(const std::uint8_t* p, std::uint8_t b, std::size_t reach,
                         std::size_t before) {
  if constexpr (std::endian::native == std::endian::little) {
    if (reach == kNearCopyReach && before >= 16) {  // 8 bytes at a time
      const std::uint64_t pattern = 0x0101010101010101ULL * b;
      // Flags the bytes of x that are 0, in their top bits, without carries
      // from one byte into the next.
      auto zeros = [](std::uint64_t x) {
        const std::uint64_t low7 = 0x7f7f7f7f7f7f7f7fULL;
        return ~(((x & low7) + low7) | x | low7);
      };
      // Bytes p-8..p-1: p-1 is the most significant.
      std::uint64_t near = zeros(LoadNative64(p - 8) ^ pattern);
      if (near != 0) return 8 - (63 - std::countl_zero(near)) / 8;
      // Bytes p-16..p-9, of which p-14..p-9 are in reach.
      std::uint64_t far = zeros(LoadNative64(p - 16) ^ pattern) & ~std::uint64_t{0xffff};
      if (far != 0) return 16 - (63 - std::countl_zero(far)) / 8;
      return 0;
    }
  }
  for (std::size_t k = 1; k <= reach; ++k) {
    if (p[-static_cast<std::ptrdiff_t>(k)] == b) return k;
  }
  return 0;
}

unsigned FloorLog2(std::uint64_t v) {
  return static_cast<unsigned>(std::bit_width(v)) - 1;
}

// How the steps rate a match, all figures in one place. A match of n bytes
// gains kBitsPerByte n + kGainBias bits, less the cost of its code:
//   short match (offset up to 127, length up to 5)   kShortMatchCost
//   the last offset's code                          2 floor(log2(n)) - 1
//   long match                                      kLongMatchBaseCost
//       + 2 floor(log2((offset >> index bits) + 3))
//       + 2 floor(log2(n - LengthBonus(offset)))
// The decoder adds LengthBonus (pack_stream_internal.h) to a long match's
// coded length, which must stay 2 or more: where the bonus steps up, long
// matches of 2, 3 and 4 bytes stop being candidates (kNoCandidateFrom).
constexpr std::int64_t kBitsPerByte = 8;
constexpr std::int64_t kGainBias = 1;
constexpr std::int64_t kShortMatchCost = 9;
constexpr std::int64_t kLongMatchBaseCost = 10;
constexpr std::int64_t kRepeatCostBias = -1;
// The largest length bonus, that of the shortest offsets.
constexpr std::uint32_t kMostBonus = LengthBonus(1);

// Returns the least offset above the short matches' from which a long match
// of n bytes cannot be coded, or kNever. The bonus only grows with the
// offset, so a binary search over every offset finds it.
constexpr std::uint64_t FirstOffsetWithout(std::size_t n) {
  std::uint64_t lo = kShortMatchMaxOffset + 1;
  std::uint64_t hi = kMaxUnpackedLength + 1;  // beyond every offset
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (n < LengthBonus(mid) + 2) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo > kMaxUnpackedLength ? kNever : lo;
}

// FirstOffsetWithout by length; lengths beyond the table have none.
constexpr auto kNoCandidateFrom = [] {
  std::array<std::uint64_t, kMostBonus + 2> table{};
  for (std::size_t n = 0; n < table.size(); ++n) table[n] = FirstOffsetWithout(n);
  return table;
}();

std::uint64_t NoCandidateFrom(std::size_t n) {
  return n < kNoCandidateFrom.size() ? kNoCandidateFrom[n] : kNever;
}

// Returns the most that a match of n >= 2 bytes can gain with any code but
// the last offset's: a short match costs kShortMatchCost; a long one at
// least kLongMatchBaseCost + 2 + 2 floor(log2(n - kMostBonus)).
std::int64_t MostGain(std::size_t n) {
  const std::int64_t bits = kBitsPerByte * static_cast<std::int64_t>(n) + kGainBias;
  if (n <= kShortMatchMaxLength) return bits - kShortMatchCost;
  return bits - kLongMatchBaseCost - 2 - 2 * static_cast<std::int64_t>(FloorLog2(n - kMostBonus));
}

// Puts bit i of x at bit 2i.
std::uint64_t SpreadBits(std::uint32_t x) {
  std::uint64_t v = x;
  v = (v | (v << 16)) & 0x0000ffff0000ffffULL;
  v = (v | (v << 8)) & 0x00ff00ff00ff00ffULL;
  v = (v | (v << 4)) & 0x0f0f0f0f0f0f0f0fULL;
  v = (v | (v << 2)) & 0x3333333333333333ULL;
  v = (v | (v << 1)) & 0x5555555555555555ULL;
  return v;
}

// Collects bits most significant first into 32-bit little-endian words.
// Words past the capacity are counted but not stored, so the caller learns
// of an overflow from Position() without a check on every code.
//
// Positions are stream bytes, header included. The words live in a buffer
// that holds the stream from some position on: the whole output of Encode,
// or, when streaming, the words not yet handed to the sink. out_ is rebased
// so that out_ + position addresses the stream byte at position either way,
// which keeps Put free of the buffer's offset.
class BitWriter {
 public:
  struct State {
    std::size_t position;
    std::uint64_t bits;
    unsigned pending;
  };

  // The buffer holds the stream bytes from position to position + capacity.
  BitWriter(std::uint8_t* buffer, std::size_t capacity, std::size_t position)
      : out_(buffer - position),
        capacity_(position + capacity),
        position_(position),
        buffer_(buffer),
        bufferStart_(position),
        bufferSize_(capacity) {}

  // Requires: 1 <= count <= 32, value < 2^count.
  void Put(std::uint32_t value, unsigned count) {
    bits_ = (bits_ << count) | value;
    pending_ += count;
    // Without a branch, as whether a word is full follows the data: the top
    // 32 of the pending bits are stored every time, where the next word goes
    // (or, past the capacity, into a spare word), and count only once they
    // are a whole word. Until then the next store overwrites them.
    const unsigned full = pending_ >= 32 ? 1 : 0;
    pending_ -= 32 * full;
    std::uint8_t* const at = position_ + 4 <= capacity_ ? out_ + position_ : spare_;
    StoreLe32(at, static_cast<std::uint32_t>(bits_ >> pending_));
    position_ += 4 * full;
  }

  // Writes v (>= 2) as a gamma number: the bits below its leading 1, each
  // followed by a continuation bit, 0 after the last.
  void PutGamma(std::uint64_t v) {
    const unsigned pairs = FloorLog2(v);
    const std::uint32_t low = static_cast<std::uint32_t>(v) & ((std::uint32_t{1} << pairs) - 1);
    const std::uint64_t continuation = 0x5555555555555554ULL;
    const unsigned width = 2 * pairs;
    std::uint64_t code = (SpreadBits(low) << 1) | continuation;
    code &= width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    if (width > 32) Put(static_cast<std::uint32_t>(code >> 32), width - 32);
    Put(static_cast<std::uint32_t>(code), width > 32 ? 32 : width);
  }

  // Fills the last word with 0 bits.
  void Finish() {
    if (pending_ > 0) Put(0, 32 - pending_);
  }

  // Bytes of whole words written so far, header included.
  std::size_t Position() const { return position_; }

  State Save() const { return {position_, bits_, pending_}; }
  void Restore(const State& s) {
    position_ = s.position;
    bits_ = s.bits;
    pending_ = s.pending;
  }

  // True iff every word written so far was stored.
  bool Fits() const { return position_ <= capacity_; }

  // Hands the words before upto (<= Position(), none of which a Restore may
  // take back) to sink and moves the later ones to the front of the buffer.
  // Returns false when the sink refuses them.
  [[nodiscard]] bool Drain(std::size_t upto, ByteSink& sink) {
    const std::size_t done = upto - bufferStart_;
    if (done == 0) return true;
    if (!sink.Write(buffer_, done)) return false;
    std::memmove(buffer_, buffer_ + done, position_ - upto);
    bufferStart_ = upto;
    out_ = buffer_ - bufferStart_;
    capacity_ = bufferStart_ + bufferSize_;
    return true;
  }
  // Bytes stored but not yet drained.
  std::size_t Held() const { return position_ - bufferStart_; }

 private:
  std::uint8_t* out_;
  std::size_t capacity_;  // stream position where the buffer ends
  std::size_t position_;
  std::uint64_t bits_ = 0;  // the low pending_ bits are not yet stored
  unsigned pending_ = 0;
  std::uint8_t spare_[4] = {};
  std::uint8_t* buffer_;
  std::size_t bufferStart_;  // stream position of buffer_[0]
  std::size_t bufferSize_;
};

struct LiteralFormat {
  unsigned width = 0;  // 0: none chosen yet
  std::uint8_t base = 0;

  bool operator==(const LiteralFormat&) const = default;
  bool Fits(std::uint8_t b) const {
    return ((static_cast<unsigned>(b) - base) & 0xff) < (1u << width);
  }
};

struct Candidate {
  std::uint32_t distance = 0;
  std::uint32_t length = 0;  // 0: no candidate
  std::int64_t gain = 0;
  // The longest match the search measured. Below the search's maxLength no
  // position reached it, so a search with a larger one finds the same.
  std::uint32_t reach = 0;

  explicit operator bool() const { return length != 0; }
};

// The match finder. It keeps, for every position of the window, a link to
// the previous position with the same first two bytes: one chain per
// two-byte value, newest first, which the plain search walks. Most
// positions of a long chain match for fewer bytes than the search already
// has and change nothing. So the positions are also chained by their first
// 3, 4, 8 and 16 bytes (hashed): once a search needs that many bytes it
// follows the longer chain, which holds every position the two-byte chain
// would still let through, in the same order. The decisions stay those of
// the plain walk (SearchPlain); only fewer positions are looked at.
constexpr int kLevels = 5;
constexpr std::size_t kLevelLength[kLevels] = {2, 3, 4, 8, 16};
static_assert(kLevelLength[0] == 2);

// Returns the number of key bits of a level: the two-byte chains have one
// head per value; the hashed ones shrink with the window, so that a small
// input does not pay for large tables, and stop at a head for every two
// positions of the engine's window: every position entered reads and writes
// a random head of each, and the walks through the few more collisions cost
// no more than a table twice the size.
unsigned LevelKeyBits(int level, std::uint32_t window) {
  if (level == 0) return std::bit_width(kHeadTableSize) - 1;  // exact: 16
  return std::clamp(static_cast<unsigned>(std::bit_width(window)), 10u, 15u);
}

// Returns the n (<= 8) bytes at p as one number, with as few loads as n
// allows. A short memcpy into a wider variable would go through the stack
// and stall the load that follows.
template <std::size_t n>
std::uint64_t LoadBytes(const std::uint8_t* p) {
  static_assert(n <= 8);
  if constexpr (n == 8) {
    return LoadNative64(p);
  } else if constexpr (n >= 4) {
    std::uint32_t low;
    std::memcpy(&low, p, 4);
    return low | (LoadBytes<n - 4>(p + 4) << 32);
  } else if constexpr (n >= 2) {
    std::uint16_t low;
    std::memcpy(&low, p, 2);
    return low | (LoadBytes<n - 2>(p + 2) << 16);
  } else if constexpr (n == 1) {
    return p[0];
  } else {
    return 0;
  }
}

// Returns the key of the first kLevelLength[level] bytes at p, of keyBits.
// Requires: those bytes exist.
template <int level>
std::uint32_t LevelKey(const std::uint8_t* p, unsigned keyBits) {
  if constexpr (level == 0) {
    return p[0] | (std::uint32_t{p[1]} << 8);  // the two bytes as a little-endian number
  } else {
    constexpr std::size_t kLength = kLevelLength[level];
    constexpr std::uint64_t kMul = 0x9e3779b97f4a7c15ULL;
    std::uint64_t h = 0;
    std::size_t i = 0;
    for (; i + 8 <= kLength; i += 8) h = (std::rotl(h, 23) ^ LoadNative64(p + i)) * kMul;
    if constexpr (kLength % 8 != 0) h = (std::rotl(h, 23) ^ LoadBytes<kLength % 8>(p + i)) * kMul;
    return static_cast<std::uint32_t>(h >> (64 - keyBits));
  }
}

// Returns the number of slots of each chain. A slot is taken by position &
// (slots - 1). A search at p looks at most window positions back, and no
// position at or after p is entered before the search, so window slots keep
// every position a search can reach.
std::uint64_t ChainSlots(std::uint32_t window) {
  return std::bit_ceil(std::max<std::uint64_t>(window, 1));
}

// Returns the bytes of one level's chain links, rounded up so that the
// next head table stays aligned.
template <typename Link>
std::uint64_t ChainBytes(std::uint64_t slots) {
  return (slots * sizeof(Link) + 7) & ~std::uint64_t{7};
}

// Returns the bytes of work memory for window and slots chain slots: per
// level the head table and the chain links.
template <typename Link>
std::uint64_t WorkBytes(std::uint32_t window, std::uint64_t slots) {
  std::uint64_t bytes = 0;
  for (int level = 0; level < kLevels; ++level)
    bytes += (std::uint64_t{4} << LevelKeyBits(level, window)) + ChainBytes<Link>(slots);
  return bytes;
}

// The input as the encoder reads it: Origin() + p addresses the byte at
// position p. Either the whole input in memory (Encode), or a buffer that
// slides over an EncodeInput (EncodeStream). The buffer holds the positions
// from low_ to high_; it moves on only between steps, once a step could
// read past high_, and keeps every position from the lowest one a step can
// touch.
class InputWindow {
 public:
  explicit InputWindow(std::span<const std::uint8_t> whole)
      : origin_(whole.data()), size_(whole.size()), high_(whole.size()) {}

  // A buffer of capacity bytes over input, for steps that read up to ahead
  // bytes past their position. Requires: capacity > ahead plus what the
  // steps keep behind them.
  InputWindow(EncodeInput* input, std::size_t size, std::uint8_t* buffer, std::size_t capacity,
              std::size_t ahead)
      : origin_(buffer),
        size_(size),
        input_(input),
        buffer_(buffer),
        capacity_(capacity),
        ahead_(ahead),
        slideAt_(0) {}

  const std::uint8_t* Origin() const { return origin_; }
  std::size_t Size() const { return size_; }
  // The least position of a step that may read past the buffer.
  std::size_t SlideAt() const { return slideAt_; }
  // The lowest position held.
  std::size_t Low() const { return low_; }
  // True iff a step at p, reading up to ahead bytes on, finds them held.
  bool Holds(std::size_t p) const { return p + ahead_ <= high_ || high_ == size_; }

  // Moves the buffer so that it holds the positions from lowest on, as many
  // as fit. Returns false when the input cannot be read. Requires: low_ <=
  // lowest, and lowest is at most behind before the next step's position.
  [[nodiscard]] bool Slide(std::size_t lowest) {
    std::memmove(buffer_, buffer_ + (lowest - low_), high_ - lowest);
    low_ = lowest;
    origin_ = buffer_ - low_;
    const std::size_t end = std::min(size_, low_ + capacity_);
    if (end > high_) {
      if (!input_->ReadAt(high_, buffer_ + (high_ - low_), end - high_)) return false;
      checksum_.Add(std::span(buffer_ + (high_ - low_), end - high_));
      high_ = end;
    }
    // capacity covers behind and ahead with room to spare, so the step at p
    // fits and the next slide is some way off.
    slideAt_ = high_ == size_ ? kNoSlide : high_ - ahead_ + 1;
    return true;
  }

  // The checksum of the input read so far.
  std::uint32_t Checksum() const { return checksum_.Value(); }

 private:
  static constexpr std::size_t kNoSlide = ~std::size_t{0};

  const std::uint8_t* origin_;
  std::size_t size_;
  EncodeInput* input_ = nullptr;
  std::uint8_t* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t ahead_ = 0;
  std::size_t low_ = 0;
  std::size_t high_ = 0;
  std::size_t slideAt_ = kNoSlide;
  ChecksumAccumulator checksum_;
};

// What a streaming encode does between steps: slide the input, hand the
// output to the sink, report progress.
struct StreamIo {
  InputWindow* input;
  ByteSink* sink;
  Progress progress;
  std::size_t behind;      // positions a step may read before its own
  std::size_t drainAbove;  // stream bytes held before they go to the sink
  std::size_t readChunk;   // input bytes read at a time
};

// The held-over candidate of a step: the next-position candidate of the
// step before, when that step coded a byte.
struct HeldState {
  bool holding;
  Candidate held;
  std::uint8_t heldIndexBits;  // as held was searched
  std::uint32_t heldMaxLength;
};

// A step decided by the helper thread, with the state the step began in:
// the coder's thread takes the decision only where its own state is the
// same, so that it is the decision it would have taken itself. Kept small:
// the coder reads one for every step it follows, from the other core.
struct Record {
  enum Kind : std::uint8_t {
    kStep,
    kRunEnd,  // no decision: where the helper's stretch ended
  };
  Kind kind;
  std::uint8_t indexBits;  // as the step searched
  // The step would have decided the same without its held-over candidate:
  // it had none, or a search anew finds the same one.
  bool sameAfresh;
  bool holding;
  std::uint32_t position;
  std::uint32_t distance;  // the decision: a match, or a byte (length 0)
  std::uint32_t length;
  std::uint32_t lastOffset;
};

// The rest of a record's state, read only where the coder joins or leaves
// the helper's steps.
struct RecordDetail {
  HeldState held;
  // The next position's candidate, held over when the decision is a byte:
  // with it the state after the step is known as well.
  Candidate next;
};

// Waits for a condition that the other thread makes true: first in a short
// spin, as the other thread mostly answers within a step or two, then
// asleep, so that a thread that waits long leaves the core to others.
class Signal {
 public:
  // Wakes the waiters after the caller changed what they wait for.
  void Notify() {
    // Either a waiter sees the change, or this sees the waiter.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_relaxed) > 0) {
#ifdef _WIN32
      point_.Lock();
      sequence_.fetch_add(1, std::memory_order_seq_cst);
      point_.Unlock();
      point_.WakeAll();
#else
      sequence_.fetch_add(1, std::memory_order_seq_cst);
      sequence_.notify_all();
#endif
    }
  }

  // Waits until ready() holds.
  template <typename Ready>
  void WaitFor(Ready ready) {
    for (int spin = 0; spin < kSpins; ++spin) {
      if (ready()) return;
      Pause();
    }
    for (;;) {
#ifdef _WIN32
      // The notifier takes the lock to count on: between this ready() and
      // the sleep, which lets go of the lock, no notification is missed.
      point_.Lock();
      const std::uint32_t seen = sequence_.load(std::memory_order_seq_cst);
      sleepers_.fetch_add(1, std::memory_order_seq_cst);
      const bool done = ready();
      while (!done && sequence_.load(std::memory_order_seq_cst) == seen) point_.Sleep();
      sleepers_.fetch_sub(1, std::memory_order_seq_cst);
      point_.Unlock();
#else
      const std::uint32_t seen = sequence_.load(std::memory_order_seq_cst);
      sleepers_.fetch_add(1, std::memory_order_seq_cst);
      const bool done = ready();
      if (!done) sequence_.wait(seen, std::memory_order_seq_cst);
      sleepers_.fetch_sub(1, std::memory_order_seq_cst);
#endif
      if (done) return;
    }
  }

 private:
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }

  static constexpr int kSpins = 2000;
  std::atomic<std::uint32_t> sequence_{0};
  std::atomic<int> sleepers_{0};
#ifdef _WIN32
  // std::atomic's wait loses wake-ups in MinGW's GCC 12 (no futex there).
  win::WaitPoint point_;
#endif
};

// The two threads of an encode. The coder's thread (the caller's) decides
// and codes as on its own; the helper thread decides the steps of a stretch
// further on, with a state it guesses there, and records them. When the
// coder's steps reach a recorded step in the same state, the steps from
// there on are the recorded ones, and it only codes them until it catches
// up; then the helper jumps ahead again. So each thread decides about half
// the input. The input buffer slides only while the helper is paused.
class Helper {
 public:
  // How far beyond the coder (or beyond where it stopped) the helper starts
  // a stretch: the coder decides that much itself meanwhile.
  static constexpr std::size_t kJump = std::size_t{32} << 10;

  // Helper: true iff there is room for another record.
  bool HasRoom() const { return put_ - taken_.load(std::memory_order_acquire) < kCapacity; }
  void Put(const Record& r, const RecordDetail& detail) {
    ring_[put_ % kCapacity] = r;
    details_[put_ % kCapacity] = detail;
    ++put_;
    if (put_ - published_ >= kBatch) Publish();
  }
  // Helper: hands over every record put; done before any wait.
  void Publish() {
    if (published_ == put_) return;
    published_ = put_;
    sharedPut_.store(put_, std::memory_order_release);
    toCoder_.Notify();
  }
  bool Stopped() const { return stop_.load(std::memory_order_acquire); }
  bool PauseRequested() const { return pause_.load(std::memory_order_acquire); }
  // Helper: stays still while the coder slides the input buffer.
  void Pause() {
    Publish();
    paused_.store(true, std::memory_order_release);
    toCoder_.Notify();
    toHelper_.WaitFor([&] { return !PauseRequested() || Stopped(); });
    paused_.store(false, std::memory_order_release);
    toCoder_.Notify();
  }
  // Helper: true while the coder does without it.
  bool Resting() const { return rest_.load(std::memory_order_acquire); }
  bool JumpPending(std::uint64_t seen) const {
    return jumps_.load(std::memory_order_acquire) != seen;
  }
  // Helper: the coder's position when it asked for the jump.
  std::size_t JumpFrom() const { return jumpFrom_.load(std::memory_order_relaxed); }
  std::uint64_t Jumps() const { return jumps_.load(std::memory_order_acquire); }
  void WantSlide(bool want) { wantSlide_.store(want, std::memory_order_relaxed); }
  template <typename Ready>
  void HelperWaitFor(Ready ready) {
    Publish();
    toHelper_.WaitFor(ready);
  }
  // Helper: its position, for the coder while it is paused.
  void SetAt(std::size_t p) { helperAt_.store(p, std::memory_order_relaxed); }

  // Coder: the next record, or null when none is there yet.
  const Record* Peek() {
    if (takenLocal_ == available_) {
      available_ = sharedPut_.load(std::memory_order_acquire);
      if (takenLocal_ == available_) return nullptr;
    }
    return &ring_[takenLocal_ % kCapacity];
  }
  // Coder: the details of the record Peek returned.
  const RecordDetail& Detail() const { return details_[takenLocal_ % kCapacity]; }
  // Coder: the details of the record popped last.
  const RecordDetail& LastDetail() const { return details_[(takenLocal_ - 1) % kCapacity]; }
  void Pop() {
    ++takenLocal_;
    if (takenLocal_ % kBatch == 0 || takenLocal_ == available_) {
      // All but the last: its details may still be asked for.
      taken_.store(takenLocal_ - 1, std::memory_order_release);
      toHelper_.Notify();
    }
  }
  // Coder: asks the helper to start a new stretch beyond from.
  void RequestJump(std::size_t from) {
    jumpFrom_.store(from, std::memory_order_relaxed);
    jumps_.fetch_add(1, std::memory_order_release);
    toHelper_.Notify();
  }
  bool SlideWanted() const { return wantSlide_.load(std::memory_order_relaxed); }
  // Coder: returns once the helper stands still; until ResumeHelper it
  // reads nothing. Returns the helper's position.
  std::size_t PauseHelper() {
    pause_.store(true, std::memory_order_release);
    toHelper_.Notify();
    toCoder_.WaitFor([&] { return paused_.load(std::memory_order_acquire); });
    return helperAt_.load(std::memory_order_relaxed);
  }
  void ResumeHelper() {
    pause_.store(false, std::memory_order_release);
    toHelper_.Notify();
    toCoder_.WaitFor([&] { return !paused_.load(std::memory_order_acquire); });
  }
  // Coder: sends the helper to rest, or back to work.
  void Rest(bool rest) {
    rest_.store(rest, std::memory_order_release);
    toHelper_.Notify();
  }
  void Stop() {
    stop_.store(true, std::memory_order_release);
    toHelper_.Notify();
  }

 private:
  static constexpr std::size_t kCapacity = std::size_t{1} << 16;
  static constexpr std::size_t kBatch = 16;

  Record ring_[kCapacity];
  RecordDetail details_[kCapacity];
  // The helper's.
  alignas(64) std::uint64_t put_ = 0;
  std::uint64_t published_ = 0;
  // The coder's.
  alignas(64) std::uint64_t takenLocal_ = 0;
  std::uint64_t available_ = 0;
  // Shared, by who writes them.
  alignas(64) std::atomic<std::uint64_t> sharedPut_{0};
  std::atomic<bool> paused_{false};
  std::atomic<std::size_t> helperAt_{0};
  std::atomic<bool> wantSlide_{false};
  alignas(64) std::atomic<std::uint64_t> taken_{0};
  std::atomic<std::uint64_t> jumps_{0};
  std::atomic<std::size_t> jumpFrom_{0};
  std::atomic<bool> pause_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> rest_{false};
  alignas(64) Signal toCoder_;
  alignas(64) Signal toHelper_;
};

// The encoder of one call. Link is the type of a chain link: the distance
// to the previous position of the chain, 0 for none. 16 bits hold every
// distance of a window up to 65536 (the engine's), and halve the memory the
// walks go through.
template <typename Link>
class Encoder {
 public:
  // Requires: work, unless null, is 8-byte aligned and holds
  // WorkBytes<Link>(window, slots) bytes; without it the encoder can only
  // code decisions taken elsewhere (RunCoder). io, unless null, outlives the
  // encoder.
  Encoder(InputWindow* input, std::uint32_t window, std::uint8_t* work, std::uint64_t slots,
          BitWriter* writer, SearchMode mode, const StreamIo* io);

  // Writes the stream. With helper, takes the steps it recorded where they
  // hold.
  EncodeStatus Run(std::uint64_t growthLimit, Helper* helper);
  // The helper thread's work: decides stretches ahead of the coder and
  // records their steps, from start on, until the coder stops it.
  void HelpAhead(Helper* helper, std::size_t start);

 private:
  // What a raw block returns to.
  struct Checkpoint {
    std::size_t position;
    BitWriter::State writer;
    std::uint32_t lastOffset;
    unsigned indexBits;
    LiteralFormat format;
    std::size_t formatChosenAt;
    bool afterRawBlock;  // the writer stands before the bit that ends a raw block
  };

  Checkpoint Save(std::size_t position, bool afterRawBlock) const {
    return {position, out_->Save(),    lastOffset_,  indexBits_,
            format_,  formatChosenAt_, afterRawBlock};
  }

  // Slides the input, drains the output up to the checkpoint and reports
  // progress, as far as a streaming encode at step position p needs.
  EncodeStatus Service(std::size_t p, const Checkpoint& checkpoint);

  HeldState GetHeldState() const {
    return {holding_, held_, static_cast<std::uint8_t>(heldIndexBits_),
            static_cast<std::uint32_t>(heldMaxLength_)};
  }
  void SetHeldState(const HeldState& s) {
    holding_ = s.holding;
    held_ = s.held;
    heldIndexBits_ = s.heldIndexBits;
    heldMaxLength_ = s.heldMaxLength;
  }
  // Returns true iff a search at p or p + 1 could rate the position at
  // distance, which a step's decision then depends on as the last offset.
  bool MatchesAt(std::size_t p, std::uint64_t distance) const {
    for (const std::size_t q : {p, p + 1}) {
      if (distance <= window_ && distance <= q && in_[q - distance] == in_[q] &&
          in_[q - distance + 1] == in_[q + 1])
        return true;
    }
    return false;
  }
  // Returns the index bits the step at p works with.
  unsigned IndexBitsAt(std::size_t p) const;
  // Returns true iff the recorded step r at p, matching at most m bytes, is
  // the decision this encoder's step would take there.
  bool Joins(const Record& r, std::size_t p, std::size_t m) const;
  // Sets *chosen to the helper's recorded decision for the step at p and
  // returns true, where that holds; false where the step decides itself.
  bool Follow(std::size_t p, std::size_t m, Candidate* chosen);
  // Takes over the state after the step followed last.
  void StopFollowing();
  // Lets the helper work, or not, from the step at p on.
  void SetHelperOn(bool on, std::size_t p);
  // Times the stretch that ends at p and chooses how the next one runs.
  void ReviewHelper(std::size_t p);
  // Sets them; true iff they changed.
  bool NextIndexBits(std::size_t p);
  // The match finder's part of the step at p, matching at most m bytes:
  // returns the match to code, or no candidate for a byte.
  Candidate Decide(std::size_t p, std::size_t m);

  LiteralFormat ChooseFormat(std::size_t from) const;
  void SetFormat(LiteralFormat f);
  void ByteRule(std::size_t p);
  void WriteMatch(const Candidate& c);
  void WriteRawBlock(std::size_t from, bool continuation);

  // Brings level's chains up to p: enters every position before p that a
  // search at p can reach and that has the level's length of bytes.
  template <int level>
  void CatchUp(std::size_t p);
  // The same for level and, when level > 0, every other hashed level.
  void CatchUpAt(int level, std::size_t p);
  // One level's head table and chain links.
  struct ChainTable {
    std::uint32_t* head;
    Link* chain;
    unsigned keyBits;
  };
  ChainTable Table(int level) const { return {head_[level], chain_[level], keyBits_[level]}; }
  // Enters pos into the chain of level, whose table is table.
  template <int level>
  static void Enter(const ChainTable& table, const std::uint8_t* in, std::size_t pos,
                    std::uint64_t slotMask);
  // Returns the newest position of level's chain for key, or kNoPosition.
  std::uint32_t Head(int level, std::uint32_t key) const { return head_[level][key] - 1; }
  // Returns the newest position of the two-byte chain for the bytes at p,
  // or kNoPosition.
  std::uint32_t Newest(std::size_t p) const { return Head(0, LevelKey<0>(in_ + p, keyBits_[0])); }
  // Sets keys[level] to the key of here for every hashed level whose length
  // is at most maxLength, all at once: with the level known only at run time
  // a choice of one would be a mispredicted branch.
  void HashedKeys(const std::uint8_t* here, std::size_t maxLength, std::uint32_t* keys) const {
    [&]<std::size_t... L>(std::index_sequence<L...>) {
      ((kLevelLength[L + 1] <= maxLength
            ? keys[L + 1] = LevelKey<static_cast<int>(L) + 1>(here, keyBits_[L + 1])
            : 0),
       ...);
    }
    (std::make_index_sequence<kLevels - 1>());
  }
  // Returns the position before q in level's chain, or kNoPosition.
  std::uint32_t Previous(int level, std::uint32_t q) const {
    const std::uint32_t delta = chain_[level][q & slotMask_];
    return delta == 0 ? kNoPosition : q - delta;
  }

  // Returns the best candidate at p, matching at most maxLength bytes.
  // Requires: 2 <= maxLength, p + maxLength <= size.
  Candidate Search(std::size_t p, std::size_t maxLength);
  Candidate SearchPlain(std::size_t p, std::size_t maxLength) const;
  Candidate SearchFast(std::size_t p, std::size_t maxLength);
  class FastWalk;
  // Looks at the position d back from here as the walk does. Returns true
  // iff the search ends there.
  bool Rate(const std::uint8_t* here, std::uint64_t d, std::size_t maxLength, std::size_t* need,
            Candidate* best) const;
  // Returns true when the search at p (the position after the current one),
  // matching at most maxLength bytes, can find no candidate that the step
  // would take over current; false when it might. Leaves the coder's state
  // as it is.
  bool NextCannotWin(std::size_t p, std::size_t maxLength, const Candidate& current);
  // Returns the least distance from which no position that matches exactly
  // need bytes can gain more than bestGain, unless it lies at the last offset;
  // kNever when there is none.
  std::uint64_t SkipFrom(std::size_t need, std::int64_t bestGain) const;
  static int LevelFor(std::size_t length);
  // Returns the newest position of level's chain for the key of the bytes
  // at p that lies more than done bytes back, or one beyond the window.
  std::uint32_t FirstBeyond(int level, std::uint32_t key, std::size_t p, std::uint64_t done) const;
  // Returns how many bytes right before p equal c, at most limit, never
  // reaching before the input.
  std::size_t RunBack(const std::uint8_t* p, std::uint8_t c, std::size_t limit) const;
  std::int64_t Gain(std::uint32_t distance, std::uint32_t length) const;
  // Notes how many positions a fast search looked at, for longChains_:
  // whether the searches meet long chains and so take the longer chains
  // right after the first position. It comes on with a long chain and goes
  // off after a row of searches that found (next to) nothing, as in data
  // without matches, where the two-byte chain is cheapest to walk.
  void NoteChains(int visited) {
    constexpr int kQuietSearches = 32;
    if (visited >= kShortChain) {
      longChains_ = true;
      quietSearches_ = 0;
    } else if (visited <= 1 && ++quietSearches_ >= kQuietSearches) {
      longChains_ = false;
    }
  }

  const std::uint8_t* in_;  // in_ + p is the byte at position p
  std::size_t size_;
  std::uint32_t window_;
  InputWindow* input_;
  const StreamIo* io_;
  Helper* helper_ = nullptr;
  // Whether the helper works, and when that is weighed next. Another load
  // on the machine can leave the two threads one core: then the helper only
  // costs. So the encoder times a stretch with the helper and one without
  // now and then, and goes on the faster way.
  bool helperOn_ = false;
  std::size_t reviewAt_ = ~std::size_t{0};
  enum class Review { kWith, kWithout, kSettled } review_ = Review::kWith;
  std::size_t reviewFrom_ = 0;
  std::chrono::steady_clock::time_point reviewStart_{};
  double rateWith_ = 0;
  bool following_ = false;  // the steps are the helper's recorded ones
  Record followed_{};       // the step followed last
  std::size_t followedMaxLength_ = 0;
  bool jumpAsked_ = false;  // until the helper's stretch ends
  // The step position and stream position from which Service has work.
  std::size_t serviceAt_ = ~std::size_t{0};
  std::size_t drainAt_ = ~std::size_t{0};
  std::size_t progressAt_ = ~std::size_t{0};
  // Newest position + 1 of each key, 0 for none: the table starts as the
  // zero pages the allocator hands out, never written as a whole.
  std::uint32_t* head_[kLevels] = {};
  unsigned keyBits_[kLevels] = {};
  Link* chain_[kLevels] = {};  // distance to the previous position, by slot
  std::uint64_t slotMask_;
  // Positions below entered_[level] are in that level's chains or out of
  // reach. The longer chains are only brought up to date when a search needs
  // them, so data without long matches never pays for them.
  std::size_t entered_[kLevels] = {};
  // Short chains are cheaper to walk than to leave: the longer ones are used
  // only after this many positions, or at once while longChains_.
  static constexpr int kShortChain = 16;
  bool longChains_ = false;
  int quietSearches_ = 0;
  BitWriter* out_;
  bool plainSearch_;

  std::uint32_t lastOffset_ = kInitialLastOffset;
  unsigned indexBits_ = kInitialIndexBits;
  LiteralFormat format_;
  std::size_t formatChosenAt_ = 0;
  // The previous step's next-position candidate, when that step coded a byte
  // and so held it over for the position after; the index bits and the
  // longest match that search worked with.
  bool holding_ = false;
  Candidate held_;
  unsigned heldIndexBits_ = 0;
  std::size_t heldMaxLength_ = 0;
};

template <typename Link>
Encoder<Link>::Encoder(InputWindow* input, std::uint32_t window, std::uint8_t* work,
                       std::uint64_t slots, BitWriter* writer, SearchMode mode, const StreamIo* io)
    : in_(input->Origin()),
      size_(input->Size()),
      window_(window),
      input_(input),
      io_(io),
      slotMask_(slots - 1),
      out_(writer),
      plainSearch_(mode == SearchMode::kPlain) {
  for (int level = 0; level < kLevels && work != nullptr; ++level) {
    keyBits_[level] = LevelKeyBits(level, window);
    const std::size_t keys = std::size_t{1} << keyBits_[level];
    head_[level] = reinterpret_cast<std::uint32_t*>(work);
    work += keys * 4;
    chain_[level] = reinterpret_cast<Link*>(work);
    work += ChainBytes<Link>(slots);
  }
  if (io_ != nullptr) {
    serviceAt_ = 0;
    drainAt_ = 0;
    progressAt_ = kProgressEvery;
  }
}

template <typename Link>
EncodeStatus Encoder<Link>::Service(std::size_t p, const Checkpoint& checkpoint) {
  const std::size_t lowest = std::min(checkpoint.position, p > io_->behind ? p - io_->behind : 0);
  // The helper, ahead, asks for a slide when it reaches the buffer's end; it
  // gets one once that frees a good part of the buffer.
  const bool helperWants =
      helper_ != nullptr && helper_->SlideWanted() && lowest >= input_->Low() + io_->readChunk / 2;
  if (p >= input_->SlideAt() || helperWants) {
    bool slid = true;
    if (helper_ != nullptr) {
      // A helper behind the coder would lose the bytes it reads: send it
      // ahead before it reads again.
      if (helper_->PauseHelper() < p + Helper::kJump) helper_->RequestJump(p);
      helper_->WantSlide(false);
      slid = input_->Slide(lowest);
      helper_->ResumeHelper();
    } else {
      slid = input_->Slide(lowest);
    }
    if (!slid) return EncodeStatus::kInputFailed;
    in_ = input_->Origin();
  }
  // Only words before the checkpoint are final: a raw block rewinds to it.
  if (out_->Held() >= io_->drainAbove) {
    if (!out_->Fits()) return EncodeStatus::kNoMemory;  // the buffer was sized too small
    if (!out_->Drain(checkpoint.writer.position, *io_->sink)) return EncodeStatus::kOutputFailed;
  }
  if (p >= progressAt_) {
    io_->progress(p);
    progressAt_ = p + kProgressEvery;
  }
  serviceAt_ = std::min(input_->SlideAt(), progressAt_);
  drainAt_ = out_->Position() - out_->Held() + io_->drainAbove;
  return EncodeStatus::kOk;
}

// The rule over the bytes from `from` on (that byte included), up to 1024.
template <typename Link>
LiteralFormat Encoder<Link>::ChooseFormat(std::size_t from) const {
  const std::size_t end = std::min(size_, from + kLiteralFormatSpan);
  if (from >= end) return {8, 0};
  const auto [lo, hi] = ByteRange(in_ + from, end - from);
  const unsigned spread = hi - lo;
  if (spread >= 1 && spread <= 127) return {7, lo};
  return {8, 0};
}

template <typename Link>
void Encoder<Link>::SetFormat(LiteralFormat f) {
  if (f == format_) return;
  format_ = f;
  if (f.width == 8) {
    out_->Put((kFormatCode << 1) | 1, kFormatCodeBits + 1);
  } else {
    out_->Put((kFormatCode << 9) | f.base, kFormatCodeBits + 1 + 8);
  }
}

template <typename Link>
void Encoder<Link>::ByteRule(std::size_t p) {
  const std::uint8_t b = in_[p];
  if (b == 0) {
    out_->Put(kZeroByteCode, kZeroByteBits);
    return;
  }
  const std::size_t reach = std::min<std::size_t>({kNearCopyReach, p, window_});
  const std::size_t k = NearestEqual(in_ + p, b, reach, p);
  if (k != 0) {
    out_->Put((kNearCopyPrefix << 4) | static_cast<std::uint32_t>(k + 1), 7);
    return;
  }
  // The format's 1024 bytes normally cover every literal. Near the end the
  // steps skip the re-choice, so after a long match the format can be older;
  // a literal outside it would decode as another byte. Choosing anew here
  // keeps every stream decodable and leaves all others unchanged; it counts
  // as a choice for the 1024-byte rule.
  if (!format_.Fits(b)) {
    SetFormat(ChooseFormat(p));
    formatChosenAt_ = p;
  }
  const unsigned width = format_.width;
  const std::uint32_t x = (static_cast<std::uint32_t>(b) - format_.base) & ((1u << width) - 1);
  out_->Put((1u << width) | x, 1 + width);
}

template <typename Link>
void Encoder<Link>::WriteMatch(const Candidate& c) {
  const std::uint32_t d = c.distance;
  const std::uint32_t n = c.length;
  if (d == lastOffset_) {
    out_->Put(0b01'00, 4);  // prefix 01, gamma 2
    out_->PutGamma(n);
    return;
  }
  lastOffset_ = d;
  if (d <= kShortMatchMaxOffset && n <= kShortMatchMaxLength) {
    out_->Put((d << 2) | (n - kShortMatchMinLength), 3 + 7 + 2);
    return;
  }
  out_->Put(0b01, 2);
  out_->PutGamma((std::uint64_t{d} >> indexBits_) + 3);
  out_->Put(d & ((1u << indexBits_) - 1), indexBits_);
  out_->PutGamma(n - LengthBonus(d));
}

template <typename Link>
void Encoder<Link>::WriteRawBlock(std::size_t from, bool continuation) {
  if (continuation) {
    out_->Put(1, 1);
  } else {
    out_->Put(kRawBlockCode, kRawBlockCodeBits);
  }
  for (std::size_t i = 0; i < kRawBlockSize; i += 4) {
    const std::uint8_t* b = in_ + from + i;
    out_->Put((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                  (std::uint32_t{b[2]} << 8) | b[3],
              32);
  }
}

template <typename Link>
template <int level>
void Encoder<Link>::Enter(const ChainTable& table, const std::uint8_t* in, std::size_t pos,
                          std::uint64_t slotMask) {
  constexpr std::uint64_t kMaxDelta = std::numeric_limits<Link>::max();
  const std::uint32_t key = LevelKey<level>(in + pos, table.keyBits);
  // A distance too large for a link is beyond the window anyway. With no
  // previous position the link leads to kNoPosition.
  const std::uint64_t delta = std::uint64_t{pos} + 1 - table.head[key];
  // Without a branch: which way it goes depends on the data.
  const std::uint64_t keep = std::uint64_t{0} - static_cast<std::uint64_t>(delta <= kMaxDelta);
  table.chain[pos & slotMask] = static_cast<Link>(delta & keep);
  table.head[key] = static_cast<std::uint32_t>(pos + 1);
}

template <typename Link>
template <int level>
void Encoder<Link>::CatchUp(std::size_t p) {
  constexpr std::size_t kLength = kLevelLength[level];
  std::size_t pos = std::max<std::size_t>(entered_[level], p > window_ ? p - window_ : 0);
  const std::size_t end = size_ >= kLength ? std::min(p, size_ - kLength + 1) : 0;
  // Copies, so that the stores into the tables cannot make the loop reload
  // them.
  const ChainTable table = Table(level);
  const std::uint8_t* const in = in_;
  const std::uint64_t slotMask = slotMask_;
  for (; pos < end; ++pos) Enter<level>(table, in, pos, slotMask);
  entered_[level] = std::max(entered_[level], p);
}

template <typename Link>
void Encoder<Link>::CatchUpAt(int level, std::size_t p) {
  if (level == 0) {
    CatchUp<0>(p);
    return;
  }
  // The hashed chains are brought up together: one pass over the positions
  // shares the loop and lets the random head accesses of all of them
  // overlap. A walk that needs one of them soon needs the next ones too.
  if (entered_[1] >= p) return;
  [&]<std::size_t... L>(std::index_sequence<L...>) {
    constexpr int kLongest = kLevels - 1;
    constexpr std::size_t kLength = kLevelLength[kLongest];
    std::size_t pos = std::max<std::size_t>(entered_[1], p > window_ ? p - window_ : 0);
    const std::size_t end = size_ >= kLength ? std::min(p, size_ - kLength + 1) : 0;
    const ChainTable tables[] = {Table(static_cast<int>(L) + 1)...};
    const std::uint8_t* const in = in_;
    const std::uint64_t slotMask = slotMask_;
    for (; pos < end; ++pos) (Enter<static_cast<int>(L) + 1>(tables[L], in, pos, slotMask), ...);
    // Near the end of the input the shorter ones go on alone.
    ((entered_[L + 1] = std::max(entered_[L + 1], pos)), ...);
    (CatchUp<static_cast<int>(L) + 1>(p), ...);
  }
  (std::make_index_sequence<kLevels - 1>());
}

template <typename Link>
std::int64_t Encoder<Link>::Gain(std::uint32_t d, std::uint32_t n) const {
  std::int64_t cost;
  if (d != lastOffset_ && d <= kShortMatchMaxOffset && n <= kShortMatchMaxLength) {
    cost = kShortMatchCost;
  } else if (d == lastOffset_) {
    cost = 2 * std::int64_t{FloorLog2(n)} + kRepeatCostBias;
  } else {
    const std::uint32_t bonus = LengthBonus(d);
    if (n < bonus + 2) return 0;
    cost = kLongMatchBaseCost + 2 * std::int64_t{FloorLog2((std::uint64_t{d} >> indexBits_) + 3)} +
           2 * std::int64_t{FloorLog2(n - bonus)};
  }
  const std::int64_t gain = kBitsPerByte * std::int64_t{n} + kGainBias - cost;
  return gain > 0 ? gain : 0;
}

template <typename Link>
std::uint64_t Encoder<Link>::SkipFrom(std::size_t need, std::int64_t bestGain) const {
  // Where the length bonus leaves less than 2, a long match of that length
  // is no candidate at all.
  const std::uint64_t from = NoCandidateFrom(need);
  // Lower bounds of the cost of a length of need: kShortMatchCost for a
  // short match, else kLongMatchBaseCost + 2 floor(log2((d >> index bits) +
  // 3)) + t, where t bounds 2 floor(log2(need - bonus)) with the largest
  // bonus and is at least 2 for any candidate.
  const std::int64_t target = kBitsPerByte * static_cast<std::int64_t>(need) + kGainBias - bestGain;
  const bool shortPossible = need <= kShortMatchMaxLength;
  if (shortPossible && target <= kShortMatchCost) return 1;
  const std::int64_t t =
      2 * std::int64_t{FloorLog2(need >= kMostBonus + 2 ? need - kMostBonus : 2)};
  const std::int64_t rest = target - kLongMatchBaseCost - t;  // still needed from 2 floor(log2(x))
  const std::int64_t k = rest <= 2 ? 1 : (rest + 1) / 2;      // floor(log2(x)) >= k
  std::uint64_t fromCost;
  if (k <= 1) {
    fromCost = 1;  // x >= 3 always
  } else if (k + indexBits_ >= 63) {
    fromCost = kNever;
  } else {
    fromCost = ((std::uint64_t{1} << k) - 3) << indexBits_;
  }
  if (shortPossible) fromCost = std::max<std::uint64_t>(fromCost, kShortMatchMaxOffset + 1);
  return std::min(from, fromCost);
}

template <typename Link>
int Encoder<Link>::LevelFor(std::size_t length) {
  // A table, not a loop: the length changes from search to search and a
  // loop's exit would be mispredicted.
  static constexpr auto kLevelOf = [] {
    std::array<std::int8_t, kLevelLength[kLevels - 1] + 1> table{};
    for (std::size_t n = 0; n < table.size(); ++n) {
      int level = 0;
      while (level + 1 < kLevels && kLevelLength[level + 1] <= n) ++level;
      table[n] = static_cast<std::int8_t>(level);
    }
    return table;
  }();
  return kLevelOf[std::min(length, kLevelOf.size() - 1)];
}

template <typename Link>
Candidate Encoder<Link>::Search(std::size_t p, std::size_t maxLength) {
  CatchUp<0>(p);
  return plainSearch_ ? SearchPlain(p, maxLength) : SearchFast(p, maxLength);
}

// The search as the finder defines it: every position of the two-byte
// chain, newest first.
template <typename Link>
Candidate Encoder<Link>::SearchPlain(std::size_t p, std::size_t maxLength) const {
  Candidate best;
  std::size_t need = 2;
  const std::uint8_t* here = in_ + p;
  for (std::uint32_t q = Newest(p);; q = Previous(0, q)) {
    // Reading: within the window is taken as 1 to window bytes back, the
    // window's own distance included: a window of w bytes holds the w bytes
    // before p, and an offset may name any of them.
    const std::uint64_t d = std::uint64_t{p} - q;  // kNoPosition: beyond any window
    if (d > window_) break;
    if (Rate(here, d, maxLength, &need, &best)) break;
  }
  best.reach = static_cast<std::uint32_t>(need);
  return best;
}

template <typename Link>
bool Encoder<Link>::Rate(const std::uint8_t* here, std::uint64_t d, std::size_t maxLength,
                         std::size_t* need, Candidate* best) const {
  const std::uint8_t* there = here - d;
  if (there[*need - 1] != here[*need - 1]) return false;
  const std::size_t n = MatchLength(there, here, maxLength);
  if (n < *need) return false;
  // Reading: a position counts as rated once measured, also when it comes
  // out as no candidate (gain 0), rather than only as a candidate: need
  // rises with every position measured, and later positions must match at
  // least as far. So which positions are rated depends on the input alone,
  // never on the coder's state.
  *need = n;
  // Each position is in the chain once, so the walk never offers the same
  // distance and length twice in a row; that end of a search never comes.
  const std::int64_t gain = Gain(static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(n));
  if (gain <= best->gain) return false;
  *best = {static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(n), gain};
  return d == 1 && n > kDistanceOneStopLength;
}

// The same result as SearchPlain, without looking at most positions. A
// position changes the outcome only when it matches further than any before
// (it raises need) or matches exactly as far with a higher gain. So, once
// chains prove long, the walk follows the chain of the longest prefix that
// all such positions share: need bytes, or need + 1 from where SkipFrom says
// that no position of length need gains more. Any chain it follows holds all
// such positions in the same order. The position at the last offset, whose
// code is cheaper than any bound allows for, is looked at on its own in its
// place in the order. Runs of one byte are passed as a whole where they
// cannot reach the length that counts.
//
// The walk's state and its steps; SearchFast strings them together.
template <typename Link>
class Encoder<Link>::FastWalk {
 public:
  // What a step leaves the walk to do.
  enum class Flow { kOn, kNextPosition, kEnd };

  FastWalk(Encoder& e, std::size_t p, std::size_t maxLength)
      : e_(e),
        p_(p),
        here_(e.in_ + p),
        maxLength_(maxLength),
        repeatD_(e.lastOffset_),
        walked_(e.longChains_ ? kShortChain : 0) {}

  // Looks at the newest position with the same first two bytes: kEnd when
  // the search ends there, kNextPosition when there is none, else kOn.
  Flow Begin();
  // Passes the positions of a long chain that fail the one-byte test and
  // change nothing else.
  void PassMismatches();
  // From skipFrom on, positions of length need gain no more: asks for need
  // + 1 bytes. *d is the distance of the position next in turn.
  Flow RaiseFloor(std::uint64_t* d);
  // Looks at the position at the last offset when its turn in the order
  // comes before d's.
  Flow LookAtLastOffset(std::uint64_t d);
  // Passes a run of one byte at d that cannot reach the length that counts.
  // Sets *restOfRun when the rest of it goes with d's position.
  Flow PassRun(std::uint64_t d, bool* restOfRun);
  // Looks at the position d back, the next one in the chain.
  Flow LookAtNext(std::uint64_t d, bool restOfRun);

  // The distance of the next position; kNever when only the last offset is
  // left.
  std::uint64_t NextDistance() const {
    if (floor_ > maxLength_) return kNever;
    return std::uint64_t{p_} - q_;  // kNoPosition: beyond any window
  }
  Candidate Result() {
    best_.reach = static_cast<std::uint32_t>(need_);
    return best_;
  }
  int visited() const { return visited_; }

 private:
  // The keys of here in the hashed chains, worked out together when the
  // walk first leaves the two-byte chain. Only levels that fit maxLength
  // are ever asked for.
  std::uint32_t KeyOf(int wanted) {
    if (!haveKeys_) {
      haveKeys_ = true;
      e_.HashedKeys(here_, maxLength_, keys_);
    }
    return keys_[wanted];
  }
  // Moves the walk onto the longest chain that floor allows; at, unless
  // kNoPosition, is the position just dealt with and matched need bytes.
  // Returns true iff it moved.
  bool MoveTo(std::uint32_t at);
  // Looks at the position d back. Returns true iff the search ends there;
  // sets *changed when need or the best gain changed.
  bool Look(std::uint64_t d, bool* changed);
  // Moves q back past back more positions of a run, d back; never follows
  // a link from beyond the window, which may be stale.
  void PassBack(std::uint64_t d, std::size_t back) {
    done_ = d + back;
    q_ = done_ <= e_.window_ ? e_.Previous(level_, static_cast<std::uint32_t>(q_ - back))
                             : kNoPosition;
  }

  Encoder& e_;
  const std::size_t p_;
  const std::uint8_t* const here_;
  const std::size_t maxLength_;
  Candidate best_;
  std::size_t need_ = 2;
  const std::uint64_t repeatD_;
  bool repeatPending_ = false;
  std::size_t run_ = 0;  // bytes equal to here[0] from here on, when two or more
  std::uint32_t keys_[kLevels] = {};
  bool haveKeys_ = false;
  int level_ = 0;
  std::uint32_t newest_ = kNoPosition;
  std::uint32_t q_ = kNoPosition;  // next position to look at
  std::uint64_t done_ = 0;         // distance of the last one dealt with
  // SkipFrom(2, 0), whatever the index bits.
  std::uint64_t skipFrom_ = NoCandidateFrom(2);
  // Positions that match fewer bytes change nothing: need, or need + 1 from
  // skipFrom on, and never fewer than least.
  std::size_t least_ = 2;
  std::size_t floor_ = 2;
  int walked_;       // counts towards kShortChain
  int visited_ = 0;  // positions looked at in this search
};

template <typename Link>
bool Encoder<Link>::FastWalk::MoveTo(std::uint32_t at) {
  const int wanted = LevelFor(std::min(floor_, maxLength_));
  if (wanted <= level_) return false;
  level_ = wanted;
  e_.CatchUpAt(level_, p_);
  // `at` stands in every chain up to the length it matched.
  q_ = at != kNoPosition && kLevelLength[level_] <= need_
           ? e_.Previous(level_, at)
           : e_.FirstBeyond(level_, KeyOf(level_), p_, done_);
  return true;
}

template <typename Link>
bool Encoder<Link>::FastWalk::Look(std::uint64_t d, bool* changed) {
  const std::size_t needBefore = need_;
  const std::int64_t gainBefore = best_.gain;
  if (e_.Rate(here_, d, maxLength_, &need_, &best_)) return true;
  *changed = need_ != needBefore || best_.gain != gainBefore;
  if (*changed) {
    skipFrom_ = e_.SkipFrom(need_, best_.gain);
    floor_ = std::max(skipFrom_ <= d + 1 ? need_ + 1 : need_, least_);
  }
  return false;
}

template <typename Link>
typename Encoder<Link>::FastWalk::Flow Encoder<Link>::FastWalk::Begin() {
  // The newest position with the same first two bytes. When there is none,
  // no position can match, the last offset's included: nothing to find.
  newest_ = e_.Newest(p_);
  // Where the data has few matches, the next search is most often one byte
  // on, and its head is a cache miss of its own: fetch it now.
  if (maxLength_ >= 3) __builtin_prefetch(&e_.head_[0][LevelKey<0>(here_ + 1, e_.keyBits_[0])]);
  if (std::uint64_t{p_} - newest_ > e_.window_) return Flow::kNextPosition;  // none in the window
  if (repeatD_ <= e_.window_ && repeatD_ <= p_) {
    const std::uint8_t* there = here_ - repeatD_;
    repeatPending_ = there[0] == here_[0] && there[1] == here_[1];
  }
  run_ = here_[0] == here_[1] ? RunLength(here_, here_[0], maxLength_) : 0;

  // The newest position with the same two bytes comes first in the walk. No
  // later position that matches only two bytes gains more than it: short
  // matches cost the same, long ones below NoCandidateFrom(2) no less, and
  // from there two bytes are no candidate. Only the position at the last offset, whose
  // code is cheaper, can, and it is looked at apart. So after the newest one
  // the walk needs three bytes.
  const std::uint64_t d = std::uint64_t{p_} - newest_;
  done_ = d;
  ++walked_;
  ++visited_;
  if (d == repeatD_) repeatPending_ = false;
  bool changed = false;
  if (Look(d, &changed)) return Flow::kEnd;
  least_ = 3;
  floor_ = std::max(floor_, least_);
  // A short two-byte chain is walked on as it is; a long one is left for
  // the chain that floor allows.
  if (walked_ >= kShortChain) level_ = LevelFor(std::min(floor_, maxLength_));
  e_.CatchUpAt(level_, p_);
  // The newest position stands in every chain up to the length it matched.
  q_ = kLevelLength[level_] <= need_ ? e_.Previous(level_, newest_)
                                     : e_.FirstBeyond(level_, KeyOf(level_), p_, done_);
  return Flow::kOn;
}

template <typename Link>
void Encoder<Link>::FastWalk::PassMismatches() {
  // Most positions of a long chain fail the one-byte test below and change
  // nothing else. Pass them in a tight loop as long as none of the other
  // cases can come up: no run here, the walk past its first positions, and
  // short of the distance where skipFrom, the last offset or the window
  // ends. The position at the last offset is tested with floor here, not
  // need: it is only passed here when its first two bytes differ, and then
  // it matches fewer than need bytes anyway.
  if (run_ >= 2 || walked_ < kShortChain || floor_ > maxLength_) return;
  std::uint64_t limit = e_.window_;
  if (floor_ == need_) limit = std::min(limit, skipFrom_ - 1);
  if (repeatPending_) limit = std::min(limit, repeatD_ - 1);
  const std::uint8_t* const probe = here_ + floor_ - 1;
  const std::uint8_t wanted = *probe;
  const Link* const chain = e_.chain_[level_];
  const std::uint64_t slotMask = e_.slotMask_;
  std::uint32_t q = q_;
  for (;;) {
    const std::uint64_t d = std::uint64_t{p_} - q;  // kNoPosition: beyond any window
    if (d > limit || probe[-static_cast<std::ptrdiff_t>(d)] == wanted) break;
    done_ = d;
    ++walked_;
    ++visited_;
    const Link delta = chain[q & slotMask];
    if (delta == 0) {
      q = kNoPosition;
      break;
    }
    q -= delta;
  }
  q_ = q;
}

template <typename Link>
typename Encoder<Link>::FastWalk::Flow Encoder<Link>::FastWalk::RaiseFloor(std::uint64_t* d) {
  if (floor_ != need_ || *d < skipFrom_ || *d > e_.window_) return Flow::kOn;
  floor_ = need_ + 1;
  if (walked_ >= kShortChain && MoveTo(kNoPosition)) return Flow::kNextPosition;
  if (floor_ > maxLength_) *d = kNever;
  return Flow::kOn;
}

template <typename Link>
typename Encoder<Link>::FastWalk::Flow Encoder<Link>::FastWalk::LookAtLastOffset(std::uint64_t d) {
  if (!repeatPending_ || d < repeatD_) return Flow::kOn;
  repeatPending_ = false;
  if (d == repeatD_) return Flow::kOn;  // in this chain: looked at in its turn
  // Not in this chain: its turn is now.
  done_ = repeatD_;
  bool changed = false;
  if (Look(repeatD_, &changed)) return Flow::kEnd;
  if (changed && walked_ >= kShortChain) MoveTo(static_cast<std::uint32_t>(p_ - repeatD_));
  return Flow::kNextPosition;
}

template <typename Link>
typename Encoder<Link>::FastWalk::Flow Encoder<Link>::FastWalk::PassRun(std::uint64_t d,
                                                                        bool* restOfRun) {
  const std::uint8_t* there = here_ - d;
  if (run_ < 2 || there[0] != here_[0] || kLevelLength[level_] > run_ || d == repeatD_) {
    return Flow::kOn;
  }
  // Both stand in runs of one byte. Going back through the run at q, each
  // position matches one byte further up to the run here, and once its own
  // run is longer, exactly as far as the run here. Positions that match
  // less than floor change nothing and are passed without a look.
  const std::size_t want = std::min(floor_, run_);
  const std::size_t runThere = RunLength(there, here_[0], run_ + 1);
  std::size_t skip = 0;  // positions to pass, q included
  bool wholeRun = false;
  if (runThere < kLevelLength[level_]) {
    // q only shares the hash of the chain's prefix. It matches less than
    // that prefix, and the run at q may leave the chain: no jump.
  } else if (runThere < want) {
    skip = want - runThere;
  } else if (runThere > run_ && run_ < floor_) {
    wholeRun = true;
  } else if (runThere == run_ && run_ < floor_) {
    // q's run ends where the run here does: q is looked at next, and the
    // rest of its run, further back, is passed with it.
    *restOfRun = true;
  }
  if (skip == 0 && !wholeRun) return Flow::kOn;
  const std::size_t back = e_.RunBack(there, here_[0], wholeRun ? e_.window_ : skip);
  if (!wholeRun && back >= skip) {
    q_ -= static_cast<std::uint32_t>(skip);
    done_ = d + skip - 1;
  } else {
    // Past the start of the run, which stands in the chain as well.
    PassBack(d, back);
  }
  return Flow::kNextPosition;
}

template <typename Link>
typename Encoder<Link>::FastWalk::Flow Encoder<Link>::FastWalk::LookAtNext(std::uint64_t d,
                                                                           bool restOfRun) {
  const std::uint8_t* there = here_ - d;
  done_ = d;
  ++walked_;
  ++visited_;
  bool changed = false;
  // The position at the last offset counts with need bytes, whatever floor.
  const std::size_t atLeast = d == repeatD_ ? need_ : floor_;
  if (there[atLeast - 1] == here_[atLeast - 1] && Look(d, &changed)) return Flow::kEnd;
  if ((changed && walked_ >= kShortChain) || walked_ == kShortChain) {
    // q matched need bytes when it changed something.
    if (MoveTo(changed ? q_ : kNoPosition)) return Flow::kNextPosition;
  }
  if (restOfRun && !changed) {
    // Each position further back in q's run matches exactly the run here,
    // fewer than floor bytes.
    const std::size_t back = e_.RunBack(there, here_[0], e_.window_);
    if (back > 0) {
      PassBack(d, back);
      return Flow::kNextPosition;
    }
  }
  q_ = e_.Previous(level_, q_);
  return Flow::kOn;
}

template <typename Link>
Candidate Encoder<Link>::SearchFast(std::size_t p, std::size_t maxLength) {
  using Flow = typename FastWalk::Flow;
  FastWalk walk(*this, p, maxLength);
  const Flow begun = walk.Begin();
  if (begun == Flow::kEnd) return walk.Result();
  if (begun == Flow::kOn) {
    for (;;) {
      walk.PassMismatches();
      std::uint64_t d = walk.NextDistance();
      if (walk.RaiseFloor(&d) == Flow::kNextPosition) continue;
      const Flow last = walk.LookAtLastOffset(d);
      if (last == Flow::kEnd) break;
      if (last == Flow::kNextPosition) continue;
      if (d > window_) break;
      bool restOfRun = false;
      if (walk.PassRun(d, &restOfRun) == Flow::kNextPosition) continue;
      if (walk.LookAtNext(d, restOfRun) == Flow::kEnd) break;
    }
  }
  NoteChains(walk.visited());
  return walk.Result();
}

template <typename Link>
bool Encoder<Link>::NextCannotWin(std::size_t p, std::size_t maxLength, const Candidate& current) {
  // The next candidate wins with a gain g when g - 3 > current.gain (g >= 3)
  // or g > current.gain (g < 3). Below a current gain of 2 only the second
  // can hold, so beating current.gain is what counts there.
  const std::int64_t threshold =
      current.gain >= 2 ? current.gain + kNextPositionPenalty : current.gain;
  const std::uint8_t* const here = in_ + p;
  // The last offset's code is the cheapest: look at it on its own.
  const std::uint64_t repeatD = lastOffset_;
  if (repeatD <= window_ && repeatD <= p) {
    const std::size_t n = MatchLength(here - repeatD, here, maxLength);
    if (n >= 2 &&
        Gain(static_cast<std::uint32_t>(repeatD), static_cast<std::uint32_t>(n)) > threshold)
      return false;
  }
  // Any other code needs least bytes to gain more than threshold. Rate
  // every position of the window that matches that far.
  // The cheapest code, a short match's, gains more than threshold only from
  // this many bytes on.
  std::size_t least = std::max<std::size_t>(
      2, static_cast<std::size_t>(threshold + kShortMatchCost - kGainBias) / kBitsPerByte + 1);
  while (least <= maxLength && MostGain(least) <= threshold) ++least;
  if (least > maxLength) return true;
  // The hashed chains only when they are kept up to date anyway: in data
  // with few matches, bringing them up would cost more than this saves.
  constexpr std::size_t kMostBehind = 256;
  int level = LevelFor(least);
  if (level > 0 && entered_[1] + kMostBehind < p) level = 0;
  CatchUp<0>(p);
  CatchUpAt(level, p);
  const std::uint8_t wanted = here[least - 1];
  // A walk this long is not worth it: the search will do.
  constexpr int kMostLooks = 64;
  std::uint32_t q = Newest(p);
  if (level > 0) {
    std::uint32_t keys[kLevels] = {};
    HashedKeys(here, maxLength, keys);
    q = Head(level, keys[level]);
  }
  for (int looks = 0; looks < kMostLooks; ++looks) {
    const std::uint64_t d = std::uint64_t{p} - q;  // kNoPosition: beyond any window
    if (d > window_) return true;
    const std::uint8_t* there = here - d;
    if (there[least - 1] == wanted) {
      const std::size_t n = MatchLength(there, here, maxLength);
      if (n >= least &&
          Gain(static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(n)) > threshold) {
        return false;
      }
    }
    q = Previous(level, q);
  }
  return false;
}

template <typename Link>
std::uint32_t Encoder<Link>::FirstBeyond(int level, std::uint32_t key, std::size_t p,
                                         std::uint64_t done) const {
  std::uint32_t q = Head(level, key);
  // Links of positions beyond the window may be stale: never follow those.
  while (q != kNoPosition && std::uint64_t{p} - q <= std::min<std::uint64_t>(done, window_)) {
    q = Previous(level, q);
  }
  return q;
}

template <typename Link>
std::size_t Encoder<Link>::RunBack(const std::uint8_t* p, std::uint8_t c, std::size_t limit) const {
  limit = std::min<std::size_t>(limit, p - in_);
  const std::uint64_t pattern = 0x0101010101010101ULL * c;
  std::size_t n = 0;
  for (; n + 8 <= limit; n += 8) {
    const std::uint64_t diff = LoadNative64(p - n - 8) ^ pattern;
    if (diff != 0) {
      const int bits = std::endian::native == std::endian::little ? std::countl_zero(diff)
                                                                  : std::countr_zero(diff);
      return n + static_cast<std::size_t>(bits) / 8;
    }
  }
  while (n < limit && p[-1 - static_cast<std::ptrdiff_t>(n)] == c) ++n;
  return n;
}

template <typename Link>
unsigned Encoder<Link>::IndexBitsAt(std::size_t p) const {
  // r is capped by the window (after its clamping), so with the engine's
  // 65536 the index bits never reach 10.
  const std::size_t r = std::min<std::size_t>(p, window_);
  return r > kIndexBits10Above ? 10 : r > kIndexBits9Above ? 9 : indexBits_;
}

template <typename Link>
bool Encoder<Link>::NextIndexBits(std::size_t p) {
  const unsigned indexBits = IndexBitsAt(p);
  if (indexBits == indexBits_) return false;
  indexBits_ = indexBits;
  return true;
}

template <typename Link>
Candidate Encoder<Link>::Decide(std::size_t p, std::size_t m) {
  const Candidate current = holding_ ? held_ : Search(p, m);
  // Reading: a match is worth taking when it gains at least 8 - literal
  // width bits. That is taken as any candidate at all: every candidate gains
  // more than 0 (Rate takes only gains above the best so far, which starts
  // at 0), so it passes with either width, and the decision does not depend
  // on the literal format.
  const bool currentWorthIt = static_cast<bool>(current);
  // When the match is taken, the next position's candidate only had to
  // lose to it. Proving that it must lose is cheaper than finding it.
  const bool nextLoses = currentWorthIt && !plainSearch_ && NextCannotWin(p + 1, m - 1, current);
  const Candidate next = nextLoses ? Candidate{} : Search(p + 1, m - 1);
  // Coding a byte first costs about that much; the held-over candidate
  // gets it back, as it is kept with its full gain.
  constexpr std::int64_t penalty = kNextPositionPenalty;
  const std::int64_t nextGain = next.gain >= penalty ? next.gain - penalty : next.gain;
  if ((next && nextGain > current.gain) || !currentWorthIt) {
    holding_ = true;
    held_ = next;
    heldIndexBits_ = indexBits_;
    heldMaxLength_ = m - 1;
    return {};
  }
  holding_ = false;
  return current;
}

template <typename Link>
EncodeStatus Encoder<Link>::Run(std::uint64_t growthLimit, Helper* helper) {
  {
    const LiteralFormat first = ChooseFormat(0);
    SetFormat(first);  // always written: it is the first code of every stream
    formatChosenAt_ = 0;
  }
  std::size_t p = 0;
  if (size_ > 0) {
    ByteRule(0);
    p = 1;
  }
  // Reading: the first checkpoint is taken after the first byte, where the
  // steps begin, rather than after the literal-format code: the first byte
  // is no step, and the raw-block rule weighs what the steps consumed.
  Checkpoint checkpoint = Save(p, false);
  // Reading: a next position without candidate is held over as such rather
  // than searched again, so every position is searched once; the step after
  // then has no current candidate and codes a byte.
  holding_ = false;
  bool chooseFormat = false;
  helper_ = helper;
  if (helper_ != nullptr) {
    helperOn_ = true;
    reviewAt_ = kReviewStretch;
    reviewStart_ = std::chrono::steady_clock::now();
  }

  while (p < size_) {
    const std::size_t m = std::min<std::size_t>(window_ - 1, size_ - p);
    if (m <= 3) {
      if (p >= serviceAt_ || out_->Position() >= drainAt_) {
        if (const EncodeStatus s = Service(p, checkpoint); s != EncodeStatus::kOk) return s;
      }
      ByteRule(p);
      ++p;
      holding_ = false;
    } else {
      if (p >= serviceAt_ || out_->Position() >= drainAt_ ||
          (helper_ != nullptr && io_ != nullptr && helper_->SlideWanted())) {
        if (const EncodeStatus s = Service(p, checkpoint); s != EncodeStatus::kOk) return s;
      }
      if (chooseFormat || p - formatChosenAt_ >= kLiteralFormatSpan) {
        chooseFormat = false;
        SetFormat(ChooseFormat(p));
        formatChosenAt_ = p;
      }
      if (NextIndexBits(p)) {
        out_->Put(kIndexBitsCode, kIndexBitsCodeBits);
        out_->Put(indexBits_, 4);
      }
      if (p >= reviewAt_) ReviewHelper(p);
      Candidate chosen;
      if (!helperOn_ || !Follow(p, m, &chosen)) chosen = Decide(p, m);
      if (!chosen) {
        ByteRule(p);
        ++p;
      } else {
        WriteMatch(chosen);
        p += chosen.length;
      }
    }

    // Reading: the output is measured in whole words written, header
    // included, rather than in bits: the bits of the word being filled do
    // not count yet, as a stream only ever grows by whole words. Codes
    // written in a step before its last one move no input, so testing after
    // the step's last code is the same as after each.
    if (out_->Position() > growthLimit) return EncodeStatus::kGrew;
    // Reading: written and consumed are compared in bytes, written again in
    // whole words; a raw block replaces the codes only when strictly more
    // was written, not when as much: a block of equal size saves nothing.
    const std::size_t consumed = p - checkpoint.position;
    if (consumed < kRawBlockSize) continue;
    if (out_->Position() - checkpoint.writer.position <= consumed) {
      checkpoint = Save(p, false);
      continue;
    }
    // The codes since the checkpoint took more room than the bytes: store
    // the next 256 bytes as they are instead. Reading: the match finder is
    // no part of the checkpoint: what it has entered stays rather than being
    // taken back, and no position is entered twice, as the block reaches as
    // far as the searches did.
    p = checkpoint.position;
    out_->Restore(checkpoint.writer);
    lastOffset_ = checkpoint.lastOffset;
    indexBits_ = checkpoint.indexBits;
    format_ = checkpoint.format;
    formatChosenAt_ = checkpoint.formatChosenAt;
    WriteRawBlock(p, checkpoint.afterRawBlock);
    p += kRawBlockSize;
    // The checkpoint stands before the bit that ends the block, so that a
    // raw block from here turns that bit into a continuation.
    checkpoint = Save(p, true);
    out_->Put(0, 1);
    chooseFormat = true;
    holding_ = false;
    following_ = false;
  }

  out_->Put(kEndCode, kEndCodeBits);
  if (out_->Position() > growthLimit) return EncodeStatus::kGrew;
  out_->Finish();
  return EncodeStatus::kOk;
}

template <typename Link>
bool Encoder<Link>::Joins(const Record& r, std::size_t p, std::size_t m) const {
  if (r.indexBits != indexBits_) return false;
  // The held-over candidates, or a held one and a search anew, must agree.
  bool sameCurrent;
  if (holding_ == r.holding) {
    const Candidate& held = helper_->Detail().held.held;
    sameCurrent = !holding_ || (held_.distance == held.distance && held_.length == held.length &&
                                held_.gain == held.gain);
  } else if (!holding_) {
    sameCurrent = r.sameAfresh;
  } else {
    sameCurrent =
        heldIndexBits_ == indexBits_ && (heldMaxLength_ == m || held_.reach < heldMaxLength_);
  }
  if (!sameCurrent) return false;
  // With another last offset the searches at p and p + 1 come out the same
  // as long as neither offset matches there.
  return r.lastOffset == lastOffset_ || (!MatchesAt(p, r.lastOffset) && !MatchesAt(p, lastOffset_));
}

template <typename Link>
bool Encoder<Link>::Follow(std::size_t p, std::size_t m, Candidate* chosen) {
  const Record* r;
  for (;;) {
    r = helper_->Peek();
    if (r == nullptr) {
      // Caught up with the helper: the steps go on from the state after the
      // last one followed, and the helper goes ahead.
      if (following_) StopFollowing();
      if (!jumpAsked_) {
        helper_->RequestJump(p);
        jumpAsked_ = true;
      }
      return false;
    }
    if (r->kind == Record::kRunEnd) jumpAsked_ = false;
    if (r->position >= p) break;
    // Behind the coder: of no more use, and the helper should go ahead.
    if (r->kind == Record::kStep && !jumpAsked_) {
      helper_->RequestJump(p);
      jumpAsked_ = true;
    }
    helper_->Pop();
  }
  if (r->kind != Record::kStep || r->position != p) {
    // Ahead of the coder's steps: it decides itself until it reaches them.
    if (following_) StopFollowing();
    return false;
  }
  if (following_) {
    // The last offsets differ since a raw block until a match: each step
    // must not depend on them.
    if (r->lastOffset != lastOffset_ &&
        (MatchesAt(p, r->lastOffset) || MatchesAt(p, lastOffset_))) {
      SetHeldState(helper_->Detail().held);
      following_ = false;
      helper_->Pop();
      return false;
    }
  } else if (!Joins(*r, p, m)) {
    helper_->Pop();
    return false;
  }
  following_ = true;
  followed_ = *r;
  followedMaxLength_ = m;
  *chosen = {r->distance, r->length, 0, 0};
  helper_->Pop();
  return true;
}

template <typename Link>
void Encoder<Link>::SetHelperOn(bool on, std::size_t p) {
  if (on == helperOn_) return;
  helperOn_ = on;
  if (on) {
    // Its stretch lies behind: a new one ahead, before it reads again.
    helper_->RequestJump(p);
    jumpAsked_ = true;
  } else if (following_) {
    StopFollowing();
  }
  helper_->Rest(!on);
}

template <typename Link>
void Encoder<Link>::ReviewHelper(std::size_t p) {
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - reviewStart_).count();
  const double rate = static_cast<double>(p - reviewFrom_) / std::max(seconds, 1e-9);
  switch (review_) {
    case Review::kWith:
      rateWith_ = rate;
      review_ = Review::kWithout;
      SetHelperOn(false, p);
      reviewAt_ = p + kReviewStretch;
      break;
    case Review::kWithout:
      review_ = Review::kSettled;
      // The helper costs a second core: it must be clearly faster, not by
      // the noise of a shared machine.
      SetHelperOn(rateWith_ > kHelperMargin * rate, p);
      reviewAt_ = p + kSettledStretch;
      break;
    case Review::kSettled:
      review_ = Review::kWith;
      SetHelperOn(true, p);
      reviewAt_ = p + kReviewStretch;
      break;
  }
  reviewFrom_ = p;
  reviewStart_ = now;
}

template <typename Link>
void Encoder<Link>::StopFollowing() {
  following_ = false;
  // The state after the step followed last, as its Decide left it.
  holding_ = followed_.length == 0;
  if (holding_) {
    held_ = helper_->LastDetail().next;
    heldIndexBits_ = followed_.indexBits;
    heldMaxLength_ = followedMaxLength_ - 1;
  }
}

template <typename Link>
void Encoder<Link>::HelpAhead(Helper* helper, std::size_t start) {
  std::uint64_t jumpsSeen = 0;
  std::size_t p = start;
  holding_ = false;
  bool ended = false;  // the stretch's last record is put
  auto endStretch = [&] {
    Record r{};
    r.kind = Record::kRunEnd;
    r.position = static_cast<std::uint32_t>(std::min(p, size_));
    r.lastOffset = lastOffset_;
    helper->Put(r, {});
    helper->Publish();
  };
  auto told = [&] {
    return helper->Stopped() || helper->PauseRequested() || helper->JumpPending(jumpsSeen);
  };
  for (;;) {
    if (helper->Stopped()) return;
    if (helper->PauseRequested()) {
      helper->SetAt(p);
      helper->Pause();
      in_ = input_->Origin();
      continue;
    }
    if (helper->Resting()) {
      helper->HelperWaitFor(
          [&] { return helper->Stopped() || helper->PauseRequested() || !helper->Resting(); });
      continue;
    }
    if (!helper->HasRoom()) {
      helper->HelperWaitFor(
          [&] { return helper->Stopped() || helper->PauseRequested() || helper->HasRoom(); });
      continue;
    }
    if (helper->JumpPending(jumpsSeen)) {
      jumpsSeen = helper->Jumps();
      if (!ended) endStretch();
      ended = false;
      // A new stretch, its state guessed: no held-over candidate, the last
      // offset as it was.
      p = std::max(p, helper->JumpFrom()) + Helper::kJump;
      holding_ = false;
      continue;
    }
    if (ended || p >= size_ || std::min<std::size_t>(window_ - 1, size_ - p) <= 3) {
      // The last steps code their bytes without a search.
      if (!ended) endStretch();
      ended = true;
      helper->HelperWaitFor(told);
      continue;
    }
    if (!input_->Holds(p)) {
      helper->WantSlide(true);
      helper->HelperWaitFor(told);
      continue;
    }
    const std::size_t m = std::min<std::size_t>(window_ - 1, size_ - p);
    NextIndexBits(p);
    Record r{};
    r.kind = Record::kStep;
    r.position = static_cast<std::uint32_t>(p);
    r.lastOffset = lastOffset_;
    r.holding = holding_;
    RecordDetail detail{};
    detail.held = GetHeldState();
    r.indexBits = static_cast<std::uint8_t>(indexBits_);
    // A search anew at p differs from the held one only by the index bits
    // or by a larger maxLength that some position reached.
    r.sameAfresh = !holding_ || (heldIndexBits_ == indexBits_ &&
                                 (heldMaxLength_ == m || held_.reach < heldMaxLength_));
    const Candidate chosen = Decide(p, m);
    r.distance = chosen.distance;
    r.length = chosen.length;
    if (!chosen) detail.next = held_;
    helper->Put(r, detail);
    if (chosen) {
      lastOffset_ = chosen.distance;
      p += chosen.length;
    } else {
      ++p;
    }
  }
}

// Returns the window Encode works with: raised to at least kMinWindow, then
// lowered to at most the input length.
std::uint32_t EffectiveWindow(std::uint32_t window, std::uint64_t size) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::max(window, kMinWindow), size));
}

void WriteHeader(std::uint8_t* out, std::uint32_t length, std::uint32_t checksum) {
  out[kSignatureOffset] = kSignature[0];
  out[kSignatureOffset + 1] = kSignature[1];
  StoreLe32(out + kLengthOffset, length);
  StoreLe32(out + kChecksumOffset, checksum);
}

// Zeroed, for the head tables, and aligned for every table inside.
using WorkMemory = std::unique_ptr<void, decltype(&std::free)>;
WorkMemory AllocateZeroed(std::uint64_t bytes) {
  return WorkMemory(bytes <= SIZE_MAX ? std::calloc(static_cast<std::size_t>(bytes), 1) : nullptr,
                    &std::free);
}

// How an encode is run, beyond what it writes.
struct RunPlan {
  std::uint32_t window;
  SearchMode mode;
  std::uint64_t growthLimit;
  bool twoThreads;
  std::size_t behind;  // streaming: input kept behind the coder's checkpoint
};

// Returns the chain slots of plan.
std::uint64_t PlanSlots(const RunPlan& plan) {
  return ChainSlots(plan.window);
}

// Returns the bytes of work memory of plan.
std::uint64_t PlanBytes(const RunPlan& plan) {
  const std::uint64_t slots = PlanSlots(plan);
  const std::uint64_t tables = plan.window <= 0xffff + 1
                                   ? WorkBytes<std::uint16_t>(plan.window, slots)
                                   : WorkBytes<std::uint32_t>(plan.window, slots);
  // With two threads each has its own tables.
  return plan.twoThreads ? 2 * tables + sizeof(Helper) : tables;
}

template <typename Link>
EncodeStatus RunEncoder(InputWindow* input, BitWriter* writer, const RunPlan& plan,
                        const StreamIo* io) {
  const std::uint64_t slots = PlanSlots(plan);
  const WorkMemory work = AllocateZeroed(WorkBytes<Link>(plan.window, slots));
  if (!work) return EncodeStatus::kNoMemory;
  std::uint8_t* const tables = static_cast<std::uint8_t*>(work.get());
  if (plan.twoThreads) {
    const WorkMemory helperWork = AllocateZeroed(WorkBytes<Link>(plan.window, slots));
    const std::unique_ptr<Helper> helper(new (std::nothrow) Helper);
    if (helperWork && helper) {
      Encoder<Link> ahead(input, plan.window, static_cast<std::uint8_t*>(helperWork.get()), slots,
                          nullptr, plan.mode, nullptr);
      Encoder<Link> coder(input, plan.window, tables, slots, writer, plan.mode, io);
#ifdef _WIN32
      struct Job {
        Encoder<Link>* ahead;
        Helper* helper;
      } job{&ahead, helper.get()};
      void* const thread = win::StartThread(
          [](void* context) {
            const Job* j = static_cast<const Job*>(context);
            j->ahead->HelpAhead(j->helper, 1 + Helper::kJump);
          },
          &job);
      if (thread != nullptr) {
        // The helper stops and is joined however the run ends.
        struct Joiner {
          Helper* helper;
          void* thread;
          ~Joiner() {
            helper->Stop();
            win::JoinThread(thread);
          }
        } joiner{helper.get(), thread};
        return coder.Run(plan.growthLimit, helper.get());
      }
#else
      std::thread thread;
      try {
        thread = std::thread([&] { ahead.HelpAhead(helper.get(), 1 + Helper::kJump); });
      } catch (const std::system_error&) {
        // No thread to be had: one will do.
      }
      if (thread.joinable()) {
        // The helper stops and is joined however the run ends.
        struct Joiner {
          Helper* helper;
          std::thread* thread;
          ~Joiner() {
            helper->Stop();
            thread->join();
          }
        } joiner{helper.get(), &thread};
        return coder.Run(plan.growthLimit, helper.get());
      }
#endif
    }
  }
  Encoder<Link> encoder(input, plan.window, tables, slots, writer, plan.mode, io);
  return encoder.Run(plan.growthLimit, nullptr);
}

EncodeStatus RunEncoderFor(InputWindow* input, BitWriter* writer, const RunPlan& plan,
                           const StreamIo* io) {
  return plan.window <= 0xffff + 1 ? RunEncoder<std::uint16_t>(input, writer, plan, io)
                                   : RunEncoder<std::uint32_t>(input, writer, plan, io);
}

// Bytes of input a streaming step may read behind and ahead of its
// position. Behind: a raw block goes back to the checkpoint, less than 256
// bytes; a search looks window bytes back, and from there along a run of
// one byte up to another window; the byte rule reads 16 bytes at once.
// Ahead: a match and the next position's search, window bytes; the literal
// format's span.
std::size_t StreamBehind(std::uint32_t window) {
  return 2 * std::size_t{window} + kRawBlockSize + 64;
}
std::size_t StreamAhead(std::uint32_t window) {
  return std::max<std::size_t>(window, kLiteralFormatSpan) + 64;
}

// Returns true iff an encode of size bytes runs the match finder on a
// second thread: not for short inputs, where starting a thread costs more
// than it saves, nor for the plain walk, the reference kept simple.
bool UseTwoThreads(std::uint64_t size, SearchMode mode, const EncoderTuning& tuning) {
  return mode == SearchMode::kFast && size >= tuning.secondThreadFrom;
}

// Stream bytes held before they go to the sink, and the buffer that holds
// them: between two steps at most the words since the checkpoint stay,
// which cover less than 256 input bytes and so a few KiB.
constexpr std::size_t kDrainAbove = std::size_t{128} << 10;
constexpr std::size_t kOutputBufferSize = 2 * kDrainAbove;

}  // namespace

StreamEncodeResult EncodeStreamTuned(EncodeInput& input, ByteSink& sink,
                                     const StreamEncodeOptions& options,
                                     const EncoderTuning& tuning) {
  StreamEncodeResult result;
  const std::uint64_t n = input.Size();
  if (n > kMaxUnpackedLength) {
    result.status = EncodeStatus::kInputTooLong;
    return result;
  }
  const std::uint32_t w = EffectiveWindow(options.window, n);
  RunPlan plan{w, options.mode, options.growthLimit, UseTwoThreads(n, options.mode, tuning),
               StreamBehind(w)};
  const std::size_t ahead = StreamAhead(w);
  // Returns the memory of plan, all buffers included. With two threads the
  // helper reads ahead of the coder, whose checkpoint the buffer keeps.
  auto memory = [&] {
    const std::uint64_t lead = plan.twoThreads ? 2 * Helper::kJump : 0;
    return PlanBytes(plan) + plan.behind + lead + ahead + kOutputBufferSize + tuning.readChunk;
  };
  // A window too wide for the tables of two threads leaves one.
  if (plan.twoThreads && memory() > kStreamMemoryLimit) plan.twoThreads = false;
  if (memory() > kStreamMemoryLimit) {
    result.status = EncodeStatus::kNoMemory;
    return result;
  }
  const std::uint64_t lead = plan.twoThreads ? 2 * Helper::kJump : 0;
  // No more buffer than the input needs.
  const std::size_t capacity = static_cast<std::size_t>(
      std::min<std::uint64_t>(plan.behind + lead + ahead + tuning.readChunk, n));
  const std::unique_ptr<std::uint8_t[]> inputBuffer(new (std::nothrow) std::uint8_t[capacity + 1]);
  const std::unique_ptr<std::uint8_t[]> outputBuffer(new (std::nothrow)
                                                         std::uint8_t[kOutputBufferSize]);
  if (!inputBuffer || !outputBuffer) {
    result.status = EncodeStatus::kNoMemory;
    return result;
  }

  std::uint8_t header[kPackHeaderSize];
  WriteHeader(header, static_cast<std::uint32_t>(n), 0);
  if (!sink.Write(header, sizeof header)) {
    result.status = EncodeStatus::kOutputFailed;
    return result;
  }
  InputWindow window(&input, static_cast<std::size_t>(n), inputBuffer.get(), capacity, ahead);
  if (!window.Slide(0)) {
    result.status = EncodeStatus::kInputFailed;
    return result;
  }
  BitWriter writer(outputBuffer.get(), kOutputBufferSize, kPackHeaderSize);
  const StreamIo io{&window, &sink, options.progress, plan.behind, kDrainAbove, tuning.readChunk};
  result.status = RunEncoderFor(&window, &writer, plan, &io);
  if (!result.ok()) return result;
  if (!writer.Fits()) {
    result.status = EncodeStatus::kNoMemory;  // the buffer was sized too small
    return result;
  }
  if (!writer.Drain(writer.Position(), sink)) {
    result.status = EncodeStatus::kOutputFailed;
    return result;
  }
  options.progress(n);
  result.size = writer.Position();
  result.checksum = options.withChecksum ? window.Checksum() : 0;
  return result;
}

StreamEncodeResult EncodeStream(EncodeInput& input, ByteSink& sink,
                                const StreamEncodeOptions& options) {
  return EncodeStreamTuned(input, sink, options, EncoderTuning{});
}

EncodeResult Encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                    std::uint32_t window, bool withChecksum, std::size_t growthLimit,
                    SearchMode mode) {
  EncodeResult result;
  if (input.size() > kMaxUnpackedLength) {
    result.status = EncodeStatus::kInputTooLong;
    return result;
  }
  if (output.size() < kPackHeaderSize) {
    result.status = EncodeStatus::kOutputFull;
    return result;
  }
  const std::size_t n = input.size();
  const std::uint32_t w = EffectiveWindow(window, n);
  WriteHeader(output.data(), static_cast<std::uint32_t>(n), withChecksum ? Checksum(input) : 0);

  InputWindow whole(input);
  BitWriter writer(output.data() + kPackHeaderSize, output.size() - kPackHeaderSize,
                   kPackHeaderSize);
  const RunPlan plan{w, mode, growthLimit, UseTwoThreads(n, mode, EncoderTuning{}), 0};
  result.status = RunEncoderFor(&whole, &writer, plan, nullptr);
  if (!result.ok()) return result;
  if (!writer.Fits()) {
    result.status = EncodeStatus::kOutputFull;
    return result;
  }
  result.size = writer.Position();
  return result;
}

}  // namespace cipherkern::pack
