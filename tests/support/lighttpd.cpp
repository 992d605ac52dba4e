// Test lighttpd server and HTTP client (see lighttpd.h).
#include "lighttpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "test_env.h"

namespace fs = std::filesystem;

namespace testenv {

namespace {

// A port that was free a moment ago; lighttpd may still lose it to another process, which
// the caller handles by trying again.
int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

int Connect(int port, const std::string& from = "") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in source{};
  source.sin_family = AF_INET;
  if (!from.empty() && (inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1 ||
                        bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)) {
    close(fd);
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Replace(std::string text, const std::string& field, const std::string& value) {
  for (size_t at = text.find(field); at != std::string::npos; at = text.find(field, at)) {
    text.replace(at, field.size(), value);
    at += value.size();
  }
  return text;
}

std::string FindLighttpd() {
  for (const char* path : {"/usr/sbin/lighttpd", "/usr/bin/lighttpd", "/usr/local/sbin/lighttpd"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

}  // namespace

Lighttpd::Lighttpd(const std::string& lumidexRoot) {
  char pattern[] = "/tmp/lumidex-lighttpd-XXXXXX";
  if (!mkdtemp(pattern)) return;
  _stateDir = pattern;
  fs::create_directories(_stateDir + "/upload");
  // The pages, linked into the package tree as the layout script does.
  const std::string www = lumidexRoot + "/var/packages/Lumidex/target/www";
  std::error_code ignored;
  if (!fs::exists(fs::symlink_status(www, ignored))) {
    fs::create_symlink(SourceDir() + "/package/www", www, ignored);
  }
  for (int attempt = 0; attempt < 5 && !StartOnce(lumidexRoot); ++attempt) {
  }
}

Lighttpd::~Lighttpd() {
  Stop();
  std::error_code ignored;
  if (!_stateDir.empty()) fs::remove_all(_stateDir, ignored);
}

void Lighttpd::Stop() {
  _server.Stop();
  _port = 0;
}

std::string Lighttpd::Log() const {
  return ReadFile(_stateDir + "/server.out") + ReadFile(_stateDir + "/error.log");
}

bool Lighttpd::StartOnce(const std::string& lumidexRoot) {
  std::string binary = FindLighttpd();
  int port = FreeLoopbackPort();
  if (binary.empty() || port == 0) return false;
  std::string conf = ReadFile(SourceDir() + "/package/lighttpd/lighttpd.conf.in");
  conf = Replace(conf, "@PORT@", std::to_string(port));
  conf = Replace(conf, "@STATE_DIR@", _stateDir);
  conf = Replace(conf, "@ENTRY_CGI@", BuildDir() + "/platform/entry.cgi");
  conf = Replace(conf, "@AUTH_CGI@", BuildDir() + "/platform/auth.cgi");
  conf = Replace(conf, "@LUMIDEX_ROOT@", lumidexRoot);
  const char* pghost = std::getenv("PGHOST");
  conf = Replace(conf, "@PGHOST@", pghost ? pghost : "");
  // lighttpd gives a CGI a clean environment; sanitizer settings of the test run must follow.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    if (value)
      conf += "setenv.set-environment += (\"" + std::string(name) + "\" => \"" + value + "\")\n";
  }
  std::string confPath = _stateDir + "/lighttpd.conf";
  WriteFile(confPath, conf);

  if (!_server.Start({binary, "-D", "-f", confPath}, {}, _stateDir + "/server.out")) return false;
  for (int i = 0; i < 500 && _server.Running(); ++i) {
    int fd = Connect(port);
    if (fd >= 0) {
      close(fd);
      _port = port;
      return true;
    }
    usleep(20000);
  }
  _server.Stop();
  return false;
}

std::string HttpReply::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return header.second;
  }
  return "";
}

int HttpReply::CountHeader(const std::string& name) const {
  int n = 0;
  for (const auto& header : headers) n += strcasecmp(header.first.c_str(), name.c_str()) == 0;
  return n;
}

HttpReply HttpRequest(int port, const std::string& method, const std::string& target,
                      const std::vector<std::string>& headers, const std::string& body,
                      const std::string& from) {
  HttpReply reply;
  int fd = Connect(port, from);
  if (fd < 0) return reply;
  std::string request = method + " " + target + " HTTP/1.0\r\n";
  bool hostGiven = false;
  for (const std::string& header : headers) {
    hostGiven = hostGiven || strncasecmp(header.c_str(), "Host:", 5) == 0;
    request += header + "\r\n";
  }
  if (!hostGiven) request += "Host: 127.0.0.1\r\n";
  if (!body.empty() || method == "POST") {
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "\r\n" + body;
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  timeval timeout{120, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char buffer[65536];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
    reply.raw.append(buffer, static_cast<size_t>(n));
  close(fd);

  size_t headEnd = reply.raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) return reply;
  reply.received = true;
  reply.body = reply.raw.substr(headEnd + 4);
  std::string head = reply.raw.substr(0, headEnd + 2);
  size_t lineEnd = head.find("\r\n");
  reply.statusLine = head.substr(0, lineEnd);
  size_t space = reply.statusLine.find(' ');
  if (space != std::string::npos) reply.status = std::atoi(reply.statusLine.c_str() + space + 1);
  for (size_t at = lineEnd + 2; at < head.size();) {
    size_t end = head.find("\r\n", at);
    std::string line = head.substr(at, end - at);
    at = end + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t valueStart = line.find_first_not_of(' ', colon + 1);
    reply.headers.emplace_back(line.substr(0, colon),
                               valueStart == std::string::npos ? "" : line.substr(valueStart));
  }
  return reply;
}

std::string MultipartBody(const std::string& boundary,
                          const std::vector<std::pair<std::string, std::string>>& fields,
                          const std::vector<MultipartFile>& files) {
  std::string body;
  for (const auto& field : fields) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + field.first +
            "\"\r\n\r\n" + field.second + "\r\n";
  }
  for (const MultipartFile& file : files) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + file.name +
            "\"; filename=\"" + file.fileName +
            "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + file.bytes + "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

std::string UrlEncode(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_' || c == '.' || c == '~' || c == '-') {
      encoded += static_cast<char>(c);
      continue;
    }
    encoded += '%';
    encoded += digits[c >> 4];
    encoded += digits[c & 15];
  }
  return encoded;
}

}  // namespace testenv
