// The kernel's own statx structure: the C library's may lack the mount id field.
#include "mount_id.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<bool> statxIgnored{false};

// The "mnt_id:" line that /proc/self/fdinfo/FD has from Linux 3.15 on. name_to_handle_at
// also gives the mount id, but only on file systems that make file handles (an overlay and
// a ramfs refuse it), and /proc/self/mountinfo names mounts by path, which cannot place a
// directory held open.
bool fdinfoMountId(int fd, uint64_t* id) {
  const std::string path = "/proc/self/fdinfo/" + std::to_string(fd);
  const int info = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (info < 0) return false;
  // The line comes third, after "pos:" and "flags:"; one read takes it.
  char text[512];
  size_t size = 0;
  const char* line = nullptr;
  while (size < sizeof text - 1) {
    const ssize_t got = read(info, text + size, sizeof text - 1 - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<size_t>(got);
    text[size] = '\0';
    line = std::strstr(text, "\nmnt_id:");
    if (line && std::strchr(line + 1, '\n')) break;
  }
  close(info);
  const size_t label = std::strlen("\nmnt_id:");
  char* end = nullptr;
  if (line) *id = std::strtoull(line + label, &end, 10);
  if (!line || end == line + label || *end != '\n') {
    errno = EOPNOTSUPP;
    return false;
  }
  return true;
}

}  // namespace

void ignoreStatxMountId(bool ignore) { statxIgnored = ignore; }

bool mountOf(int fd, MountOf* out) {
  struct statx st {};
  const int flags = AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW;
  if (syscall(SYS_statx, fd, "", flags, STATX_BASIC_STATS | STATX_MNT_ID, &st) != 0) return false;
  out->device = makedev(st.stx_dev_major, st.stx_dev_minor);
  // Kernels before 5.8 leave the mask bit clear; qemu-user sets it and leaves the id 0.
  if ((st.stx_mask & STATX_MNT_ID) && st.stx_mnt_id != 0 && !statxIgnored) {
    out->mountId = st.stx_mnt_id;
    return true;
  }
  return fdinfoMountId(fd, &out->mountId);
}
