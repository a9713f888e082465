// Nothing of the user's is touched but the source and the result: files and
// links that carry the old working names, temporary folders as output,
// failures at every system call, honest outcomes. Every kind, both ways.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "app/flows/flows.h"
#include "crypto/trailer.h"
#include "platform/platform.h"
#include "tests/support/scripted_front_end.h"
#include "tests/support/temp_folder.h"

namespace {

using testing_support::Exists;
using testing_support::Listing;
using testing_support::Message;
using testing_support::RandomBytes;
using testing_support::ReadFile;
using testing_support::ScriptedFrontEnd;
using testing_support::TempFolder;
using testing_support::WriteFile;
namespace fs = std::filesystem;
namespace gadget = flows::gadget;
using flows::FlowResult;

// Every entry below root (links not followed) with its content: a file's
// size and hash, a link's target, "" for a folder.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string name = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      tree[name] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      const auto bytes = ReadFile(it->path());
      tree[name] =
          std::to_string(bytes.size()) + " bytes, hash " +
          std::to_string(std::hash<std::string>{}(std::string(bytes.begin(), bytes.end())));
    } else {
      tree[name] = "";
    }
  }
  return tree;
}

// The tree less an entry that a run added as its result, with all below it.
std::map<std::string, std::string> Without(std::map<std::string, std::string> tree,
                                           const std::string& name) {
  for (auto it = tree.begin(); it != tree.end();) {
    const bool added = it->first == name || it->first.rfind(name + "/", 0) == 0;
    it = added ? tree.erase(it) : std::next(it);
  }
  return tree;
}

bool HoldsWorkFolder(const std::string& root) {
  for (const auto& [name, content] : Tree(root)) {
    if (fs::path(name).filename().string().rfind(std::string(platform::kWorkFolderPrefix), 0) ==
        0) {
      return true;
    }
  }
  return false;
}

struct Kind {
  bool rc4, packed;
  std::string Name() const {
    return std::string(rc4 ? "rc4" : "aes") + (packed ? " packed" : " plain");
  }
};
const Kind kKinds[] = {{false, false}, {true, false}, {false, true}, {true, true}};

class Safety : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "tmp");
    fs::create_directories(dir_ / "work");
    state_.tempFolder = (dir_ / "tmp") + "/";
    state_.archivePauseMs = 0;
    state_.password = "geheim";
  }
  void TearDown() override { platform::ClearFaultPlan(); }

  static crypto::Cipher Cipher(Kind kind) {
    return kind.rc4 ? crypto::Cipher::kRc4 : crypto::Cipher::kAes;
  }

  flows::FlowOutcome EncryptFile(const std::string& path, Kind kind, bool replace = false) {
    ui_ = ScriptedFrontEnd{};
    state_.sourceFile = path;
    ui_.fields[gadget::kSourceFileField] = path;
    return flows::EncryptFile(state_, ui_, {Cipher(kind), kind.packed, replace, {}});
  }

  flows::FlowOutcome EncryptFolder(const std::string& folder, Kind kind,
                                   const std::string& output) {
    ui_ = ScriptedFrontEnd{};
    state_.sourceFolder = folder + "/";
    ui_.folderAnswers = {output};
    return flows::EncryptFolder(state_, ui_, {Cipher(kind), kind.packed, false, {}});
  }

  // Chooses container on one panel and decrypts it: output answers the save
  // dialog (plain file kinds) or the folder dialog (ending in "/").
  using Choose = bool (*)(flows::AppState&, flows::FrontEnd&);
  using Run = flows::FlowOutcome (*)(flows::AppState&, flows::FrontEnd&);
  flows::FlowOutcome Decrypt(Choose choose, Run run, const std::string& container,
                             const std::string& output) {
    ui_ = ScriptedFrontEnd{};
    ui_.openAnswers = {container};
    if (!choose(state_, ui_)) return {FlowResult::kFailed, ""};
    ui_.saveAnswers = {output};
    ui_.folderAnswers = {output};
    return run(state_, ui_);
  }
  flows::FlowOutcome DecryptFile(const std::string& container, const std::string& output) {
    return Decrypt(flows::ChooseFileContainer, flows::DecryptFile, container, output);
  }
  flows::FlowOutcome DecryptFolder(const std::string& container, const std::string& output) {
    return Decrypt(flows::ChooseFolderContainer, flows::DecryptFolder, container, output);
  }

  TempFolder dir_;
  flows::AppState state_;
  ScriptedFrontEnd ui_;
};

