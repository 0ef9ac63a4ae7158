// One file entry on its way to disk. Its bytes go to a new temporary file beside its
// final name, and the temporary file is renamed over that name once whole: the name holds
// what stood there before or the complete new file, never a part of it. Whatever stood at
// the name (a file, a hard link, a FIFO, a device, a symbolic link) is replaced, never
// opened or written through. In a directory nobody sees yet (a stage that is swapped in
// whole), the file is made under its own name when nothing stands there, and no rename is
// needed.
#ifndef SFX_EXTRACT_ENTRY_FILE_H_
#define SFX_EXTRACT_ENTRY_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

class EntryFile {
 public:
  // Creates the temporary file in the directory `dir`, exclusively and never through a
  // link, with `mode` when the umask `mask` leaves it whole, else readable by the user
  // alone until it lands. Its name starts with `temporaryPrefix` (the run's own); a name
  // taken already is left alone and another is tried. `unseen`: `dir` is in a stage, so
  // the file may be made under `name`. `shownPath` names the final file in errors.
  EntryFile(int dir, const std::string& name, const std::string& shownPath, mode_t mode,
            mode_t mask, bool unseen, const std::string& temporaryPrefix);
  // Removes the temporary file unless it has landed.
  ~EntryFile();
  EntryFile(const EntryFile&) = delete;
  EntryFile& operator=(const EntryFile&) = delete;

  // Appends `size` bytes. Every failure, a short write included, throws "file couldn't be
  // written: PATH: REASON".
  void write(const char* data, size_t size);
  // The file made `size` bytes long, its room taken on the file system, and mapped for
  // writing; null, with the file as it was, where the file system cannot (no room, no
  // fallocate, no shared mappings). For one writer that fills it in place of write().
  char* map(uint64_t size);
  // Unmaps what map() gave; unless it holds the whole entry (`whole`), the file is
  // emptied again for write(). Throws as write does.
  void unmap(char* at, uint64_t size, bool whole);
  // Sets the mode where creation could not (a mode the file system refuses leaves the
  // file as created), closes the file and renames it over the final name; throws as
  // write does.
  void land();

 private:
  std::runtime_error failure(int error) const;

  int dir;
  std::string name, temporary, shownPath;
  mode_t mode;
  bool modeSet;  // creation gave the file its mode
  int fd = -1;
  bool landed = false;
};

#endif  // SFX_EXTRACT_ENTRY_FILE_H_
