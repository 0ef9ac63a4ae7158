#include "progress_window.h"

#include <FL/Fl.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <cmath>
#include <memory>

#include "desktop_scale.h"
#include "display_text.h"
#include "icon_image.h"
#include "interruption.h"
#include "window_icon.h"
#include "window_layout.h"

namespace {

const char* const TITLE = "Sambrel Ivox SFX Tool";
const char* const CAPTION = "Extraindo arquivos";
const char* const WAITING_CAPTION = "Aguardando outro instalador neste diretório";
const char* const REMOVING_CAPTION = "Removendo arquivos antigos";
const char* const CLOSE_LABEL = "Fechar";
const char* const FAILURE_PREFIX = "Falha na extração: ";
const char* const COMMAND_FAILURE_PREFIX = "Falha ao iniciar o comando: ";
// WM_CLASS: task lists group windows by it, and the toolkit's default names the toolkit.
const char* const WINDOW_CLASS = "sfx-stub";

// Colour-map index 4 is pure blue in the default map; FL_BLUE (216) looks the same but
// follows a different slot if the map is changed.
const Fl_Color BAR_COLOR = 4;
// When to pass: extraction_listener.h.
using listener_pace::ANSWER_INTERVAL;
using listener_pace::SCREEN_INTERVAL;
const int CAPTION_LINES = 2;
// Room left at each end of the bar's label, so that it never touches the frame.
const int BAR_PADDING = 4;

// The toolkit's normal labels read "@..." as a symbol: ours show names as they are.
const Fl_Labeltype LITERAL_LABEL = FL_FREE_LABELTYPE;

void drawLiteral(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align) {
  fl_font(label->font, label->size);
  fl_color(label->color);
  fl_draw(label->value, x, y, w, h, align, label->image, 0);
}

void measureLiteral(const Fl_Label* label, int& w, int& h) {
  fl_font(label->font, label->size);
  fl_measure(label->value, w, h, 0);
}

}  // namespace

