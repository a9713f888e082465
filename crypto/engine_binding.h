// Internal to crypto: binds the AES engine library whose bytes the program
// carries in its own data, for the length of one call. The library's names,
// types and constants come from its own header, cipherkern/cipherkern.h.
#ifndef TRESOLIN_CRYPTO_ENGINE_BINDING_H_
#define TRESOLIN_CRYPTO_ENGINE_BINDING_H_

#include <cstdint>
#include <span>

#include "cipherkern/cipherkern.h"
#include "platform/platform.h"

namespace crypto::internal {

// The engine library's image as built and embedded into this program.
std::span<const std::uint8_t> EngineImage();

// The engine bound from its image. Releasing it unloads the library, so the
// next binding starts with fresh engine state.
class BoundEngine {
 public:
  // Binds the embedded engine and resolves exportName, and the export that
  // reports a status when the library has it. Check ok().
  explicit BoundEngine(const char* exportName = CIPHERKERN_EXPORT_NAME);

  bool ok() const { return crypt_ != nullptr; }
  AES_Crypt_File_Fn crypt() const { return crypt_; }
  // Null when the library has only the plain export.
  AES_Crypt_File_Status_Fn cryptWithStatus() const { return cryptWithStatus_; }
  const platform::MemoryLibrary& library() const { return library_; }

 private:
  platform::MemoryLibrary library_;
  AES_Crypt_File_Fn crypt_ = nullptr;
  AES_Crypt_File_Status_Fn cryptWithStatus_ = nullptr;
};

}  // namespace crypto::internal

#endif  // TRESOLIN_CRYPTO_ENGINE_BINDING_H_
