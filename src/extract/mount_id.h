// Which mount a file lies on, so that removing a tree never descends into another file
// system, a bind mount of the same one included.
#ifndef SFX_EXTRACT_MOUNT_ID_H_
#define SFX_EXTRACT_MOUNT_ID_H_

#include <sys/types.h>

#include <cstdint>

struct MountOf {
  dev_t device = 0;
  uint64_t mountId = 0;
};

// The mount of what the open descriptor `fd` holds (an O_PATH one included). statx gives
// the mount id from Linux 5.8; before that it comes from /proc/self/fdinfo, which answers
// for every file system. False, with errno set, when neither tells: a caller must then
// take the file for one on another mount.
bool mountOf(int fd, MountOf* out);

// Whether two files lie on one mount.
inline bool sameMount(const MountOf& a, const MountOf& b) {
  return a.device == b.device && a.mountId == b.mountId;
}

// For tests: statx's mount id is ignored, as on kernels before 5.8, which give none.
void ignoreStatxMountId(bool ignore);

#endif  // SFX_EXTRACT_MOUNT_ID_H_
