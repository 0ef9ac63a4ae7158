// Removing a tree the installer replaces, through descriptors.
#ifndef SFX_EXTRACT_TREE_REMOVAL_H_
#define SFX_EXTRACT_TREE_REMOVAL_H_

#include <string>
#include <vector>

// Removes `name` in the directory `dir` with everything below it. A symbolic link is
// removed, never followed. A directory on another mount (a mount point, a bind mount) is
// left where it stands with all it holds, and so are the directories above it. A
// directory the user owns but may not change is made writable first. Errors are not
// thrown: what could go, went, and the next run tries again.
void removeTree(int dir, const std::string& name);

// The names in the directory `dir` (any open descriptor of it, O_PATH too), "." and ".."
// left out; none when it cannot be read.
std::vector<std::string> namesIn(int dir);

#endif  // SFX_EXTRACT_TREE_REMOVAL_H_
