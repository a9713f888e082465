// The window's pictures: the compiled-in icons and meter background, the
// composed image-button pictures, the strength meter's frames, and the
// gadget font. Every bitmap made here is a 24-bit DIB section without an
// alpha channel, so that the controls show it as painted (a 32-bit picture
// would be blended by its zero alpha). The caller owns what it gets and
// frees it with DeleteObject / DestroyIcon. Any thread may paint; handles
// are not tied to a thread.
#ifndef TRESOLIN_APP_WINSHELL_PICTURES_H_
#define TRESOLIN_APP_WINSHELL_PICTURES_H_

#include "app/winshell/win32.h"

#include <cstdint>
#include <span>

#include "app/layout/layout.h"

namespace winshell {

// The bytes of app/shell/resources' encrypt.ico, decrypt.ico and meter.bmp.
std::span<const std::uint8_t> EncryptIco();
std::span<const std::uint8_t> DecryptIco();
std::span<const std::uint8_t> MeterBmp();

// Arial, 8 points, bold, for the screen's pixels per inch.
HFONT CreateGadgetFont();

// The icon of an .ico file's first image, drawn at size x size; nullptr
// when the bytes are no icon.
HICON IconFromIco(std::span<const std::uint8_t> ico, int size);

// The picture of a .bmp file (24 bits per pixel, bottom-up); nullptr when
// the bytes are no such bitmap.
HBITMAP BitmapFromBmp(std::span<const std::uint8_t> bmp);

// The 95 x 60 picture of an image button: button face, the picture's icon
// at its place and size, its caption at (8, 45) in font on the face.
HBITMAP ComposeButtonImage(layout::Picture picture, HFONT font);

// A copy of background with the meter bar for `characters` painted on it.
// Requires: MeterRedraws(characters).
HBITMAP PaintMeter(HBITMAP background, int characters);

// The size of a bitmap, and the colour of one pixel (0x00BBGGRR), read back
// through GetDIBits as a user's screen would show it.
SIZE BitmapSize(HBITMAP bitmap);
COLORREF PixelOf(HBITMAP bitmap, int x, int y);

}  // namespace winshell

#endif  // TRESOLIN_APP_WINSHELL_PICTURES_H_
