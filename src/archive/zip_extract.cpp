#include "zip_archive.h"

#include <fstream>
#include <stdexcept>

#include "entry_size_limit.h"
#include "huge_pages.h"

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
  std::string content = readRecorded(entryInfo(name));
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
  // The caller's record may be stale: the sizes come from the archive as it stands.
  if (info.index >= zip->m_total_files) throw std::runtime_error("file couldn't be read");
  return readRecorded(record(static_cast<mz_uint>(info.index)));
}

std::string ZipArchive::readRecorded(const ZipEntryInfo& info) {
  if (!plausibleEntrySize(info.method, info.compressedSize, info.uncompressedSize)) {
    throw std::runtime_error("file couldn't be read");
  }
  // Inflated straight into the string that is handed on: one copy of the bytes, not a
  // library buffer and then a string. By index, not by name: names differing only in
  // case stay distinct entries.
  std::string content;
  content.reserve(size_t(info.uncompressedSize));
  adviseHugePages(content.data(), content.capacity());
  content.resize(size_t(info.uncompressedSize));
  const mz_uint index = static_cast<mz_uint>(info.index);
  if (!mz_zip_reader_extract_to_mem(zip.get(), index, content.data(), content.size(), 0)) {
    throw std::runtime_error("file couldn't be read");
  }
  return content;
}
