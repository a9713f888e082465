// AES block cipher (FIPS-197) in ECB form: a key schedule made once per key
// and whole 16-byte blocks transformed independently. Two implementations give
// identical results: the table-driven form, which runs everywhere, and one on
// the processor's AES instructions, which Aes_BestPath picks when they exist.
//
// The caller owns every buffer. The schedule is read-only while blocks are
// transformed, so one schedule may serve several threads; nothing else is
// shared, and the lookup tables are constants.
#ifndef TRESOLIN_CIPHERKERN_AES_H_
#define TRESOLIN_CIPHERKERN_AES_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace cipherkern {

inline constexpr std::size_t kAesBlockSize = 16;
// AES-256: 14 rounds, 4 words per round key plus the initial one.
inline constexpr int kAesMaxRounds = 14;
inline constexpr std::size_t kAesMaxScheduleWords = 4 * (kAesMaxRounds + 1);

enum class AesPath {
  kPortable,  // four 256-entry round tables and the S-box per direction
  kAesNi,     // AESENC/AESDEC, eight blocks in flight
};

// Round keys as 32-bit words whose most significant byte is the first key
// byte, as FIPS-197 writes them. The decryption keys are those of the
// equivalent inverse cipher: encryption keys in reverse round order with
// InvMixColumns applied to all but the first and the last. Wiped on
// destruction; not copyable, so no stray copy of the keys outlives it.
struct AesKeySchedule {
  int rounds = 0;  // 10, 12 or 14; 0 until a key has been set
  std::uint32_t encrypt[kAesMaxScheduleWords] = {};
  std::uint32_t decrypt[kAesMaxScheduleWords] = {};

  AesKeySchedule() = default;
  AesKeySchedule(const AesKeySchedule&) = delete;
  AesKeySchedule& operator=(const AesKeySchedule&) = delete;
  ~AesKeySchedule();
};

// Returns true iff key is 16, 24 or 32 bytes long; then *schedule holds its
// round keys. On failure *schedule is unchanged.
[[nodiscard]] bool Aes_ExpandKey(std::span<const std::uint8_t> key, AesKeySchedule* schedule);

// Returns true iff this processor executes the AES instructions.
[[nodiscard]] bool Aes_NiAvailable();

// The fastest path this processor runs.
[[nodiscard]] AesPath Aes_BestPath();

// Encrypts (decrypts) the whole blocks of in into out, each block on its own.
// in and out may be the same buffer. A path this processor cannot run falls
// back to the portable one, so results never depend on the hardware.
// Requires: schedule holds a key; in.size() == out.size(), a multiple of 16.
void Aes_EncryptBlocks(const AesKeySchedule& schedule, AesPath path,
                       std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
void Aes_DecryptBlocks(const AesKeySchedule& schedule, AesPath path,
                       std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

}  // namespace cipherkern

#endif  // TRESOLIN_CIPHERKERN_AES_H_
