// Huge pages under large buffers: faulting hundreds of MiB in 4 KiB pages costs
// several times the copy or the inflate that fills them.
#ifndef SFX_ARCHIVE_HUGE_PAGES_H_
#define SFX_ARCHIVE_HUGE_PAGES_H_

#include <cstddef>

// Asks for huge pages under the 2 MiB-aligned part of [data, data + size). Call it
// before the buffer is first touched; it is only advice, and harmless when refused.
void adviseHugePages(void* data, size_t size);

#endif  // SFX_ARCHIVE_HUGE_PAGES_H_
