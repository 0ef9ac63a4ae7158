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
  // By index, not by name: names differing only in case stay distinct entries. The
  // sizes come from the archive itself, not from the caller's copy of the record.
  if (!statScratch) statScratch.reset(new mz_zip_archive_file_stat);
  mz_zip_archive_file_stat* stat = statScratch.get();
  const bool indexFits = info.index <= static_cast<uint64_t>(static_cast<mz_uint>(-1));
  const mz_uint index = static_cast<mz_uint>(info.index);
  if (!indexFits || !mz_zip_reader_file_stat(zip.get(), index, stat) ||
      !plausibleEntrySize(stat->m_method, stat->m_comp_size, stat->m_uncomp_size)) {
    throw std::runtime_error("file couldn't be read");
  }
  // Inflated straight into the string that is handed on: one copy of the bytes, not a
  // library buffer and then a string.
  std::string content;
  content.reserve(size_t(stat->m_uncomp_size));
  adviseHugePages(content.data(), content.capacity());
  content.resize(size_t(stat->m_uncomp_size));
  if (!mz_zip_reader_extract_to_mem(zip.get(), index, content.data(), content.size(), 0)) {
    throw std::runtime_error("file couldn't be read");
  }
  return content;
}
