// The installer's own file: the one the kernel runs, whatever argv[0] says.
#ifndef SFX_LAUNCHER_OWN_FILE_H_
#define SFX_LAUNCHER_OWN_FILE_H_

#include <cstdint>
#include <string>

struct OwnFile {
  std::string openPath;   // what to open: /proc/self/exe where it can be opened
  std::string shownPath;  // what to call it in messages
};

// The file the kernel executed. argv[0] only where /proc/self/exe cannot be opened: a
// name found through PATH, or a path given by whoever started us (exec -a), may name
// another file entirely.
OwnFile ownFile(const char* argv0);

// How many bytes follow the executable image in the ELF file at `path` (its program and
// section headers and what they describe): an appended archive, or what is left of one.
// 0 when it is not a 64-bit ELF file or cannot be read.
uint64_t bytesAfterImage(const std::string& path);

#endif  // SFX_LAUNCHER_OWN_FILE_H_
