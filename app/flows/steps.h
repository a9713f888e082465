// Internal: steps that several flows share.
#ifndef TRESOLIN_APP_FLOWS_STEPS_H_
#define TRESOLIN_APP_FLOWS_STEPS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/flows/flows.h"
#include "crypto/trailer.h"
#include "platform/platform.h"

namespace flows::internal {

// Returns true iff the volume that holds path has more whole MiB free than
// sizeMegabytes x 2.5, rounded half to even. A folder ends in "/".
bool EnoughSpaceToDecrypt(const std::string& path, float sizeMegabytes);

// Returns true iff the volume that holds folder has at least bytes free.
bool FolderHasRoomFor(const std::string& folder, std::uint64_t bytes);

// Returns the size of path in MiB as the selection records it: bytes / 1024 /
// 1024 as a 32-bit float, -1 bytes for a missing file.
float SizeMegabytes(const std::string& path);

// Copies the body of container (bytes 0 to L-1, L read once more from its
// last four bytes) into workingCopy, a new private file. Returns ok iff the
// whole body was copied; a body length that does not fit the file is
// kDamaged (kBodyLength).
platform::Status CopyBody(const std::string& container, const std::string& workingCopy);

// Which way the engine runs.
enum class Direction { kEncrypt, kDecrypt };

// Runs the engine of cipher over input into output, a new private file in
// the run's working folder, reporting progress under step through ui when
// given. Returns ok iff output was made; else the cause (AES: from the
// engine's call report; a body that does not decode is kDamaged).
platform::Status RunEngine(crypto::Cipher cipher, Direction direction, const std::string& input,
                           const std::string& output, std::string_view password,
                           FrontEnd* ui = nullptr, std::string_view step = {});

// A file restored from a file container inside the run's working folder.
struct RestoredFile {
  platform::Status status;    // not ok: the body did not decrypt; nothing else is set
  std::string path;           // inside the working folder
  std::string relative;       // packed kinds: the entry's path below the chosen folder
  bool unpackFailed = false;  // packed kinds: the body decrypted, the entry did not
                              // (status then says whether the archive is damaged)
  bool noRoom = false;        // packed kinds: the entry does not fit where it lands
};

// Decrypts the file container into the working folder: body copy, engine
// and, for packed kinds, unpacking, once the entry's declared size fits the
// volume of landing (a folder). Progress goes through ui when given.
RestoredFile RestoreFileContainer(const platform::WorkFolder& work, const std::string& container,
                                  const crypto::ContainerKind& kind, std::string_view password,
                                  const std::string& landing, FrontEnd* ui = nullptr);

// Returns true iff the two files hold the same bytes.
bool SameContent(const std::string& a, const std::string& b);

// Gives a finished result in the working folder the mode of a new shared
// file and puts its bytes on the disk. Returns true iff both worked.
bool SealResult(const std::string& path);

// Moves the file from (in work) to the result path to, creating missing
// folders between folder and to (relative holds them). With replace, an
// existing regular file is replaced; anything else there fails.
bool MoveFileIntoPlace(platform::WorkFolder& work, const std::string& from,
                       const std::string& folder, const std::string& relative, bool replace);

// Moves every entry of the tree from (in work) into the existing folder to:
// folders are created where missing, files move in, replacing regular
// files of the same name. A link, or a file where a folder belongs, fails.
bool MergeTreeInto(platform::WorkFolder& work, const std::string& from, const std::string& to);

// A chosen output folder that does not exist yet is made, with its missing
// parents; a run that then fails removes them again if they are empty.
class OutputFolder {
 public:
  // Returns true iff folder is a folder afterwards.
  bool Make(const std::string& folder);
  // Removes the folders Make created, newest first, where they are empty.
  void RemoveIfUnused();

 private:
  std::vector<std::string> made_;
};

// One restore into a chosen folder: the output folders it made, its
// working folder there and its progress window. However it ends, nothing of
// it stays but a complete result.
class Restore {
 public:
  explicit Restore(FrontEnd& ui) : ui_(ui) {}

  OutputFolder made;
  platform::WorkFolder work;

  // Shows the progress window; Fail, Abandon and Finish close it again.
  void StartProgress(std::string_view caption);

  // Takes back everything the restore made, closes the progress window and
  // shows the message. Returns the failed outcome with cause and status.
  FlowOutcome Fail(std::string_view title, std::string_view message, int style,
                   std::string_view cause = {}, platform::Status status = {});

  // The same without a message: the restore was not wanted after all.
  void Abandon();

  // Keeps what was moved into place and closes the progress window.
  void Finish();

 private:
  FrontEnd& ui_;
  bool progressShown_ = false;
};

// Which panel a container choice serves.
enum class Panel { kFile, kFolder };

// The shared choice of a container (gadgets 46 and 51).
bool ChooseContainer(AppState& state, FrontEnd& ui, Panel panel);

}  // namespace flows::internal

#endif  // TRESOLIN_APP_FLOWS_STEPS_H_
