// Turns a CGI request (environment and standard input) into the parameter object that the
// handlers read: query string, urlencoded and multipart bodies, uploads as temporary files.
#ifndef ORVA_FRONT_REQUEST_PARAMS_H
#define ORVA_FRONT_REQUEST_PARAMS_H

#include <json/value.h>

#include <string>
#include <vector>

#include "webapi.h"

namespace front {

// Temporary files that hold uploaded bytes. They belong to one request: RemoveAll (or the
// destructor) deletes them.
class Uploads {
 public:
  Uploads() = default;
  ~Uploads();
  Uploads(const Uploads&) = delete;
  Uploads& operator=(const Uploads&) = delete;

  // Writes `bytes` to a new private file; returns its path, or "" when it cannot be written.
  std::string Store(const std::string& bytes);
  void RemoveAll();

 private:
  std::vector<std::string> _paths;
};

// A parameter's value as handlers see it: the JSON value when the whole text is JSON, else the
// text itself. Integers too large for 64 bits, and texts that begin or end with white space,
// stay text, so that no digit is lost and no space turns a name into a number.
Json::Value DecodeValue(const std::string& text);

// Fills `request` from the request: each parameter's value (DecodeValue) beside the text it was
// read from; the query string first, then the body, a later value of a name replacing an
// earlier one. A multipart file part N gives N (its file name) and N_tmp (the
// path of a file in `uploads` holding its bytes); a client-sent name ending in "_tmp" is dropped
// so that no client can point a handler at a local file. Returns false with the reason in
// `why` when the body cannot be read or decoded.
bool DecodeRequest(ORVA::APIRequest* request, Uploads* uploads, std::string* why);

}  // namespace front

#endif  // ORVA_FRONT_REQUEST_PARAMS_H
