#include <algorithm>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "zip_archive.h"

ZipEntryInfo ZipArchive::record(uint64_t index, bool numbersOnly) {
  // Not zeroed: the library fills what it reports.
  if (!statScratch) statScratch.reset(new mz_zip_archive_file_stat);
  mz_zip_archive_file_stat* stat = statScratch.get();
  ZipEntryInfo info;
  mz_bool found = MZ_FALSE;
  readHeld([&] { found = mz_zip_reader_file_stat(zip.get(), mz_uint(index), stat); });
  if (!found) return info;

  if (!numbersOnly) {
    stat->m_filename[sizeof stat->m_filename - 1] = '\0';
    info.name = stat->m_filename;
    info.comment.assign(stat->m_comment,
                        std::min<size_t>(stat->m_comment_size, sizeof stat->m_comment));
    // localtime_r, unlike localtime, does not look at /etc/localtime again on every call.
    if (lastTime != stat->m_time) {
      lastTime.reset();
      if (localtime_r(&stat->m_time, &lastLocal)) lastTime = stat->m_time;
    }
    if (lastTime) {
      info.year = lastLocal.tm_year + 1900;
      info.month = lastLocal.tm_mon + 1;
      info.day = lastLocal.tm_mday;
      info.hour = lastLocal.tm_hour;
      info.minute = lastLocal.tm_min;
      info.second = lastLocal.tm_sec;
    }
  }
  info.method = stat->m_method;
  info.versionMadeBy = stat->m_version_made_by;
  info.versionNeeded = stat->m_version_needed;
  info.flags = stat->m_bit_flag;
  info.index = stat->m_file_index;
  info.internalAttributes = stat->m_internal_attr;
  info.externalAttributes = stat->m_external_attr;
  info.localHeaderOffset = stat->m_local_header_ofs;
  info.crc32 = stat->m_crc32;
  info.compressedSize = stat->m_comp_size;
  info.uncompressedSize = stat->m_uncomp_size;
  return info;
}

uint64_t ZipArchive::entryCount() const {
  return zip->m_zip_mode == MZ_ZIP_MODE_READING ? zip->m_total_files : 0;
}

ZipEntryInfo ZipEntries::operator[](size_t index) const { return archive->record(index); }

ZipEntries ZipArchive::entries() {
  if (zip->m_zip_mode != MZ_ZIP_MODE_READING) beginReading();
  return ZipEntries(this, size_t(entryCount()));
}

std::vector<std::string> ZipArchive::names() {
  std::vector<std::string> list;
  for (const ZipEntryInfo& info : entries()) list.push_back(info.name);
  return list;
}

ZipEntryInfo ZipArchive::entryInfo(const std::string& name) {
  if (zip->m_zip_mode != MZ_ZIP_MODE_READING) beginReading();
  int index = -1;
  readHeld([&] { index = mz_zip_reader_locate_file(zip.get(), name.c_str(), nullptr, 0); });
  if (index < 0) throw std::runtime_error("not found");
  return record(uint64_t(index));
}
