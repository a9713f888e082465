// The only file compiled with -maes -msse4.1. Keep it free of inline and
// template functions from shared headers (see aes_ni.h).
#include "cipherkern/aes_ni.h"

#include <string.h>  // explicit_bzero

#include <cstddef>

#ifdef _WIN32
namespace cipherkern {
// From secure_wipe_win.cpp (SecureZeroMemory); not the header, whose inline
// functions must not be compiled with this file's instruction set.
void SecureWipe(void* data, std::size_t size);
}  // namespace cipherkern
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace cipherkern {
namespace {

// Zeros that the optimiser may not drop as a dead store.
void Wipe(void* data, std::size_t size) {
#ifdef _WIN32
  SecureWipe(data, size);
#else
  explicit_bzero(data, size);
#endif
}

constexpr int kMaxRounds = 14;
// Blocks in flight: AESENC has a latency of several cycles but a throughput
// of one per cycle, so independent blocks hide the latency. Eight is what the
// sixteen XMM registers hold next to a round key.
constexpr std::size_t kLanes = 8;

// The schedule's words carry the first key byte in their top bits; the
// instructions want the round key as the 16 bytes in key order.
void LoadRoundKeys(const std::uint32_t* words, int rounds, __m128i* keys) {
  for (int r = 0; r <= rounds; ++r) {
    alignas(16) std::uint32_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = __builtin_bswap32(words[4 * r + i]);
    keys[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
    Wipe(bytes, sizeof bytes);
  }
}

__m128i Load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
void Store(std::uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

}  // namespace

namespace {

// One round of encryption or of the equivalent inverse cipher. The
// decryption schedule already has InvMixColumns applied to its middle keys,
// which is the form AESDEC expects, so both directions share one loop.
template <bool kDecrypt>
__m128i Round(__m128i state, __m128i key) {
  if constexpr (kDecrypt) return _mm_aesdec_si128(state, key);
  return _mm_aesenc_si128(state, key);
}

template <bool kDecrypt>
__m128i LastRound(__m128i state, __m128i key) {
  if constexpr (kDecrypt) return _mm_aesdeclast_si128(state, key);
  return _mm_aesenclast_si128(state, key);
}

template <bool kDecrypt>
void CryptBlocks(const std::uint32_t* roundKeys, int rounds, const std::uint8_t* in,
                 std::uint8_t* out, std::size_t blocks) {
  __m128i keys[kMaxRounds + 1];
  LoadRoundKeys(roundKeys, rounds, keys);
  std::size_t b = 0;
  for (; b + kLanes <= blocks; b += kLanes) {
    __m128i s[kLanes];
#pragma GCC unroll 8
    for (std::size_t j = 0; j < kLanes; ++j) s[j] = _mm_xor_si128(Load(in + 16 * (b + j)), keys[0]);
    for (int r = 1; r < rounds; ++r) {
      const __m128i k = keys[r];
#pragma GCC unroll 8
      for (std::size_t j = 0; j < kLanes; ++j) s[j] = Round<kDecrypt>(s[j], k);
    }
#pragma GCC unroll 8
    for (std::size_t j = 0; j < kLanes; ++j)
      Store(out + 16 * (b + j), LastRound<kDecrypt>(s[j], keys[rounds]));
  }
  for (; b < blocks; ++b) {
    __m128i s = _mm_xor_si128(Load(in + 16 * b), keys[0]);
    for (int r = 1; r < rounds; ++r) s = Round<kDecrypt>(s, keys[r]);
    Store(out + 16 * b, LastRound<kDecrypt>(s, keys[rounds]));
  }
  Wipe(keys, sizeof keys);
}

}  // namespace

void AesNi_EncryptBlocks(const std::uint32_t* roundKeys, int rounds, const std::uint8_t* in,
                         std::uint8_t* out, std::size_t blocks) {
  CryptBlocks<false>(roundKeys, rounds, in, out, blocks);
}

void AesNi_DecryptBlocks(const std::uint32_t* roundKeys, int rounds, const std::uint8_t* in,
                         std::uint8_t* out, std::size_t blocks) {
  CryptBlocks<true>(roundKeys, rounds, in, out, blocks);
}

}  // namespace cipherkern

#else  // not x86: Aes_NiAvailable() is false, so these are never reached.

namespace cipherkern {

void AesNi_EncryptBlocks(const std::uint32_t*, int, const std::uint8_t*, std::uint8_t*,
                         std::size_t) {}
void AesNi_DecryptBlocks(const std::uint32_t*, int, const std::uint8_t*, std::uint8_t*,
                         std::size_t) {}

}  // namespace cipherkern

#endif
