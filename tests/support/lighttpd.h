// A real lighttpd for tests: serves this build's entry.cgi at /webapi/entry.cgi, auth.cgi at
// /webapi/auth.cgi and the package tree's www folder at "/" (linked to package/www when the
// tree has none) on a free loopback port, from the package's own configuration template.
// Also a minimal HTTP/1.0 client that returns the reply's exact bytes.
#ifndef LUMIDEX_TESTS_LIGHTTPD_H
#define LUMIDEX_TESTS_LIGHTTPD_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "process.h"

namespace testenv {

class Lighttpd {
 public:
  // Starts the server with LUMIDEX_ROOT=`lumidexRoot` and this process's PGHOST passed to the
  // CGI. Check Started() before use; Log() tells why it did not start.
  explicit Lighttpd(const std::string& lumidexRoot);
  ~Lighttpd();  // stops the server and removes its state folder
  Lighttpd(const Lighttpd&) = delete;
  Lighttpd& operator=(const Lighttpd&) = delete;

  bool Started() const { return _port > 0; }
  int Port() const { return _port; }
  // The server's output and error log, for failure messages.
  std::string Log() const;
  void Stop();

 private:
  bool StartOnce(const std::string& lumidexRoot);

  std::string _stateDir;
  int _port = 0;
  ChildProcess _server;
};

struct HttpReply {
  bool received = false;  // false when no reply could be read
  int status = 0;
  std::string statusLine;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string body;
  std::string raw;  // the reply's exact bytes

  // The first header of that name (case-insensitive), or "" when none.
  std::string Header(const std::string& name) const;
  int CountHeader(const std::string& name) const;
};

// Sends one HTTP/1.0 request to 127.0.0.1:`port` and reads the reply until the server closes.
// `headers` are complete header lines without line ends; Content-Length is added for a body,
// and "Host: 127.0.0.1" unless `headers` name a Host. `from` is another loopback address to
// send from (such as 127.0.0.2), so that the server sees a second client.
HttpReply HttpRequest(int port, const std::string& method, const std::string& target,
                      const std::vector<std::string>& headers = {}, const std::string& body = "",
                      const std::string& from = "");

// A multipart/form-data body: text fields, then file parts (name, file name, bytes).
struct MultipartFile {
  std::string name;
  std::string fileName;
  std::string bytes;
};
std::string MultipartBody(const std::string& boundary,
                          const std::vector<std::pair<std::string, std::string>>& fields,
                          const std::vector<MultipartFile>& files);

// Percent-encodes every byte outside [A-Za-z0-9_.~-] for a query string or urlencoded body.
std::string UrlEncode(const std::string& text);

}  // namespace testenv

#endif  // LUMIDEX_TESTS_LIGHTTPD_H
