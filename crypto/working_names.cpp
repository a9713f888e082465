#include "crypto/working_names.h"

namespace crypto {
namespace {

std::string RemoveAll(std::string text, std::string_view piece) {
  for (std::size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos)) {
    text.erase(pos, piece.size());
  }
  return text;
}

// Removes every occurrence of piece from the file-name part of path.
std::string RemoveFromName(std::string_view path, std::string_view piece) {
  return std::string(FolderPart(path)) + RemoveAll(std::string(FileNamePart(path)), piece);
}

std::string Join(std::string_view a, std::string_view b) {
  std::string joined(a);
  joined += b;
  return joined;
}

}  // namespace

std::string_view FolderPart(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string_view FileNamePart(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view CipherTag(Cipher cipher) {
  return cipher == Cipher::kAes ? "aes" : "rc4";
}

std::string_view FinalSuffix(Cipher cipher) {
  return cipher == Cipher::kAes ? ".aes" : ".rc4";
}

std::string EngineOutputPath(std::string_view source, Cipher cipher) {
  return Join(source, cipher == Cipher::kAes ? "_aes" : "_rc4");
}

std::string Stem(std::string_view source) {
  const std::string_view name = FileNamePart(source);
  std::size_t start = 0;
  while (start < name.size() && name[start] == '.') ++start;
  const std::size_t dot = name.find('.', start);
  if (dot == std::string_view::npos) return std::string(source);
  return std::string(source.substr(0, source.size() - name.size() + dot));
}

std::string FinalContainerPath(std::string_view source, Cipher cipher) {
  return Stem(source) + std::string(FinalSuffix(cipher));
}

std::string ReplacementPath(std::string_view source, Cipher cipher) {
  return Join(source, FinalSuffix(cipher));
}

std::string ProposedOutputPath(std::string_view container, Cipher cipher) {
  // The name of the body's working copy, container + "_temp", less the
  // suffixes that a container named by the engine output carries.
  return RemoveFromName(Join(container, "_temp"),
                        cipher == Cipher::kAes ? "_aes_temp" : "_rc4_temp");
}

std::string FolderName(std::string_view folderWithSlash) {
  std::string_view folder = folderWithSlash;
  while (!folder.empty() && folder.back() == '/') folder.remove_suffix(1);
  const std::string_view name = FileNamePart(folder);
  return name.empty() ? std::string("root") : std::string(name);
}

std::string FolderContainerName(std::string_view sourceFolder, Cipher cipher) {
  return "/" + FolderName(sourceFolder) + std::string(FinalSuffix(cipher));
}

std::string RestoredFolderName(std::string_view container, Cipher cipher) {
  return RemoveAll(std::string(FileNamePart(container)), FinalSuffix(cipher));
}

std::string RestoredFolderPath(std::string_view outputFolder, std::string_view container,
                               Cipher cipher) {
  return Join(outputFolder, RestoredFolderName(container, cipher));
}

}  // namespace crypto
