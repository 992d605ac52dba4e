// The front's JSON encoder: one walk over the result tree, into a byte counter first (for
// Content-Length), then into a buffered writer on the reply's descriptor.
#include "reply_json.h"

#include <json/writer.h>
#include <unistd.h>

#include <cstring>

#include "reply_headers.h"
#include "write_all.h"

namespace front {

namespace {

// Bytes that stand for themselves inside a JSON string as JsonCpp writes it: printable ASCII
// and DEL, except the quote and the backslash.
struct PlainBytes {
  bool plain[256] = {};
  PlainBytes() {
    for (int c = 0x20; c <= 0x7f; ++c) plain[c] = c != '"' && c != '\\';
  }
};
const PlainBytes kPlain;

// Length of the valid UTF-8 sequence at `p` (2 to 4 bytes) with its code point in `code`, or 0
// when the bytes there are not one: overlong forms, surrogates, code points past U+10FFFF and cut
// sequences are all refused.
int DecodeUtf8(const unsigned char* p, const unsigned char* end, unsigned* code) {
  const unsigned char lead = p[0];
  int length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (end - p < length || p[1] < low || p[1] > high) return 0;
  unsigned value = lead & (0x7f >> length);
  for (int i = 1; i < length; ++i) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    value = (value << 6) | (p[i] & 0x3f);
  }
  *code = value;
  return length;
}

template <class Sink>
void PutUnicodeEscape(Sink& sink, unsigned unit) {
  static const char kHex[] = "0123456789abcdef";
  const char text[6] = {'\\',
                        'u',
                        kHex[(unit >> 12) & 0xf],
                        kHex[(unit >> 8) & 0xf],
                        kHex[(unit >> 4) & 0xf],
                        kHex[unit & 0xf]};
  sink.Put(text, sizeof text);
}

template <class Sink>
void PutString(Sink& sink, const char* begin, const char* end) {
  const auto* p = reinterpret_cast<const unsigned char*>(begin);
  const auto* stop = reinterpret_cast<const unsigned char*>(end);
  sink.Put("\"", 1);
  while (p < stop) {
    const unsigned char* run = p;
    while (p < stop && kPlain.plain[*p]) ++p;
    if (p > run) sink.Put(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == stop) break;
    const unsigned char c = *p;
    if (c >= 0x80) {
      unsigned code = 0xfffd;
      const int length = DecodeUtf8(p, stop, &code);
      p += length > 0 ? length : 1;
      if (code >= 0x10000) {
        code -= 0x10000;
        PutUnicodeEscape(sink, 0xd800 + (code >> 10));
        PutUnicodeEscape(sink, 0xdc00 + (code & 0x3ff));
      } else {
        PutUnicodeEscape(sink, code);
      }
      continue;
    }
    ++p;
    switch (c) {
      case '"':
        sink.Put("\\\"", 2);
        break;
      case '\\':
        sink.Put("\\\\", 2);
        break;
      case '\b':
        sink.Put("\\b", 2);
        break;
      case '\f':
        sink.Put("\\f", 2);
        break;
      case '\n':
        sink.Put("\\n", 2);
        break;
      case '\r':
        sink.Put("\\r", 2);
        break;
      case '\t':
        sink.Put("\\t", 2);
        break;
      default:
        PutUnicodeEscape(sink, c);
    }
  }
  sink.Put("\"", 1);
}

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
      PutString(sink, begin, end);
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
        PutString(sink, name, nameEnd);
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
