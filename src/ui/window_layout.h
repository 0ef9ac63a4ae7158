// Where everything sits in the progress window, in pixels at scale 1 (the toolkit scales
// the whole window with the desktop). The window's tests read these lines too
// (tests/support/sfx_testlib.py, LAYOUT), so each stays one `constexpr int NAME = VALUE;`.
#ifndef SFX_UI_WINDOW_LAYOUT_H_
#define SFX_UI_WINDOW_LAYOUT_H_

namespace window_layout {

constexpr int WIDTH = 605;
constexpr int HEIGHT = 140;
constexpr int ICON_SIZE = 128;

// "Extraindo arquivos", or why it failed, above the bar.
constexpr int CAPTION_X = 5;
constexpr int CAPTION_Y = 13;
constexpr int CAPTION_W = 595;
constexpr int CAPTION_H = 29;

// The bar, with its frame.
constexpr int BAR_X = 5;
constexpr int BAR_Y = 48;
constexpr int BAR_W = 595;
constexpr int BAR_H = 35;

// "Fechar".
constexpr int BUTTON_X = 455;
constexpr int BUTTON_Y = 95;
constexpr int BUTTON_W = 145;
constexpr int BUTTON_H = 35;

}  // namespace window_layout

#endif  // SFX_UI_WINDOW_LAYOUT_H_
