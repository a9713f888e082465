// Times BuildFolderArchive and PackFile (deflate, level 9, no pause) against
// Info-ZIP `zip -9` on the same input, best of n runs each, and prints MB/s
// and the compressed share. The runs take turns. PackFile is also timed with
// its blocks deflated on one worker, which shows what the other cores add.
//
//   archive_bench input <path> <bytes>           text-like file of that size
//   archive_bench folder <tree> <work> <repeats>  BuildFolderArchive vs zip -r -9
//   archive_bench pack <file> <work> <repeats>    PackFile vs zip -9
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/internal.h"

namespace {

namespace fs = std::filesystem;

double Seconds(const std::function<bool()>& run) {
  const auto start = std::chrono::steady_clock::now();
  if (!run()) {
    std::fprintf(stderr, "run failed\n");
    std::exit(1);
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

// Best time of each run, the runs in turns so that load from elsewhere on the
// machine falls on all alike.
std::vector<double> BestInTurns(int repeats, const std::vector<std::function<bool()>>& runs) {
  std::vector<double> best(runs.size(), 1e300);
  for (int i = 0; i < repeats; ++i) {
    for (std::size_t r = 0; r < runs.size(); ++r) best[r] = std::min(best[r], Seconds(runs[r]));
  }
  return best;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void Row(const char* tool, double inputBytes, double seconds, const std::string& output) {
  const double outBytes = static_cast<double>(fs::file_size(output));
  std::printf("  %-22s %9.3f %9.1f %12.0f %9.1f%%\n", tool, seconds, inputBytes / seconds / 1e6,
              outBytes, 100.0 * outBytes / inputBytes);
}

void Header(const char* what, double inputBytes, std::size_t files) {
  std::printf("%s: %.1f MB in %zu file(s)\n", what, inputBytes / 1e6, files);
  std::printf("  %-22s %9s %9s %12s %10s\n", "tool", "seconds", "MB/s", "bytes out", "out/in");
}

int MakeInput(const std::string& path, long long bytes) {
  // Words drawn from a small vocabulary: compresses about as well as prose.
  static const char* kWords[] = {"der ",      "Ordner ", "wird ",       "verschlüsselt ",
                                 "und ",      "die ",    "Datei ",      "gepackt ",
                                 "archive ",  "entry ",  "0x7f3a ",     "\n",
                                 "Passwort ", "mit ",    "2024-06-15 ", "ZIP "};
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string block;
  unsigned x = 12345;
  long long written = 0;
  while (written < bytes) {
    block.clear();
    while (block.size() < 1 << 16) {
      x = x * 1103515245u + 12345u;
      block += kWords[(x >> 16) % (sizeof kWords / sizeof kWords[0])];
    }
    const long long n = std::min<long long>(bytes - written, static_cast<long long>(block.size()));
    out.write(block.data(), n);
    written += n;
  }
  return out ? 0 : 1;
}

int Folder(const std::string& tree, const std::string& work, int repeats) {
  archive::FolderFileList list;
  archive::CollectFolderFiles(tree, list);
  double bytes = 0;
  for (const std::string& file : list.files) bytes += static_cast<double>(fs::file_size(file));
  const std::string ours = work + "/ours.zip";
  const std::string theirs = work + "/zip.zip";
  Header("Folder archive", bytes, list.files.size());
  const std::vector<double> t = BestInTurns(
      repeats, {[&] {
                  archive::FolderFileList walked;
                  fs::remove(ours);  // the writer creates new archives only
                  // The walk is part of the flow's work, so it is timed too.
                  return archive::CollectFolderFiles(tree, walked) &&
                         archive::BuildFolderArchive(tree + "/", ours, true, walked, 0).ok();
                },
                [&] {
                  fs::remove(theirs);
                  const std::string zip =
                      "cd " + Quote(tree) + " && zip -r -9 -q " + Quote(theirs) + " .";
                  return std::system(zip.c_str()) == 0;
                }});
  Row("BuildFolderArchive", bytes, t[0], ours);
  Row("zip -r -9", bytes, t[1], theirs);
  std::printf("  speed ratio ours/zip: %.2f\n", t[1] / t[0]);
  return 0;
}

int Pack(const std::string& file, const std::string& work, int repeats) {
  const double bytes = static_cast<double>(fs::file_size(file));
  const std::string ours = work + "/ours.ppp";
  const std::string theirs = work + "/zip.zip";
  Header("Single file", bytes, 1);
  const std::string oneWorker = work + "/one-worker.ppp";
  // Deflate in blocks on one worker: what the cores add, and what the blocks
  // cost on their own.
  const auto pack = [&](int workers, const std::string& out) {
    archive::internal::SetDeflateWorkers(workers);
    fs::remove(out);  // the writer creates new archives only
    const bool packed = archive::PackFile(file, out, 0).ok();
    archive::internal::SetDeflateWorkers(0);
    return packed;
  };
  const std::vector<double> t = BestInTurns(
      repeats,
      {[&] { return pack(0, ours); },
       [&] {
         fs::remove(theirs);
         return std::system(("zip -9 -q -j " + Quote(theirs) + " " + Quote(file)).c_str()) == 0;
       },
       [&] { return pack(1, oneWorker); }});
  Row("PackFile", bytes, t[0], ours);
  Row("zip -9", bytes, t[1], theirs);
  Row("PackFile, one worker", bytes, t[2], oneWorker);
  std::printf("  speed ratio ours/zip: %.2f, on %d workers/one: %.2f\n", t[1] / t[0],
              archive::internal::DeflateWorkers(), t[2] / t[0]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "input") return MakeInput(args[1], std::stoll(args[2]));
  if (args.size() == 4 && args[0] == "folder") return Folder(args[1], args[2], std::stoi(args[3]));
  if (args.size() == 4 && args[0] == "pack") return Pack(args[1], args[2], std::stoi(args[3]));
  std::fprintf(stderr,
               "usage: archive_bench input <path> <bytes>\n"
               "       archive_bench folder <tree> <work> <repeats>\n"
               "       archive_bench pack <file> <work> <repeats>\n");
  return 2;
}
