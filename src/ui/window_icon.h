// The window's icon as XPM text compiled into the program: 128 x 128 pixels,
// 1,251 colours (transparent first), 2 characters per pixel.
#ifndef SFX_UI_WINDOW_ICON_H_
#define SFX_UI_WINDOW_ICON_H_

extern const char* const windowIconXpm[];
extern const int windowIconXpmLines;

#endif  // SFX_UI_WINDOW_ICON_H_
