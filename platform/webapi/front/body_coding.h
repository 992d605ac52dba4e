// Compression of a streamed list reply by the front itself: lighttpd compresses only replies it
// holds whole, and a listing is sent while it is being written.
#ifndef ORVA_FRONT_BODY_CODING_H
#define ORVA_FRONT_BODY_CODING_H

#include <cstddef>
#include <memory>
#include <string>

namespace front {

enum class BodyCoding { kIdentity, kBrotli, kGzip };

// The coding a client's Accept-Encoding header (null when it sent none) lets a list reply use:
// br before gzip, as lighttpd chooses, and neither when refused with q=0.
BodyCoding ListCoding(const char* acceptEncoding);

// The Content-Encoding header line of a coding ("" for identity).
const char* ContentEncodingLine(BodyCoding coding);

// A compressor fed the body piece by piece. Each piece is flushed, so that what the client has
// received decodes to everything written so far.
class BodyEncoder {
 public:
  virtual ~BodyEncoder() = default;
  // Appends the coded form of `data` to `out`; with `last`, the end of the stream too. False
  // when the compressor failed.
  virtual bool Encode(const char* data, std::size_t size, bool last, std::string& out) = 0;
};

// Null for identity, or when the compressor could not be set up.
std::unique_ptr<BodyEncoder> MakeBodyEncoder(BodyCoding coding);

}  // namespace front

#endif  // ORVA_FRONT_BODY_CODING_H
