// Which mount a file lies on, so that removing a tree never descends into another file
// system, a bind mount of the same one included.
#ifndef SFX_EXTRACT_MOUNT_ID_H_
#define SFX_EXTRACT_MOUNT_ID_H_

#include <sys/types.h>

#include <cstdint>

struct MountOf {
  dev_t device = 0;
  uint64_t mountId = 0;  // 0 where the kernel cannot tell (before Linux 5.8)
};

// The mount of `name` in the directory `dir` ("" for `dir` itself), not following a link.
// False when it cannot be examined.
bool mountOf(int dir, const char* name, MountOf* out);

// Whether two files lie on one mount, as far as the kernel tells.
inline bool sameMount(const MountOf& a, const MountOf& b) {
  return a.device == b.device && (a.mountId == 0 || b.mountId == 0 || a.mountId == b.mountId);
}

#endif  // SFX_EXTRACT_MOUNT_ID_H_
