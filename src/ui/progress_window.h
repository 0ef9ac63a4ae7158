// The installer's only window: a caption, a bar that counts entries and shows the path
// of the entry at hand, and a close button that becomes active at the last entry.
//
// Threads: the toolkit is used by one thread at a time and no toolkit lock is taken.
// The main thread constructs and shows the window; during the extraction the worker calls
// onEntry and onProgress, which run the toolkit's event passes on the worker, while the
// main thread is parked in the worker's join; afterwards the main thread's event loop
// alone touches the window. The autorun worker never does.
//
// Ownership: the window owns its three widgets; the run sequence and the Extractor's
// listener list share the window, which goes with the last reference.
#ifndef SFX_UI_PROGRESS_WINDOW_H_
#define SFX_UI_PROGRESS_WINDOW_H_

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Window.H>

#include <chrono>
#include <cstdint>
#include <string>

#include "extraction_listener.h"

class ProgressWindow : public Fl_Window, public ExtractionListener {
 public:
  explicit ProgressWindow(uint64_t entryCount);
  ~ProgressWindow() override;

  // For a window shown before the archive was counted.
  void setEntryCount(uint64_t count);

  // Before the first mapping: sizes the window, its text and its icon for the desktop's
  // Xft.dpi, and centres it on the screen under the pointer. A size or a position given
  // with "-geometry" is kept.
  using Fl_Window::show;
  void show() override;
  // Whether the window has been drawn on screen at least once.
  bool drawn() const { return everDrawn; }

  // Closing the window before the last entry is complete cancels the extraction: the
  // calls below then throw Cancelled. After it, closing only means no command runs, and
  // the old tree's removal goes on behind the hidden window.
  //
  // Labels the bar with `path`, shown literally, on one line and shortened in the middle
  // to fit, and moves it to the start of this entry. Runs an event pass at the first and
  // the last entry, and between them at the screen's rate (extraction_listener.h).
  void onEntry(const std::string& path) override;
  // Moves the bar by the share of the entry's bytes written, and runs an event pass when
  // the last is ANSWER_INTERVAL old, so the window answers during a long entry. The last
  // entry's end activates the close button.
  void onProgress(uint64_t done, uint64_t total) override;
  // Says in the caption that another installer holds the directory, and runs an event
  // pass; once the window is closed, throws Cancelled: the user gave up waiting.
  void onWaiting() override;
  // Runs an event pass when the last is ANSWER_INTERVAL old.
  void onPulse() override;
  // Whether every entry is complete: closing no longer cancels.
  bool complete() const { return finished; }

  // Says in the caption, while `removing`, that old files (the previous installation, what
  // killed runs left) are being removed behind it; a failure shown stays.
  void showRemoving(bool removing);

  // What failed: the extraction, or the command after a complete extraction.
  enum class Failing { Extraction, Command };
  // Tells the person in front of the window what failed, in the caption ("Falha na
  // extração: MESSAGE", or "Falha ao iniciar o comando: MESSAGE", on two lines at most,
  // never losing the reason), and lets them close it. Needs the window shown (the text is
  // measured on the display).
  void showFailure(const std::string& message, Failing what = Failing::Extraction);

  static void closeCallback(Fl_Widget* widget, void* userData);

  Fl_Progress* bar() const { return progressBar; }
  Fl_Box* caption() const { return captionBox; }
  Fl_Button* button() const { return closeButton; }

 private:
  void draw() override;
  void eventPass();
  void stopIfClosed();
  std::string fitBarLabel(const std::string& text);
  void fitToDesktop();

  uint64_t entryCount;
  uint64_t announced = 0;
  bool waiting = false;
  std::string barText;     // the entry at hand, whole
  bool barFitted = true;   // the bar's label is barText fitted to the bar
  bool finished = false;
  bool failureShown = false;
  bool everDrawn = false;
  bool fitted = false;  // shown once: a window hidden since was closed
  std::chrono::steady_clock::time_point lastPass;
  Fl_Progress* progressBar;
  Fl_Box* captionBox;
  Fl_Button* closeButton;
};

#endif  // SFX_UI_PROGRESS_WINDOW_H_
