// One run of the installer: load the archive that ends our own file, show the window,
// extract everything into the current directory, then hand the comment to autorun.
//
// Threads: the main thread loads, builds and shows the window, then waits (joined) while
// the extraction worker extracts and drives the window's event passes; it takes the
// toolkit back for the event loop. The detached autorun worker touches nothing shared.
#ifndef SFX_LAUNCHER_RUN_H_
#define SFX_LAUNCHER_RUN_H_

// How a run ends, as the process's exit status.
enum class ExitStatus {
  Done = 0,       // the autorun command returned, or the window was closed
  NoDisplay = 1,  // the toolkit could not open the display (it exits so itself)
  NoArchive = 2,  // nothing appended to the stub, or an archive without entries
  Failed = 3,     // damaged, too large for memory, or an entry could not be extracted
  DisplayLost = 4,  // the display went away during the run; what was not complete is removed
};

// Runs the installer with the process's command line, on the main thread; returns the
// exit status as a number. Installs handlers for SIGINT, SIGTERM and SIGHUP, ignores
// SIGPIPE (a closed stderr is no reason to die; the autorun command gets it back), and
// takes over the display's I/O errors.
int runInstaller(int argc, char** argv);

#endif  // SFX_LAUNCHER_RUN_H_
