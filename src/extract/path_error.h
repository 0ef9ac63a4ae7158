// Paths and names the extraction makes, and its errors, which name the path at fault and
// the system's reason.
#ifndef SFX_EXTRACT_PATH_ERROR_H_
#define SFX_EXTRACT_PATH_ERROR_H_

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "interruption.h"

// "PATH: No such file or directory", for the errno value `error`.
inline std::runtime_error pathError(const std::string& path, int error) {
  return std::runtime_error(path + ": " + std::generic_category().message(error));
}

// `directory` with one more component; no doubled "/" after the root.
inline std::string childPath(const std::string& directory, const std::string& component) {
  if (!directory.empty() && directory.back() == '/') return directory + component;
  return directory + "/" + component;
}

// `prefix` + `name`, with `name` replaced by its hash when the result and `room` more bytes
// would pass the 255 bytes a file name may have.
inline std::string prefixedName(const std::string& prefix, const std::string& name,
                                size_t room = 0) {
  const size_t nameMax = 255;
  if (prefix.size() + name.size() + room <= nameMax) return prefix + name;
  return prefix + std::to_string(std::hash<std::string>()(name));
}

// A path that reaches the very file an open descriptor holds (an O_PATH one included),
// whatever stands at its name now.
inline std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Runs `step`, putting `name` (an entry's, say) in front of the message of any
// std::runtime_error it throws; Interrupted and Cancelled pass unchanged.
template <typename Step>
auto naming(const std::string& name, Step step) {
  try {
    return step();
  } catch (const Interrupted&) {
    throw;
  } catch (const Cancelled&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(name + ": " + e.what());
  }
}

#endif  // SFX_EXTRACT_PATH_ERROR_H_
