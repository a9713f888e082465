// The two bridges through which the flows reach the AES engine library.
// Each call binds the engine afresh, calls it with the key text made from
// the password, and releases it again, so no engine state survives a call.
// Not thread-safe: one call at a time.
#ifndef TRESOLIN_CRYPTO_AES_BRIDGE_H_
#define TRESOLIN_CRYPTO_AES_BRIDGE_H_

#include <functional>
#include <string>
#include <string_view>

namespace crypto {

// What a caller may learn of an engine call beyond its 1 or 0.
struct EngineCallReport {
  enum class Outcome {
    kDone,
    kNotBound,    // the engine library could not be bound
    kDamaged,     // decryption: wrong key or a damaged body
    kReadError,   // the input could not be read; see systemError
    kWriteError,  // an output could not be written (full disk...); see systemError
    kRefused,     // arguments the engine refuses, an input of 2 GiB or more
    kNoMemory,
    kUnknown,  // the engine gives no status, and no result exists
  };
  Outcome outcome = Outcome::kUnknown;
  int systemError = 0;  // errno of the failed read or write, else 0
  // Called on this thread while the engine works: done of total units.
  std::function<void(long long done, long long total)> progress;
};

// Encrypts inputPath into the AES body outputPath. Returns 1 iff the engine
// was bound and an output file exists afterwards, else 0. The engine's
// intermediate inputPath + ".pack" is gone afterwards either way. report,
// when given, receives the outcome and passes progress on.
int AES_Encrypt_File(const std::string& inputPath, const std::string& outputPath,
                     std::string_view password, EngineCallReport* report = nullptr);

// Decrypts the AES body inputPath into outputPath. Returns 1 iff the engine
// restored a file (which is then at outputPath), else 0 and no outputPath.
int AES_Decrypt_File(const std::string& inputPath, const std::string& outputPath,
                     std::string_view password, EngineCallReport* report = nullptr);

}  // namespace crypto

#endif  // TRESOLIN_CRYPTO_AES_BRIDGE_H_
