// The installer's own file: the one the kernel runs, whatever argv[0] says.
#ifndef SFX_LAUNCHER_OWN_FILE_H_
#define SFX_LAUNCHER_OWN_FILE_H_

#include <cstdint>
#include <string>

struct OwnFile {
  std::string openPath;   // what to open: the file that holds our code
  std::string shownPath;  // what to call it in messages
};

// The file that holds the running program's code, found from what the kernel mapped: the
// installer, also when it was started through the dynamic loader. /proc/self/exe where
// the mappings cannot be read, argv[0] only where neither can: a name found through PATH,
// or a path given by whoever started us (exec -a), may name another file entirely.
OwnFile ownFile(const char* argv0);

// How many bytes follow the executable image in the ELF file at `path` (its program and
// section headers and what they describe): an appended archive, or what is left of one.
// 0 when it is not a 64-bit ELF file or cannot be read.
uint64_t bytesAfterImage(const std::string& path);

#endif  // SFX_LAUNCHER_OWN_FILE_H_
