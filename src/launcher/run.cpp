#include "run.h"

#include <FL/Fl.H>
#include <FL/x.H>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

// What the extraction left for the housekeeping, removed by a process of its own while
// this one goes on (or has ended): what it could not remove is named on stderr while this
// process lives, and the window says that old files are being removed meanwhile.
class HousekeepingWatch {
 public:
  HousekeepingWatch(Housekeeping::Background started, ProgressWindow* window)
      : started(started), window(window) {
    if (started.output < 0) return;
    Fl::add_fd(started.output, FL_READ, arrived, this);
    if (window) window->showRemoving(true);
  }

 private:
  static void arrived(int fd, void* data) {
    HousekeepingWatch& watch = *static_cast<HousekeepingWatch*>(data);
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) return;
    if (n > 0) {
      watch.pending.append(chunk, size_t(n));
      for (size_t end; (end = watch.pending.find('\n')) != std::string::npos;) {
        report(watch.pending.substr(0, end) + " (could not be removed)");
        watch.pending.erase(0, end + 1);
      }
      return;
    }
    // Done: the process closed its end as it ended.
    Fl::remove_fd(fd);
    close(fd);
    waitpid(watch.started.pid, nullptr, 0);
    if (watch.window) watch.window->showRemoving(false);
  }

  Housekeeping::Background started;
  ProgressWindow* window;
  std::string pending;
};

// Starts the housekeeping of the extraction that just ended, on this thread, the only one
// now. Its watch lives as long as the process: the process may end while it runs.
void startHousekeeping(Extractor& extractor, ProgressWindow* window) {
  static std::vector<std::unique_ptr<HousekeepingWatch>> watches;
  watches.push_back(std::make_unique<HousekeepingWatch>(
      extractor.takeHousekeeping().runInBackground(), window));
}

// Runs the extraction on a worker thread while this thread waits, and hands back what it
// threw. The worker drives the window's event passes; this thread touches nothing meanwhile.
std::exception_ptr extractOnWorker(Extractor& extractor) {
  std::exception_ptr failure;
  extracting = true;
  bool displayLost = false;
  const auto extract = [&extractor, &failure, &displayLost] {
    onExtractionWorker = true;
    try {
      extractor.extractHere();
    } catch (const DisplayLost&) {
      displayLost = true;
    } catch (...) {
      failure = std::current_exception();
    }
    onExtractionWorker = false;
  };
  try {
    std::thread(extract).join();
  } catch (const std::system_error&) {
    // No thread to be had (a pids limit): the toolkit is used by one thread at a time
    // anyway, so this one extracts.
    extract();
  }
  extracting = false;
  if (displayLost || interruptionRequested()) {
    // Nothing of the window is usable, or the run ends by the signal: the rest is removed
    // behind it.
    startHousekeeping(extractor, nullptr);
    endBySignal();
    if (displayLost) reportAndEnd(ExitStatus::DisplayLost, "the display connection was lost");
  }
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

// The autorun worker's word that the shell could not be started, handed to the main
// thread's event loop through a pipe: the worker touches nothing of the toolkit.
class CommandFailure {
 public:
  explicit CommandFailure(ProgressWindow& window) : window(window) {
    if (pipe2(fds, O_CLOEXEC) == 0) Fl::add_fd(fds[0], FL_READ, arrived, this);
  }
  ~CommandFailure() {
    if (fds[0] < 0) return;
    Fl::remove_fd(fds[0]);
    close(fds[0]);
    close(fds[1]);
  }

  // On the autorun worker.
  void tell(const std::string& why) {
    {
      std::lock_guard<std::mutex> hold(lock);
      message = why;
    }
    // Without the pipe the main thread never hears: the message on stderr is all there is.
    if (fds[1] < 0 || write(fds[1], "!", 1) != 1) report("the command could not be started: " + why);
  }

  // On the main thread, before the autorun worker exists.
  void tellNow(const std::string& why) {
    message = why;
    show();
  }

  bool failed() const { return shown; }

 private:
  static void arrived(int fd, void* data) {
    char byte;
    if (read(fd, &byte, 1) == 1) static_cast<CommandFailure*>(data)->show();
  }

  void show() {
    std::string why;
    {
      std::lock_guard<std::mutex> hold(lock);
      why = message;
    }
    report("the command could not be started: " + why);
    window.showFailure(why, ProgressWindow::Failing::Command);
    shown = true;
  }

  ProgressWindow& window;
  int fds[2] = {-1, -1};
  std::mutex lock;
  std::string message;
  bool shown = false;
};

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
  extractor.deferHousekeeping();

  if (std::exception_ptr failure = extractOnWorker(extractor)) {
    startHousekeeping(extractor, nullptr);
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
  // The command does not wait for the previous installation to go.
  startHousekeeping(extractor, shownWindow->shown() ? shownWindow : nullptr);
  if (!shownWindow->shown() || !autorunCommand(comment)) return Fl::run();
  // The installation is complete and stays; a command that cannot start is a failure the
  // user must see. Never destroyed: the worker may still hold it when this thread ends
  // the process.
  static CommandFailure* const commandFailure = new CommandFailure(*shownWindow);
  try {
    std::thread(runAutorun, comment, [](const std::string& why) { commandFailure->tell(why); })
        .detach();
  } catch (const std::system_error& e) {
    commandFailure->tellNow(std::string("no thread for it: ") + e.what());
  }
  const int status = Fl::run();
  return commandFailure->failed() ? exitCode(ExitStatus::Failed) : status;
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
  // Over a file-size limit a write fails (EFBIG) and the entry is named, instead of the
  // process dying with its stage left behind.
  std::signal(SIGXFSZ, SIG_IGN);
  const OwnFile self = ownFile(argv[0]);
  std::unique_ptr<Extractor> extractor;
  uint64_t entryCount = 0;
  std::exception_ptr loadFailure;
  const auto load = [&] {
    try {
      extractor = std::make_unique<Extractor>(self.openPath, self.shownPath);
      entryCount = extractor->archive().entries().size();
    } catch (...) {
      loadFailure = std::current_exception();
    }
  };
  // Loading a large archive takes seconds from a cold cache: the window comes first when
  // the end record promises entries, so a file without an archive still shows none. The
  // archive loads meanwhile, on a thread that touches nothing of the toolkit.
  std::shared_ptr<ProgressWindow> window;
  if (endRecordListsEntries(self.openPath)) {
    if (!roomToMap(0)) return failForAddressSpace(argc, argv);
    std::thread loader;
    try {
      loader = std::thread(load);
    } catch (const std::system_error&) {
      // No thread to be had: it loads once the window is up.
    }
    try {
      window = showWindow(argc, argv, 0);
    } catch (...) {
      if (loader.joinable()) loader.join();
      throw;
    }
    if (loader.joinable())
      loader.join();
    else
      load();
  } else {
    load();
  }
  if (loadFailure) {
    const std::string message = messageOf(loadFailure);
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
