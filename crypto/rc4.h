// RC4 (ARC4) keyed with the password's bytes: no dropped keystream, no nonce,
// no salt, as containers require. The same call encrypts and decrypts. Key
// scheduling starts afresh on every call; nothing is cached. Thread-safe.
#ifndef TRESOLIN_CRYPTO_RC4_H_
#define TRESOLIN_CRYPTO_RC4_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace crypto {

// Inputs of this size or more are refused: a container stores its body
// length as a signed 32-bit number.
inline constexpr std::int64_t kMaxBodyBytes = 0x7fffffffLL;  // 2 GiB - 1

// Transforms data in place with the keystream of password (its first 256
// bytes are the key; an empty password keys with 256 zero bytes).
void RC4_Crypt_Buffer(std::span<std::uint8_t> data, std::string_view password);

// Transforms the file at inputPath into outputPath, a new file of mode 0600
// (it may hold plaintext; an existing file or link there makes the call fail).
// Streams in blocks: memory stays bounded whatever the size. When both paths
// name the same file it is transformed in place.
// Returns 1 on success, 0 when the input cannot be opened or read, is 2 GiB
// or larger, or the output cannot be written; on 0 no output file is left
// (an in-place run that fails mid-way leaves the file partly transformed).
int RC4_Crypt_File(const std::string& inputPath, const std::string& outputPath,
                   std::string_view password);

// Called after each block: bytes done of total.
using ByteProgress = std::function<void(std::int64_t done, std::int64_t total)>;

// RC4_Crypt_File for two different paths, saying why it failed: kTooLarge,
// the input's open or read failure, or the output's write failure, each with
// its path and errno. progress, when set, hears of every block.
platform::Status Rc4TransformFile(const std::string& inputPath, const std::string& outputPath,
                                  std::string_view password, const ByteProgress& progress = {});

}  // namespace crypto

#endif  // TRESOLIN_CRYPTO_RC4_H_
