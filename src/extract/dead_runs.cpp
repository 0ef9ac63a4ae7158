#include "dead_runs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <optional>

#include "path_error.h"
#include "tree_removal.h"

namespace {

namespace format = run_record_format;

// Records looked at in one run: a directory full of them cannot hold a run up for long.
const size_t MOST_RECORDS = 64;

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
    } else if (key == "temporaries") {
      std::optional<std::vector<std::string>> where = downward(value);
      if (!where || run->temporaries.size() == format::MAX_TEMPORARY_DIRECTORIES) return false;
      run->temporaries.push_back(*where);
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

class Recovery {
 public:
  Recovery(const Directory& dir, const std::function<void()>& tick, std::vector<std::string>* left)
      : dir(dir), tick(tick), left(left) {}

  // Puts right what one dead run left; false when something is left for a later run.
  bool recover(const DeadRun& run) {
    bool whole = true;
    const int holder = openBelow(dir.fd(), run.holder);
    if (holder >= 0) {
      holderPath = dir.path();
      for (const std::string& step : run.holder) holderPath = childPath(holderPath, step);
      whole = putBack(holder, run) && removeOwn(holder, run.stage) && removeOwn(holder, run.aside);
      close(holder);
    } else if (errno != ENOENT) {
      // Not what the run left there (a link, say): nothing of it is touched.
      whole = false;
    }
    for (const std::vector<std::string>& where : run.temporaries)
      removeTemporaries(dir.fd(), where, ".sfx-part." + run.token + ".");
    return whole;
  }

 private:
  std::string shown(const std::string& name) const { return childPath(holderPath, name); }

  bool failed(const std::string& name, int error) {
    left->push_back(pathError(shown(name), error).what());
    return false;
  }

  bool removeOwn(int holder, const std::string& name) {
    if (name.empty() || standing(holder, name) != Standing::Ours) return true;
    const std::string rest = removeOwnTree(holder, name, shown(name), tick);
    if (!rest.empty()) left->push_back(rest);
    return rest.empty();
  }

  // A place found missing gets its aside copy back; a complete stage whose swap was under
  // way goes in. Only what is ours is renamed in or removed.
  bool putBack(int holder, const DeadRun& run) {
    if (run.place.empty()) return true;
    const Standing place = standing(holder, run.place);
    if (run.finishing && !run.stage.empty() && standing(holder, run.stage) == Standing::Ours) {
      if (place == Standing::Other) return false;
      if (place == Standing::Ours && !removeOwn(holder, run.place)) return false;
      if (renameat(holder, run.stage.c_str(), holder, run.place.c_str()) != 0)
        return failed(run.stage, errno);
    } else if (place == Standing::Missing && !run.aside.empty() &&
               standing(holder, run.aside) == Standing::Ours) {
      // Killed between stepping the previous installation aside and putting the new one in.
      if (renameat(holder, run.aside.c_str(), holder, run.place.c_str()) != 0)
        return failed(run.aside, errno);
    }
    return true;
  }

  const Directory& dir;
  const std::function<void()>& tick;
  std::vector<std::string>* left;
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
      size_t(st.st_size) > format::MAX_BYTES ||
      flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::vector<std::string> recoverDeadRuns(const Directory& dir, const RunRecord& own,
                                         const std::function<void()>& tick) {
  std::vector<std::string> left;
  Recovery recovery(dir, tick, &left);
  const std::string prefix = format::PREFIX;
  size_t looked = 0;
  for (const std::string& name : namesIn(dir.fd())) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    DeadRun run;
    run.token = name.substr(prefix.size());
    if (!isToken(run.token) || name == own.fileName() || looked == MOST_RECORDS) continue;
    const int fd = openDeadRecord(dir, name, own.keepsModes());
    if (fd < 0) continue;
    ++looked;
    struct stat st;
    std::string bytes;
    if (fstat(fd, &st) == 0) {
      bytes.resize(size_t(st.st_size));
      if (pread(fd, bytes.data(), bytes.size(), 0) != ssize_t(bytes.size())) bytes = "?";
    }
    // A record cut within its first line names nothing: its run died making it.
    const std::string magic = format::MAGIC;
    const bool unfinished = bytes.size() < magic.size() && magic.compare(0, bytes.size(), bytes) == 0;
    if (unfinished || (parse(bytes, &run) && recovery.recover(run)))
      unlinkat(dir.fd(), name.c_str(), 0);
    close(fd);
  }
  return left;
}
