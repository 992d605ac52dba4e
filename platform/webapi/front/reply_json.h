// JSON text of handler results, written the way JsonCpp's StreamWriterBuilder writes it without
// indentation, but straight into the output: a listing of thousands of cards is never held as
// one more string beside its tree.
#ifndef ORVA_FRONT_REPLY_JSON_H
#define ORVA_FRONT_REPLY_JSON_H

#include <json/value.h>

#include <cstddef>
#include <string>

#include "webapi.h"

namespace front {

// Appends the JSON text of `value` to `out`. For every value whose strings are valid UTF-8 the
// bytes are those of Json::writeString with indentation "" (members in key order, characters
// outside ASCII as \u escapes, numbers as JsonCpp formats them). A byte that is not part of a
// valid UTF-8 sequence becomes \ufffd on its own; the bytes after it are read afresh.
void AppendJson(const Json::Value& value, std::string* out);

// Number of bytes AppendJson would append.
std::size_t JsonSize(const Json::Value& value);

// The reply body for a handler's result: {"success":true,"data":D} or
// {"success":false,"error":{"code":N,"message":D}}, "success" first as in the documented reply.
std::string JsonBody(const ORVA::APIResponse& response);

// Writes the whole CGI reply for a handler's result (header lines, empty line, body) to `fd`
// through a small buffer. False when a write fails; what was written then stays written.
bool WriteJsonReply(int fd, const ORVA::APIResponse& response);

}  // namespace front

#endif  // ORVA_FRONT_REPLY_JSON_H
