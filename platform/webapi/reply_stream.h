// The framework's side of a streamed reply: where APIResponse sends a list's elements and the
// bytes of a reply a handler writes itself while the handler is still running.
#ifndef ORVA_REPLY_STREAM_H
#define ORVA_REPLY_STREAM_H

#include <json/value.h>

#include <cstddef>
#include <string_view>

namespace ORVA {

class ReplyStream {
 public:
  virtual ~ReplyStream() = default;
  // {"success":true,"data":{"<member>":[ ... ]}} in three steps, elements in between.
  virtual void BeginList(const char* member) = 0;
  // An element given as its JSON text, written as it is.
  virtual void AppendEncodedToList(std::string_view json) = 0;
  virtual void EndList() = 0;
  // A reply of the handler's own, passed on as it is; false once a write failed.
  virtual bool WriteRaw(const char* data, std::size_t size) = 0;
};

}  // namespace ORVA

#endif  // ORVA_REPLY_STREAM_H
