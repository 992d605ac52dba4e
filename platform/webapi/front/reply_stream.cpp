// The front's streamed replies: header block, list envelope and elements, buffered into whole
// blocks for write(2).
#include "reply_stream.h"

#include <unistd.h>

#include "json_string.h"
#include "reply_headers.h"
#include "write_all.h"

namespace front {

namespace {
constexpr std::size_t kBlock = 64 * 1024;
}

void ClientStream::BeginList(const char* member) {
  if (_started) return;  // one reply per request
  _started = true;
  _listOpen = true;
  _firstElement = true;
  _buffer.reserve(2 * kBlock);
  _buffer += kReplyHeaders;
  _encoder = MakeBodyEncoder(_coding);
  if (_encoder) _buffer += ContentEncodingLine(_coding);
  _buffer += "Content-Type: application/json\r\n\r\n";
  if (_encoder) {
    // The header block goes out plain; only the body is coded.
    Put(_buffer.data(), _buffer.size());
    _buffer.clear();
  }
  _buffer += "{\"success\":true,\"data\":{";
  ORVA::AppendJsonString(member, &_buffer);
  _buffer += ":[";
}

void ClientStream::AppendEncodedToList(std::string_view json) {
  if (!BeginElement()) return;
  _buffer.append(json.data(), json.size());
  EndElement();
}

bool ClientStream::BeginElement() {
  if (!_listOpen) return false;
  if (!_firstElement) _buffer += ',';
  _firstElement = false;
  return true;
}

void ClientStream::EndElement() {
  if (_buffer.size() >= kBlock) Flush();
}

void ClientStream::EndList() {
  if (!_listOpen) return;
  _listOpen = false;
  _buffer += "]}}";
  Flush();
}

bool ClientStream::WriteRaw(const char* data, std::size_t size) {
  if (_listOpen) return false;
  if (!_started) {
    _started = true;
    _buffer += kReplyHeaders;
  }
  if (_buffer.size() + size < kBlock) {
    _buffer.append(data, size);
    return _ok;
  }
  Flush();
  Put(data, size);
  return _ok;
}

bool ClientStream::Flush() {
  if (_encoder) {
    // The list's end ends the coded stream.
    const bool last = !_listOpen;
    _coded.clear();
    _ok = _encoder->Encode(_buffer.data(), _buffer.size(), last, _coded) && _ok;
    Put(_coded.data(), _coded.size());
    if (last) _encoder.reset();
  } else {
    Put(_buffer.data(), _buffer.size());
  }
  _buffer.clear();
  return _ok;
}

void ClientStream::Put(const char* data, std::size_t size) {
  _ok = _ok && WriteAll(_fd, data, size);
}

}  // namespace front
