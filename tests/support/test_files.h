// Scratch directories, whole-file reads and writes, and running shell commands in tests.
#ifndef SFX_TESTS_SUPPORT_TEST_FILES_H_
#define SFX_TESTS_SUPPORT_TEST_FILES_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction,
// read-only directories included.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return root; }
  std::string operator/(const std::string& name) const { return root + "/" + name; }

 private:
  std::string root;
};

// Bytes that do not compress, different at every position, the same for the same seed.
std::string noise(size_t size, uint32_t seed);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
bool exists(const std::string& path);
// Permission bits (with setuid, setgid, sticky) of `path`, not following links.
unsigned modeOf(const std::string& path);

struct CommandResult {
  int status = -1;  // exit status, or 128 + signal
  std::string output;  // stdout and stderr together
};
// Debian's python3 (scripts/install-deps.sh installs it), for tests that write archives with
// Python's zipfile: never whichever interpreter comes first on PATH.
inline const std::string PYTHON = SFX_PYTHON;

// Runs `command` through /bin/sh.
CommandResult runCommand(const std::string& command);
// Quotes `text` for /bin/sh.
std::string shellQuote(const std::string& text);
// Runs `command` in `dir`; a test failure, with its output, when it does not succeed.
void runIn(const TempDir& dir, const std::string& command);

// The message of the std::runtime_error `f` throws, or "<no exception>".
template <typename F>
std::string messageOf(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no exception>";
}

#endif  // SFX_TESTS_SUPPORT_TEST_FILES_H_
