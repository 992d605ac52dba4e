// Handler output capture and reply encoding for the CGI front.
#include "reply_output.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string_view>

#include "reply_json.h"
#include "write_all.h"

namespace front {

namespace {

void FlushHandlerBuffers() {
  std::cout.flush();
  std::clog.flush();
  std::fflush(stdout);
}

}  // namespace

HandlerOutput::~HandlerOutput() {
  if (_savedStdout >= 0) End();
  if (_memory >= 0) ::close(_memory);
}

bool HandlerOutput::Begin() {
  FlushHandlerBuffers();
  _memory = memfd_create("handler-output", MFD_CLOEXEC);
  if (_memory < 0) return false;
  // Close-on-exec: a process a handler starts (a daemon restart) must not hold the real
  // standard output open, or the web server would wait for it to end before finishing the reply.
  _savedStdout = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (_savedStdout < 0 || ::dup2(_memory, STDOUT_FILENO) < 0) {
    if (_savedStdout >= 0) ::close(_savedStdout);
    _savedStdout = -1;
    return false;
  }
  return true;
}

void HandlerOutput::End() {
  if (_savedStdout < 0) return;
  FlushHandlerBuffers();
  ::dup2(_savedStdout, STDOUT_FILENO);
  ::close(_savedStdout);
  _savedStdout = -1;
}

bool HandlerOutput::OwnCacheRule() const {
  // The header lines come first and are short: the first few kilobytes hold them all.
  char head[4096];
  ssize_t n;
  do {
    n = ::pread(_memory, head, sizeof head, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  const std::string_view text(head, static_cast<size_t>(n));
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return false;  // the end of the header lines
    static constexpr std::string_view kName = "cache-control:";
    if (line.size() >= kName.size()) {
      bool same = true;
      for (size_t i = 0; i < kName.size() && same; ++i)
        same = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
      if (same) return true;
    }
    start = end + 1;
  }
  return false;
}

long long HandlerOutput::Size() const {
  struct stat info;
  if (_memory < 0 || ::fstat(_memory, &info) != 0) return 0;
  return info.st_size;
}

bool HandlerOutput::CopyToStdout() const {
  char buffer[65536];
  std::string_view headers(kReplyHeaders);
  if (OwnCacheRule()) headers = headers.substr(0, headers.find("Cache-Control:"));
  if (!WriteAll(STDOUT_FILENO, headers.data(), headers.size())) return false;
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(_memory, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(STDOUT_FILENO, buffer, static_cast<size_t>(n))) return false;
    offset += n;
  }
}

bool WriteStdout(const std::string& bytes) {
  return WriteAll(STDOUT_FILENO, bytes.data(), bytes.size());
}

std::string JsonReply(const ORVA::APIResponse& response, const std::string& extraHeaders) {
  const std::string body = JsonBody(response);
  return extraHeaders + kReplyHeaders +
         "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

std::string ErrorReply(ErrorCode code) { return ErrorReply(code, ErrorMessage(code), ""); }

std::string ErrorReply(ErrorCode code, const std::string& message,
                       const std::string& extraHeaders) {
  ORVA::APIResponse response;
  response.SetError(code, Json::Value(message));
  const char* status = ErrorStatus(code);
  std::string headers = status ? "Status: " + std::string(status) + "\r\n" : std::string();
  return JsonReply(response, headers + extraHeaders);
}

}  // namespace front
