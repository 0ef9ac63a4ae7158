// What an archive entry's name says about where it lands.
#ifndef SFX_EXTRACT_ENTRY_NAME_H_
#define SFX_EXTRACT_ENTRY_NAME_H_

#include <string>
#include <vector>

// A name ending in "/" (or an empty one) is a directory entry; any other is a file.
bool isDirectoryName(const std::string& name);

// The name's components, with "" and "." dropped: "/a//./b/" gives {"a", "b"}.
// A leading "/" therefore keeps the entry under the target.
std::vector<std::string> nameComponents(const std::string& name);

// Why the installer refuses an entry of this name, or "" when it does not: a ".."
// component could land outside the target, and a file entry without components would
// replace the target itself. Asked of every name before anything on disk is touched, and
// again where each entry is placed (the name is read from the file again there).
std::string refusal(const std::string& name);

// The name as a file system that folds case compares it: two names are one there when
// their folds are equal. Letters fold as exFAT's up-case table merges them (Unicode's
// simple case folding, less what that older table leaves apart: the Kelvin sign and k,
// Cherokee, Georgian Mtavruli, everything outside the Basic Multilingual Plane), each to
// the letter case folding picks, so ASCII folds to lower case. Bytes are read as exFAT
// through FUSE reads them: overlong forms and surrogates are the code points they spell
// and an encoded NUL ends the name. A name it cannot read (not UTF-8, or cut) is compared
// byte for byte.
std::string foldCase(const std::string& name);

#endif  // SFX_EXTRACT_ENTRY_NAME_H_
