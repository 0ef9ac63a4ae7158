// One run of the installer: load the archive that ends our own file, show the window,
// extract everything into the current directory, then hand the comment to autorun.
#ifndef SFX_LAUNCHER_RUN_H_
#define SFX_LAUNCHER_RUN_H_

// Exit statuses of a run.
enum ExitStatus {
  EXIT_DONE = 0,        // the autorun command returned, or the window was closed
  EXIT_NO_DISPLAY = 1,  // the toolkit could not open the display
  EXIT_NO_ARCHIVE = 2,  // no entries: no archive, an empty one, or an unreadable file
  EXIT_FAILED = 3,      // the archive is damaged or an entry could not be extracted
};

int runInstaller(int argc, char** argv);

#endif  // SFX_LAUNCHER_RUN_H_
