// Internal: steps that several flows share.
#ifndef TRESOLIN_APP_FLOWS_STEPS_H_
#define TRESOLIN_APP_FLOWS_STEPS_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "app/flows/flows.h"
#include "crypto/trailer.h"

namespace flows::internal {

// Returns true iff the volume that holds path has more whole MiB free than
// sizeMegabytes x 2.5, rounded half to even.
bool EnoughSpaceToDecrypt(const std::string& path, float sizeMegabytes);

// Returns the size of path in MiB as the selection records it: bytes / 1024 /
// 1024 as a 32-bit float, -1 bytes for a missing file.
float SizeMegabytes(const std::string& path);

// Copies the body of container (bytes 0 to L-1, L read once more from its
// last four bytes) into a new private working file. Returns true iff the
// whole body was copied; on false no working file is left.
bool CopyBody(const std::string& container, const std::string& workingCopy);

// Runs the engine of cipher over input into output. AES reports success only
// when the output exists (the engine itself reports nothing); RC4 writes a
// private output when privateOutput is set.
bool RunEngine(crypto::Cipher cipher, bool encrypt, const std::string& input,
               const std::string& output, std::string_view password, bool privateOutput);

// Deletes each path that exists; a missing one is no error.
void RemoveWorkingFiles(std::initializer_list<std::string> paths);

// Which panel a container choice serves.
enum class Panel { kFile, kFolder };

// The shared choice of a container (gadgets 46 and 51).
bool ChooseContainer(AppState& state, FrontEnd& ui, Panel panel);

}  // namespace flows::internal

#endif  // TRESOLIN_APP_FLOWS_STEPS_H_
