// What the window looks like, for every front end that draws it: the main
// window's gadgets with their numbers, places, texts and initial states, the
// password dialogs' gadgets, the strength meter's arithmetic and the
// progress window's launch. The Qt window on Linux and the Win32 window on
// Windows both build from these tables, so a gadget moves in one place only.
//
// Plain data and pure functions, no toolkit. Coordinates are client pixels
// (x, y, width, height) of the window or tab page that holds the gadget.
#ifndef TRESOLIN_APP_LAYOUT_LAYOUT_H_
#define TRESOLIN_APP_LAYOUT_LAYOUT_H_

#include <chrono>
#include <span>
#include <string_view>

namespace layout {

// ------------------------------------------------------------ main window

inline constexpr char kMainWindowTitle[] = "Tresolin 0.1";
inline constexpr int kClientWidth = 490;
inline constexpr int kClientHeight = 355;
// The tab panel fills the client area above the status bar.
inline constexpr int kTabPanelHeight = 335;

// The credit line of the status bar and the Info tab's second line.
inline constexpr char kCredit[] = "© 2026 Das Tresolin-Team";
inline constexpr char kInfoText[] = "Dieses Program ist Freeware";

// The default gadget font: Arial, 8 points, bold.
inline constexpr char kFontFamily[] = "Arial";
inline constexpr int kFontPoints = 8;

enum Tab { kEncryptTab, kDecryptTab, kInfoTab, kTabCount };
inline constexpr const char* kTabTitles[kTabCount] = {"Verschlüsseln", "Entschlüsseln", "Info"};

enum class Kind {
  kFrame,       // group frame with a title
  kField,       // single-line text field, read-only
  kArea,        // multi-line text field, read-only
  kButton,      // push button
  kImage,       // image button
  kOption,      // option button of a group
  kCheck,       // check box
  kStaticText,  // centred static text: kInfoText, then kCredit
};

// Option groups: A packing of a file, B cipher of a file, C packing of a
// folder, D cipher of a folder. Each holds two buttons, exactly one on.
enum Group { kNoGroup, kGroupA, kGroupB, kGroupC, kGroupD, kGroupCount };

enum class Initially { kAsBuilt, kOn, kOff, kHidden };

// The two pictures of the image buttons.
enum class Picture { kNone, kEncrypt, kDecrypt };

struct GadgetRow {
  int number;
  Tab tab;
  Kind kind;
  int x, y, w, h;
  const char* text;  // "" for fields and image buttons
  Group group = kNoGroup;
  Initially initially = Initially::kAsBuilt;
  Picture picture = Picture::kNone;
};

// The main window's gadgets in the order they are created, tab by tab;
// later gadgets lie above earlier ones.
std::span<const GadgetRow> MainWindowGadgets();

// The row of gadget number, or nullptr.
const GadgetRow* FindGadgetRow(int number);

// -------------------------------------------------------- password dialogs

inline constexpr char kPasswordDialogTitle[] = "Passwort Eingabe:";
inline constexpr char kPasswordLabel[] = "Passwort:";
inline constexpr char kOkText[] = "OK";
inline constexpr char kUnsafeText[] = "Unsicher";
inline constexpr char kSafeText[] = "Sicher";

struct Placed {
  int number;  // 0: the dialog has no such gadget
  int x, y, w, h;
};

// One per dialog (window numbers 1 to 4): client size and each gadget's
// number and place. Dialogs 2 and 4 have no meter.
struct DialogLayout {
  int window;
  int width, height;
  Placed label, field, ok, unsafe, safe, meter;
  bool hasMeter() const { return meter.number != 0; }
};

// The layout of dialog window (1 to 4), or nullptr.
const DialogLayout* DialogLayoutOf(int window);

// ---------------------------------------------------------- strength meter

// The meter picture: 230 x 8 pixels, a white field at x 2 to 227, y 1 to 6
// inside a grey frame. The bar lies in the field at x 2, y 2, 4 pixels high.
inline constexpr int kMeterWidth = 230;
inline constexpr int kMeterHeight = 8;
inline constexpr int kMeterBarX = 2;
inline constexpr int kMeterBarY = 2;
inline constexpr int kMeterBarHeight = 4;
inline constexpr double kMeterBarStep = 28.25;      // pixels per character
inline constexpr double kMeterRedrawLimit = 228.0;  // no redraw from here on
inline constexpr int kMeterBarRed = 255;
inline constexpr int kMeterBarGreen = 128;
inline constexpr int kMeterBarBlue = 64;
inline constexpr std::chrono::milliseconds kMeterPollPause{1};

// Returns characters x 28.25 rounded to the nearest pixel, a tie going to
// the even one (2 characters give 56, 6 give 170).
int MeterBarWidth(int characters);

// Returns true iff the bar is redrawn for this many characters, i.e. iff
// characters x 28.25 < 228.0 (0 to 8 characters). From the ninth character
// on, the meter keeps the picture it showed last.
bool MeterRedraws(int characters);

// ----------------------------------------------------------- button images

// The image buttons' pictures: button face, an icon, a caption.
inline constexpr int kButtonImageWidth = 95;
inline constexpr int kButtonImageHeight = 60;
inline constexpr int kEncryptIconX = 23, kEncryptIconY = 0, kEncryptIconSize = 48;
inline constexpr int kDecryptIconX = 28, kDecryptIconY = 5, kDecryptIconSize = 38;
inline constexpr int kImageCaptionX = 8, kImageCaptionY = 45;
inline constexpr char kEncryptCaption[] = "Verschlüsseln";
inline constexpr char kDecryptCaption[] = "Entschlüsseln";

// -------------------------------------------------------- progress window

// The progress program below the program's folder, and the environment
// variable that carries its caption.
inline constexpr std::string_view kProgressProgram = "data/hourspin";
inline constexpr std::string_view kCaptionVariable = "titel";

}  // namespace layout

#endif  // TRESOLIN_APP_LAYOUT_LAYOUT_H_
