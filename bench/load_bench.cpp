// Loads a 256 MiB archive appended to a small stub and compares the time with reading
// the same file through `cat`. Both run from the page cache, alternately; medians printed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "test_files.h"
#include "zip_archive.h"

namespace {

const size_t PAYLOAD_SIZE = 256u << 20;
const int RUNS = 9;

// Bytes that do not compress, so the stored archive is as large as the payload.
void writePayload(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (size_t written = 0; written < PAYLOAD_SIZE; written += block.size()) {
    for (char& c : block) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      c = static_cast<char>(state >> 56);
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

template <typename F>
double millis(F f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  TempDir dir;
  writePayload(dir / "payload");
  writeFile(dir / "stub", std::string(20000, '\x7f'));
  const std::string prepare = "cd " + shellQuote(dir.path()) +
                              " && zip -q -0 a.zip payload && cat stub a.zip > installer" +
                              " && rm payload a.zip";
  if (runCommand(prepare).status != 0) {
    std::fprintf(stderr, "load_bench: cannot build %s\n", (dir / "installer").c_str());
    return 1;
  }
  const std::string installer = dir / "installer";
  const std::string cat = "cat " + shellQuote(installer) + " > /dev/null";
  runCommand(cat);  // into the page cache

  std::vector<double> loadTimes, catTimes;
  size_t stored = 0;
  for (int i = 0; i < RUNS; ++i) {
    catTimes.push_back(millis([&] { runCommand(cat); }));
    loadTimes.push_back(millis([&] {
      ZipArchive archive;
      if (!archive.loadFile(installer)) std::fprintf(stderr, "load_bench: load failed\n");
      stored = archive.entries().empty() ? 0 : archive.entries()[0].compressedSize;
    }));
  }
  const double load = median(loadTimes), catMedian = median(catTimes);
  std::printf("one stored entry of %zu bytes behind a 20000-byte stub, %d runs each, medians:\n",
              stored, RUNS);
  std::printf("  ZipArchive::loadFile  %8.1f ms (construction and destruction included)\n", load);
  std::printf("  cat FILE > /dev/null  %8.1f ms (through /bin/sh)\n", catMedian);
  std::printf("  ratio                 %8.2f (target: under 2)\n", load / catMedian);
  return 0;
}
