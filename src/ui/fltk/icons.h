// The 32 x 32 pictures of the FLTK front-end, drawn here pixel by pixel in the standard
// 16-colour palette: the application's icon and the three message-box symbols.
#pragma once

#include <vector>

namespace lumora::fltk_ui {

constexpr int kIconSize = 32;  // pixels, both ways

enum class Picture {
  kApplication,  // a computer beside a software box
  kError,        // red disc with a white cross
  kWarning,      // yellow triangle with a black exclamation mark
  kInformation,  // white speech bubble with a blue letter i
  kBlank,        // every pixel light grey (palette colour 7)
};

// Rows of kIconSize characters, one per pixel: a letter names a palette colour, '.' is
// transparent.
const char* const* PictureRows(Picture picture);

// The picture as RGBA bytes, row by row (transparent pixels have alpha 0). An unknown
// letter is drawn magenta, so a slip in the pixel data shows at once.
std::vector<unsigned char> PictureRgba(Picture picture);

}  // namespace lumora::fltk_ui
