// Internal to crypto: binds the AES engine library whose bytes the program
// carries in its own data, for the length of one call.
#ifndef TRESOLIN_CRYPTO_ENGINE_BINDING_H_
#define TRESOLIN_CRYPTO_ENGINE_BINDING_H_

#include <cstdint>
#include <span>

#include "platform/platform.h"

namespace crypto::internal {

// The engine library's image as built and embedded into this program.
std::span<const std::uint8_t> EngineImage();

// The engine's one export.
using CryptFileFn = int (*)(int mode, const char* inputPath, const char* outputPath,
                            const char* keyText, int chunkSize);

// The engine bound from its image. Releasing it unloads the library, so the
// next binding starts with fresh engine state.
class BoundEngine {
 public:
  // Binds the embedded engine and resolves exportName. Check ok().
  explicit BoundEngine(const char* exportName = "AES_Crypt_File");

  bool ok() const { return crypt_ != nullptr; }
  CryptFileFn crypt() const { return crypt_; }
  const platform::MemoryLibrary& library() const { return library_; }

 private:
  platform::MemoryLibrary library_;
  CryptFileFn crypt_ = nullptr;
};

}  // namespace crypto::internal

#endif  // TRESOLIN_CRYPTO_ENGINE_BINDING_H_
