// Builds ZIP archives byte by byte, so tests can make well-formed archives with exact
// attributes and also every kind of broken one.
#ifndef SFX_TESTS_SUPPORT_ZIP_BUILDER_H_
#define SFX_TESTS_SUPPORT_ZIP_BUILDER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ZipBuilderEntry {
  std::string name;
  std::string data;                    // uncompressed content
  uint16_t method = 8;                 // 0 stored, 8 deflated (anything else is written as stored bytes)
  uint32_t externalAttributes = 0100644u << 16;
  uint16_t versionMadeBy = 0x031E;     // Unix, 3.0
  uint16_t versionNeeded = 20;
  uint16_t flags = 0;
  uint16_t dosTime = 0;
  uint16_t dosDate = (1 << 5) | 1;     // 1980-01-01
  uint16_t internalAttributes = 0;
  std::string comment;
  std::string extra;
  bool dataDescriptor = false;         // sizes and CRC after the data, zero in the local header
  // Overrides for broken archives; applied to the central header (and local header when
  // stated).
  std::optional<uint32_t> crc;
  std::optional<uint32_t> compressedSize;
  std::optional<uint32_t> uncompressedSize;
  std::optional<uint32_t> localHeaderOffset;
};

class ZipBuilder {
 public:
  ZipBuilder& add(ZipBuilderEntry entry);
  // Shorthands: a regular file (mode 0644) and a directory (mode 0755, name gets "/").
  ZipBuilder& file(const std::string& name, const std::string& data, uint32_t mode = 0100644);
  ZipBuilder& dir(const std::string& name, uint32_t mode = 040755);
  ZipBuilder& comment(const std::string& text);

  // The whole archive; offsets count from its first byte plus `baseOffset` (for archives
  // whose offsets were adjusted to a stub in front, as `zip -A` does).
  std::string build(uint32_t baseOffset = 0) const;

 private:
  std::vector<ZipBuilderEntry> entryList;
  std::string archiveComment;
};

std::string deflateRaw(const std::string& data);
uint32_t crc32Of(const std::string& data);
std::string le16(uint16_t v);
std::string le32(uint32_t v);
std::string le64(uint64_t v);
uint32_t le32At(const std::string& bytes, size_t at);
// `bytes` with `replacement` written over it from `at` on.
std::string patched(std::string bytes, size_t at, const std::string& replacement);

#endif  // SFX_TESTS_SUPPORT_ZIP_BUILDER_H_
