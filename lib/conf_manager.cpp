// ConfManager: the package's JSON configuration file, read whole, changed by top-level key and
// written back atomically.
#include "conf_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Json::Reader and Json::StyledStreamWriter are the reader and writer this file format was
// always written with (tab indentation, comments dropped); JsonCpp marks them deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <json/reader.h>
#include <json/writer.h>

#include "lumidex_paths.h"

ConfManager::ConfManager() : _jsonConf() {}

ConfManager::~ConfManager() = default;

bool ConfManager::JsonConfParse() {
  std::ifstream in(lumidex::RootedPath(lumidex::kJsonConfPath));
  if (!in) return false;
  Json::Value document;
  Json::Reader reader;
  // A damaged file must not parse as "nothing": the next dump would replace every other
  // setting of the package with the few this request knows.
  if (!reader.parse(in, document, false) || !document.isObject()) return false;
  _jsonConf = document;
  return true;
}

bool ConfManager::JsonConfDump() {
  const std::string path = lumidex::RootedPath(lumidex::kJsonConfPath);
  std::ostringstream text;
  Json::StyledStreamWriter writer("\t");
  writer.write(text, _jsonConf);
  const std::string bytes = text.str();

  // Write a sibling file and rename it over the old one, so a failed or partial write (a full
  // disk) never leaves a half-written configuration behind.
  std::vector<char> temp(path.begin(), path.end());
  const std::string suffix = ".XXXXXX";
  temp.insert(temp.end(), suffix.begin(), suffix.end());
  temp.push_back('\0');
  int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  struct stat old;
  fchmod(fd, stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<std::size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok && std::rename(temp.data(), path.c_str()) != 0) ok = false;
  if (!ok) unlink(temp.data());
  return ok;
}

Json::Value ConfManager::JsonGet(const char* key) {
  if (!_jsonConf.isNull() && !_jsonConf.isObject()) return Json::Value();
  return _jsonConf[key];
}

void ConfManager::JsonSet(const Json::Value& value, const char* key) {
  if (!_jsonConf.isNull() && !_jsonConf.isObject()) return;
  _jsonConf[key] = value;
}
#pragma GCC diagnostic pop
