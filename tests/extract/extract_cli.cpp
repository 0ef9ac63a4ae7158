// Extracts an archive into a directory, without a window: for tests that run the
// extraction in processes of its own, under strace, as another user or with low limits.
// Usage: extract_cli ARCHIVE [TARGET]   (TARGET defaults to the working directory)
// Status 0 when extracted (what could not be removed is named on stderr), 3 on failure.
#include <cstdio>
#include <exception>

#include "extractor.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: extract_cli ARCHIVE [TARGET]\n");
    return 2;
  }
  try {
    Extractor extractor(argv[1]);
    extractor.extractAll(argc > 2 ? argv[2] : ".");
    for (const std::string& left : extractor.leftovers())
      std::fprintf(stderr, "%s (could not be removed)\n", left.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 3;
  }
  return 0;
}
