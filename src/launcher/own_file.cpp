#include "own_file.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

const char SELF[] = "/proc/self/exe";

// One line of /proc/self/maps: an address range and the file mapped there.
struct Mapping {
  uintptr_t start = 0, end = 0;
  unsigned major = 0, minor = 0;
  unsigned long inode = 0;
  std::string path;
};

// The file mapping that holds this program's code. The kernel's /proc/self/exe names the
// program it was asked to run, which is the dynamic loader when someone ran
// "ld-linux-x86-64.so.2 ./setup.bin" (the way to start a file on a noexec mount).
bool codeMapping(Mapping* out) {
  const uintptr_t code = reinterpret_cast<uintptr_t>(&codeMapping);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    Mapping m;
    unsigned long long start, end, offset;
    char perms[8];
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx %7s %llx %x:%x %lu %n", &start, &end, perms, &offset,
                    &m.major, &m.minor, &m.inode, &consumed) < 7 ||
        code < start || code >= end)
      continue;
    m.start = uintptr_t(start);
    m.end = uintptr_t(end);
    m.path = line.substr(size_t(consumed));
    *out = m;
    return m.inode != 0 && !m.path.empty() && m.path[0] == '/';
  }
  return false;
}

// Opens `path` and checks that it is the mapped file itself.
bool isMappedFile(const std::string& path, const Mapping& m) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool same = fstat(fd, &st) == 0 && st.st_ino == m.inode && major(st.st_dev) == m.major &&
                    minor(st.st_dev) == m.minor;
  close(fd);
  return same;
}

template <typename T>
bool readAt(std::ifstream& in, uint64_t offset, T* out) {
  in.seekg(std::streamoff(offset));
  return bool(in.read(reinterpret_cast<char*>(out), sizeof *out));
}

}  // namespace

OwnFile ownFile(const char* argv0) {
  Mapping m;
  if (codeMapping(&m)) {
    // The mapping's own entry reaches the file even once renamed; it needs privileges an
    // ordinary user lacks, and then the path it was mapped from is checked to be it.
    char entry[64];
    std::snprintf(entry, sizeof entry, "/proc/self/map_files/%lx-%lx", (unsigned long)m.start,
                  (unsigned long)m.end);
    if (isMappedFile(entry, m)) return {entry, m.path};
    if (isMappedFile(m.path, m)) return {m.path, m.path};
  }
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
