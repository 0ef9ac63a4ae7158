#include "progress_window.h"

#include <FL/Fl.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>

#include "display_text.h"
#include "icon_image.h"
#include "interruption.h"
#include "window_icon.h"

namespace {

const char* const TITLE = "Sambrel Ivox SFX Tool";
const char* const CAPTION = "Extraindo arquivos";
const char* const WAITING_CAPTION = "Aguardando outro instalador neste diretório";
const char* const CLOSE_LABEL = "Fechar";
const char* const FAILURE_PREFIX = "Falha na extração: ";

// Colour-map index 4 is pure blue in the default map; FL_BLUE (216) looks the same but
// follows a different slot if the map is changed.
const Fl_Color BAR_COLOR = 4;
// Within a long entry the window answers at this pace.
const auto PASS_INTERVAL = std::chrono::milliseconds(40);
// Between entries, at screen rate: a pass for each of thousands of small entries would
// cost a third of the run, and no one sees frames faster than the screen shows them.
const auto ENTRY_PASS_INTERVAL = std::chrono::milliseconds(16);
const int CAPTION_LINES = 2;

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
    : Fl_Window(605, 140, nullptr), entryCount(entryCount) {
  {
    // Decoded without the X display, which is opened only by show(), after the toolkit
    // has read "-display". The window copies the icon, so the image may go here.
    RgbaImage decoded = decodeXpm(windowIconXpm);
    Fl_RGB_Image image(decoded.pixels.data(), decoded.width, decoded.height, 4);
    icon(&image);
  }
  label(TITLE, TITLE);
  Fl::set_labeltype(LITERAL_LABEL, drawLiteral, measureLiteral);

  begin();
  progressBar = new Fl_Progress(5, 48, 595, 35, "");
  progressBar->labeltype(LITERAL_LABEL);
  progressBar->selection_color(BAR_COLOR);
  progressBar->maximum(float(entryCount));
  progressBar->minimum(0);
  progressBar->value(0);

  captionBox = new Fl_Box(5, 13, 595, 29, CAPTION);
  captionBox->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  captionBox->labeltype(LITERAL_LABEL);

  closeButton = new Fl_Button(455, 95, 145, 35, CLOSE_LABEL);
  closeButton->callback(closeCallback, this);
  closeButton->deactivate();
  end();

  Fl::check();
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::onEntry(const std::string& path) {
  if (waiting) {
    captionBox->label(CAPTION);
    waiting = false;
  }
  // The caller's string ends with the call; the bar keeps its own copy.
  progressBar->copy_label(printable(path).c_str());
  ++announced;
  progressBar->value(float(announced - 1));
  if (announced == entryCount) closeButton->activate();
  // The first and the last entry always show; the last is what stays on screen.
  if (announced == 1 || announced == entryCount ||
      std::chrono::steady_clock::now() - lastPass >= ENTRY_PASS_INTERVAL)
    eventPass();
}

void ProgressWindow::onProgress(uint64_t done, uint64_t total) {
  // Entries without bytes are complete at once; before the first entry nothing is.
  const double share = total == 0 ? 1.0 : double(done) / double(total);
  progressBar->value(announced == 0 ? 0.0f : float(double(announced - 1) + share));
  if (std::chrono::steady_clock::now() - lastPass >= PASS_INTERVAL) eventPass();
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
  if (std::chrono::steady_clock::now() - lastPass >= PASS_INTERVAL) eventPass();
}

void ProgressWindow::eventPass() {
  Fl::check();
  lastPass = std::chrono::steady_clock::now();
}

void ProgressWindow::showFailure(const std::string& message) {
  const int width = captionBox->w() - 2 * Fl::box_dx(captionBox->box());
  fl_font(captionBox->labelfont(), captionBox->labelsize());
  const auto fits = [&](const std::string& text) {
    int w = width, h = 0;
    fl_measure(text.c_str(), w, h, 0);
    return w <= width && h <= CAPTION_LINES * fl_height();
  };
  captionBox->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  const std::string reason = shortenToFit(
      printable(message), [&](const std::string& text) { return fits(FAILURE_PREFIX + text); });
  captionBox->copy_label((FAILURE_PREFIX + reason).c_str());
  closeButton->activate();
  redraw();
}

void ProgressWindow::closeCallback(Fl_Widget* widget, void*) { widget->window()->hide(); }