// Each old working name, planted as a file of the user's and as a link to a
// file that must never come into being.
TEST_F(Safety, FilesAndLinksWithWorkingNamesAreNeverTouched) {
  const std::string work = dir_ / "work";
  const std::string tmp = dir_ / "tmp";
  fs::create_directories(work + "/Daten");
  WriteFile(work + "/Daten/inhalt.txt", RandomBytes(20000, 7));
  const auto data = RandomBytes(30000, 3);
  const std::vector<std::string> names = {
      "brief.txt.ppp",  "brief.txt_aes",  "brief.txt_rc4", "brief.txt.pack", "brief.txt.ppp.pack",
      "brief.aes_temp", "brief.rc4_temp", "out.txt.dec",   "out.txt",        "brief.aes_pk",
      "brief.aes_pkpp", "brief.rc4_pk",   "brief.rc4_pkp"};
  const std::vector<std::string> tmpNames = {"Daten.aes", "Daten.rc4", "Daten.zip", "Daten.~temp"};
  for (const bool asLinks : {false, true}) {
    SCOPED_TRACE(asLinks ? "links" : "files");
    auto plant = [&](const std::string& path) {
      if (asLinks) {
        ASSERT_EQ(::symlink((dir_ / "victim").c_str(), path.c_str()), 0) << path;
      } else {
        WriteFile(path, "USERDATA " + path);
      }
    };
    for (const Kind kind : kKinds) {
      SCOPED_TRACE(kind.Name());
      WriteFile(work + "/brief.txt", data);
      for (const auto& name : names) plant(work + "/" + name);
      for (const auto& name : tmpNames) plant(tmp + "/" + name);
      const auto workBefore = Tree(work);
      const auto tmpBefore = Tree(tmp);
      const std::string suffix = kind.rc4 ? ".rc4" : ".aes";

      ASSERT_EQ(EncryptFile(work + "/brief.txt", kind).result, FlowResult::kSucceeded);
      const std::string container = work + "/brief" + suffix;
      if (kind.packed) {
        ASSERT_EQ(DecryptFile(container, work + "/ziel/").result, FlowResult::kSucceeded);
        EXPECT_EQ(ReadFile(work + "/ziel/brief.txt"), data);
      } else {
        ASSERT_EQ(DecryptFile(container, work + "/zurueck.txt").result, FlowResult::kSucceeded);
        EXPECT_EQ(ReadFile(work + "/zurueck.txt"), data);
      }
      ASSERT_EQ(EncryptFolder(work + "/Daten", kind, work + "/").result, FlowResult::kSucceeded);
      ASSERT_EQ(DecryptFolder(work + "/Daten" + suffix, work + "/wieder/").result,
                FlowResult::kSucceeded);
      EXPECT_EQ(Tree(work + "/wieder/Daten"), Tree(work + "/Daten"));

      auto after = Tree(work);
      for (const std::string& added : {"brief" + suffix, "Daten" + suffix, std::string("ziel"),
                                       std::string("zurueck.txt"), std::string("wieder")}) {
        after = Without(after, added);
      }
      EXPECT_EQ(after, workBefore);
      EXPECT_EQ(Tree(tmp), tmpBefore);
      EXPECT_FALSE(Exists(dir_ / "victim"));
      fs::remove_all(work);
      fs::remove_all(tmp);
      fs::create_directories(work + "/Daten");
      fs::create_directories(tmp);
      WriteFile(work + "/Daten/inhalt.txt", RandomBytes(20000, 7));
    }
  }
}

