// The library's two exports. Everything they reach is compiled with hidden
// visibility, so nothing else leaves libcipherkern.so.
#include "cipherkern/cipherkern.h"

#include "cipherkern/engine.h"

#ifdef _WIN32
#include <windows.h>

namespace __gnu_cxx {
// The static C++ runtime's release of its emergency exception pool.
void __freeres() noexcept;
}  // namespace __gnu_cxx

// A program binds this library afresh for every call and releases it after.
// The C++ runtime linked into it allocates an emergency pool for exceptions
// (about 70 KiB) when it starts and keeps it for the life of the process;
// given back here, a call costs nothing that outlives it.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) __gnu_cxx::__freeres();
  return TRUE;
}
#endif

namespace {

int StatusOf(cipherkern::EngineStatus status) {
  using cipherkern::EngineStatus;
  switch (status) {
    case EngineStatus::kOk:
      return CIPHERKERN_STATUS_DONE;
    case EngineStatus::kBadArguments:
    case EngineStatus::kPathsOverlap:
    case EngineStatus::kInputTooLarge:
      return CIPHERKERN_STATUS_REFUSED;
    case EngineStatus::kCannotOpenInput:
    case EngineStatus::kCannotReadInput:
      return CIPHERKERN_STATUS_READ_ERROR;
    case EngineStatus::kOutOfMemory:
      return CIPHERKERN_STATUS_NO_MEMORY;
    case EngineStatus::kCannotCreatePack:
    case EngineStatus::kCannotCreateOutput:
    case EngineStatus::kCannotCreateRestored:
    case EngineStatus::kWriteFailed:
      return CIPHERKERN_STATUS_WRITE_ERROR;
    case EngineStatus::kNotBlockAligned:
    case EngineStatus::kDamagedContainer:
      return CIPHERKERN_STATUS_DAMAGED;
  }
  return CIPHERKERN_STATUS_DAMAGED;
}

struct ProgressTarget {
  CIPHERKERN_Progress report;
  void* context;
};

}  // namespace

extern "C" int CIPHERKERN_CALL AES_Crypt_File_Status(int mode, const char* inputPath,
                                                     const char* outputPath, const char* keyText,
                                                     int chunkSize, CIPHERKERN_Progress progress,
                                                     void* progressContext, int* systemError) {
  if (systemError != nullptr) *systemError = 0;
  // Modes other than 0 and 1 are refused before anything is touched.
  if (mode != CIPHERKERN_MODE_ENCRYPT && mode != CIPHERKERN_MODE_DECRYPT) {
    return CIPHERKERN_STATUS_REFUSED;
  }
  cipherkern::EngineRequest request;
  request.mode = mode == CIPHERKERN_MODE_ENCRYPT ? cipherkern::EngineMode::kEncrypt
                                                 : cipherkern::EngineMode::kDecrypt;
  request.inputPath = inputPath;
  request.outputPath = outputPath;
  request.keyText = keyText;
  request.chunkSize = chunkSize;
  request.path = cipherkern::Aes_BestPath();
  ProgressTarget target{progress, progressContext};
  if (progress != nullptr) {
    request.progress = [](void* context, std::uint64_t done, std::uint64_t total) {
      const auto* t = static_cast<const ProgressTarget*>(context);
      t->report(t->context, static_cast<long long>(done), static_cast<long long>(total));
    };
    request.progressContext = &target;
  }
  request.systemError = systemError;
  return StatusOf(cipherkern::Engine_CryptFile(request));
}

extern "C" int CIPHERKERN_CALL AES_Crypt_File(int mode, const char* inputPath,
                                              const char* outputPath, const char* keyText,
                                              int chunkSize) {
  // The outcome is what the files on disk show; callers never read a result.
  (void)AES_Crypt_File_Status(mode, inputPath, outputPath, keyText, chunkSize, nullptr, nullptr,
                              nullptr);
  return 0;
}
