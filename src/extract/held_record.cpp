#include "held_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <optional>

#include "path_error.h"
#include "run_record.h"
#include "tree_removal.h"

namespace {

namespace format = run_record_format;

// Records taken in one run (each holds two descriptors until it is done): a directory
// full of them cannot hold a run up for long.
const size_t MOST_RECORDS = 16;

bool isToken(const std::string& text) {
  if (text.size() != format::TOKEN_LENGTH) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c)) || std::isupper(static_cast<unsigned char>(c)))
      return false;
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

bool isComponent(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// "a/b" as {"a", "b"}, "" as none; nothing for a path that could lead anywhere but down.
std::optional<std::vector<std::string>> downward(const std::string& path) {
  if (path.empty()) return std::vector<std::string>{};
  std::vector<std::string> components = splitOn(path, '/');
  for (const std::string& component : components)
    if (!isComponent(component)) return std::nullopt;
  return components;
}

// A name the run made beside its place: one component carrying its token.
bool carriesToken(const std::string& name, const std::string& token) {
  const std::string suffix = "." + token;
  return name.compare(0, 5, ".sfx-") == 0 && isComponent(name) && name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What a dead run's record says.
struct DeadRun {
  std::string token;
  std::vector<std::string> holder;
  std::string place, stage, aside;
  bool finishing = false;
  std::vector<std::vector<std::string>> temporaries;
  std::vector<std::vector<std::string>> made;
};

// False for anything a run of ours would not have written.
bool parse(const std::string& bytes, DeadRun* run) {
  const std::string magic = format::MAGIC;
  if (bytes.compare(0, magic.size(), magic) != 0) return false;
  std::vector<std::string> fields = splitOn(bytes.substr(magic.size()), '\0');
  fields.pop_back();  // after the last terminator: a field the run died writing, if any
  // Whole pairs only: a key whose value was never written says nothing.
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string& key = fields[i];
    const std::string& value = fields[i + 1];
    if (key == "holder") {
      std::optional<std::vector<std::string>> holder = downward(value);
      if (!holder) return false;
      run->holder = *holder;
    } else if (key == "place") {
      if (!isComponent(value)) return false;
      run->place = value;
    } else if (key == "stage" || key == "aside") {
      if (!carriesToken(value, run->token)) return false;
      (key == "stage" ? run->stage : run->aside) = value;
    } else if (key == "finishing") {
      run->finishing = true;
    } else if (key == "temporaries" || key == "made") {
      std::vector<std::vector<std::string>>& list = key == "made" ? run->made : run->temporaries;
      std::optional<std::vector<std::string>> where = downward(value);
      if (!where || list.size() == format::MAX_TEMPORARY_DIRECTORIES) return false;
      list.push_back(*where);
    } else {
      return false;
    }
  }
  return true;
}

// The directory `components` below `dir`, one step at a time, never through a link; -1
// with errno set when it cannot be reached.
int openBelow(int dir, const std::vector<std::string>& components) {
  int fd = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  for (const std::string& step : components) {
    if (fd < 0) break;
    const int below = openat(fd, step.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    close(fd);
    fd = below;
    errno = error;
  }
  return fd;
}

enum class Standing { Missing, Ours, Other };

// What stands at `name` in `dir`: the effective user's directory or single-linked file
// counts as ours, a link or anything of anyone else's does not.
Standing standing(int dir, const std::string& name) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? Standing::Missing : Standing::Other;
  const bool kind = S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink == 1);
  return kind && st.st_uid == geteuid() ? Standing::Ours : Standing::Other;
}

// Removes the dead run's temporary files in one directory it recorded.
void removeTemporaries(int recordDir, const std::vector<std::string>& where,
                       const std::string& prefix) {
  const int fd = openBelow(recordDir, where);
  if (fd < 0) return;
  for (const std::string& name : namesIn(fd)) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == geteuid() && st.st_nlink == 1)
      unlinkat(fd, name.c_str(), 0);
  }
  close(fd);
}