TEST_F(Safety, TheTemporaryFolderIsAnOutputFolderLikeAnyOther) {
  fs::create_directories(dir_ / "work/Daten");
  WriteFile(dir_ / "work/Daten/a.txt", RandomBytes(5000));
  for (const Kind kind : kKinds) {
    SCOPED_TRACE(kind.Name());
    const std::string container = (dir_ / "tmp/Daten") + (kind.rc4 ? ".rc4" : ".aes");
    ASSERT_EQ(EncryptFolder(dir_ / "work/Daten", kind, state_.tempFolder).result,
              FlowResult::kSucceeded);
    ASSERT_TRUE(Exists(container));
    ASSERT_EQ(DecryptFolder(container, state_.tempFolder).result, FlowResult::kSucceeded);
    EXPECT_EQ(Tree(dir_ / "tmp/Daten"), Tree(dir_ / "work/Daten"));
    fs::remove_all(dir_ / "tmp/Daten");
    fs::remove(container);
    EXPECT_TRUE(Listing(dir_ / "tmp").empty());
  }
}

TEST_F(Safety, AnotherRunsWorkingFolderInsideTheSourceIsNoPartOfIt) {
  const std::string work = dir_ / "work";
  fs::create_directories(work + "/Daten/.tresolin-work-abc123");
  WriteFile(work + "/Daten/a.txt", "eigene Daten");
  WriteFile(work + "/Daten/.tresolin-work-abc123/body", "fremder Klartext");
  ASSERT_EQ(EncryptFolder(work + "/Daten", {true, false}, work + "/").result,
            FlowResult::kSucceeded);
  ASSERT_EQ(DecryptFolder(work + "/Daten.rc4", work + "/r/").result, FlowResult::kSucceeded);
  EXPECT_EQ(Listing(work + "/r/Daten"), std::vector<std::string>{"a.txt"});
}

TEST_F(Safety, TakenContainerNamesFailOrFallBackWithoutReplacing) {
  const std::string work = dir_ / "work";
  WriteFile(work + "/brief.txt", "inhalt");
  WriteFile(work + "/brief.aes", "ALT");
  WriteFile(work + "/brief.txt_aes", "ALT2");
  const auto before = Tree(work);
  const auto outcome = EncryptFile(work + "/brief.txt", {false, false});
  EXPECT_EQ(outcome.result, FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), testing_support::messages::kEncryptFailed);
  EXPECT_EQ(Tree(work), before);

  fs::create_directories(work + "/Daten");
  WriteFile(work + "/Daten.rc4", "ALT3");
  const auto folderBefore = Tree(work);
  EXPECT_EQ(EncryptFolder(work + "/Daten", {true, true}, work + "/").result, FlowResult::kFailed);
  EXPECT_EQ(Tree(work), folderBefore);
}

