// The progress window driven in-process, as the extraction drives it. Its event passes
// and the caption's measuring need an X display, so it runs under its own Xvfb
// (tests/support/with-xvfb.sh).
#include "interruption.h"
#include "progress_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <FL/Fl.H>
#include <FL/fl_draw.H>

namespace {

std::string labelOf(const Fl_Widget* widget) {
  return widget->label() ? widget->label() : "";
}

// A left-button click at window coordinates (x, y), sent through the toolkit's own event
// dispatch so that inactive widgets ignore it as they would a real one.
void clickAt(Fl_Window* window, int x, int y) {
  Fl::e_x = x;
  Fl::e_y = y;
  Fl::e_x_root = window->x() + x;
  Fl::e_y_root = window->y() + y;
  Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
  Fl::e_state = FL_BUTTON1;
  Fl::handle(FL_PUSH, window);
  Fl::e_state = 0;
  Fl::handle(FL_RELEASE, window);
}

void clickButton(ProgressWindow& window) {
  Fl_Button* b = window.button();
  clickAt(&window, b->x() + b->w() / 2, b->y() + b->h() / 2);
}

// Where the widgets stand is checked on screen (progress_window_pixels_test.py); here,
// what the built window says before any entry.
TEST(ProgressWindowTest, BuiltWindowSaysWhatItIsAndWaits) {
  ProgressWindow window(3);
  EXPECT_EQ(labelOf(&window), "Sambrel Ivox SFX Tool");
  ASSERT_NE(window.iconlabel(), nullptr);
  EXPECT_STREQ(window.iconlabel(), "Sambrel Ivox SFX Tool");
  EXPECT_EQ(labelOf(window.caption()), "Extraindo arquivos");
  EXPECT_EQ(labelOf(window.button()), "Fechar");
  EXPECT_EQ(window.resizable(), nullptr);
}

TEST(ProgressWindowTest, BarCountsEntriesAndButtonWaitsForTheLast) {
  ProgressWindow window(3);
  Fl_Progress* bar = window.bar();
  EXPECT_EQ(bar->minimum(), 0.0f);
  EXPECT_EQ(bar->maximum(), 3.0f);
  EXPECT_EQ(bar->value(), 0.0f);
  EXPECT_EQ(labelOf(bar), "");
  EXPECT_FALSE(window.button()->active());

  const char* paths[] = {"/tmp/x/pkg/", "/tmp/x/pkg/a.txt", "/tmp/x/pkg/b.bin"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(window.button()->active()) << "before entry " << i;
    window.onEntry(paths[i]);
    EXPECT_EQ(bar->value(), float(i)) << "an entry counts once it is complete";
    EXPECT_EQ(labelOf(bar), paths[i]);
    window.onProgress(i, i);  // complete; a directory has no bytes
    EXPECT_EQ(bar->value(), float(i + 1));
  }
  EXPECT_TRUE(window.button()->active());

  // Past the count the value goes on and the button stays active.
  window.onEntry("/tmp/x/extra");
  window.onProgress(0, 0);
  EXPECT_EQ(bar->value(), 4.0f);
  EXPECT_TRUE(window.button()->active());
}

TEST(ProgressWindowTest, BarMovesByTheShareOfTheEntrysBytes) {
  ProgressWindow window(2);
  window.onProgress(0, 0);  // waiting for another installer: nothing done yet
  EXPECT_EQ(window.bar()->value(), 0.0f);
  window.onEntry("/tmp/x/a");
  window.onProgress(0, 0);
  window.onEntry("/tmp/x/big");
  window.onProgress(1 << 20, 4 << 20);
  EXPECT_EQ(window.bar()->value(), 1.25f);
  window.onProgress(4 << 20, 4 << 20);
  EXPECT_EQ(window.bar()->value(), window.bar()->maximum());
}

TEST(ProgressWindowTest, PathsAreShownAsTheyAreOnOneLine) {
  ProgressWindow window(1);
  window.onEntry("/tmp/x/icon@2x.png\n@-2\x1b[2J");
  EXPECT_EQ(labelOf(window.bar()), "/tmp/x/icon@2x.png\\n@-2\\x1b[2J");
  // Our own label type: the toolkit's normal one would read "@2x.png" as a symbol.
  EXPECT_EQ(window.bar()->labeltype(), FL_FREE_LABELTYPE);
  EXPECT_EQ(window.caption()->labeltype(), FL_FREE_LABELTYPE);
}

TEST(ProgressWindowTest, LabelOutlivesTheCallersString) {
  ProgressWindow window(2);
  auto path = std::make_unique<std::string>("/tmp/x/first-entry-with-a-long-name.txt");
  window.onEntry(*path);
  path->assign(path->size(), '#');
  path.reset();
  EXPECT_EQ(labelOf(window.bar()), "/tmp/x/first-entry-with-a-long-name.txt");

  std::string reused = "/tmp/x/second";
  window.onEntry(reused);
  reused = "overwritten";
  EXPECT_EQ(labelOf(window.bar()), "/tmp/x/second");
}

TEST(ProgressWindowTest, ButtonWaitsForTheLastEntryToBeComplete) {
  ProgressWindow window(1);
  window.onEntry("/tmp/x/only");
  window.onProgress(3, 7);
  EXPECT_FALSE(window.button()->active()) << "active with the bar part-way";
  EXPECT_FALSE(window.complete());
  window.onProgress(7, 7);
  EXPECT_EQ(window.bar()->value(), window.bar()->maximum());
  EXPECT_TRUE(window.button()->active());
  EXPECT_TRUE(window.complete());
}

TEST(ProgressWindowTest, FailureShowsTheMessageAndFreesTheButton) {
  ProgressWindow window(5);
  window.onEntry("/tmp/x/a");
  std::string message = "/tmp/x/b: file couldn't be read";
  window.showFailure(message);
  message = "gone";
  EXPECT_EQ(labelOf(window.caption()), "Falha na extração: /tmp/x/b: file couldn't be read");
  EXPECT_TRUE(window.button()->active());
  EXPECT_EQ(labelOf(window.bar()), "/tmp/x/a");
}

TEST(ShownWindowTest, InactiveButtonIgnoresClicksThenClosesWhenActive) {
  ProgressWindow window(2);
  window.show();
  window.onEntry("/tmp/x/a");
  clickButton(window);
  EXPECT_TRUE(window.shown());

  window.onEntry("/tmp/x/b");
  clickButton(window);
  EXPECT_TRUE(window.shown()) << "the last entry is not complete yet";
  window.onProgress(0, 0);
  clickButton(window);
  EXPECT_FALSE(window.shown());
}

// Return, as the toolkit delivers a key no widget took: a shortcut.
bool pressReturn(ProgressWindow& window) {
  Fl::e_keysym = FL_Enter;
  Fl::e_text = const_cast<char*>("\r");
  Fl::e_length = 1;
  Fl::e_state = 0;
  return Fl::handle(FL_SHORTCUT, &window) != 0;
}

TEST(ShownWindowTest, ReturnClosesOnlyOnceTheButtonIsActive) {
  ProgressWindow window(1);
  window.show();
  window.onEntry("/tmp/x/a");
  pressReturn(window);
  EXPECT_TRUE(window.shown());
  window.onProgress(0, 0);
  EXPECT_TRUE(pressReturn(window));
  EXPECT_FALSE(window.shown());
}

// Every call the extraction makes stops it once the window is closed, until the last
// entry is complete; from then on closing only means no command.
TEST(ShownWindowTest, ClosingCancelsUntilTheLastEntryIsComplete) {
  for (int closedAt = 0; closedAt < 3; ++closedAt) {
    ProgressWindow window(2);
    window.show();
    window.onPulse();  // start-up cleanup
    if (closedAt == 0) {
      window.hide();
      EXPECT_THROW(window.onPulse(), Cancelled);
      continue;
    }
    window.onEntry("/tmp/x/a");
    window.onProgress(1, 2);
    window.hide();
    if (closedAt == 1) {
      EXPECT_THROW(window.onProgress(2, 2), Cancelled);
      continue;
    }
    EXPECT_THROW(window.onEntry("/tmp/x/b"), Cancelled);
  }

  ProgressWindow late(1);
  late.show();
  late.onEntry("/tmp/x/a");
  late.onProgress(5, 5);
  late.hide();
  EXPECT_NO_THROW(late.onPulse()) << "the old tree's removal goes on";
  EXPECT_NO_THROW(late.onProgress(5, 5));

  ProgressWindow neverShown(1);
  EXPECT_NO_THROW(neverShown.onEntry("/tmp/x/a"));
}

TEST(ShownWindowTest, LongPathsLoseTheirMiddleInTheBar) {
  ProgressWindow window(2);
  window.show();
  const std::string path = "/home/user/" + std::string(200, 'd') + "/the-file-name.txt";
  window.onEntry(path);
  const std::string label = labelOf(window.bar());
  EXPECT_EQ(label.rfind("/home/user/", 0), 0u) << label;
  EXPECT_EQ(label.substr(label.size() - 18), "/the-file-name.txt") << label;
  EXPECT_NE(label.find("\xE2\x80\xA6"), std::string::npos) << label;
  fl_font(window.bar()->labelfont(), window.bar()->labelsize());
  EXPECT_LE(fl_width(label.c_str()), window.bar()->w());

  window.onEntry("/tmp/x/short");
  EXPECT_EQ(labelOf(window.bar()), "/tmp/x/short");
}

TEST(ShownWindowTest, WaitingSaysSoUntilTheFirstEntryAndClosingGivesUp) {
  ProgressWindow window(2);
  window.show();
  window.onWaiting();
  EXPECT_EQ(labelOf(window.caption()), "Aguardando outro instalador neste diretório");
  window.onEntry("/tmp/x/a");
  EXPECT_EQ(labelOf(window.caption()), "Extraindo arquivos");

  ProgressWindow closed(2);
  closed.show();
  closed.onWaiting();
  closed.hide();
  EXPECT_THROW(closed.onWaiting(), Cancelled);
}

void countPass(void* passes) { ++*static_cast<int*>(passes); }

// One event pass per entry costs a third of a run of thousands of small files: passes
// come at screen rate, and always at the first entry and the last.
TEST(ShownWindowTest, EventPassesAtScreenRateFirstAndLastAlways) {
  const int entries = 3000;
  ProgressWindow window(entries);
  window.show();
  int passes = 0;
  Fl::add_check(countPass, &passes);
  window.onEntry("/tmp/x/0");
  EXPECT_EQ(passes, 1);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i < entries - 2; ++i) window.onEntry("/tmp/x/" + std::to_string(i));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LE(passes, 2 + int(elapsed / std::chrono::milliseconds(16)));
  EXPECT_EQ(window.bar()->value(), float(entries - 3));
  EXPECT_EQ(labelOf(window.bar()), "/tmp/x/" + std::to_string(entries - 3));

