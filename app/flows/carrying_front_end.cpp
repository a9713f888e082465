// Handing a flow's front-end calls over to where the front end lives, and
// the answers a window's tests give in advance.
#include "app/flows/flows.h"

namespace flows {

std::string DialogAnswers::Answer(std::deque<std::string>& list, std::string_view title) {
  if (onQuestion) onQuestion();
  dialogTitles.emplace_back(title);
  if (list.empty()) return "";
  std::string answer = std::move(list.front());
  list.pop_front();
  return answer;
}

void DialogAnswers::Record(std::string_view title, std::string_view text, int style) {
  if (onQuestion) onQuestion();
  messages.push_back({std::string(title), std::string(text), style});
}

void CarryingFrontEnd::MessageBox(std::string_view title, std::string_view text, int style) {
  Carry([&] { target_.MessageBox(title, text, style); });
}

std::string CarryingFrontEnd::FileOpenDialog(std::string_view title, std::string_view defaultPath,
                                             std::string_view filter, int filterIndex) {
  std::string chosen;
  Carry([&] { chosen = target_.FileOpenDialog(title, defaultPath, filter, filterIndex); });
  return chosen;
}

std::string CarryingFrontEnd::FileSaveDialog(std::string_view title, std::string_view proposedPath,
                                             std::string_view filter, int filterIndex) {
  std::string chosen;
  Carry([&] { chosen = target_.FileSaveDialog(title, proposedPath, filter, filterIndex); });
  return chosen;
}

std::string CarryingFrontEnd::FolderDialog(std::string_view title, std::string_view startFolder) {
  std::string chosen;
  Carry([&] { chosen = target_.FolderDialog(title, startFolder); });
  return chosen;
}

std::string CarryingFrontEnd::GadgetText(int gadgetNumber) {
  std::string text;
  Carry([&] { text = target_.GadgetText(gadgetNumber); });
  return text;
}

void CarryingFrontEnd::SetGadgetText(int gadgetNumber, std::string_view text) {
  Carry([&] { target_.SetGadgetText(gadgetNumber, text); });
}

void CarryingFrontEnd::StartProgress(std::string_view caption) {
  Carry([&] { target_.StartProgress(caption); });
}

void CarryingFrontEnd::StopProgress() {
  Carry([&] { target_.StopProgress(); });
}

void CarryingFrontEnd::RestoreMainWindow() {
  Carry([&] { target_.RestoreMainWindow(); });
}

}  // namespace flows
