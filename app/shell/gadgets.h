// Gadgets by number. Every control of the main window and of the password
// dialogs carries its number as its identity: the object name "gadget-N".
// Events are dispatched on these numbers, and the flows read and write
// controls through them. GUI thread only.
#ifndef TRESOLIN_APP_SHELL_GADGETS_H_
#define TRESOLIN_APP_SHELL_GADGETS_H_

#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <string>
#include <string_view>

namespace shell {

// A push button that shows a composed picture instead of a text: the
// button's own frame, and the picture centred inside it, clipped to the
// frame, shifted by a pixel while the button is down.
class ImageButton : public QPushButton {
  Q_OBJECT

 public:
  ImageButton(QPixmap picture, QWidget* parent);
  const QPixmap& picture() const { return picture_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
};

// A read-only field that shows a path: the whole path as its tooltip and,
// when the path is wider than the field, the path with its middle left out,
// so that the file name stays in view. text() is always the whole path;
// while the field has the focus it scrolls through it as any field does.
class PathField : public QLineEdit {
  Q_OBJECT

 public:
  explicit PathField(QWidget* parent);

  // Returns the text as painted without the focus.
  QString shownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect TextRect() const;
};

// Returns "gadget-N".
QString GadgetName(int number);

// Returns the gadget with this number below root, or nullptr.
QWidget* FindGadget(const QWidget* root, int number);

// Returns the text of a text field (line or multi-line) or label as UTF-8;
// a multi-line field gives its line breaks as CR LF, the way they were set.
// Returns "" for any other gadget.
std::string TextOf(const QWidget* gadget);

// Sets the text of a text field or label from UTF-8. CR LF is a line break.
void SetTextOf(QWidget* gadget, std::string_view text);

// Returns true iff gadget is an option button or check box that is on.
bool IsOn(const QWidget* gadget);

}  // namespace shell

#endif  // TRESOLIN_APP_SHELL_GADGETS_H_