  // An entry after a pause shows at once; so does the last, however soon it comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int before = passes;
  window.onEntry("/tmp/x/late");
  EXPECT_EQ(passes, before + 1);
  before = passes;
  window.onEntry("/tmp/x/last");
  EXPECT_EQ(passes, before + 1);
  Fl::remove_check(countPass, &passes);
}

TEST(ShownWindowTest, LongFailuresKeepTheirReasonWithinTwoLines) {
  ProgressWindow window(1);
  window.show();
  const std::string path = "/home/user/" + std::string(300, 'p') + "/file.bin";
  window.showFailure("pkg/file.bin: file couldn't be written: " + path +
                     ": No space left on device");
  const std::string caption = labelOf(window.caption());
  EXPECT_EQ(caption.rfind("Falha na extração: pkg/file.bin: ", 0), 0u) << caption;
  EXPECT_NE(caption.find("\xE2\x80\xA6"), std::string::npos) << "not shortened: " << caption;
  EXPECT_EQ(caption.substr(caption.size() - 25), ": No space left on device");
  fl_font(window.caption()->labelfont(), window.caption()->labelsize());
  int w = window.caption()->w(), h = 0;
  fl_measure(caption.c_str(), w, h, 0);
  EXPECT_LE(w, window.caption()->w());
  EXPECT_LE(h, 2 * fl_height());
  EXPECT_TRUE(window.caption()->align() & FL_ALIGN_WRAP);
}

TEST(ShownWindowTest, DestroyedThroughTheListenerFace) {
  // The extraction holds the window only as a listener; the last reference deletes it
  // from there, while shown.
  auto window = std::make_shared<ProgressWindow>(1);
  window->show();
  std::shared_ptr<ExtractionListener> listener = window;
  window.reset();
  listener->onEntry("/tmp/x/a");
  listener.reset();
  EXPECT_EQ(Fl::first_window(), nullptr);
}

}  // namespace
