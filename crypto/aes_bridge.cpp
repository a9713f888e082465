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
    crypt_ = reinterpret_cast<CryptFileFn>(library_.Symbol(exportName));
  }
}

}  // namespace internal

namespace {

constexpr int kModeEncrypt = 0;
constexpr int kModeDecrypt = 1;
constexpr int kChunkSize = 16384;

// Binds the engine, runs one call and releases it. Returns false iff the
// engine could not be bound.
bool CallEngine(int mode, const std::string& input, const std::string& output,
                std::string_view password) {
  const internal::BoundEngine engine;
  if (!engine.ok()) return false;
  const std::string keyText = AesKeyText(password);
  engine.crypt()(mode, input.c_str(), output.c_str(), keyText.c_str(), kChunkSize);
  return true;
}

}  // namespace

int AES_Encrypt_File(const std::string& inputPath, const std::string& outputPath,
                     std::string_view password) {
  // A file left at the output by an earlier run must not pass for this
  // run's result.
  platform::DeleteFile(outputPath);
  if (!CallEngine(kModeEncrypt, inputPath, outputPath, password)) return 0;
  platform::DeleteFile(inputPath + ".pack");
  return platform::FileExists(outputPath) ? 1 : 0;
}

int AES_Decrypt_File(const std::string& inputPath, const std::string& outputPath,
                     std::string_view password) {
  platform::DeleteFile(outputPath);
  if (!CallEngine(kModeDecrypt, inputPath, outputPath, password)) return 0;
  // The output holds the decrypted pack container; the restored file is
  // beside it under ".dec" when the body decoded. Only that file may ever
  // stand at the output when this reports success.
  const std::string restored = outputPath + ".dec";
  const bool moved = platform::FileExists(restored) && platform::DeleteFile(outputPath) &&
                     platform::RenameFile(restored, outputPath);
  if (!moved) platform::DeleteFile(restored);
  return moved ? 1 : 0;
}

}  // namespace crypto
