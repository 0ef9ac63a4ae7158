#include "run.h"

#include <FL/Fl.H>
#include <FL/x.H>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "archive_end.h"
#include "autorun.h"
#include "display_text.h"
#include "extractor.h"
#include "interruption.h"
#include "memory_budget.h"
#include "own_file.h"
#include "progress_window.h"

namespace {

int exitCode(ExitStatus status) { return static_cast<int>(status); }

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<bool> extracting{false};

// During the extraction a stop signal asks it to clean up and stop; at any other time it
// ends the process as it would have without us.
void onStopSignal(int signal) {
  requestInterruption(signal);
  if (!extracting.load()) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : STOP_SIGNALS) sigaction(signal, &action, nullptr);
}

// The display's connection broke. Thrown on the extraction worker, so that the extraction
// unwinds and removes what it had not completed; nothing of the toolkit is usable after it.
struct DisplayLost {};

thread_local bool onExtractionWorker = false;

void reportAndEnd(ExitStatus status, const char* message);

// Xlib ends the process when this returns: during the extraction the worker leaves through
// an exception instead, anywhere else (the window waiting, the command running) there is
// nothing of ours to clean up.
int onDisplayLost(Display*) {
  static std::atomic<bool> lost{false};
  if (onExtractionWorker && !lost.exchange(true)) throw DisplayLost();
  reportAndEnd(ExitStatus::DisplayLost, "the display connection was lost");
  return 0;
}

// Ends the process by the signal that interrupted the extraction, as if it had not been
// caught, once what the extraction had begun is cleaned up.
void endBySignal() {
  if (int signal = interruptionRequested()) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

// A closed standard descriptor would be taken by the next file opened (the display
// connection, say), and our messages would be written into it.
void keepStandardDescriptorsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int opened = open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) close(opened);
    }
  }
}

// The user closed the window before the extraction had ended (while waiting for another
// installer, say): it stopped and put everything back.
bool isCancel(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Cancelled&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::string messageOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

void report(const std::string& message) {
  std::fprintf(stderr, "sfx-stub: %s\n", printable(message).c_str());
}

// Without exit-time destructors: the toolkit's would talk to a display that is gone.
void reportAndEnd(ExitStatus status, const char* message) {
  report(message);
  std::fflush(nullptr);
  _exit(exitCode(status));
}

// Runs the extraction on a worker thread while this thread waits, and hands back what it
// threw. The worker drives the window's event passes; this thread touches nothing meanwhile.
std::exception_ptr extractOnWorker(Extractor& extractor) {
  std::exception_ptr failure;
  extracting = true;
  bool displayLost = false;
  std::thread worker([&extractor, &failure, &displayLost] {
    onExtractionWorker = true;
    try {
      extractor.extractHere();
    } catch (const DisplayLost&) {
      displayLost = true;
    } catch (...) {
      failure = std::current_exception();
    }
    onExtractionWorker = false;
  });
  worker.join();
  extracting = false;
  endBySignal();
  if (displayLost) reportAndEnd(ExitStatus::DisplayLost, "the display connection was lost");
  // What is left of a previous installation changes nothing of the result, but the user
  // may want to remove it.
  for (const std::string& left : extractor.leftovers()) report(left + " (could not be removed)");
  return failure;
}

// Tells the user what went wrong in the shown window, and waits for them to close it.
int showFailure(ProgressWindow& window, const std::string& message) {
  window.showFailure(message);
  Fl::run();
  return exitCode(ExitStatus::Failed);
}

// The window is drawn when the server exposes it, some time after mapping it: that is
// waited for a little, so that it is drawn before anything slow. A window started iconic
// is never exposed.
void waitForFirstDrawing(ProgressWindow& window) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
  for (;;) {
    if (window.drawn() || std::chrono::steady_clock::now() >= until) break;
    Fl::wait(0.01);
  }
  Fl::check();
}