// Reads and parses the record open as `fd`; false when it is not one a run of ours wrote.
bool readRecord(int fd, const std::string& name, DeadRun* run) {
  const std::string prefix = format::PREFIX;
  run->token = name.substr(prefix.size());
  struct stat st;
  if (fstat(fd, &st) != 0 || size_t(st.st_size) > format::MAX_BYTES) return false;
  std::string bytes(size_t(st.st_size), '\0');
  if (pread(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) return false;
  // A record cut within its first line names nothing: its run died making it.
  const std::string magic = format::MAGIC;
  if (bytes.size() < magic.size() && magic.compare(0, bytes.size(), bytes) == 0) return true;
  return parse(bytes, run);
}

// What one record's names are acted on with: the record's directory, and its holder.
class Acting {
 public:
  Acting(const Directory& dir, const DeadRun& run, bool ownTrees,
         const std::function<void()>& tick, std::vector<std::string>* left)
      : dir(dir), run(run), ownTrees(ownTrees), tick(tick), left(left) {
    holder = openBelow(dir.fd(), run.holder);
    holderGone = holder < 0 && errno == ENOENT;
    holderPath = dir.path();
    for (const std::string& step : run.holder) holderPath = childPath(holderPath, step);
  }
  ~Acting() {
    if (holder >= 0) close(holder);
  }

  // A place found missing gets its aside copy back; a complete stage whose swap was under
  // way goes in. Only what is ours is renamed in or removed.
  bool putBack() {
    if (run.place.empty() || holder < 0) return holderGone || run.place.empty();
    const Standing place = standing(holder, run.place);
    if (run.finishing && !run.stage.empty() && ours(run.stage)) {
      if (place == Standing::Other && !ownTrees) return false;
      if (place != Standing::Missing && !remove(run.place)) return false;
      if (renameat(holder, run.stage.c_str(), holder, run.place.c_str()) != 0)
        return failed(run.stage, errno);
    } else if (place == Standing::Missing && !run.aside.empty() && ours(run.aside)) {
      // Killed between stepping the previous installation aside and putting the new one in.
      if (renameat(holder, run.aside.c_str(), holder, run.place.c_str()) != 0)
        return failed(run.aside, errno);
    }
    return true;
  }

  bool clearAway() {
    bool whole = holderGone;
    if (holder >= 0) {
      whole = (!ours(run.stage) || remove(run.stage));
      whole = (!ours(run.aside) || remove(run.aside)) && whole;
    }
    for (const std::vector<std::string>& where : run.temporaries)
      removeTemporaries(dir.fd(), where, ".sfx-part." + run.token + ".");
    // Deepest first, and only once empty: a directory that holds anything now is the user's.
    for (const std::vector<std::string>& made : run.made) {
      if (made.empty()) continue;
      const std::vector<std::string> above(made.begin(), made.end() - 1);
      const int parent = openBelow(dir.fd(), above);
      if (parent < 0) continue;
      if (standing(parent, made.back()) == Standing::Ours)
        unlinkat(parent, made.back().c_str(), AT_REMOVEDIR);
      close(parent);
    }
    return whole;
  }

 private:
  std::string shown(const std::string& name) const { return childPath(holderPath, name); }

  bool failed(const std::string& name, int error) {
    left->push_back(pathError(shown(name), error).what());
    return false;
  }

  // Whether `name` is something of ours to act on: made by this very run, or the
  // effective user's.
  bool ours(const std::string& name) const {
    if (name.empty()) return false;
    const Standing at = standing(holder, name);
    return at == Standing::Ours || (ownTrees && at == Standing::Other);
  }

  bool remove(const std::string& name) {
    const std::string rest = ownTrees ? removeTree(holder, name, shown(name), tick)
                                      : removeOwnTree(holder, name, shown(name), tick);
    if (!rest.empty()) left->push_back(rest);
    return rest.empty();
  }

  const Directory& dir;
  const DeadRun& run;
  const bool ownTrees;
  const std::function<void()>& tick;
  std::vector<std::string>* left;
  int holder = -1;
  bool holderGone = false;
  std::string holderPath;
};

// Opens the record `name` and takes its lock when it is provably ours and dead; -1 else.
int openDeadRecord(const Directory& dir, const std::string& name, bool modesKept) {
  const int fd = openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  // A record whose lock cannot be taken belongs to a live run, or to a file system that
  // cannot tell: either way it is left alone.
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      st.st_uid != geteuid() || (modesKept && (st.st_mode & 077) != 0) ||
      size_t(st.st_size) > format::MAX_BYTES || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

HeldRecord::HeldRecord(Directory dir, std::string name, int fd, bool ownTrees)
    : dir(std::move(dir)), name(std::move(name)), fd(fd), ownTrees(ownTrees) {}

HeldRecord::HeldRecord(HeldRecord&& other) noexcept
    : dir(std::move(other.dir)), name(std::move(other.name)), fd(other.fd),
      ownTrees(other.ownTrees) {
  other.fd = -1;
}

HeldRecord& HeldRecord::operator=(HeldRecord&& other) noexcept {
  if (this != &other) {
    if (fd >= 0) close(fd);
    dir = std::move(other.dir);
    name = std::move(other.name);
    fd = other.fd;
    ownTrees = other.ownTrees;
    other.fd = -1;
  }
  return *this;
}

HeldRecord::~HeldRecord() {
  if (fd >= 0) close(fd);
}

void HeldRecord::putBack(const std::function<void()>& tick, std::vector<std::string>* left) {
  DeadRun run;
  if (fd < 0 || !readRecord(fd, name, &run)) return;
  Acting(dir, run, ownTrees, tick, left).putBack();
}

bool HeldRecord::clearAway(const std::function<void()>& tick, std::vector<std::string>* left) {
  DeadRun run;
  // What is not a record of ours stays as it is, and so does the record.
  if (fd < 0 || !readRecord(fd, name, &run)) return false;
  Acting acting(dir, run, ownTrees, tick, left);
  if (!acting.putBack() || !acting.clearAway()) return false;
  unlinkat(dir.fd(), name.c_str(), 0);
  return true;
}

std::vector<HeldRecord> takeDeadRecords(const Directory& dir, const RunRecord& own) {
  std::vector<HeldRecord> taken;
  const std::string prefix = format::PREFIX;
  for (const std::string& name : namesIn(dir.fd())) {
    if (taken.size() == MOST_RECORDS) break;
    if (name.compare(0, prefix.size(), prefix) != 0 || name == own.fileName() ||
        !isToken(name.substr(prefix.size())))
      continue;
    const int fd = openDeadRecord(dir, name, own.keepsModes());
    if (fd >= 0) taken.emplace_back(dir.duplicate(), name, fd, false);
  }
  return taken;
}
