// The window's tables.
#include "app/layout/layout.h"

#include <cmath>

namespace layout {
namespace {

// clang-format off
constexpr GadgetRow kGadgets[] = {
    // number, tab, kind, x, y, w, h, text, option group, initial state, picture
    {1,   kEncryptTab, Kind::kFrame,      5,    10,   475,  135, "Datei Schützen",      kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {5,   kEncryptTab, Kind::kField,      10,   30,   360,  20,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {6,   kEncryptTab, Kind::kButton,     375,  28,   95,   25,  "Datei Wählen",        kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {2,   kEncryptTab, Kind::kFrame,      10,   60,   115,  50,  "Verschlüsselung ",    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {3,   kEncryptTab, Kind::kFrame,      135,  60,   115,  50,  "Packen",              kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {8,   kEncryptTab, Kind::kOption,     140,  75,   80,   15,  "ja",                  kGroupA,  Initially::kOff,      Picture::kNone},
    {10,  kEncryptTab, Kind::kOption,     140,  90,   75,   15,  "nein",                kGroupA,  Initially::kOn,       Picture::kNone},
    {11,  kEncryptTab, Kind::kImage,      375,  65,   95,   60,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kEncrypt},
    {14,  kEncryptTab, Kind::kOption,     15,   75,   90,   15,  "AES",                 kGroupB,  Initially::kOn,       Picture::kNone},
    {16,  kEncryptTab, Kind::kOption,     15,   90,   86,   15,  "RC4",                 kGroupB,  Initially::kOff,      Picture::kNone},
    {23,  kEncryptTab, Kind::kFrame,      5,    155,  475,  135, "Ordner Schützen",     kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {15,  kEncryptTab, Kind::kCheck,      260,  65,   110,  15,  "Orginal Ersetzen",    kNoGroup, Initially::kOff,      Picture::kNone},
    {28,  kEncryptTab, Kind::kField,      10,   175,  360,  20,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {29,  kEncryptTab, Kind::kButton,     375,  173,  95,   25,  "Ordner Wählen",       kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {34,  kEncryptTab, Kind::kImage,      375,  210,  95,   60,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kEncrypt},
    {26,  kEncryptTab, Kind::kFrame,      135,  205,  115,  50,  "Packen",              kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {31,  kEncryptTab, Kind::kOption,     145,  220,  80,   15,  "ja",                  kGroupC,  Initially::kOff,      Picture::kNone},
    {33,  kEncryptTab, Kind::kOption,     145,  235,  90,   15,  "nein",                kGroupC,  Initially::kOn,       Picture::kNone},
    {25,  kEncryptTab, Kind::kFrame,      10,   205,  115,  50,  "Verschlüsselung ",    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {37,  kEncryptTab, Kind::kOption,     15,   220,  90,   15,  "AES",                 kGroupD,  Initially::kOn,       Picture::kNone},
    {39,  kEncryptTab, Kind::kOption,     15,   235,  86,   15,  "RC4",                 kGroupD,  Initially::kOff,      Picture::kNone},
    // Folders are never replaced; this box exists for its number only.
    {38,  kEncryptTab, Kind::kCheck,      260,  210,  110,  15,  "Orginal Ersetzen",    kNoGroup, Initially::kHidden,   Picture::kNone},

    {44,  kDecryptTab, Kind::kFrame,      5,    10,   475,  135, "Datei Entschlüsseln", kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {45,  kDecryptTab, Kind::kField,      10,   30,   360,  20,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {46,  kDecryptTab, Kind::kButton,     375,  28,   95,   25,  "Datei Wählen",        kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {48,  kDecryptTab, Kind::kArea,       20,   70,   340,  50,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {42,  kDecryptTab, Kind::kImage,      375,  65,   95,   60,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kDecrypt},
    {49,  kDecryptTab, Kind::kFrame,      5,    155,  475,  135, "Ordner Entschlüsseln", kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {50,  kDecryptTab, Kind::kField,      10,   175,  360,  20,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {51,  kDecryptTab, Kind::kButton,     375,  173,  95,   25,  "Ordner Wählen",       kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {53,  kDecryptTab, Kind::kArea,       20,   215,  340,  50,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
    {43,  kDecryptTab, Kind::kImage,      375,  210,  95,   60,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kDecrypt},

    {54,  kInfoTab,    Kind::kStaticText, 145,  143,  200,  40,  "",                    kNoGroup, Initially::kAsBuilt,  Picture::kNone},
};
// clang-format on

// clang-format off
constexpr DialogLayout kDialogs[] = {
    // window, client size, "Passwort:", field, OK, "Unsicher", "Sicher", meter picture
    {1, 250, 80, {56, 5, 20, 60, 20}, {55, 65, 18, 130, 20}, {57, 200, 18, 40, 20},
                 {58, 10, 50, 50, 15}, {59, 205, 50, 50, 15}, {64, 10, 65, 230, 8}},
    {2, 250, 35, {66, 5, 10, 60, 20}, {65, 65, 8, 130, 20},  {67, 200, 8, 40, 20},
                 {}, {}, {}},
    {3, 250, 80, {74, 5, 20, 60, 20}, {73, 65, 18, 130, 20}, {75, 200, 18, 40, 20},
                 {76, 10, 50, 50, 15}, {77, 205, 50, 50, 15}, {80, 10, 65, 230, 8}},
    {4, 250, 35, {82, 5, 10, 60, 20}, {81, 65, 8, 130, 20},  {83, 200, 8, 40, 20},
                 {}, {}, {}},
};
// clang-format on

}  // namespace

std::span<const GadgetRow> MainWindowGadgets() {
  return kGadgets;
}

const GadgetRow* FindGadgetRow(int number) {
  for (const GadgetRow& row : kGadgets) {
    if (row.number == number) return &row;
  }
  return nullptr;
}

const DialogLayout* DialogLayoutOf(int window) {
  for (const DialogLayout& dialog : kDialogs) {
    if (dialog.window == window) return &dialog;
  }
  return nullptr;
}

int MeterBarWidth(int characters) {
  // std::nearbyint rounds in the default mode, to nearest with ties to even.
  return static_cast<int>(std::nearbyint(characters * kMeterBarStep));
}

bool MeterRedraws(int characters) {
  return characters * kMeterBarStep < kMeterRedrawLimit;
}

}  // namespace layout
