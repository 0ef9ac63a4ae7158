// How large the window is drawn on the desktop at hand.
#ifndef SFX_UI_DESKTOP_SCALE_H_
#define SFX_UI_DESKTOP_SCALE_H_

// The factor the desktop asks for through its Xft.dpi resource (GNOME and KDE set 192 at
// 200%): dpi / 96, rounded to a quarter so that lines and text stay on whole pixels, never
// below 1 nor above 4. `xftDpi` is the resource's text, null where none is set.
double desktopScale(const char* xftDpi);

#endif  // SFX_UI_DESKTOP_SCALE_H_
