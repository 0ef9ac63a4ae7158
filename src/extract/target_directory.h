// The directory an archive is extracted into, held in canonical form, and the places of
// entries inside it. Every path it hands out lies inside the directory or is the directory
// itself: symbolic links already on disk are followed only while they stay inside.
//
// Failures throw std::runtime_error naming the path at fault.
#ifndef SFX_EXTRACT_TARGET_DIRECTORY_H_
#define SFX_EXTRACT_TARGET_DIRECTORY_H_

#include <optional>
#include <string>
#include <vector>

class TargetDirectory {
 public:
  // Canonicalises `path` (relative paths against the working directory). Throws when it
  // cannot be resolved or is not a directory.
  explicit TargetDirectory(const std::string& path);

  // Absolute, canonical, without trailing "/" (except for the root).
  const std::string& path() const { return root; }
  // The same ending in "/": what entry files are written under.
  std::string baseDirectory() const;

  // Where an entry with these name components stands now, without creating anything:
  // its canonical parent plus its last component, the final component not followed.
  // Nothing when a parent is missing or there are no components (the target itself).
  std::optional<std::string> existingPlace(const std::vector<std::string>& components) const;

  // Creates the entry's missing parent directories (mode 0755, umask applies) and returns
  // its absolute path: canonical parent plus last component, or the canonical target of
  // a symbolic link standing there. Refuses links that lead outside or nowhere.
  std::string prepare(const std::vector<std::string>& components) const;

 private:
  // Canonical path of the directory holding the last component; nothing when one is
  // missing and `create` is false.
  std::optional<std::string> parentOf(const std::vector<std::string>& components,
                                      bool create) const;
  // The canonical target of the symbolic link at `link`, which must lie inside.
  std::string followInside(const std::string& link) const;
  bool contains(const std::string& path) const;

  std::string root;
};

// `directory` with one more component; no doubled "/" after the root.
std::string childPath(const std::string& directory, const std::string& component);

#endif  // SFX_EXTRACT_TARGET_DIRECTORY_H_
