// sfx-list: lists an installer's entries as the installer itself reads them, so that a
// packager's tool can check that what it built is what the stub will extract.
//
//   sfx-list [-0] INSTALLER
//
// Finds the archive at the end of INSTALLER with the installer's own reader, lists every
// entry name one per line (NUL-terminated with -0) and applies the installer's name rules.
// Exit status 0 when the installer would accept every entry; 1, with the reason on stderr,
// when it holds no archive, the archive is damaged, or a name would be refused.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "entry_name.h"
#include "zip_archive.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "sfx-list: %s\n", message.c_str());
  return 1;
}

int list(const std::string& path, char separator) {
  ZipArchive archive;
  if (!archive.loadFile(path)) return fail(path + ": no ZIP archive at its end");
  for (const ZipEntryInfo& entry : archive.entries()) {
    const std::string why = refusal(entry.name);
    if (!why.empty()) return fail(path + ": " + entry.name + ": " + why);
    std::fwrite(entry.name.data(), 1, entry.name.size(), stdout);
    std::fputc(separator, stdout);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return fail("cannot write the listing");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool nul = argc == 3 && std::strcmp(argv[1], "-0") == 0;
  if (argc != (nul ? 3 : 2) || (!nul && argv[1][0] == '-')) {
    std::fprintf(stderr, "usage: sfx-list [-0] INSTALLER\n");
    return 2;
  }
  try {
    return list(argv[argc - 1], nul ? '\0' : '\n');
  } catch (const std::exception& e) {
    return fail(std::string(argv[argc - 1]) + ": " + e.what());
  }
}
