// The front's JSON encoder: one walk over the result tree, into a byte counter first (for
// Content-Length), then into a buffered writer on the reply's descriptor.
#include "reply_json.h"

#include <json/writer.h>
#include <unistd.h>

#include <cstring>

#include "json_string.h"
#include "reply_headers.h"
#include "write_all.h"

namespace front {

namespace {

template <class Sink>
void PutText(Sink& sink, const std::string& text) {
  sink.Put(text.data(), text.size());
}

template <class Sink>
void PutValue(Sink& sink, const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
      sink.Put("null", 4);
      return;
    case Json::booleanValue:
      if (value.asBool()) {
        sink.Put("true", 4);
      } else {
        sink.Put("false", 5);
      }
      return;
    // Numbers are rare in replies; JsonCpp's own formatting keeps them exact (17 significant
    // digits for doubles, its spelling of infinities and NaN).
    case Json::intValue:
      PutText(sink, Json::valueToString(value.asLargestInt()));
      return;
    case Json::uintValue:
      PutText(sink, Json::valueToString(value.asLargestUInt()));
      return;
    case Json::realValue:
      PutText(sink, Json::valueToString(value.asDouble()));
      return;
    case Json::stringValue: {
      const char* begin = nullptr;
      const char* end = nullptr;
      if (!value.getString(&begin, &end)) begin = end = "";
      ORVA::PutJsonString(sink, std::string_view(begin, static_cast<std::size_t>(end - begin)));
      return;
    }
    case Json::arrayValue: {
      sink.Put("[", 1);
      bool first = true;
      for (const Json::Value& element : value) {
        if (!first) sink.Put(",", 1);
        first = false;
        PutValue(sink, element);
      }
      sink.Put("]", 1);
      return;
    }
    case Json::objectValue: {
      sink.Put("{", 1);
      bool first = true;
      for (auto member = value.begin(); member != value.end(); ++member) {
        if (!first) sink.Put(",", 1);
        first = false;
        const char* nameEnd = nullptr;
        const char* name = member.memberName(&nameEnd);
        ORVA::PutJsonString(sink, std::string_view(name, static_cast<std::size_t>(nameEnd - name)));
        sink.Put(":", 1);
        PutValue(sink, *member);
      }
      sink.Put("}", 1);
      return;
    }
  }
}

template <class Sink>
void PutBody(Sink& sink, const ORVA::APIResponse& response) {
  if (response.IsSuccess()) {
    static const char kHead[] = "{\"success\":true,\"data\":";
    sink.Put(kHead, sizeof kHead - 1);
  } else {
    static const char kHead[] = "{\"success\":false,\"error\":{\"code\":";
    sink.Put(kHead, sizeof kHead - 1);
    PutText(sink, std::to_string(response.ErrorCode()));
    sink.Put(",\"message\":", 11);
  }
  PutValue(sink, response.Data());
  sink.Put(response.IsSuccess() ? "}" : "}}", response.IsSuccess() ? 1 : 2);
}

class CountingSink {
 public:
  void Put(const char*, std::size_t size) { _size += size; }
  std::size_t Size() const { return _size; }

 private:
  std::size_t _size = 0;
};

class StringSink {
 public:
  explicit StringSink(std::string* out) : _out(out) {}
  void Put(const char* data, std::size_t size) { _out->append(data, size); }

 private:
  std::string* _out;
};

// Collects small pieces into whole blocks for write(2). After a failed write it drops the rest.
class DescriptorSink {
 public:
  explicit DescriptorSink(int fd) : _fd(fd) {}
  DescriptorSink(const DescriptorSink&) = delete;
  DescriptorSink& operator=(const DescriptorSink&) = delete;

  void Put(const char* data, std::size_t size) {
    if (size > sizeof _buffer - _used) {
      Flush();
      if (size >= sizeof _buffer) {
        WriteAll(data, size);
        return;
      }
    }
    std::memcpy(_buffer + _used, data, size);
    _used += size;
  }

  // Writes what is buffered; true when every byte so far reached the descriptor.
  bool Flush() {
    WriteAll(_buffer, _used);
    _used = 0;
    return _ok;
  }

 private:
  void WriteAll(const char* data, std::size_t size) {
    _ok = _ok && front::WriteAll(_fd, data, size);
  }

  int _fd;
  bool _ok = true;
  std::size_t _used = 0;
  char _buffer[64 * 1024];
};

}  // namespace

void AppendJson(const Json::Value& value, std::string* out) {
  StringSink sink(out);
  PutValue(sink, value);
}

std::size_t JsonSize(const Json::Value& value) {
  CountingSink sink;
  PutValue(sink, value);
  return sink.Size();
}

std::string JsonBody(const ORVA::APIResponse& response) {
  std::string body;
  StringSink sink(&body);
  PutBody(sink, response);
  return body;
}

bool WriteJsonReply(int fd, const ORVA::APIResponse& response) {
  CountingSink counter;
  PutBody(counter, response);
  DescriptorSink sink(fd);
  PutText(sink, std::string(kReplyHeaders) + "Content-Type: application/json\r\nContent-Length: " +
                    std::to_string(counter.Size()) + "\r\n\r\n");
  PutBody(sink, response);
  return sink.Flush();
}

}  // namespace front
