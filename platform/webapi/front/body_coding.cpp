// Brotli and gzip for the front's streamed list replies, at the fast settings lighttpd uses for
// the pages: the listing is JSON of repetitive keys, and its compression must keep up with it.
#include "body_coding.h"

#include <brotli/encode.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace front {

namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

bool EqualsNoCase(std::string_view a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// Whether the header accepts the coding `name` with a weight above zero.
bool Accepts(std::string_view header, const char* name) {
  while (!header.empty()) {
    const std::size_t comma = header.find(',');
    std::string_view item = header.substr(0, comma);
    header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    const std::size_t semicolon = item.find(';');
    if (!EqualsNoCase(Trimmed(item.substr(0, semicolon)), name)) continue;
    if (semicolon == std::string_view::npos) return true;
    const std::string_view parameter = Trimmed(item.substr(semicolon + 1));
    if (parameter.size() < 2 || (parameter[0] != 'q' && parameter[0] != 'Q') || parameter[1] != '=')
      return true;
    // q=0, q=0.0 ... refuse it; any other weight accepts it.
    return Trimmed(parameter.substr(2)).find_first_not_of("0.") != std::string_view::npos;
  }
  return false;
}

class BrotliBody : public BodyEncoder {
 public:
  BrotliBody() : _state(BrotliEncoderCreateInstance(nullptr, nullptr, nullptr)) {
    if (!_state) return;
    BrotliEncoderSetParameter(_state, BROTLI_PARAM_QUALITY, 2);
    // A 256 KiB window: the records repeat their keys within a few hundred bytes, and the
    // default 4 MiB window would cost the front as much memory as the rest of the listing.
    BrotliEncoderSetParameter(_state, BROTLI_PARAM_LGWIN, 18);
  }
  ~BrotliBody() override {
    if (_state) BrotliEncoderDestroyInstance(_state);
  }
  bool Ready() const { return _state != nullptr; }

  bool Encode(const char* data, std::size_t size, bool last, std::string& out) override {
    const auto* in = reinterpret_cast<const uint8_t*>(data);
    std::size_t available = size;
    const BrotliEncoderOperation operation =
        last ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_FLUSH;
    for (;;) {
      uint8_t chunk[16384];
      uint8_t* next = chunk;
      std::size_t room = sizeof chunk;
      if (!BrotliEncoderCompressStream(_state, operation, &available, &in, &room, &next, nullptr))
        return false;
      out.append(reinterpret_cast<const char*>(chunk), sizeof chunk - room);
      if (available == 0 && !BrotliEncoderHasMoreOutput(_state) &&
          (!last || BrotliEncoderIsFinished(_state)))
        return true;
    }
  }

 private:
  BrotliEncoderState* _state;
};

class GzipBody : public BodyEncoder {
 public:
  GzipBody() {
    // 15 + 16: a gzip wrapper around a 32 KiB window; level 1 keeps pace with the listing.
    _ready = deflateInit2(&_stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~GzipBody() override {
    if (_ready) deflateEnd(&_stream);
  }
  bool Ready() const { return _ready; }

  bool Encode(const char* data, std::size_t size, bool last, std::string& out) override {
    _stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    _stream.avail_in = static_cast<uInt>(size);
    const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
    for (;;) {
      Bytef chunk[16384];
      _stream.next_out = chunk;
      _stream.avail_out = sizeof chunk;
      const int rc = deflate(&_stream, flush);
      if (rc == Z_STREAM_ERROR) return false;
      out.append(reinterpret_cast<const char*>(chunk), sizeof chunk - _stream.avail_out);
      if (last ? rc == Z_STREAM_END : _stream.avail_out != 0) return true;
    }
  }

 private:
  z_stream _stream{};
  bool _ready = false;
};

}  // namespace

BodyCoding ListCoding(const char* acceptEncoding) {
  if (!acceptEncoding) return BodyCoding::kIdentity;
  if (Accepts(acceptEncoding, "br")) return BodyCoding::kBrotli;
  if (Accepts(acceptEncoding, "gzip") || Accepts(acceptEncoding, "x-gzip"))
    return BodyCoding::kGzip;
  return BodyCoding::kIdentity;
}

const char* ContentEncodingLine(BodyCoding coding) {
  switch (coding) {
    case BodyCoding::kBrotli:
      return "Content-Encoding: br\r\nVary: Accept-Encoding\r\n";
    case BodyCoding::kGzip:
      return "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n";
    case BodyCoding::kIdentity:
      break;
  }
  return "";
}

std::unique_ptr<BodyEncoder> MakeBodyEncoder(BodyCoding coding) {
  if (coding == BodyCoding::kBrotli) {
    auto encoder = std::make_unique<BrotliBody>();
    if (encoder->Ready()) return encoder;
  } else if (coding == BodyCoding::kGzip) {
    auto encoder = std::make_unique<GzipBody>();
    if (encoder->Ready()) return encoder;
  }
  return nullptr;
}

}  // namespace front
