// SecureWipe on Windows: SecureZeroMemory, which the optimiser keeps.
#include <windows.h>

#include "cipherkern/secure_buffer.h"

namespace cipherkern {

void SecureWipe(void* data, std::size_t size) {
  if (data != nullptr && size > 0) SecureZeroMemory(data, size);
}

}  // namespace cipherkern
