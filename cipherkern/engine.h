// The AES file engine behind AES_Crypt_File (cipherkern.h), with its outcome
// as a value and the AES path chosen by the caller, so that tests and
// benchmarks can run both paths and see why a call made no output.
//
// Every call owns all it uses (files, key schedule, buffers) and releases it
// before it returns; secrets and plaintext buffers are wiped. Nothing is kept
// between calls, so calls on different files may overlap.
#ifndef TRESOLIN_CIPHERKERN_ENGINE_H_
#define TRESOLIN_CIPHERKERN_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "cipherkern/aes.h"
#include "cipherkern/cipherkern.h"

namespace cipherkern {

enum class EngineMode { kEncrypt = 0, kDecrypt = 1 };

inline constexpr char kPackSuffix[] = CIPHERKERN_PACK_SUFFIX;
inline constexpr char kRestoredSuffix[] = CIPHERKERN_RESTORED_SUFFIX;
inline constexpr std::size_t kKeyTextLength = 32;  // hexadecimal digits
inline constexpr std::size_t kKeyLength = 32;      // AES-256: the key text's 16 bytes, twice
// Inputs of this many bytes or more are refused (2 GiB): sizes are 32-bit
// signed in the container trailer and in the programs that read them.
inline constexpr std::int64_t kMaxInputLength = std::int64_t{1} << 31;
// A body must stay below 2 GiB as well, or it could not be decrypted again:
// the largest whole number of blocks below the limit.
inline constexpr std::int64_t kMaxBodyLength = kMaxInputLength - 16;

enum class EngineStatus {
  kOk,
  kBadArguments,  // mode, path, key text or chunk size outside the interface
  kPathsOverlap,  // an output would be the input itself; the input is not touched
  kCannotOpenInput,
  kCannotReadInput,  // not a regular file, or shorter than its size said
  kInputTooLarge,    // input of kMaxInputLength or more, or a body above kMaxBodyLength
  kNotBlockAligned,  // ciphertext length not a multiple of 16
  kOutOfMemory,
  kCannotCreatePack,  // mode 0: input + ".pack"
  kCannotCreateOutput,
  kCannotCreateRestored,  // mode 1: output + ".dec"
  kWriteFailed,           // a write or close failed; its file has been removed
  kDamagedContainer,      // decrypted container fails its checks: wrong key or damage
};

struct EngineRequest {
  EngineMode mode = EngineMode::kEncrypt;
  const char* inputPath = nullptr;
  const char* outputPath = nullptr;
  const char* keyText = nullptr;
  std::int64_t chunkSize = CIPHERKERN_CHUNK_SIZE;
  AesPath path = AesPath::kPortable;
  // Called on this thread now and then with the work done so far of all
  // there is: encryption counts the input's bytes twice (packing, then the
  // cipher), decryption the body's once. May be null.
  void (*progress)(void* context, std::uint64_t done, std::uint64_t total) = nullptr;
  void* progressContext = nullptr;
  // Receives the error number of a failing read or write (kCannotReadInput,
  // kCannotCreate..., kWriteFailed), 0 otherwise. May be null.
  int* systemError = nullptr;
};

// Returns true iff keyText is exactly kKeyTextLength hexadecimal digits (a-f
// taken as A-F); then key holds the 16 bytes they spell, twice. On failure
// key is zero.
[[nodiscard]] bool Engine_KeyFromText(const char* keyText, std::span<std::uint8_t, kKeyLength> key);

// Returns true iff a pack container of containerLength bytes, padded to whole
// blocks, stays within kMaxBodyLength.
[[nodiscard]] bool Engine_BodyFits(std::uint64_t containerLength);

// Encrypts or decrypts one file as cipherkern.h describes AES_Crypt_File,
// in bounded memory whatever the file's length.
// kBadArguments and kPathsOverlap change no existing file. On any other
// failure the files this call created are removed; mode 0 leaves the output
// path untouched when it fails before creating it. Every mode-1 call that
// gets past its arguments first removes a stale output + ".dec".
[[nodiscard]] EngineStatus Engine_CryptFile(const EngineRequest& request);

}  // namespace cipherkern

#endif  // TRESOLIN_CIPHERKERN_ENGINE_H_
