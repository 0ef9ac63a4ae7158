// What the extraction tells about each entry as it goes.
#ifndef SFX_EXTRACT_EXTRACTION_LISTENER_H_
#define SFX_EXTRACT_EXTRACTION_LISTENER_H_

#include <string>

class ExtractionListener {
 public:
  virtual ~ExtractionListener() = default;
  // Called once per entry, directories included, before the entry is created or
  // written, with its absolute target path. `path` is valid only during the call.
  virtual void onEntry(const std::string& path) = 0;
};

#endif  // SFX_EXTRACT_EXTRACTION_LISTENER_H_
