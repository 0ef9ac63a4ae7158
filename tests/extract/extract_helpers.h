// Shared pieces of the extraction tests: archives on disk, recording listeners, tree
// snapshots and scoped process state.
#ifndef SFX_TESTS_EXTRACT_EXTRACT_HELPERS_H_
#define SFX_TESTS_EXTRACT_EXTRACT_HELPERS_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "extraction_listener.h"
#include "test_files.h"

// Writes `bytes` to `path` and returns the path.
std::string saveArchive(const std::string& path, const std::string& bytes);

// Records every path it is told, and runs `check` (if set) on each before returning.
class RecordingListener : public ExtractionListener {
 public:
  void onEntry(const std::string& path) override;

  std::vector<std::string> paths;
  std::function<void(const std::string&)> check;
};

// One line per thing under `root` (not followed through links), keyed by relative path:
// "dir MODE", "file MODE CONTENT" or "link TARGET". Times are left out.
std::map<std::string, std::string> snapshot(const std::string& root);

// Detaches every mount below `root`, deepest first: what a test mounted goes even when it
// fails, and mounts may have moved with the trees they were in.
void unmountBelow(const std::string& root);

// Runs `body` in a forked child, so that what it changes of the process (its root, user,
// limits, mounts) stays there, and returns the text `body` returned. A child that ends
// otherwise than by returning adds "[child status N]" to what it sent.
std::string inChild(const std::function<std::string()>& body);

// Sets the umask, and restores it on destruction.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask);
  ~UmaskScope();

 private:
  mode_t saved;
};

// Changes the working directory, and goes back on destruction.
class CwdScope {
 public:
  explicit CwdScope(const std::string& path);
  ~CwdScope();

 private:
  int saved;
};

#endif  // SFX_TESTS_EXTRACT_EXTRACT_HELPERS_H_
