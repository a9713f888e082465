// The process's one sequential reader behind the Zip_ procedures, which go
// once nothing outside this module uses them.
#include <string>

#include "archive/archive.h"
#include "archive/zip_reader.h"

namespace archive {
namespace {

internal::ZipReader& SharedReader() {
  static internal::ZipReader reader;
  return reader;
}

}  // namespace

int Zip_OpenArchive(const std::string& path) {
  return SharedReader().Open(path) ? 1 : 0;
}

int Zip_FirstEntry() {
  return SharedReader().First();
}

int Zip_NextEntry() {
  return SharedReader().Next();
}

int Zip_ExtractCurrent(const std::string& targetDir, bool keepPaths) {
  std::string name;
  int systemError = 0;
  return SharedReader().ExtractCurrent(targetDir, keepPaths, &name, &systemError);
}

int Zip_CloseArchive() {
  SharedReader().Close();
  return kZipOk;
}

}  // namespace archive
