// Peak memory of extracting one 256 MiB entry to a file. The loading and the extraction
// run in fresh child processes (this program again), so each peak is theirs alone.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "extractor.h"
#include "test_files.h"

namespace {

const size_t PAYLOAD_SIZE = 256u << 20;

// Words picked at random: deflate shrinks it a few times, but not to nothing.
void writePayload(const std::string& path) {
  const char* words[] = {"alpha ", "bravo ", "charlie ", "delta ", "echo ", "foxtrot ", "golf ",
                         "hotel ", "india ", "juliett ", "kilo ", "lima ", "mike ", "november ",
                         "oscar ", "papa\n"};
  std::ofstream out(path, std::ios::binary);
  std::string block;
  uint64_t state = 42;
  for (size_t written = 0; written < PAYLOAD_SIZE;) {
    block.clear();
    while (block.size() < (1u << 20)) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      block += words[state >> 60];
      block += static_cast<char>('0' + (state >> 32) % 10);
    }
    block.resize(std::min(block.size(), PAYLOAD_SIZE - written));
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    written += block.size();
  }
}

// Runs this program with `args` and returns the child's peak resident set in KiB.
long childPeakKiB(const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "entry_memory_bench: child %s failed\n", args[1].c_str());
    return -1;
  }
  return usage.ru_maxrss;
}

int child(const std::string& what, const std::string& installer, const std::string& dir) {
  if (what == "--idle") return 0;
  Extractor extractor(installer);
  if (extractor.archive().entries().empty()) return 1;
  if (what == "--extract") extractor.extractAll(dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4) return child(argv[1], argv[2], argv[3]);

  TempDir dir;
  writePayload(dir / "payload");
  const std::string prepare = "cd " + shellQuote(dir.path()) +
                              " && zip -q a.zip payload && printf stub > installer" +
                              " && cat a.zip >> installer && rm payload a.zip && mkdir out";
  if (runCommand(prepare).status != 0) {
    std::fprintf(stderr, "entry_memory_bench: cannot build %s\n", (dir / "installer").c_str());
    return 1;
  }
  const std::string installer = dir / "installer";
  const long base = childPeakKiB({argv[0], "--idle", "/nonexistent", "-"});
  const long load = childPeakKiB({argv[0], "--load", installer, dir / "out"});
  const long extract = childPeakKiB({argv[0], "--extract", installer, dir / "out"});
  const double archiveMiB = static_cast<double>(readFile(installer).size()) / (1 << 20);
  const double entryMiB = static_cast<double>(PAYLOAD_SIZE) / (1 << 20);
  const double extractMiB = extract / 1024.0, baseMiB = base / 1024.0;

  std::printf("entry of %.0f MiB, archive of %.1f MiB (deflated)\n", entryMiB, archiveMiB);
  std::printf("  peak RSS, program alone        %8.1f MiB\n", baseMiB);
  std::printf("  peak RSS, load only            %8.1f MiB\n", load / 1024.0);
  std::printf("  peak RSS, load + extract entry %8.1f MiB\n", extractMiB);
  std::printf("  (peak - program - archive) / entry = %.2f copies (streamed: near 0)\n",
              (extractMiB - baseMiB - archiveMiB) / entryMiB);
  return 0;
}
