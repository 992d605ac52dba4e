// Whole-file writes shared by the core library's file editors and the firewall: a file is
// replaced by one rename, so a reader never sees it half written.
#ifndef ORVACORE_ATOMIC_FILE_H
#define ORVACORE_ATOMIC_FILE_H

#include <sys/types.h>

#include <string>

namespace orvacore {

// Writes all of `bytes` to `fd`, retrying short writes. False on any write error.
bool WriteAll(int fd, const std::string& bytes);

// Writes `bytes` to a new file beside `path` with permission bits `mode`, flushes it to disk and
// renames it over `path`. False on any failure; `path` is then left as it was.
bool ReplaceFile(const std::string& path, const std::string& bytes, mode_t mode);

}  // namespace orvacore

#endif  // ORVACORE_ATOMIC_FILE_H
