// The library's one export. Everything it reaches is compiled with hidden
// visibility, so nothing else leaves libcipherkern.so.
#include "cipherkern/cipherkern.h"

#include "cipherkern/engine.h"

extern "C" int AES_Crypt_File(int mode, const char* inputPath, const char* outputPath,
                              const char* keyText, int chunkSize) {
  // Modes other than 0 and 1 are refused before anything is touched.
  if (mode != CIPHERKERN_MODE_ENCRYPT && mode != CIPHERKERN_MODE_DECRYPT) return 0;
  cipherkern::EngineRequest request;
  request.mode = mode == CIPHERKERN_MODE_ENCRYPT ? cipherkern::EngineMode::kEncrypt
                                                 : cipherkern::EngineMode::kDecrypt;
  request.inputPath = inputPath;
  request.outputPath = outputPath;
  request.keyText = keyText;
  request.chunkSize = chunkSize;
  request.path = cipherkern::Aes_BestPath();
  // The outcome is what the files on disk show; callers never read a result.
  (void)cipherkern::Engine_CryptFile(request);
  return 0;
}
