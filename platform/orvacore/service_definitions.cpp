// Reading the ports that the service definitions claim (see service_definitions.h). The INI
// parsing is minIni's, the same library that writes these files.
#include "service_definitions.h"

#include <dirent.h>
#include <fcntl.h>
#include <minIni.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace orvacore {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// A port number of 1 to 5 decimal digits within 1..65535.
bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

struct BrowseState {
  std::string file;
  std::vector<PortClaim>* claims;
  std::string badValue;
};

int CollectClaims(const char* section, const char* key, const char* value, void* userData) {
  BrowseState* state = static_cast<BrowseState*>(userData);
  if (strcasecmp(key, "dst.ports") != 0) return 1;
  std::vector<PortClaim> parsed;
  if (!ParsePortList(value, &parsed)) {
    state->badValue = std::string("[") + section + "] dst.ports=" + value;
    return 1;
  }
  for (PortClaim& claim : parsed) {
    claim.file = state->file;
    claim.service = section;
    state->claims->push_back(claim);
  }
  return 1;
}

bool IsReadableRegularFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  return ok;
}

}  // namespace

bool ParsePortList(const std::string& ports, std::vector<PortClaim>* claims) {
  std::size_t slash = ports.rfind('/');
  if (slash == std::string::npos) return false;
  std::vector<PortClaim> parsed;
  for (const std::string& protocol : Split(ports.substr(slash + 1), ',')) {
    if (protocol != "tcp" && protocol != "udp") return false;
    for (const std::string& item : Split(ports.substr(0, slash), ',')) {
      std::size_t colon = item.find(':');
      PortClaim claim{"", "", protocol, 0, 0};
      if (colon == std::string::npos) {
        if (!ParsePort(item, &claim.first)) return false;
        claim.last = claim.first;
      } else if (!ParsePort(item.substr(0, colon), &claim.first) ||
                 !ParsePort(item.substr(colon + 1), &claim.last) || claim.first > claim.last) {
        return false;
      }
      parsed.push_back(claim);
    }
  }
  claims->insert(claims->end(), parsed.begin(), parsed.end());
  return true;
}

bool ReadServiceDefinitions(const std::string& dir, std::vector<PortClaim>* claims,
                            std::string* problem) {
  DIR* folder = opendir(dir.c_str());
  if (!folder) {
    if (errno == ENOENT) return true;
    *problem = "cannot open " + dir;
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".sc") == 0) names.push_back(name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());

  bool ok = true;
  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    struct stat st;
    // Anything else under a definition's name (a folder, say) defines nothing.
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) continue;
    BrowseState state{name, claims, ""};
    if (!IsReadableRegularFile(path) || !ini_browse(CollectClaims, &state, path.c_str())) {
      if (ok) *problem = "cannot read " + path;
      ok = false;
      continue;
    }
    if (!state.badValue.empty()) {
      if (ok) *problem = "malformed port list in " + path + ": " + state.badValue;
      ok = false;
    }
  }
  return ok;
}

}  // namespace orvacore
