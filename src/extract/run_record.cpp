#include "run_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "path_error.h"
#include "tree_removal.h"

namespace {

const char RECORD_PREFIX[] = ".sfx-run.";
const char MAGIC[] = "sfx-stub run record 1\n";
const size_t TOKEN_LENGTH = 16;
const size_t MAX_RECORD = size_t(1) << 20;

// 64 random bits: nobody can guess the names a run will make, so none of them can be
// planted beforehand (an archive entry included).
std::string newToken() {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, 0) != ssize_t(sizeof bits)) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    bits = (uint64_t(now.tv_nsec) << 20) ^ uint64_t(now.tv_sec) ^ (uint64_t(getpid()) << 44);
  }
  char text[TOKEN_LENGTH + 1];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
  return text;
}

bool isToken(const std::string& text) {
  if (text.size() != TOKEN_LENGTH) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c)) || std::isupper(static_cast<unsigned char>(c)))
      return false;
  return true;
}

bool exists(int dir, const std::string& name) {
  struct stat st;
  return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool writeAll(int fd, const std::string& bytes) {
  const char* data = bytes.data();
  size_t size = bytes.size();
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

std::vector<std::string> splitOn(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

// What a dead run's record says.
struct DeadRun {
  std::string token, place, stage, aside;
  bool finishing = false;
  std::vector<std::string> temporaries;  // "UP/c1/c2..."
};

// A name the run made beside its record: one component carrying its token.
bool isOurs(const std::string& name, const std::string& token) {
  const std::string suffix = "." + token;
  return name.compare(0, 5, ".sfx-") == 0 && name.find('/') == std::string::npos &&
         name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool parse(const std::string& bytes, DeadRun* run) {
  if (bytes.compare(0, sizeof MAGIC - 1, MAGIC) != 0) return false;
  std::vector<std::string> fields = splitOn(bytes.substr(sizeof MAGIC - 1), '\0');
  fields.pop_back();  // after the last terminator
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string& key = fields[i];
    const std::string& value = fields[i + 1];
    if (key == "place") run->place = value;
    else if (key == "stage") run->stage = value;
    else if (key == "aside") run->aside = value;
    else if (key == "finishing") run->finishing = true;
    else if (key == "temporaries") run->temporaries.push_back(value);
  }
  const bool placeValid = run->place.empty() ||
                          (run->place != "." && run->place != ".." &&
                           run->place.find('/') == std::string::npos);
  return placeValid && (run->stage.empty() || isOurs(run->stage, run->token)) &&
         (run->aside.empty() || isOurs(run->aside, run->token));
}

// Removes the temporary files a dead run may have left in one directory it recorded.
void removeTemporaries(int recordDir, const std::string& where, const std::string& prefix) {
  std::vector<std::string> steps = splitOn(where, '/');
  const unsigned long up = std::strtoul(steps.front().c_str(), nullptr, 10);
  steps.erase(steps.begin());
  int fd = fcntl(recordDir, F_DUPFD_CLOEXEC, 0);
  for (unsigned long i = 0; fd >= 0 && i < up; ++i) {
    const int above = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = above;
  }
  for (const std::string& step : steps) {
    if (fd < 0 || step.empty()) break;
    const int below = openat(fd, step.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = below;
  }
  if (fd < 0) return;
  for (const std::string& name : namesIn(fd)) {
    struct stat st;
    if (name.compare(0, prefix.size(), prefix) == 0 &&
        fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      unlinkat(fd, name.c_str(), 0);
  }
  close(fd);
}

// Puts right what one dead run left; false when something is left for a later run.
bool recover(const Directory& dir, const DeadRun& run, const std::function<void()>& tick,
             std::vector<std::string>* left) {
  const int fd = dir.fd();
  const auto shown = [&](const std::string& name) { return childPath(dir.path(), name); };
  const auto remove = [&](const std::string& name) {
    if (name.empty()) return true;
    const std::string rest = removeTree(fd, name, shown(name), tick);
    if (!rest.empty()) left->push_back(rest);
    return rest.empty();
  };
  if (!run.place.empty()) {
    const bool placed = exists(fd, run.place);
    if (run.finishing && !run.stage.empty() && exists(fd, run.stage)) {
      // The new installation was complete: finish putting it in place.
      if (placed && !remove(run.place)) return false;
      if (renameat(fd, run.stage.c_str(), fd, run.place.c_str()) != 0) {
        left->push_back(pathError(shown(run.stage), errno).what());
        return false;
      }
    } else if (!placed && !run.aside.empty() && exists(fd, run.aside)) {
      // Killed between stepping the previous installation aside and putting the new one in.
      if (renameat(fd, run.aside.c_str(), fd, run.place.c_str()) != 0) {
        left->push_back(pathError(shown(run.aside), errno).what());
        return false;
      }
    }
  }
  bool whole = remove(run.stage);
  whole = remove(run.aside) && whole;
  for (const std::string& where : run.temporaries)
    removeTemporaries(fd, where, ".sfx-part." + run.token + ".");
  return whole;
}

}  // namespace

RunRecord::RunRecord(const Directory& dir) : dir(dir) {
  for (int attempt = 0;; ++attempt) {
    token = newToken();
    name = RECORD_PREFIX + token;
    fd = openat(dir.fd(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) break;
    if (errno != EEXIST || attempt == 10) throw pathError(childPath(dir.path(), name), errno);
  }
  // Where the file system has no locks the record is still written; a later run cannot
  // take its lock either, and leaves what it names alone.
  (void)flock(fd, LOCK_EX | LOCK_NB);
  std::string upper = name;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  folds = exists(dir.fd(), upper);
  if (!writeAll(fd, MAGIC)) {
    const int error = errno;
    close(fd);
    unlinkat(dir.fd(), name.c_str(), 0);
    throw pathError(childPath(dir.path(), name), error);
  }
}

RunRecord::~RunRecord() {
  if (!kept) unlinkat(dir.fd(), name.c_str(), 0);
  close(fd);
}

void RunRecord::append(const std::string& key, const std::string& value) {
  std::string field = key;
  field += '\0';
  field += value;
  field += '\0';
  if (!writeAll(fd, field)) throw pathError(childPath(dir.path(), name), errno ? errno : ENOSPC);
}

void RunRecord::noteTemporaries(size_t up, const std::vector<std::string>& components) {
  std::string where = std::to_string(up);
  for (const std::string& component : components) where += "/" + component;
  append("temporaries", where);
}

std::vector<std::string> recoverDeadRuns(const Directory& dir, const std::function<void()>& tick) {
  std::vector<std::string> left;
  const size_t prefixLength = sizeof RECORD_PREFIX - 1;
  for (const std::string& name : namesIn(dir.fd())) {
    if (name.compare(0, prefixLength, RECORD_PREFIX) != 0) continue;
    DeadRun run;
    run.token = name.substr(prefixLength);
    if (!isToken(run.token)) continue;
    const int fd = openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    // A record whose lock cannot be taken belongs to a live run, or to a file system that
    // cannot tell: either way it is left alone.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) > MAX_RECORD ||
        flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      continue;
    }
    std::string bytes(size_t(st.st_size), '\0');
    if (pread(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) bytes = "?";
    // A record cut within its first line names nothing: its run died making it.
    const bool unfinished = bytes.size() < sizeof MAGIC - 1 &&
                            std::string(MAGIC).compare(0, bytes.size(), bytes) == 0;
    if (unfinished || (parse(bytes, &run) && recover(dir, run, tick, &left)))
      unlinkat(dir.fd(), name.c_str(), 0);
    close(fd);
  }
  return left;
}
