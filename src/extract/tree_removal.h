// Removing a tree the installer replaces, through descriptors.
#ifndef SFX_EXTRACT_TREE_REMOVAL_H_
#define SFX_EXTRACT_TREE_REMOVAL_H_

#include <functional>
#include <string>
#include <vector>

// Removes `name` in the directory `dir` with everything below it, shown to the user as
// `shownPath`. A symbolic link is removed, never followed. A directory on another mount (a
// mount point, a bind mount), or one whose mount cannot be told, is left where it stands
// with all it holds, and so are the directories above it. A directory the user owns but
// may not change is made writable first. Works without recursion and with a bounded number
// of open descriptors, however deep the tree. `tick` is called every few hundred removals;
// what it throws stops the removal (the rest stays for a later run). Returns "" when
// everything went, else what was left first and why ("PATH: REASON"); the rest went as far
// as it could.
std::string removeTree(int dir, const std::string& name, const std::string& shownPath,
                       const std::function<void()>& tick = {});

// removeTree, but only when what stands at `name` is the effective user's (a file with no
// other link to it), as checked on what is opened: anything else is left, and named.
std::string removeOwnTree(int dir, const std::string& name, const std::string& shownPath,
                          const std::function<void()>& tick = {});

// The names in the directory `dir` (any open descriptor of it, O_PATH too), "." and ".."
// left out; none when it cannot be read.
std::vector<std::string> namesIn(int dir);

#endif  // SFX_EXTRACT_TREE_REMOVAL_H_
