// Reads of a file mapping that fail because the file shrank under us: the kernel sends
// SIGBUS for a page past the file's new end. Inside a guard that becomes a false result on
// this thread, so the run can end as an ordinary failure and clean up; outside one (or for
// any other address) the signal does what it did before.
#ifndef SFX_ARCHIVE_BUS_GUARD_H_
#define SFX_ARCHIVE_BUS_GUARD_H_

#include <cstddef>
#include <type_traits>

// Runs body(context) and returns true, or returns false as soon as it touches a page of
// [begin, begin + size) that cannot be read. A failed body is left where it was, so it
// must hold nothing that needs a destructor or a release: only plain C calls (memcpy,
// zlib, the ZIP reader) with their state kept outside. Guards nest: a fault in an outer
// guard's range ends that guard's body, and every one inside it. An empty range (no
// mapping: bytes held in memory) guards nothing, and the body just runs.
bool runGuarded(const void* begin, size_t size, void (*body)(void*), void* context);

template <typename Body>
bool guarded(const void* begin, size_t size, Body&& body) {
  using Plain = std::remove_reference_t<Body>;
  return runGuarded(begin, size, [](void* c) { (*static_cast<Plain*>(c))(); }, &body);
}

// Within a guard, a stretch that must never be left by a jump (a callback into code with
// destructors): a fault there ends the process as it would unguarded. It reads no mapped
// bytes, so none is expected.
class GuardPause {
 public:
  GuardPause();
  ~GuardPause();
  GuardPause(const GuardPause&) = delete;
  GuardPause& operator=(const GuardPause&) = delete;

 private:
  bool wasActive;
};

#endif  // SFX_ARCHIVE_BUS_GUARD_H_
