// OLIBCFileSetSectionValue: sets one key of one section of an INI-style file. The line editing is
// minIni's (it keeps every other line as it was); this file makes the replacement atomic.
#include <errno.h>
#include <fcntl.h>
#include <minIni.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "orvacore.h"

namespace {

// The current bytes of `path` ("" for a missing file) and its permission bits. False when the
// path exists but cannot be read as a regular file.
bool ReadExisting(const std::string& path, std::string* bytes, mode_t* mode) {
  bytes->clear();
  *mode = 0644;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) *mode = st.st_mode & 07777;
  char buffer[8192];
  while (ok) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    bytes->append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return ok;
}

// Texts that would end the line or the section header early would let a value add lines of
// its own to the file.
bool IsSafeText(const char* text, const char* forbidden) {
  return std::strpbrk(text, forbidden) == nullptr;
}

}  // namespace

int OLIBCFileSetSectionValue(const char* file, const char* section, const char* key,
                             const char* value) {
  if (!file || !section || !key || !value || !*file || !*section || !*key) return -1;
  if (!IsSafeText(section, "[]\r\n") || !IsSafeText(key, "=:;#[]\r\n") ||
      !IsSafeText(value, "\r\n")) {
    return -1;
  }
  const std::string path(file);
  std::string bytes;
  mode_t mode;
  if (!ReadExisting(path, &bytes, &mode)) return -1;

  // minIni rewrites a file by removing it and renaming its own copy into its place, which leaves
  // a moment without the file. It therefore edits a private copy, which then replaces the file
  // in one rename.
  std::vector<char> temp(path.begin(), path.end());
  const char suffix[] = ".XXXXXX";
  temp.insert(temp.end(), suffix, suffix + sizeof suffix);
  int fd = mkstemp(temp.data());
  if (fd < 0) return -1;
  const std::string tempPath(temp.data());
  // minIni's own working file: the name with its last character replaced by '~'.
  const std::string miniTemp = tempPath.substr(0, tempPath.size() - 1) + "~";
  bool ok = orvacore::WriteAll(fd, bytes);
  if (close(fd) != 0) ok = false;
  // minIni starts a file of its own without the blank line it puts before a section it appends.
  if (ok && bytes.empty()) ok = unlink(tempPath.c_str()) == 0;
  if (ok) ok = ini_puts(section, key, value, tempPath.c_str()) != 0;
  if (ok) {
    fd = open(tempPath.c_str(), O_RDONLY | O_CLOEXEC);
    ok = fd >= 0;
    if (ok) {
      if (fchmod(fd, mode) != 0 || fsync(fd) != 0) ok = false;
      if (close(fd) != 0) ok = false;
    }
  }
  if (ok && std::rename(tempPath.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(tempPath.c_str());
    unlink(miniTemp.c_str());
    return -1;
  }
  return 0;
}
