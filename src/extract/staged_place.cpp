#include "staged_place.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "path_error.h"
#include "tree_removal.h"

namespace {

// Room for "." and the run's token after the place's name.
const size_t TOKEN_ROOM = 17;

bool exists(int dir, const std::string& name) {
  struct stat st;
  return fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Errors of file systems that cannot exchange, or cannot rename without copying (an
// overlay's lower layer).
bool cannotExchange(int error) { return error == EINVAL || error == ENOSYS || error == EXDEV; }

}  // namespace

StagedPlace::StagedPlace(const Directory& holder, const std::string& leaf, bool directory,
                         RunRecord& record)
    : holder(holder), record(record), directory(directory), leaf(leaf),
      stage(prefixedName(".sfx-stage.", leaf, TOKEN_ROOM) + "." + record.id()),
      aside(prefixedName(".sfx-old.", leaf, TOKEN_ROOM) + "." + record.id()),
      shown(childPath(holder.path(), leaf)) {
  // Named before they exist: a run killed at any later moment leaves a record of them.
  record.noteStage(stage);
  record.noteAside(aside);
  const int made = directory ? mkdirat(holder.fd(), stage.c_str(), 0755)
                             : openat(holder.fd(), stage.c_str(),
                                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (made < 0) throw pathError(childPath(holder.path(), stage), errno);
  if (!directory) {
    close(made);
    return;
  }
  int fd = openat(holder.fd(), stage.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // Out of descriptors, say: the stage goes again, or stays named in the record.
    const int error = errno;
    if (unlinkat(holder.fd(), stage.c_str(), AT_REMOVEDIR) != 0) record.keep();
    throw pathError(childPath(holder.path(), stage), error);
  }
  staged = Directory(fd, shown);
}

StagedPlace::~StagedPlace() = default;

bool StagedPlace::leftBehind() const {
  // What cannot be looked at may be there.
  struct stat st;
  for (const std::string* name : {&stage, &aside})
    if (fstatat(holder.fd(), name->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
      return true;
  return false;
}

void StagedPlace::settle(const std::function<void()>& verify, const std::function<void()>& undo) {
  try {
    verify();
  } catch (...) {
    undo();
    throw;
  }
}

void StagedPlace::commit(const std::function<void()>& verify, const std::function<void()>& tick) {
  const int dir = holder.fd();
  const char* place = leaf.c_str();
  const auto putBack = [&] { renameat(dir, place, dir, stage.c_str()); };
  if (renameat2(dir, stage.c_str(), dir, place, RENAME_NOREPLACE) == 0) {
    settle(verify, putBack);
    return;
  }
  int error = errno;
  if (error == EEXIST) {
    if (renameat2(dir, stage.c_str(), dir, place, RENAME_EXCHANGE) == 0) {
      // The stage's name now holds the previous installation.
      settle(verify, [&] { renameat2(dir, stage.c_str(), dir, place, RENAME_EXCHANGE); });
      return;
    }
    error = errno;
  } else if (cannotExchange(error) && !exists(dir, place)) {
    if (renameat(dir, stage.c_str(), dir, place) != 0) throw pathError(shown, errno);
    settle(verify, putBack);
    return;
  }
  if (!cannotExchange(error)) throw pathError(shown, error);
  // The previous installation steps aside under the name the record gave it: killed
  // before the stage is in, the next run puts it back.
  if (renameat(dir, place, dir, aside.c_str()) != 0) {
    if (errno != EXDEV) throw pathError(shown, errno);
    replaceInPlace(verify, tick);
    return;
  }
  if (renameat(dir, stage.c_str(), dir, place) != 0) {
    error = errno;
    renameat(dir, aside.c_str(), dir, place);
    throw pathError(shown, error);
  }
  settle(verify, [&] {
    putBack();
    renameat(dir, aside.c_str(), dir, place);
  });
}

void StagedPlace::replaceInPlace(const std::function<void()>& verify,
                                 const std::function<void()>& tick) {
  // From here the record says the stage is to replace the place: killed at any step, the
  // next run finishes the replacement.
  record.noteFinishing();
  const std::string left = removeTree(holder.fd(), leaf, shown, tick);
  if (!left.empty()) throw std::runtime_error(left + " (the new installation waits in " +
                                              childPath(holder.path(), stage) + ")");
  if (renameat(holder.fd(), stage.c_str(), holder.fd(), leaf.c_str()) != 0)
    throw pathError(shown, errno);
  // The previous installation is gone: a miss found now is reported, but cannot be undone.
  verify();
}
