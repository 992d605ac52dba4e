// Helpers of the server-settings tests: the package's settings files and scripts installed in a
// TempRoot, free loopback ports, and probes of the CardDAV daemon.
#ifndef LUMIDEX_TESTS_SETTINGS_ENV_H
#define LUMIDEX_TESTS_SETTINGS_ENV_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "lumidex_paths.h"
#include "orvacore.h"
#include "test_env.h"

namespace testenv {

inline std::string PackagePath(const TempRoot& root, const std::string& relative) {
  return root.Path(std::string(lumidex::kPackageDir) + "/" + relative);
}

// The real scripts (linked from the source tree), the default JSON configuration and the default
// service definitions, as the package lays them out.
inline void InstallSettingsPackage(const TempRoot& root) {
  namespace fs = std::filesystem;
  const std::string source = SourceDir() + "/package";
  for (const char* tool :
       {"orva_calendar_conf_dump.py", "calendarserver_start_stop.sh", "caldavd_standin.py"}) {
    fs::create_symlink(source + "/tools/" + tool, PackagePath(root, std::string("tools/") + tool));
  }
  fs::copy_file(source + "/etc/calendar_server_json.conf", root.Path(lumidex::kJsonConfPath),
                fs::copy_options::overwrite_existing);
  for (const auto& entry : fs::directory_iterator(source + "/services.d")) {
    fs::copy_file(entry.path(),
                  root.Path(lumidex::kServicesDir) + "/" + entry.path().filename().string(),
                  fs::copy_options::overwrite_existing);
  }
}

// Runs one of the package's tools under the root; true when it exits with status 0.
inline bool RunTool(const TempRoot& root, const char* tool, const char* a1,
                    const char* a2 = nullptr, const char* a3 = nullptr) {
  const std::string path = PackagePath(root, std::string("tools/") + tool);
  return OLIBCExec(path.c_str(), a1, a2, a3, nullptr) == 0;
}

inline bool DaemonRunning(const TempRoot& root) {
  return RunTool(root, "calendarserver_start_stop.sh", "status");
}

// The pid the daemon's pid file names ("" when there is none).
inline std::string DaemonPid(const TempRoot& root) {
  std::string pid = ReadFile(PackagePath(root, "var/run/caldavd.pid"));
  while (!pid.empty() && (pid.back() == '\n')) pid.pop_back();
  return pid;
}

// A loopback TCP port that nothing listens on now; never the same one twice in a process.
inline int FreePort() {
  static std::set<int> handedOut;
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      close(fd);
      continue;
    }
    close(fd);
    int port = ntohs(address.sin_port);
    if (handedOut.insert(port).second) return port;
  }
}

// A listener on 127.0.0.1:`port` for as long as the object lives (a port some other program
// holds).
class PortBlocker {
 public:
  explicit PortBlocker(int port) : _fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    int on = 1;
    setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    _ok = bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          listen(_fd, 4) == 0;
  }
  ~PortBlocker() { close(_fd); }
  bool Ok() const { return _ok; }

 private:
  int _fd;
  bool _ok;
};

// The whole answer to a plain HTTP GET on 127.0.0.1:`port`; "" when nothing accepts there.
inline std::string HttpGet(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return "";
  }
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const std::string request = "GET /probe HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
    close(fd);
    return "";
  }
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
  close(fd);
  return reply;
}

// The body of an HTTPS GET on 127.0.0.1:`port` (TLS, the daemon's self-signed certificate
// accepted); "" when no TLS server answers there.
inline std::string HttpsGet(int port) {
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/probe";
  FILE* out = OLIBCPopen("/usr/bin/curl", "r", "-sk", "--max-time", "5", url.c_str(), nullptr);
  if (!out) return "";
  std::string body;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) body.append(buffer, n);
  OLIBCPclose(out);
  return body;
}

}  // namespace testenv

#endif  // LUMIDEX_TESTS_SETTINGS_ENV_H
