// The largest uncompressed size an entry's compressed bytes can yield, so that a damaged
// or hostile size is refused before a buffer is allocated for it.
#ifndef SFX_ARCHIVE_ENTRY_SIZE_LIMIT_H_
#define SFX_ARCHIVE_ENTRY_SIZE_LIMIT_H_

#include <cstdint>

// Each DEFLATE length/distance pair takes at least two bits and yields at most 258 bytes.
constexpr uint64_t MAX_DEFLATE_RATIO = 258 * 8 / 2;

// Stored entries (method 0) are as long as their data; deflated ones at most
// MAX_DEFLATE_RATIO times longer. Other methods cannot be extracted anyway.
inline bool plausibleEntrySize(uint16_t method, uint64_t comp, uint64_t uncomp) {
  if (uncomp > SIZE_MAX - 1) return false;
  if (method == 0) return uncomp == comp;
  return comp <= UINT64_MAX / MAX_DEFLATE_RATIO && uncomp <= comp * MAX_DEFLATE_RATIO;
}

#endif  // SFX_ARCHIVE_ENTRY_SIZE_LIMIT_H_
