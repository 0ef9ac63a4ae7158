#include "own_file.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

const char SELF[] = "/proc/self/exe";

template <typename T>
bool readAt(std::ifstream& in, uint64_t offset, T* out) {
  in.seekg(std::streamoff(offset));
  return bool(in.read(reinterpret_cast<char*>(out), sizeof *out));
}

}  // namespace

OwnFile ownFile(const char* argv0) {
  const int fd = open(SELF, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {argv0, argv0};
  close(fd);
  std::vector<char> name(4096);
  const ssize_t n = readlink(SELF, name.data(), name.size());
  if (n <= 0 || size_t(n) == name.size()) return {SELF, argv0};
  return {SELF, std::string(name.data(), size_t(n))};
}

uint64_t bytesAfterImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Elf64_Ehdr header;
  if (!readAt(in, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64)
    return 0;
  uint64_t end = std::max<uint64_t>(sizeof header, header.e_shoff + uint64_t(header.e_shnum) * header.e_shentsize);
  end = std::max<uint64_t>(end, header.e_phoff + uint64_t(header.e_phnum) * header.e_phentsize);
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    if (!readAt(in, header.e_phoff + uint64_t(i) * header.e_phentsize, &segment)) return 0;
    end = std::max<uint64_t>(end, segment.p_offset + segment.p_filesz);
  }
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section;
    if (!readAt(in, header.e_shoff + uint64_t(i) * header.e_shentsize, &section)) return 0;
    if (section.sh_type != SHT_NOBITS) end = std::max<uint64_t>(end, section.sh_offset + section.sh_size);
  }
  in.clear();
  in.seekg(0, std::ios::end);
  const uint64_t size = uint64_t(in.tellg());
  return size > end ? size - end : 0;
}
