// The AES-instruction path behind aes.h. Only aes_ni.cpp is compiled for
// those instructions, and these functions may run only after
// Aes_NiAvailable() said yes. The interface takes plain pointers on purpose:
// an inline or template function instantiated in aes_ni.cpp could be merged
// by the linker with the copy of another file and carry AES instructions
// there.
#ifndef TRESOLIN_CIPHERKERN_AES_NI_H_
#define TRESOLIN_CIPHERKERN_AES_NI_H_

#include <cstddef>
#include <cstdint>

namespace cipherkern {

// roundKeys: 4 * (rounds + 1) words in aes.h's AesKeySchedule form (the
// decryption ones for AesNi_DecryptBlocks). in and out may be equal.
void AesNi_EncryptBlocks(const std::uint32_t* roundKeys, int rounds, const std::uint8_t* in,
                         std::uint8_t* out, std::size_t blocks);
void AesNi_DecryptBlocks(const std::uint32_t* roundKeys, int rounds, const std::uint8_t* in,
                         std::uint8_t* out, std::size_t blocks);

}  // namespace cipherkern

#endif  // TRESOLIN_CIPHERKERN_AES_NI_H_
