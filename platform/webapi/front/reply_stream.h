// The front's streamed replies: a list reply or a handler's own reply written to the client
// while the handler runs, instead of being held whole and measured first.
#ifndef ORVA_FRONT_REPLY_STREAM_H
#define ORVA_FRONT_REPLY_STREAM_H

#include <cstddef>
#include <memory>
#include <string>

#include "body_coding.h"
#include "webapi.h"

namespace front {

// Writes to `fd` through a buffer of about 64 KiB. A list reply carries no Content-Length: its
// length is known only at its end, and lighttpd sends such a CGI reply chunked to HTTP/1.1
// clients (and ends it by closing for HTTP/1.0 ones). Its bytes are those JsonBody gives for the
// same elements collected into one result.
class ClientStream : public ORVA::ReplyStream {
 public:
  // A list reply goes out in `coding` (the client's Accept-Encoding, see ListCoding); other
  // replies as they are written.
  explicit ClientStream(int fd, BodyCoding coding = BodyCoding::kIdentity)
      : _fd(fd), _coding(coding) {}
  ClientStream(const ClientStream&) = delete;
  ClientStream& operator=(const ClientStream&) = delete;

  void BeginList(const char* member) override;
  void AppendEncodedToList(std::string_view json) override;
  void EndList() override;
  bool WriteRaw(const char* data, std::size_t size) override;

  // Whether the handler began a reply through the stream: the front then writes no other.
  bool Started() const { return _started; }
  // Whether a list was begun and ended.
  bool Complete() const { return !_listOpen; }
  // Writes what is buffered; true when every byte so far reached the descriptor.
  bool Flush();

 private:
  // The separator before an element; false when no list is open.
  bool BeginElement();
  // Writes the buffer out once it holds a block.
  void EndElement();
  void Put(const char* data, std::size_t size);

  int _fd;
  BodyCoding _coding;
  std::unique_ptr<BodyEncoder> _encoder;  // while a coded list reply is open
  std::string _coded;
  bool _ok = true;
  bool _started = false;
  bool _listOpen = false;
  bool _firstElement = true;
  std::string _buffer;
};

}  // namespace front

#endif  // ORVA_FRONT_REPLY_STREAM_H
