// The installer's only window: a caption, a bar that counts entries and shows the path
// of the entry at hand, and a close button that becomes active at the last entry.
#ifndef SFX_UI_PROGRESS_WINDOW_H_
#define SFX_UI_PROGRESS_WINDOW_H_

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Window.H>

#include <cstdint>
#include <string>

#include "extraction_listener.h"

class ProgressWindow : public Fl_Window, public ExtractionListener {
 public:
  explicit ProgressWindow(uint64_t entryCount);
  ~ProgressWindow() override;

  // Moves the bar one entry on, labels it with `path` and runs one event pass.
  void onEntry(const std::string& path) override;

  // Tells the person in front of the window that the extraction failed, and lets
  // them close it.
  void showFailure(const std::string& message);

  static void closeCallback(Fl_Widget* widget, void* userData);

  Fl_Progress* bar() const { return progressBar; }
  Fl_Box* caption() const { return captionBox; }
  Fl_Button* button() const { return closeButton; }

 private:
  uint64_t entryCount;
  Fl_Progress* progressBar;
  Fl_Box* captionBox;
  Fl_Button* closeButton;
};

#endif  // SFX_UI_PROGRESS_WINDOW_H_
