// The names of every file and folder that the four flows create around a
// container. Working files are named by appending fixed suffixes to the
// user's paths, never by generating unique names, so a container made
// elsewhere leads to the same working names here. Pure functions on path
// texts ("/" separates folders); nothing touches the disk.
//
// Cutting and removing act on the file-name part only: a "." or "_rc4" in a
// folder name never moves a working file into another folder.
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

// source + ".ppp": the packed copy of the source, input of the engine.
std::string PackedCopyPath(std::string_view source);

// source + "_aes" / "_rc4": the engine output that gets the trailer.
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

// Plain kinds: container + "_temp", the working copy of the body.
std::string PlainWorkingCopyPath(std::string_view container);

// Plain kinds: the working copy with every "_rc4_temp" / "_aes_temp" removed
// from its file-name part: the name proposed in the save dialog.
std::string ProposedOutputPath(std::string_view container, Cipher cipher);

// Packed kinds: the container with every "_rc4" / "_aes" removed from its
// file-name part, + "_pk": the working copy of the body.
std::string PackedWorkingCopyPath(std::string_view container, Cipher cipher);

// Packed kinds: working copy + "p" (RC4) or + "pp" (AES): the decrypted
// packed file.
std::string DecryptedPackPath(std::string_view container, Cipher cipher);

// ---- folder encryption

// The last name of a folder path that ends in "/"; "root" for the root
// folder itself, which has no name of its own.
std::string FolderName(std::string_view folderWithSlash);

// "/" + folder name + ".aes" / ".rc4".
std::string FolderContainerName(std::string_view sourceFolder, Cipher cipher);

// tempFolder + container name: the folder archive before encryption.
std::string FolderArchivePath(std::string_view tempFolder, std::string_view sourceFolder,
                              Cipher cipher);

// outputFolder + container name: the final folder container.
std::string FolderContainerPath(std::string_view outputFolder, std::string_view sourceFolder,
                                Cipher cipher);

// ---- folder decryption

// The container's file-name part with every ".rc4" / ".aes" removed.
std::string RestoredFolderName(std::string_view container, Cipher cipher);

// tempFolder + folder name + ".~temp": the working copy of the body.
std::string FolderWorkingCopyPath(std::string_view tempFolder, std::string_view container,
                                  Cipher cipher);

// tempFolder + folder name + ".zip": the decrypted archive.
std::string DecryptedArchivePath(std::string_view tempFolder, std::string_view container,
                                 Cipher cipher);

// outputFolder + folder name (no trailing "/"): the restored folder.
std::string RestoredFolderPath(std::string_view outputFolder, std::string_view container,
                               Cipher cipher);

// Splits a path at its last "/": the folder part keeps the "/".
std::string_view FolderPart(std::string_view path);
std::string_view FileNamePart(std::string_view path);

}  // namespace crypto

#endif  // TRESOLIN_CRYPTO_WORKING_NAMES_H_
