// The two bridges through which the flows reach the AES engine library.
// Each call binds the engine afresh, calls its one export with the key text
// made from the password, and releases it again, so no engine state survives
// a call. Not thread-safe: one call at a time.
#ifndef TRESOLIN_CRYPTO_AES_BRIDGE_H_
#define TRESOLIN_CRYPTO_AES_BRIDGE_H_

#include <string>
#include <string_view>

namespace crypto {

// Encrypts inputPath into the AES body outputPath. Returns 1 iff the engine
// was bound and an output file exists afterwards, else 0. The engine's
// intermediate inputPath + ".pack" is gone afterwards either way.
int AES_Encrypt_File(const std::string& inputPath, const std::string& outputPath,
                     std::string_view password);

// Decrypts the AES body inputPath into outputPath. Returns 1 iff the engine
// restored a file (which is then at outputPath), else 0 and no outputPath.
int AES_Decrypt_File(const std::string& inputPath, const std::string& outputPath,
                     std::string_view password);

}  // namespace crypto

#endif  // TRESOLIN_CRYPTO_AES_BRIDGE_H_
