#include "progress_window.h"

#include <FL/Fl.H>
#include <FL/Fl_RGB_Image.H>

#include "icon_image.h"
#include "window_icon.h"

namespace {

const char* const TITLE = "Sambrel Ivox SFX Tool";
const char* const CAPTION = "Extraindo arquivos";
const char* const CLOSE_LABEL = "Fechar";
const char* const FAILURE_PREFIX = "Falha na extração: ";

// Colour-map index 4 is pure blue in the default map; FL_BLUE (216) looks the same but
// follows a different slot if the map is changed.
const Fl_Color BAR_COLOR = 4;

}  // namespace

ProgressWindow::ProgressWindow(uint64_t entryCount)
    : Fl_Window(605, 140, nullptr), entryCount(entryCount) {
  {
    // Decoded without the X display, which is opened only by show(), after the toolkit
    // has read "-display". The window copies the icon, so the image may go here.
    RgbaImage decoded = decodeXpm(windowIconXpm);
    Fl_RGB_Image image(decoded.pixels.data(), decoded.width, decoded.height, 4);
    icon(&image);
  }
  label(TITLE, TITLE);

  begin();
  progressBar = new Fl_Progress(5, 48, 595, 35, "");
  progressBar->selection_color(BAR_COLOR);
  progressBar->maximum(float(entryCount));
  progressBar->minimum(0);
  progressBar->value(0);

  captionBox = new Fl_Box(5, 13, 595, 29, CAPTION);
  captionBox->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);

  closeButton = new Fl_Button(455, 95, 145, 35, CLOSE_LABEL);
  closeButton->callback(closeCallback, this);
  closeButton->deactivate();
  end();

  Fl::check();
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::onEntry(const std::string& path) {
  // The caller's string ends with the call; the bar keeps its own copy.
  progressBar->copy_label(path.c_str());
  progressBar->value(progressBar->value() + 1.0f);
  if (progressBar->value() == float(entryCount)) closeButton->activate();
  Fl::check();
}

void ProgressWindow::showFailure(const std::string& message) {
  captionBox->copy_label((FAILURE_PREFIX + message).c_str());
  closeButton->activate();
  redraw();
}

void ProgressWindow::closeCallback(Fl_Widget* widget, void*) { widget->window()->hide(); }
