#include "extract_helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

std::string saveArchive(const std::string& path, const std::string& bytes) {
  writeFile(path, bytes);
  return path;
}

void unmountBelow(const std::string& root) {
  std::ifstream table("/proc/self/mounts");
  std::vector<std::string> below;
  for (std::string device, at, rest; table >> device >> at && std::getline(table, rest);)
    if (at.compare(0, root.size() + 1, root + "/") == 0) below.push_back(at);
  std::sort(below.rbegin(), below.rend());
  for (const std::string& at : below) umount2(at.c_str(), MNT_DETACH);
}

void RecordingListener::onEntry(const std::string& path) {
  paths.push_back(path);
  if (check) check(path);
}

static void walk(const std::string& root, const std::string& relative,
                 std::map<std::string, std::string>& out) {
  std::string dir = relative.empty() ? root : root + "/" + relative;
  DIR* d = opendir(dir.c_str());
  if (!d) throw std::runtime_error("cannot list " + dir);
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string rel = relative.empty() ? name : relative + "/" + name;
    std::string path = root + "/" + rel;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    if (S_ISDIR(st.st_mode)) {
      out[rel] = std::string("dir ") + mode;
      walk(root, rel, out);
    } else if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      ssize_t n = readlink(path.c_str(), target, sizeof target);
      out[rel] = "link " + std::string(target, n < 0 ? 0 : size_t(n));
    } else {
      out[rel] = std::string("file ") + mode + " " + readFile(path);
    }
  }
  closedir(d);
}

std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  walk(root, "", out);
  return out;
}

UmaskScope::UmaskScope(mode_t mask) : saved(umask(mask)) {}
UmaskScope::~UmaskScope() { umask(saved); }

CwdScope::CwdScope(const std::string& path) : saved(open(".", O_RDONLY | O_DIRECTORY)) {
  if (saved < 0 || chdir(path.c_str()) != 0) throw std::runtime_error("cannot enter " + path);
}
CwdScope::~CwdScope() {
  if (fchdir(saved) != 0) std::perror("fchdir");
  close(saved);
}

std::string inChild(const std::function<std::string()>& body) {
  int report[2];
  if (pipe(report) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    close(report[0]);
    const std::string text = body();
    (void)!write(report[1], text.data(), text.size());
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    text += " [child status " + std::to_string(status) + "]";
  return text;
}
