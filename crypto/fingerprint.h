// Password fingerprint: the MD5 digest (RFC 1321) of a byte range, written as
// 32 lower-case hexadecimal characters. Containers store the fingerprint of
// the whole password; the AES key text is the fingerprint of its first four
// bytes. Pure functions, thread-safe.
#ifndef TRESOLIN_CRYPTO_FINGERPRINT_H_
#define TRESOLIN_CRYPTO_FINGERPRINT_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/secret.h"

namespace crypto {

// Returns the 16-byte MD5 digest of data.
std::array<std::uint8_t, 16> Md5(std::span<const std::uint8_t> data);

// Returns the MD5 digest of data as 32 lower-case hex characters ("%02x" per
// byte, no separators).
std::string Fingerprint_Hex(std::span<const std::uint8_t> data);

// The same over the bytes of a text (a password as bytes).
std::string Fingerprint_Hex(std::string_view bytes);

// Returns the AES key text for a password: the fingerprint of its first four
// bytes, where a shorter password is followed by zero bytes up to four (so a
// three-character password hashes its characters and the terminating zero,
// as containers made elsewhere expect).
Secret AesKeyText(std::string_view password);

}  // namespace crypto

#endif  // TRESOLIN_CRYPTO_FINGERPRINT_H_
