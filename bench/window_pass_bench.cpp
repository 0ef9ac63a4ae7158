// What the progress window costs an extraction: 10,000 small files extracted with a shown
// ProgressWindow as listener (a label copy and a bar value per entry, event passes at the
// pace extraction_listener.h sets) against the same extraction with no listener. Runs
// alternate; medians printed.
// Needs an X display (bench/run-all.sh gives it a private Xvfb).
#include <FL/Fl.H>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "extractor.h"
#include "progress_window.h"
#include "test_files.h"
#include "zip_builder.h"

namespace {

const int FILES = 10000;
const int FILES_PER_DIRECTORY = 100;
const int RUNS = 3;

std::string buildArchive() {
  ZipBuilder zip;
  zip.dir("bench");
  for (int d = 0; d < FILES / FILES_PER_DIRECTORY; ++d) {
    std::string directory = "bench/d" + std::to_string(d);
    zip.dir(directory);
    for (int f = 0; f < FILES_PER_DIRECTORY; ++f) {
      zip.file(directory + "/f" + std::to_string(f) + ".txt", "file " + std::to_string(f) + "\n");
    }
  }
  return zip.build();
}

// One extraction into a fresh directory; the window, when wanted, is built, shown and
// drawn before the clock starts.
double extractMillis(const std::string& archivePath, uint64_t entryCount, bool withWindow) {
  TempDir target;
  Extractor extractor(archivePath);
  std::shared_ptr<ProgressWindow> window;
  if (withWindow) {
    window = std::make_shared<ProgressWindow>(entryCount);
    extractor.addListener(window);
    window->show();
    while (!window->visible()) Fl::wait(0.01);
    Fl::check();
  }
  const auto start = std::chrono::steady_clock::now();
  extractor.extractAll(target.path());
  const auto end = std::chrono::steady_clock::now();
  if (window) window->hide();
  return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  if (!std::getenv("DISPLAY")) {
    std::printf("window_pass_bench: needs an X display (run it through bench/run-all.sh)\n");
    return 1;
  }
  TempDir scratch;
  const std::string archivePath = scratch / "bench.zip";
  writeFile(archivePath, buildArchive());
  const uint64_t entryCount = Extractor(archivePath).archive().names().size();

  std::vector<double> plain, windowed;
  for (int run = 0; run < RUNS; ++run) {
    plain.push_back(extractMillis(archivePath, entryCount, false));
    windowed.push_back(extractMillis(archivePath, entryCount, true));
  }
  const double plainMs = median(plain), windowMs = median(windowed);
  std::printf("%d files (%llu entries), median of %d alternating runs:\n", FILES,
              static_cast<unsigned long long>(entryCount), RUNS);
  std::printf("  %-22s %8.1f ms  (%.1f us per entry)\n", "no listener:", plainMs,
              1000 * plainMs / double(entryCount));
  std::printf("  %-22s %8.1f ms  (%.1f us per entry)\n", "shown progress window:", windowMs,
              1000 * windowMs / double(entryCount));
  std::printf("  %-22s %8.2f\n", "ratio window / plain:", windowMs / plainMs);
  return 0;
}