ProgressWindow::ProgressWindow(uint64_t entryCount)
    : Fl_Window(window_layout::WIDTH, window_layout::HEIGHT, nullptr), entryCount(entryCount) {
  {
    // Decoded without the X display, which is opened only by show(), after the toolkit
    // has read "-display". The window copies the icon, so the image may go here.
    RgbaImage decoded = decodeXpm(windowIconXpm);
    Fl_RGB_Image image(decoded.pixels.data(), decoded.width, decoded.height, 4);
    icon(&image);
  }
  label(TITLE, TITLE);
  xclass(WINDOW_CLASS);
  Fl::set_labeltype(LITERAL_LABEL, drawLiteral, measureLiteral);

  begin();
  using namespace window_layout;
  progressBar = new Fl_Progress(BAR_X, BAR_Y, BAR_W, BAR_H, "");
  progressBar->labeltype(LITERAL_LABEL);
  progressBar->selection_color(BAR_COLOR);
  progressBar->maximum(float(entryCount));
  progressBar->minimum(0);
  progressBar->value(0);

  captionBox = new Fl_Box(CAPTION_X, CAPTION_Y, CAPTION_W, CAPTION_H, CAPTION);
  captionBox->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  captionBox->labeltype(LITERAL_LABEL);

  closeButton = new Fl_Button(BUTTON_X, BUTTON_Y, BUTTON_W, BUTTON_H, CLOSE_LABEL);
  closeButton->callback(closeCallback, this);
  closeButton->shortcut(FL_Enter);
  closeButton->deactivate();
  end();

  Fl::check();
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::setEntryCount(uint64_t count) {
  entryCount = count;
  progressBar->maximum(float(count));
}

void ProgressWindow::show() {
  if (!fitted) {
    fitted = true;
    fitToDesktop();
  }
  Fl_Window::show();
}

void ProgressWindow::draw() {
  Fl_Window::draw();
  everDrawn = true;
}

void ProgressWindow::fitToDesktop() {
  fl_open_display();
  const double scale = desktopScale(XGetDefault(fl_display, "Xft", "dpi"));
  const auto scaled = [scale](int n) { return int(std::lround(n * scale)); };
  using window_layout::HEIGHT;
  using window_layout::ICON_SIZE;
  using window_layout::WIDTH;
  if (scale != 1.0) {
    // A size given with -geometry has already been applied, children and all.
    const bool sizeGiven = w() != WIDTH || h() != HEIGHT;
    for (int i = 0; i < children(); ++i) {
      Fl_Widget* widget = child(i);
      widget->labelsize(scaled(widget->labelsize()));
      if (!sizeGiven)
        widget->resize(scaled(widget->x()), scaled(widget->y()), scaled(widget->w()),
                       scaled(widget->h()));
    }
    if (!sizeGiven) size(scaled(WIDTH), scaled(HEIGHT));

    // The window manager picks among the sizes offered; the larger one is drawn from the
    // 128-pixel picture.
    RgbaImage decoded = decodeXpm(windowIconXpm);
    Fl_RGB_Image image(decoded.pixels.data(), decoded.width, decoded.height, 4);
    Fl_Image::RGB_scaling(FL_RGB_SCALING_BILINEAR);
    std::unique_ptr<Fl_Image> large(image.copy(scaled(ICON_SIZE), scaled(ICON_SIZE)));
    const Fl_RGB_Image* both[] = {&image, static_cast<Fl_RGB_Image*>(large.get())};
    icons(both, 2);
  }
  // A position given with -geometry forces it; otherwise the middle of the screen the
  // user is looking at, as dialogs are placed, rather than wherever the window manager
  // puts new windows.
  if (!force_position()) {
    int mouseX = 0, mouseY = 0, x = 0, y = 0, width = 0, height = 0;
    Fl::get_mouse(mouseX, mouseY);
    Fl::screen_xywh(x, y, width, height, mouseX, mouseY);
    position(x + (width - w()) / 2, y + (height - h()) / 2);
  }
}

void ProgressWindow::onEntry(const std::string& path) {
  if (waiting) {
    captionBox->label(CAPTION);
    waiting = false;
  }
  // The caller's string ends with the call; the bar keeps its own copy, fitted to the bar
  // only when a pass draws it (measuring text on every entry would cost more than the pass).
  barText = printable(path);
  progressBar->copy_label(barText.c_str());
  barFitted = false;
  ++announced;
  progressBar->value(float(announced - 1));
  // The first and the last entry always show; the last is what stays on screen.
  if (announced == 1 || announced == entryCount ||
      std::chrono::steady_clock::now() - lastPass >= SCREEN_INTERVAL)
    eventPass();
  stopIfClosed();
}

void ProgressWindow::onProgress(uint64_t done, uint64_t total) {
  // Entries without bytes are complete at once; before the first entry nothing is.
  const double share = total == 0 ? 1.0 : double(done) / double(total);
  progressBar->value(announced == 0 ? 0.0f : float(double(announced - 1) + share));
  if (announced == entryCount && done == total && !finished) {
    finished = true;
    closeButton->activate();
    eventPass();
  }
  if (std::chrono::steady_clock::now() - lastPass >= ANSWER_INTERVAL) eventPass();
  stopIfClosed();
}

void ProgressWindow::onWaiting() {
  if (!waiting) {
    captionBox->label(WAITING_CAPTION);
    waiting = true;
  }
  eventPass();
  if (!shown()) throw Cancelled();
}

void ProgressWindow::onPulse() {
  if (std::chrono::steady_clock::now() - lastPass >= ANSWER_INTERVAL) eventPass();
  stopIfClosed();
}

void ProgressWindow::stopIfClosed() {
  if (fitted && !shown() && !finished) throw Cancelled();
}

std::string ProgressWindow::fitBarLabel(const std::string& text) {
  if (!shown()) return text;  // measured on the display; a hidden bar shows nothing
  const int width = progressBar->w() - 2 * Fl::box_dx(progressBar->box()) - 2 * BAR_PADDING;
  fl_font(progressBar->labelfont(), progressBar->labelsize());
  return shortenMiddleToFit(text, [width](const std::string& shown) {
    return fl_width(shown.c_str()) <= width;
  });
}

void ProgressWindow::eventPass() {
  if (!barFitted) {
    barFitted = true;
    const std::string fitted = fitBarLabel(barText);
    if (fitted != barText) progressBar->copy_label(fitted.c_str());
  }
  Fl::check();
  lastPass = std::chrono::steady_clock::now();
}

void ProgressWindow::showRemoving(bool removing) {
  if (failureShown) return;
  captionBox->label(removing ? REMOVING_CAPTION : CAPTION);
  redraw();
}

void ProgressWindow::showFailure(const std::string& message, Failing what) {
  failureShown = true;
  const std::string prefix = what == Failing::Command ? COMMAND_FAILURE_PREFIX : FAILURE_PREFIX;
  const int width = captionBox->w() - 2 * Fl::box_dx(captionBox->box());
  fl_font(captionBox->labelfont(), captionBox->labelsize());
  const auto fits = [&](const std::string& text) {
    int w = width, h = 0;
    fl_measure(text.c_str(), w, h, 0);
    return w <= width && h <= CAPTION_LINES * fl_height();
  };
  captionBox->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  const std::string reason = shortenToFit(
      printable(message), [&](const std::string& text) { return fits(prefix + text); });
  captionBox->copy_label((prefix + reason).c_str());
  closeButton->activate();
  redraw();
}

void ProgressWindow::closeCallback(Fl_Widget* widget, void*) { widget->window()->hide(); }
