// Errors of the extraction name the path at fault and the system's reason.
#ifndef SFX_EXTRACT_PATH_ERROR_H_
#define SFX_EXTRACT_PATH_ERROR_H_

#include <stdexcept>
#include <string>
#include <system_error>

// "PATH: No such file or directory", for the errno value `error`.
inline std::runtime_error pathError(const std::string& path, int error) {
  return std::runtime_error(path + ": " + std::generic_category().message(error));
}

// `directory` with one more component; no doubled "/" after the root.
inline std::string childPath(const std::string& directory, const std::string& component) {
  if (!directory.empty() && directory.back() == '/') return directory + component;
  return directory + "/" + component;
}

#endif  // SFX_EXTRACT_PATH_ERROR_H_
