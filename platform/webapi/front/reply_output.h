// Standard output of the CGI front: what a handler writes is caught apart from the front's own
// reply, and the front writes its reply with plain write(2), never through a stdio buffer.
#ifndef ORVA_FRONT_REPLY_OUTPUT_H
#define ORVA_FRONT_REPLY_OUTPUT_H

#include <string>

#include "front_errors.h"
#include "reply_headers.h"
#include "webapi.h"

namespace front {

// While active, descriptor 1 is an in-memory file: stdio, iostreams, write(2) and child
// processes of a handler all land there, in the order the handler wrote them. The front then
// decides whether those bytes are the reply (a handler that set no result) or are dropped.
class HandlerOutput {
 public:
  HandlerOutput() = default;
  ~HandlerOutput();
  HandlerOutput(const HandlerOutput&) = delete;
  HandlerOutput& operator=(const HandlerOutput&) = delete;

  // Redirects descriptor 1; false when that is impossible (nothing changed then).
  bool Begin();
  // Flushes the handler's stdio and iostream buffers into the capture and restores descriptor 1.
  void End();
  // Number of bytes the handler wrote.
  long long Size() const;
  // The client's descriptor while the output is caught (-1 otherwise): where a streamed reply
  // goes past the capture.
  int ClientDescriptor() const { return _savedStdout; }
  // Writes kReplyHeaders and then the caught bytes, unchanged, to descriptor 1: a handler's
  // own reply begins with its header lines, which the front's join. A reply with a
  // Cache-Control line of its own keeps it alone.
  bool CopyToStdout() const;

 private:
  bool OwnCacheRule() const;

  int _memory = -1;
  int _savedStdout = -1;
};

// Writes all of `bytes` to descriptor 1.
bool WriteStdout(const std::string& bytes);

// A whole CGI reply (header lines, kReplyHeaders among them, empty line, JSON body) for a
// handler's result. `extraHeaders` are complete header lines, each ending in CRLF, put before
// the others.
std::string JsonReply(const ORVA::APIResponse& response, const std::string& extraHeaders = "");
// The front's own error reply for `code`, with the code's HTTP status when it has one.
std::string ErrorReply(ErrorCode code);
// The same with another message (sign-in replies say more than "Not signed in").
std::string ErrorReply(ErrorCode code, const std::string& message, const std::string& extraHeaders);

}  // namespace front

#endif  // ORVA_FRONT_REPLY_OUTPUT_H
