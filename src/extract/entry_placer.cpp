#include "entry_placer.h"

#include <chrono>
#include <stdexcept>
#include <string>

#include "entry_file.h"
#include "entry_name.h"
#include "interruption.h"
#include "path_error.h"

EntryPlacer::EntryPlacer(ZipArchive& archive, Tree& tree, mode_t mask,
                         const std::vector<std::shared_ptr<ExtractionListener>>& listeners,
                         const std::function<void()>& tick)
    : archive(archive), tree(tree), mask(mask), listeners(listeners), tick(tick),
      aside(archive) {}

void EntryPlacer::place(const ZipEntryInfo& record, bool last) {
  stopIfInterrupted();
  aside.land(std::chrono::milliseconds(0));
  const std::string& name = record.name;
  const std::vector<std::string> components = nameComponents(name);
  const bool directory = isDirectoryName(name);
  // Read from the file again: a file rewritten since the names were checked must not name
  // a place outside the target either.
  const std::string why = refusal(name);
  if (!why.empty()) throw std::runtime_error(name + ": " + why);
  const bool isLong = !directory && ZipArchive::isLong(record);
  // The last entry's end is the end the window shows: unless it goes aside too, the long
  // ones land first.
  const bool lastHere = last && !isLong;
  waitWhile([&] {
    return aside.holds(components, tree.foldsCase()) ||
           (isLong && aside.size() >= AsideFiles::MOST) || (lastHere && aside.size() > 0);
  });
  const Place place = naming(name, [&] { return tree.placeOf(components, directory); });
  notify(place.shown);
  shown = Shown{record.index, record.uncompressedSize};
  shownAside = false;
  // Upper 16 bits: the Unix st_mode. Zero means the archiver recorded none (Windows).
  // File-type bits have no place in chmod; setuid, setgid and sticky are kept.
  const mode_t recorded = (record.externalAttributes >> 16) & 07777;
  if (directory) {
    naming(name, [&] { tree.makeDirectory(place, components, recorded); });
    progress(0, 0);
    return;
  }
  naming(name, [&] { placeFile(record, place, recorded, isLong); });
  if (!shownAside) progress(record.uncompressedSize, record.uncompressedSize);
}

void EntryPlacer::finish() {
  waitWhile([&] { return aside.size() > 0; });
  if (shownAside) progress(shown->size, shown->size);
}

void EntryPlacer::placeFile(const ZipEntryInfo& record, const Place& place, mode_t recorded,
                            bool isLong) {
  // A file written aside lands after later entries have taken the walk elsewhere (its
  // directory closed): it keeps a descriptor of its own.
  std::optional<Directory> own;
  if (isLong) own = place.dir->duplicate();
  // A file without a recorded mode keeps the one creating it gives.
  auto file = std::make_unique<EntryFile>(own ? own->fd() : place.dir->fd(), place.name,
                                          place.shown, recorded != 0 ? recorded : 0666 & ~mask,
                                          mask, place.unseen, tree.temporaryPrefix());
  if (isLong && aside.start(record, *own, file)) {
    shownAside = true;
    return;
  }
  uint64_t done = 0;
  archive.extractEntry(record, [&](const char* data, size_t size) {
    stopIfInterrupted();
    file->write(data, size);
    done += size;
    progress(done, record.uncompressedSize);
  });
  file->land();
}

void EntryPlacer::waitWhile(const std::function<bool()>& blocked) {
  while (blocked()) {
    stopIfInterrupted();
    aside.land(listener_pace::CALL_INTERVAL);
    const std::optional<uint64_t> written = shown ? aside.written(shown->index) : std::nullopt;
    if (written)
      progress(*written, shown->size);
    else
      tick();
  }
}

void EntryPlacer::notify(const std::string& path) {
  for (const auto& listener : listeners) listener->onEntry(path);
}

void EntryPlacer::progress(uint64_t done, uint64_t total) {
  for (const auto& listener : listeners) listener->onProgress(done, total);
}
