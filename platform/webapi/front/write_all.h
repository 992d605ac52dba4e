// The front's one loop for writing a whole block to a descriptor: every reply, streamed or not,
// goes out through it.
#ifndef ORVA_FRONT_WRITE_ALL_H
#define ORVA_FRONT_WRITE_ALL_H

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace front {

// Writes all `size` bytes, going on after a signal interrupts a write. False when a write fails
// (the client went away); what was written stays written.
inline bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace front

#endif  // ORVA_FRONT_WRITE_ALL_H