// The window, shown and drawn, so that it is on screen before anything slow.
std::shared_ptr<ProgressWindow> showWindow(int argc, char** argv, uint64_t entryCount) {
  auto window = std::make_shared<ProgressWindow>(entryCount);
  window->show(argc, argv);
  XSetIOErrorHandler(onDisplayLost);
  waitForFirstDrawing(*window);
  return window;
}

// Extracts with the window shown, then either tells the user what failed or starts
// autorun, and runs the event loop until the window is hidden.
int extractWithWindow(Extractor& extractor, const std::shared_ptr<ProgressWindow>& window) {
  ProgressWindow* shownWindow = window.get();
  extractor.addListener(window);

  if (std::exception_ptr failure = extractOnWorker(extractor)) {
    if (isCancel(failure)) return Fl::run();
    const std::string message = messageOf(failure);
    report(message);
    return showFailure(*shownWindow, message);
  }

  // A window hidden after the last entry (while the old tree went) means the user gave
  // up too late to keep the previous installation: no command runs.
  // Fl::run returns 0, ExitStatus::Done, once the window is hidden.
  std::string comment = extractor.archive().comment();
  // The command should not compete with a copy of its own payload for memory.
  extractor.archive().reset();
  if (shownWindow->shown()) std::thread(runAutorun, std::move(comment)).detach();
  return Fl::run();
}

// A failure before any entry could be counted: reported on stderr first (the display may
// not open), then in a window of its own.
int failBeforeExtraction(int argc, char** argv, const std::string& message) {
  report(message);
  if (!roomToMap(0)) return exitCode(ExitStatus::Failed);
  ProgressWindow window(0);
  window.show(argc, argv);
  return showFailure(window, message);
}

// Under a ulimit -v too tight for the toolkit, a window would crash or hang as it starts.
int failForAddressSpace(int argc, char** argv) {
  return failBeforeExtraction(argc, argv, "not enough memory for the window: ulimit -v leaves " +
                                              mebibytes(addressSpaceLeft()) + ", it needs " +
                                              mebibytes(RUN_ADDRESS_SPACE));
}

}  // namespace

int runInstaller(int argc, char** argv) {
  keepStandardDescriptorsOpen();
  if (argc < 1 || argv[0] == nullptr) return exitCode(ExitStatus::NoArchive);
  catchStopSignals();
  std::signal(SIGPIPE, SIG_IGN);
  const OwnFile self = ownFile(argv[0]);
  // Loading a large archive takes seconds from a cold cache: the window comes first when
  // the end record promises entries, so a file without an archive still shows none.
  std::shared_ptr<ProgressWindow> window;
  if (endRecordListsEntries(self.openPath)) {
    if (!roomToMap(0)) return failForAddressSpace(argc, argv);
    window = showWindow(argc, argv, 0);
  }
  std::unique_ptr<Extractor> extractor;
  uint64_t entryCount = 0;
  try {
    extractor = std::make_unique<Extractor>(self.openPath, self.shownPath);
    entryCount = extractor->archive().entries().size();
  } catch (...) {
    const std::string message = messageOf(std::current_exception());
    if (!window) return failBeforeExtraction(argc, argv, message);
    report(message);
    return showFailure(*window, message);
  }
  if (entryCount == 0) {
    if (window) window->hide();
    // Bytes after the program without an archive's end: a download cut short.
    if (!extractor->foundArchive() && bytesAfterImage(self.openPath) > 0)
      return failBeforeExtraction(argc, argv, self.shownPath +
                                                  ": the installer is incomplete or damaged "
                                                  "(no end of central directory record)");
    return exitCode(ExitStatus::NoArchive);
  }
  if (!roomToMap(0)) return failForAddressSpace(argc, argv);
  try {
    if (window)
      window->setEntryCount(entryCount);
    else
      window = showWindow(argc, argv, entryCount);
    return extractWithWindow(*extractor, window);
  } catch (...) {
    report(messageOf(std::current_exception()));
    return exitCode(ExitStatus::Failed);
  }
}
