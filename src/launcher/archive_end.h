// A look at the end of the installer's file before the archive is loaded: loading a large
// one takes seconds with a cold cache, and the window should not wait for it.
#ifndef SFX_LAUNCHER_ARCHIVE_END_H_
#define SFX_LAUNCHER_ARCHIVE_END_H_

#include <string>

// Whether the file at `path` ends in a ZIP end record that counts entries (or leaves the
// count to a ZIP64 record). Reads only the last 65,557 bytes. The load decides; this only
// says whether a window is worth showing before it.
bool endRecordListsEntries(const std::string& path);

#endif  // SFX_LAUNCHER_ARCHIVE_END_H_
