// The names that the four flows give their results, derived from the
// user's paths by fixed rules, so that a container made elsewhere leads to
// the same names here. Working files need no names here: they live in the
// run's private working folder. Pure functions on path texts ("/" separates
// folders); nothing touches the disk.
//
// Cutting and removing act on the file-name part only: a "." or "_rc4" in a
// folder name never moves a result into another folder.
#ifndef TRESOLIN_CRYPTO_WORKING_NAMES_H_
#define TRESOLIN_CRYPTO_WORKING_NAMES_H_

#include <string>
#include <string_view>

#include "crypto/trailer.h"

namespace crypto {

// "aes" or "rc4" ciphers spelled as the names use them.
std::string_view CipherTag(Cipher cipher);    // "aes" / "rc4"
std::string_view FinalSuffix(Cipher cipher);  // ".aes" / ".rc4"

// ---- file encryption

// source + "_aes" / "_rc4": the container's name beside the source when
// stem + suffix is taken.
std::string EngineOutputPath(std::string_view source, Cipher cipher);

// The source path cut at the first "." of its file-name part; a leading dot
// (a hidden file) belongs to the name. Without a "." the whole path.
std::string Stem(std::string_view source);

// stem + ".aes" / ".rc4": the final container.
std::string FinalContainerPath(std::string_view source, Cipher cipher);

// source + ".aes" / ".rc4": the container name that "replace the original"
// renames onto the source path (found only when the source has no ".").
std::string ReplacementPath(std::string_view source, Cipher cipher);

// ---- file decryption

// Plain kinds: container + "_temp" with every "_rc4_temp" / "_aes_temp"
// removed from its file-name part: the name proposed in the save dialog.
std::string ProposedOutputPath(std::string_view container, Cipher cipher);

// ---- folder encryption

// The last name of a folder path that ends in "/"; "root" for the root
// folder itself, which has no name of its own.
std::string FolderName(std::string_view folderWithSlash);

// "/" + folder name + ".aes" / ".rc4".
std::string FolderContainerName(std::string_view sourceFolder, Cipher cipher);

// ---- folder decryption

// The container's file-name part with every ".rc4" / ".aes" removed.
std::string RestoredFolderName(std::string_view container, Cipher cipher);

// outputFolder + folder name (no trailing "/"): the restored folder.
std::string RestoredFolderPath(std::string_view outputFolder, std::string_view container,
                               Cipher cipher);

// Splits a path at its last "/": the folder part keeps the "/".
std::string_view FolderPart(std::string_view path);
std::string_view FileNamePart(std::string_view path);

}  // namespace crypto

#endif  // TRESOLIN_CRYPTO_WORKING_NAMES_H_
