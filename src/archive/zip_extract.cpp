#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "zip_archive.h"

std::string joinPath(const std::vector<std::string>& parts) {
  std::string path;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) path += '/';
    path += parts[i];
  }
  return path;
}

void ZipArchive::extractEntry(const std::string& name, const std::string& baseDirectory) {
  const std::string path = joinPath({baseDirectory, name});
  // Opened before the lookup so that a failed lookup or read leaves an empty file; the
  // lookup's and the read's errors still come before a failure to open.
  std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
  std::string content = readEntry(entryInfo(name));
  if (!out.is_open()) throw std::runtime_error("file couldn't be written: " + path);
  writeStaged(std::move(content), out);
  out.close();
  if (out.fail()) throw std::runtime_error("file couldn't be written: " + path);
}

void ZipArchive::writeStaged(std::string content, std::ostream& out) {
  const bool empty = content.empty();
  stagingStream.str(std::move(content));
  // Inserting an empty buffer counts as a failure, yet an empty entry is written fine.
  if (!empty) out << stagingStream.rdbuf();
  // Whatever the file did not take goes with the string, never into the next entry.
  std::move(stagingStream).str();
}

std::string ZipArchive::readEntry(const ZipEntryInfo& info) {
  // By index, not by name: names differing only in case stay distinct entries.
  size_t size = 0;
  void* data = nullptr;
  if (info.index <= static_cast<uint64_t>(static_cast<mz_uint>(-1))) {
    data = mz_zip_reader_extract_to_heap(zip.get(), static_cast<mz_uint>(info.index), &size, 0);
  }
  if (data == nullptr) throw std::runtime_error("file couldn't be read");
  std::unique_ptr<void, void (*)(void*)> owned(data, std::free);
  return std::string(static_cast<const char*>(data), size);
}
