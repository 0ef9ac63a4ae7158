// Prints the mount id statx gives for each PATH, one a line, 0 where it gives none: for
// tests that check that an emulator answers as the kernels before 5.8 do.
// Usage: statx_mount_id PATH...
#include <fcntl.h>
#include <linux/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    struct statx st {};
    if (syscall(SYS_statx, AT_FDCWD, argv[i], AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_MNT_ID,
                &st) != 0) {
      std::perror(argv[i]);
      return 1;
    }
    const unsigned long long id = (st.stx_mask & STATX_MNT_ID) ? st.stx_mnt_id : 0;
    std::printf("%llu\n", id);
  }
  return 0;
}
