#include "crypto/aes_bridge.h"

#include "crypto/engine_binding.h"
#include "crypto/fingerprint.h"
#include "platform/platform.h"

extern "C" {
// Laid down by the build from libcipherkern.so (engine_image.S).
extern const std::uint8_t tresolin_engine_image[];
extern const std::uint8_t tresolin_engine_image_end[];
}

namespace crypto {
namespace internal {

std::span<const std::uint8_t> EngineImage() {
  return std::span(tresolin_engine_image,
                   static_cast<std::size_t>(tresolin_engine_image_end - tresolin_engine_image));
}

BoundEngine::BoundEngine(const char* exportName)
    : library_(platform::MemoryLibrary::Load(EngineImage())) {
  if (library_.ok()) {
    crypt_ = reinterpret_cast<AES_Crypt_File_Fn>(library_.Symbol(exportName));
    cryptWithStatus_ =
        reinterpret_cast<AES_Crypt_File_Status_Fn>(library_.Symbol(CIPHERKERN_STATUS_EXPORT_NAME));
  }
}

}  // namespace internal

namespace {

EngineCallReport::Outcome OutcomeOf(int status) {
  using Outcome = EngineCallReport::Outcome;
  switch (status) {
    case CIPHERKERN_STATUS_DONE:
      return Outcome::kDone;
    case CIPHERKERN_STATUS_DAMAGED:
      return Outcome::kDamaged;
    case CIPHERKERN_STATUS_READ_ERROR:
      return Outcome::kReadError;
    case CIPHERKERN_STATUS_WRITE_ERROR:
      return Outcome::kWriteError;
    case CIPHERKERN_STATUS_REFUSED:
      return Outcome::kRefused;
    case CIPHERKERN_STATUS_NO_MEMORY:
      return Outcome::kNoMemory;
    default:
      return Outcome::kUnknown;
  }
}

// Binds the engine, runs one call and releases it. Returns false iff the
// engine could not be bound. Prefers the export that says how it went.
bool CallEngine(int mode, const std::string& input, const std::string& output,
                std::string_view password, EngineCallReport* report) {
  const internal::BoundEngine engine;
  if (!engine.ok()) {
    if (report != nullptr) report->outcome = EngineCallReport::Outcome::kNotBound;
    return false;
  }
  const Secret keyText = AesKeyText(password);
  if (engine.cryptWithStatus() == nullptr) {
    engine.crypt()(mode, input.c_str(), output.c_str(), keyText.c_str(), CIPHERKERN_CHUNK_SIZE);
    if (report != nullptr) report->outcome = EngineCallReport::Outcome::kUnknown;
    return true;
  }
  int systemError = 0;
  const bool wantsProgress = report != nullptr && report->progress;
  const CIPHERKERN_Progress passOn = [](void* context, long long done, long long total) {
    (*static_cast<const std::function<void(long long, long long)>*>(context))(done, total);
  };
  const int status = engine.cryptWithStatus()(
      mode, input.c_str(), output.c_str(), keyText.c_str(), CIPHERKERN_CHUNK_SIZE,
      wantsProgress ? passOn : nullptr, wantsProgress ? &report->progress : nullptr, &systemError);
  if (report != nullptr) {
    report->outcome = OutcomeOf(status);
    report->systemError = systemError;
  }
  return true;
}

}  // namespace

int AES_Encrypt_File(const std::string& inputPath, const std::string& outputPath,
                     std::string_view password, EngineCallReport* report) {
  // A file left at the output by an earlier run must not pass for this
  // run's result.
  platform::DeleteFile(outputPath);
  if (!CallEngine(CIPHERKERN_MODE_ENCRYPT, inputPath, outputPath, password, report)) return 0;
  platform::DeleteFile(inputPath + CIPHERKERN_PACK_SUFFIX);
  return platform::FileExists(outputPath) ? 1 : 0;
}

int AES_Decrypt_File(const std::string& inputPath, const std::string& outputPath,
                     std::string_view password, EngineCallReport* report) {
  platform::DeleteFile(outputPath);
  if (!CallEngine(CIPHERKERN_MODE_DECRYPT, inputPath, outputPath, password, report)) return 0;
  // The output holds the decrypted pack container; the restored file is
  // beside it under ".dec" when the body decoded. Only that file may ever
  // stand at the output when this reports success.
  const std::string restored = outputPath + CIPHERKERN_RESTORED_SUFFIX;
  const bool moved = platform::FileExists(restored) && platform::DeleteFile(outputPath) &&
                     platform::RenameFile(restored, outputPath);
  if (!moved) platform::DeleteFile(restored);
  if (!moved && report != nullptr && report->outcome == EngineCallReport::Outcome::kDone) {
    // The engine's part went well; the move into place did not.
    report->outcome = EngineCallReport::Outcome::kWriteError;
  }
  return moved ? 1 : 0;
}

}  // namespace crypto
