// foldCase over 10,000 names like those of an installation's tree (ASCII paths), and over
// as many Greek and Cyrillic ones: it runs for every entry on a file system that folds case.
// Medians of 31 passes printed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "entry_name.h"

namespace {

const int NAMES = 10000;
const int ROUNDS = 31;

std::vector<std::string> asciiNames() {
  const char* const dirs[] = {"app/", "app/lib/", "app/share/doc/", "App/Plugins/Audio/",
                              "app/lib/python3/site-packages/numpy/core/"};
  const char* const ends[] = {".so", ".py", ".txt", "", ".json", ".PNG"};
  std::vector<std::string> names;
  for (int i = 0; i < NAMES; ++i)
    names.push_back(std::string(dirs[i % 5]) + "File_" + std::to_string(i * 7919 % 100000) +
                    ends[i % 6]);
  return names;
}

std::vector<std::string> otherNames() {
  const char* const dirs[] = {"Ωμέγα/", "Программа/Данные/", "ΕΦΑΡΜΟΓΉ/βιβλιοθήκη/"};
  std::vector<std::string> names;
  for (int i = 0; i < NAMES; ++i)
    names.push_back(std::string(dirs[i % 3]) + "Файл_" + std::to_string(i) + ".txt");
  return names;
}

// Microseconds for one pass of foldCase over `names`, median of ROUNDS.
double medianPass(const std::vector<std::string>& names) {
  std::vector<double> passes;
  size_t total = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& name : names) total += foldCase(name).size();
    const auto end = std::chrono::steady_clock::now();
    passes.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  if (total == 0) std::printf("no names\n");
  std::sort(passes.begin(), passes.end());
  return passes[passes.size() / 2];
}

}  // namespace

int main() {
  std::printf("foldCase over %d names, median of %d passes:\n", NAMES, ROUNDS);
  std::printf("  ASCII paths             %8.0f us\n", medianPass(asciiNames()));
  std::printf("  Greek and Cyrillic      %8.0f us\n", medianPass(otherNames()));
  return 0;
}