TEST_F(Safety, RestoringOntoALinkFolderOrDeviceIsRefused) {
  const std::string work = dir_ / "work";
  WriteFile(work + "/brief.txt", "inhalt");
  ASSERT_EQ(EncryptFile(work + "/brief.txt", {true, false}).result, FlowResult::kSucceeded);
  ASSERT_EQ(::symlink((dir_ / "victim").c_str(), (work + "/link").c_str()), 0);
  fs::create_directories(work + "/ordner");
  for (const std::string& target : {work + "/link", work + "/ordner", std::string("/dev/null")}) {
    EXPECT_EQ(DecryptFile(work + "/brief.rc4", target).result, FlowResult::kFailed) << target;
  }
  EXPECT_FALSE(Exists(dir_ / "victim"));
  EXPECT_TRUE(fs::is_symlink(work + "/link"));
  EXPECT_TRUE(fs::is_empty(work + "/ordner"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  // The container itself is never replaced by what it holds.
  EXPECT_EQ(DecryptFile(work + "/brief.rc4", work + "/brief.rc4").result, FlowResult::kFailed);
  EXPECT_EQ(crypto::ReadTrailer(work + "/brief.rc4").markerLine, "rc4no");
}

TEST_F(Safety, DeclaredSizeBeyondTheFreeSpaceIsRefusedBeforeExtraction) {
  const std::string work = dir_ / "work";
  fs::create_directories(work + "/Daten");
  WriteFile(work + "/Daten/nullen", std::string(8 << 20, '\0'));  // packs to a few KiB
  WriteFile(work + "/brief.txt", std::string(8 << 20, '\0'));
  ASSERT_EQ(EncryptFolder(work + "/Daten", {true, true}, work + "/").result,
            FlowResult::kSucceeded);
  ASSERT_EQ(EncryptFile(work + "/brief.txt", {true, true}).result, FlowResult::kSucceeded);
  const auto before = Tree(work);
  platform::FaultPlan plan;
  plan.freeMegabytes = 4;  // room for the small container, not for its content
  platform::SetFaultPlan(plan);
  EXPECT_EQ(DecryptFolder(work + "/Daten.rc4", work + "/").result, FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), testing_support::messages::kNoSpace);
  EXPECT_EQ(DecryptFile(work + "/brief.rc4", work + "/ziel/").result, FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), testing_support::messages::kNoSpace);
  EXPECT_EQ(Tree(work), before);
}

TEST_F(Safety, DamagedPackedFileLeavesNoHalfFileUnderItsName) {
  const std::string work = dir_ / "work";
  WriteFile(work + "/brief.txt", RandomBytes(200000));
  ASSERT_EQ(EncryptFile(work + "/brief.txt", {true, true}).result, FlowResult::kSucceeded);
  auto bytes = ReadFile(work + "/brief.rc4");
  bytes[100000] ^= 0x55;  // inside the entry's data: its checksum catches it
  WriteFile(work + "/brief.rc4", bytes);
  EXPECT_EQ(DecryptFile(work + "/brief.rc4", work + "/ziel/").result, FlowResult::kFailed);
  EXPECT_EQ(ui_.Last(), testing_support::messages::kUnpackFailed);
  EXPECT_FALSE(Exists(work + "/ziel"));
}

// Fails each open, read-open, write, rename and delete of a flow in turn.
// Whatever fails, the source survives, no working file remains, and what
// the flow reports is what is on the disk.
class FaultSweep : public Safety {
 protected:
  // The calls to fail, each with its name for the trace.
  struct Op {
    int platform::FaultPlan::*at;
    const char* name;
  };
  static constexpr Op kOps[] = {{&platform::FaultPlan::failOpenForWriteAt, "open for writing"},
                                {&platform::FaultPlan::failOpenForReadAt, "open for reading"},
                                {&platform::FaultPlan::failWriteAt, "write"},
                                {&platform::FaultPlan::failRenameAt, "rename"},
                                {&platform::FaultPlan::failDeleteAt, "delete"}};
  // More than any flow here makes of each call, so every one is reached.
  static constexpr int kMaxCalls = 24;

  const std::string work_ = dir_ / "work";

  // For each call of each kind, failed in turn, empties work_ and calls run
  // with `failing`, which runs a flow under that fault and returns its
  // outcome.
  template <typename Run>
  void ForEachFault(const std::string& label, Run run) {
    for (const Op& op : kOps) {
      for (int n = 1; n <= kMaxCalls; ++n) {
        SCOPED_TRACE(label + ", " + op.name + " " + std::to_string(n));
        fs::remove_all(work_);
        fs::create_directories(work_);
        platform::FaultPlan plan;
        plan.*op.at = n;
        run([&plan](auto flow) {
          platform::SetFaultPlan(plan);
          const flows::FlowOutcome outcome = flow();
          platform::ClearFaultPlan();
          return outcome;
        });
      }
    }
  }

  void ExpectNoWorkingFiles() {
    EXPECT_FALSE(HoldsWorkFolder(dir_.path()));
    EXPECT_TRUE(Listing(dir_ / "tmp").empty());
  }
};

