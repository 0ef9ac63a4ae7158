#include "zip_builder.h"

#include <zlib.h>

#include <stdexcept>

std::string le16(uint16_t v) { return {char(v & 0xFF), char(v >> 8)}; }

std::string le32(uint32_t v) { return le16(uint16_t(v & 0xFFFF)) + le16(uint16_t(v >> 16)); }

uint32_t crc32Of(const std::string& data) {
  return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
}

std::string deflateRaw(const std::string& data) {
  z_stream s{};
  if (deflateInit2(&s, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&s, uLong(data.size())), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = uInt(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = uInt(out.size());
  int rc = deflate(&s, Z_FINISH);
  deflateEnd(&s);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(s.total_out);
  return out;
}

ZipBuilder& ZipBuilder::add(ZipBuilderEntry entry) {
  entryList.push_back(std::move(entry));
  return *this;
}

ZipBuilder& ZipBuilder::file(const std::string& name, const std::string& data, uint32_t mode) {
  ZipBuilderEntry e;
  e.name = name;
  e.data = data;
  e.externalAttributes = mode << 16;
  return add(std::move(e));
}

ZipBuilder& ZipBuilder::dir(const std::string& name, uint32_t mode) {
  ZipBuilderEntry e;
  e.name = name.ends_with("/") ? name : name + "/";
  e.method = 0;
  e.externalAttributes = (mode << 16) | 0x10;
  return add(std::move(e));
}

ZipBuilder& ZipBuilder::comment(const std::string& text) {
  archiveComment = text;
  return *this;
}

std::string ZipBuilder::build(uint32_t baseOffset) const {
  std::string out, central;
  for (const ZipBuilderEntry& e : entryList) {
    std::string payload = e.method == 8 ? deflateRaw(e.data) : e.data;
    uint32_t crc = e.crc.value_or(crc32Of(e.data));
    uint32_t csize = e.compressedSize.value_or(uint32_t(payload.size()));
    uint32_t usize = e.uncompressedSize.value_or(uint32_t(e.data.size()));
    uint16_t flags = e.flags | (e.dataDescriptor ? 8 : 0);
    uint32_t offset = e.localHeaderOffset.value_or(baseOffset + uint32_t(out.size()));

    out += le32(0x04034b50) + le16(e.versionNeeded) + le16(flags) + le16(e.method) +
           le16(e.dosTime) + le16(e.dosDate);
    if (e.dataDescriptor)
      out += le32(0) + le32(0) + le32(0);
    else
      out += le32(crc) + le32(csize) + le32(usize);
    out += le16(uint16_t(e.name.size())) + le16(uint16_t(e.extra.size())) + e.name + e.extra;
    out += payload;
    if (e.dataDescriptor) out += le32(0x08074b50) + le32(crc) + le32(csize) + le32(usize);

    central += le32(0x02014b50) + le16(e.versionMadeBy) + le16(e.versionNeeded) + le16(flags) +
               le16(e.method) + le16(e.dosTime) + le16(e.dosDate) + le32(crc) + le32(csize) +
               le32(usize) + le16(uint16_t(e.name.size())) + le16(uint16_t(e.extra.size())) +
               le16(uint16_t(e.comment.size())) + le16(0) + le16(e.internalAttributes) +
               le32(e.externalAttributes) + le32(offset) + e.name + e.extra + e.comment;
  }
  uint32_t centralOffset = baseOffset + uint32_t(out.size());
  uint16_t count = uint16_t(entryList.size());
  out += central;
  out += le32(0x06054b50) + le16(0) + le16(0) + le16(count) + le16(count) +
         le32(uint32_t(central.size())) + le32(centralOffset) +
         le16(uint16_t(archiveComment.size())) + archiveComment;
  return out;
}

std::string le64(uint64_t v) { return le32(uint32_t(v)) + le32(uint32_t(v >> 32)); }

uint32_t le32At(const std::string& bytes, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

std::string patched(std::string bytes, size_t at, const std::string& replacement) {
  return bytes.replace(at, replacement.size(), replacement);
}
