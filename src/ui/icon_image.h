// The window icon as RGBA pixels, decoded here rather than by the toolkit: the toolkit's
// pixmap conversion opens the X display, and the window is built before "-display" on
// the command line has been read.
#ifndef SFX_UI_ICON_IMAGE_H_
#define SFX_UI_ICON_IMAGE_H_

#include <vector>

struct RgbaImage {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;  // width * height * 4 bytes, rows top to bottom
};

// Decodes XPM text of the form the icon generator writes: colours "#RRGGBB" or "None".
// "None" pixels become RGB 192, 192, 192 (the toolkit's FL_GRAY) with alpha 0, as the
// toolkit's own conversion against FL_GRAY gives.
RgbaImage decodeXpm(const char* const* xpm);

#endif  // SFX_UI_ICON_IMAGE_H_
