// Test support: a front end whose dialogs answer from a script and which
// records every message, field change and progress phase.
#ifndef TRESOLIN_TESTS_SUPPORT_SCRIPTED_FRONT_END_H_
#define TRESOLIN_TESTS_SUPPORT_SCRIPTED_FRONT_END_H_

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "app/flows/flows.h"

namespace testing_support {

struct Message {
  std::string title, text;
  int style = 0;
  bool operator==(const Message&) const = default;
};

// The messages the flows show, as a user sees them.
namespace messages {
inline const Message kDecryptFailed{"Fehler", "Fehler bei der Entschlüsselung", 16};
inline const Message kDecrypted{"Verschlüsselung", "Entschlüsselung erfolgreich beendet", 64};
inline const Message kEncryptFailed{"Fehler", "Fehler bei der Verschlüsselung", 16};
inline const Message kEncrypted{"Verschlüsselung", "Verschlüsselung erfolgreich beendet", 64};
inline const Message kNoSpace{"Fehler", "Zu wenig Festplattenspeicher zum Entschlüsseln vorhanden.",
                              0};
inline const Message kNotOurs{"Meldung", "Das ist keine mit diesem Program verschlüsselte Datei.",
                              0};
inline const Message kUnpackFailed{"Meldung", "Entschlüsselung Fehlerhaft.", 0};
inline const Message kUnpacked{"Meldung", "Entschlüsselung abgeschlossen", 0};
inline const Message kWrongPassword{"Fehler", "Falsches Passwort", 16};
}  // namespace messages

class ScriptedFrontEnd : public flows::FrontEnd {
 public:
  // Answers given in order; an exhausted script answers "" (a cancel).
  std::deque<std::string> openAnswers, saveAnswers, folderAnswers;
  std::map<int, std::string> fields;

  std::vector<Message> messages;
  std::vector<std::string> dialogTitles;
  std::vector<std::string> proposedNames;
  std::vector<std::string> progress;  // "start:<caption>", "stop", "restore"
  int running = 0;

  void MessageBox(std::string_view title, std::string_view text, int style) override {
    messages.push_back({std::string(title), std::string(text), style});
  }
  std::string FileOpenDialog(std::string_view title, std::string_view, std::string_view,
                             int) override {
    dialogTitles.emplace_back(title);
    return Next(openAnswers);
  }
  std::string FileSaveDialog(std::string_view title, std::string_view proposed, std::string_view,
                             int) override {
    dialogTitles.emplace_back(title);
    proposedNames.emplace_back(proposed);
    return Next(saveAnswers);
  }
  std::string FolderDialog(std::string_view title, std::string_view) override {
    dialogTitles.emplace_back(title);
    return Next(folderAnswers);
  }
  std::string GadgetText(int gadgetNumber) override { return fields[gadgetNumber]; }
  void SetGadgetText(int gadgetNumber, std::string_view text) override {
    fields[gadgetNumber] = std::string(text);
  }
  void StartProgress(std::string_view caption) override {
    progress.push_back("start:" + std::string(caption));
    ++running;
  }
  void StopProgress() override {
    progress.push_back("stop");
    if (running > 0) --running;
  }
  void RestoreMainWindow() override { progress.push_back("restore"); }

  // The last message, or an empty one.
  Message Last() const { return messages.empty() ? Message{} : messages.back(); }

 private:
  static std::string Next(std::deque<std::string>& answers) {
    if (answers.empty()) return "";
    std::string answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

}  // namespace testing_support

#endif  // TRESOLIN_TESTS_SUPPORT_SCRIPTED_FRONT_END_H_