TEST_F(FaultSweep, FileEncryptionWithReplace) {
  const std::string& work = work_;
  const auto data = RandomBytes(40000, 5);
  int kept = 0;
  for (const Kind kind : kKinds) {
    ForEachFault(kind.Name(), [&](auto failing) {
      WriteFile(work + "/brief.txt", data);
      const auto outcome =
          failing([&] { return EncryptFile(work + "/brief.txt", kind, /*replace=*/true); });
      ExpectNoWorkingFiles();
      const auto listing = Listing(work);
      if (outcome.result != FlowResult::kSucceeded) {
        EXPECT_EQ(listing, std::vector<std::string>{"brief.txt"});
        EXPECT_EQ(ReadFile(work + "/brief.txt"), data);
        return;
      }
      ASSERT_EQ(listing.size(), outcome.originalKept ? 2u : 1u);
      if (outcome.originalKept) {
        ++kept;
        EXPECT_EQ(ReadFile(work + "/brief.txt"), data);
        EXPECT_EQ(ui_.Last(),
                  (Message{"Fehler", "Die Originaldatei konnte nicht gelöscht werden.", 16}));
      }
      // The container that stands restores to the source's bytes.
      ASSERT_EQ(
          DecryptFile(outcome.outputPath, kind.packed ? work + "/r/" : work + "/r.txt").result,
          FlowResult::kSucceeded);
      EXPECT_EQ(ReadFile(kind.packed ? work + "/r/brief.txt" : work + "/r.txt"), data);
    });
  }
  EXPECT_GT(kept, 0);  // some failed delete or read-back was reached and said
}

TEST_F(FaultSweep, FolderEncryption) {
  const std::string& work = work_;
  fs::create_directories(dir_ / "Daten/sub");
  WriteFile(dir_ / "Daten/a.txt", RandomBytes(30000, 1));
  WriteFile(dir_ / "Daten/sub/b.txt", RandomBytes(10000, 2));
  const auto source = Tree(dir_ / "Daten");
  for (const Kind kind : kKinds) {
    ForEachFault(kind.Name(), [&](auto failing) {
      const auto outcome = failing([&] { return EncryptFolder(dir_ / "Daten", kind, work + "/"); });
      ExpectNoWorkingFiles();
      EXPECT_EQ(Tree(dir_ / "Daten"), source);
      if (outcome.result != FlowResult::kSucceeded) {
        EXPECT_TRUE(Listing(work).empty());
        return;
      }
      ASSERT_EQ(DecryptFolder(outcome.outputPath, work + "/r/").result, FlowResult::kSucceeded);
      EXPECT_EQ(Tree(work + "/r/Daten"), source);
    });
  }
}

TEST_F(FaultSweep, FileAndFolderDecryption) {
  const std::string store = dir_ / "store";
  const std::string& work = work_;
  fs::create_directories(store + "/Daten/sub");
  WriteFile(store + "/Daten/a.txt", RandomBytes(30000, 1));
  WriteFile(store + "/Daten/sub/b.txt", RandomBytes(10000, 2));
  const auto data = RandomBytes(40000, 9);
  const auto folder = Tree(store + "/Daten");
  for (const Kind kind : kKinds) {
    for (const char* old : {"brief.aes", "brief.rc4", "Daten.aes", "Daten.rc4"}) {
      fs::remove(store + "/" + old);
    }
    WriteFile(store + "/brief.txt", data);
    ASSERT_EQ(EncryptFile(store + "/brief.txt", kind).result, FlowResult::kSucceeded);
    ASSERT_EQ(EncryptFolder(store + "/Daten", kind, store + "/").result, FlowResult::kSucceeded);
    const std::string suffix = kind.rc4 ? ".rc4" : ".aes";
    const auto stored = Tree(store);
    ForEachFault(kind.Name(), [&](auto failing) {
      const auto file = failing([&] {
        return DecryptFile(store + "/brief" + suffix, kind.packed ? work + "/f/" : work + "/f.txt");
      });
      const std::string restored = kind.packed ? work + "/f/brief.txt" : work + "/f.txt";
      if (file.result == FlowResult::kSucceeded) {
        EXPECT_TRUE(ReadFile(restored) == data);
      } else {
        EXPECT_TRUE(Listing(work).empty());
      }
      const auto tree =
          failing([&] { return DecryptFolder(store + "/Daten" + suffix, work + "/d/"); });
      if (tree.result == FlowResult::kSucceeded) {
        EXPECT_EQ(Tree(work + "/d/Daten"), folder);
      } else {
        EXPECT_FALSE(Exists(work + "/d"));
      }
      ExpectNoWorkingFiles();
      EXPECT_EQ(Tree(store), stored);  // containers are never touched
    });
  }
}

