// The kernel's own statx structure: the C library's may lack the mount id field.
#include "mount_id.h"

#include <fcntl.h>
#include <linux/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

bool mountOf(int dir, const char* name, MountOf* out) {
  struct statx st {};
  const int flags = AT_SYMLINK_NOFOLLOW | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  if (syscall(SYS_statx, dir, name, flags, STATX_BASIC_STATS | STATX_MNT_ID, &st) != 0)
    return false;
  out->device = makedev(st.stx_dev_major, st.stx_dev_minor);
  out->mountId = (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : 0;
  return true;
}
