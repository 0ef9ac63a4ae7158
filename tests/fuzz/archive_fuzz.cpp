// libFuzzer target: arbitrary bytes as an installer's archive, listed and extracted into a
// scratch directory. Anything may be refused; nothing may crash, hang or leave the scratch.
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

#include "extractor.h"
#include "zip_archive.h"

namespace {

// A private directory for the whole run, removed when the process ends.
struct Scratch {
  Scratch() {
    std::string pattern = boost::filesystem::temp_directory_path().string() + "/sfx-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    root = pattern;
  }
  ~Scratch() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(root, ignored);
  }
  std::string root;
};

const std::string& scratchDirectory() {
  static Scratch scratch;
  static const std::string target = scratch.root + "/target";
  return target;
}

void emptyScratch() {
  boost::system::error_code ignored;
  // Extracted directories may have read-only modes; make them removable first.
  boost::filesystem::path root(scratchDirectory());
  if (boost::filesystem::exists(root, ignored)) {
    for (auto it = boost::filesystem::recursive_directory_iterator(root, ignored);
         it != boost::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->symlink_status(ignored).type() == boost::filesystem::directory_file)
        boost::filesystem::permissions(it->path(), boost::filesystem::owner_all | boost::filesystem::add_perms,
                                       ignored);
    }
  }
  boost::filesystem::remove_all(root, ignored);
  boost::filesystem::create_directories(root, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  emptyScratch();
  // The extractor loads from a file, as the stub does.
  std::string archivePath = scratchDirectory() + "/../input.zip";
  {
    FILE* f = fopen(archivePath.c_str(), "wb");
    if (!f) abort();
    if (size > 0) fwrite(data, 1, size, f);
    fclose(f);
  }
  try {
    Extractor extractor(archivePath);
    extractor.archive().names();
    extractor.archive().comment();
    extractor.extractAll(scratchDirectory());
  } catch (const std::exception&) {
    // Refusing damaged input is the expected outcome for most inputs.
  }
  return 0;
}