// The AES engine writes past the fault plan, so a file-size limit cuts its
// writes (and everyone else's) short instead; the run is a child process so
// that the limit ends with it.
template <typename Flow>
FlowResult ResultUnderFileSizeLimit(rlim_t limit, Flow flow) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    ::_exit(static_cast<int>(flow().result));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? static_cast<FlowResult>(WEXITSTATUS(status)) : FlowResult::kCancelled;
}

TEST_F(FaultSweep, AesFlowsWithTheirWritesCutShort) {
  const std::string work = dir_ / "work";
  const std::string store = dir_ / "store";
  fs::create_directories(store + "/Daten");
  const auto data = RandomBytes(60000, 4);
  WriteFile(store + "/Daten/a.bin", data);
  WriteFile(store + "/brief.txt", data);
  const auto folder = Tree(store + "/Daten");
  for (const bool packed : {false, true}) {
    const Kind kind{false, packed};
    fs::remove(store + "/brief.aes");
    fs::remove(store + "/Daten.aes");
    ASSERT_EQ(EncryptFile(store + "/brief.txt", kind).result, FlowResult::kSucceeded);
    ASSERT_EQ(EncryptFolder(store + "/Daten", kind, store + "/").result, FlowResult::kSucceeded);
    const auto stored = Tree(store);
    for (rlim_t limit = 0; limit <= 70000; limit += 10000) {
      SCOPED_TRACE(kind.Name() + " limit " + std::to_string(limit));
      fs::remove_all(work);
      fs::create_directories(work);
      WriteFile(work + "/brief.txt", data);
      const FlowResult encrypted =
          ResultUnderFileSizeLimit(limit, [&] { return EncryptFile(work + "/brief.txt", kind); });
      if (encrypted == FlowResult::kSucceeded) {
        ASSERT_EQ(DecryptFile(work + "/brief.aes", packed ? work + "/r/" : work + "/r.txt").result,
                  FlowResult::kSucceeded);
      } else {
        EXPECT_EQ(Listing(work), std::vector<std::string>{"brief.txt"});
      }
      EXPECT_EQ(ReadFile(work + "/brief.txt"), data);

      const FlowResult file = ResultUnderFileSizeLimit(limit, [&] {
        return DecryptFile(store + "/brief.aes", packed ? work + "/f/" : work + "/f.txt");
      });
      if (file == FlowResult::kSucceeded) {
        EXPECT_TRUE(ReadFile(packed ? work + "/f/brief.txt" : work + "/f.txt") == data);
      } else {
        EXPECT_FALSE(Exists(work + "/f") || Exists(work + "/f.txt"));
      }
      const FlowResult tree = ResultUnderFileSizeLimit(
          limit, [&] { return DecryptFolder(store + "/Daten.aes", work + "/d/"); });
      if (tree == FlowResult::kSucceeded) {
        EXPECT_EQ(Tree(work + "/d/Daten"), folder);
      } else {
        EXPECT_FALSE(Exists(work + "/d"));
      }
      ExpectNoWorkingFiles();
      EXPECT_EQ(Tree(store), stored);
    }
  }
}

}  // namespace
