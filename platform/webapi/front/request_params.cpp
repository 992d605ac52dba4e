// Request decoding for the CGI front. cgicc parses the form encodings; this file feeds it a
// controlled environment and body and turns what it finds into JSON parameters.
#include "request_params.h"

#include <cgicc/CgiInput.h>
#include <cgicc/Cgicc.h>
#include <fcntl.h>
#include <json/reader.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace front {

namespace {

// Bodies above this are refused before anything is allocated for them.
constexpr unsigned long long kMaxBodyBytes = 512ull * 1024 * 1024;

// Gives cgicc exactly the variables and body we choose: it sees neither the process environment
// (cookies and the like) nor standard input.
class FixedInput : public cgicc::CgiInput {
 public:
  // `body` must outlive the object.
  FixedInput(std::map<std::string, std::string> env, const std::string* body)
      : _env(std::move(env)), _body(*body), _offset(0) {}

  size_t read(char* data, size_t length) override {
    size_t n = std::min(length, _body.size() - _offset);
    _body.copy(data, n, _offset);
    _offset += n;
    return n;
  }

  std::string getenv(const char* name) override {
    auto it = _env.find(name);
    return it == _env.end() ? std::string() : it->second;
  }

 private:
  std::map<std::string, std::string> _env;
  const std::string& _body;
  size_t _offset;
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The media type of a Content-Type value, lower case, and its boundary parameter (unquoted).
void ParseContentType(const std::string& value, std::string* mediaType, std::string* boundary) {
  size_t semicolon = value.find(';');
  *mediaType = Lower(Trim(value.substr(0, semicolon)));
  boundary->clear();
  while (semicolon != std::string::npos) {
    size_t next = value.find(';', semicolon + 1);
    std::string param = Trim(value.substr(semicolon + 1, next - semicolon - 1));
    semicolon = next;
    size_t equals = param.find('=');
    if (equals == std::string::npos || Lower(Trim(param.substr(0, equals))) != "boundary") continue;
    std::string raw = Trim(param.substr(equals + 1));
    // cgicc does not unquote; browsers never quote, but the form is legal.
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
      raw = raw.substr(1, raw.size() - 2);
    *boundary = raw;
  }
}

bool DigitsOnly(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool IsDigit(const std::string& text, size_t i) {
  return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
}

// Whether `text` is exactly a JSON number; `integral` tells whether it has neither fraction nor
// exponent. JsonCpp alone would also take "007".
bool IsJsonNumber(const std::string& text, bool* integral) {
  size_t i = 0;
  if (i < text.size() && text[i] == '-') ++i;
  if (!IsDigit(text, i)) return false;
  if (text[i] == '0') {
    ++i;
  } else {
    while (IsDigit(text, i)) ++i;
  }
  *integral = true;
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (!IsDigit(text, i)) return false;
    while (IsDigit(text, i)) ++i;
    *integral = false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!IsDigit(text, i)) return false;
    while (IsDigit(text, i)) ++i;
    *integral = false;
  }
  return i == text.size();
}

Json::CharReader& StrictReader() {
  static std::unique_ptr<Json::CharReader> reader = [] {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["strictRoot"] = false;  // "true", "8008" and "\"x\"" are values too
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
  }();
  return *reader;
}

void SetParam(ORVA::APIRequest* request, const std::string& name, const std::string& text) {
  if (name.empty()) return;
  request->SetParam(name, DecodeValue(text), text);
}

bool IsReservedName(const std::string& name) {
  static const std::string suffix = "_tmp";
  return name.size() >= suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void AddFormEntries(const cgicc::Cgicc& form, ORVA::APIRequest* request) {
  for (const cgicc::FormEntry& entry : form.getElements()) {
    if (IsReservedName(entry.getName())) continue;
    SetParam(request, entry.getName(), entry.getValue());
  }
}

bool ReadBody(std::string* body, std::string* why) {
  std::string length = Env("CONTENT_LENGTH");
  if (length.empty()) return true;
  if (!DigitsOnly(length) || length.size() > 12) {
    *why = "invalid CONTENT_LENGTH";
    return false;
  }
  unsigned long long expected = std::strtoull(length.c_str(), nullptr, 10);
  if (expected > kMaxBodyBytes) {
    *why = "request body too large";
    return false;
  }
  body->resize(expected);
  size_t got = 0;
  while (got < expected) {
    ssize_t n = ::read(STDIN_FILENO, &(*body)[got], expected - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = "request body shorter than CONTENT_LENGTH";
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

bool DecodeBody(const std::string& body, ORVA::APIRequest* request, Uploads* uploads,
                std::string* why) {
  if (body.empty()) return true;
  std::string mediaType, boundary;
  ParseContentType(Env("CONTENT_TYPE"), &mediaType, &boundary);
  std::string contentType;
  if (mediaType == "application/x-www-form-urlencoded") {
    contentType = mediaType;
  } else if (mediaType == "multipart/form-data") {
    if (boundary.empty() || boundary.size() > 200 ||
        boundary.find_first_of("\r\n") != std::string::npos) {
      *why = "multipart body without a usable boundary";
      return false;
    }
    // cgicc silently returns nothing for a cut-off body; refuse it instead of losing fields.
    if (body.find("--" + boundary + "--") == std::string::npos) {
      *why = "multipart body without its closing boundary";
      return false;
    }
    contentType = "multipart/form-data; boundary=" + boundary;
  } else {
    *why = "unsupported body type '" + mediaType + "'";
    return false;
  }
  FixedInput input({{"REQUEST_METHOD", "POST"},
                    {"CONTENT_LENGTH", std::to_string(body.size())},
                    {"CONTENT_TYPE", contentType}},
                   &body);
  cgicc::Cgicc form(&input);
  AddFormEntries(form, request);
  for (const cgicc::FormFile& file : form.getFiles()) {
    if (file.getName().empty() || IsReservedName(file.getName())) continue;
    std::string path = uploads->Store(file.getData());
    if (path.empty()) {
      *why = "cannot store the uploaded file";
      return false;
    }
    // Both are text whatever they spell: a file named "1.vcf" or "null" keeps its name.
    request->SetParam(file.getName(), Json::Value(file.getFilename()), file.getFilename());
    request->SetParam(file.getName() + "_tmp", Json::Value(path), path);
  }
  return true;
}

}  // namespace

Uploads::~Uploads() { RemoveAll(); }

std::string Uploads::Store(const std::string& bytes) {
  std::string dir = Env("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  std::string path = dir + "/orva-upload-XXXXXX";
  int fd = mkstemp(&path[0]);
  if (fd < 0) return "";
  _paths.push_back(path);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool closed = ::close(fd) == 0;
  return done == bytes.size() && closed ? path : "";
}

void Uploads::RemoveAll() {
  for (const std::string& path : _paths) ::unlink(path.c_str());
  _paths.clear();
}

Json::Value DecodeValue(const std::string& text) {
  const Json::Value asText(text);
  if (text.empty()) return asText;
  // The JSON reader skips white space around a value, so "\t007" would be the number 7 and
  // " 99999999999999999999" a rounded double; such texts are not values a script means.
  static const char kJsonSpace[] = " \t\r\n";
  if (std::strchr(kJsonSpace, text.front()) || std::strchr(kJsonSpace, text.back())) return asText;
  char first = text[0];
  // A string is read by the same function as the handlers' texts, so that a parameter's value
  // and its text never differ.
  std::string decoded;
  if (first == '"') return ORVA::DecodeJsonString(text, &decoded) ? Json::Value(decoded) : asText;
  bool integral = false;
  bool number = first == '-' || std::isdigit(static_cast<unsigned char>(first));
  if (number && !IsJsonNumber(text, &integral)) return asText;
  Json::Value value;
  std::string errors;
  try {
    if (!StrictReader().parse(text.data(), text.data() + text.size(), &value, &errors))
      return asText;
  } catch (const std::exception&) {
    return asText;  // JsonCpp throws past its nesting limit
  }
  if (number && integral && value.type() != Json::intValue && value.type() != Json::uintValue) {
    return asText;
  }
  return value;
}

bool DecodeRequest(ORVA::APIRequest* request, Uploads* uploads, std::string* why) {
  *request = ORVA::APIRequest();
  std::string body;
  if (!ReadBody(&body, why)) return false;
  try {
    std::string query = Env("QUERY_STRING");
    if (!query.empty()) {
      const std::string noBody;
      FixedInput input({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}}, &noBody);
      AddFormEntries(cgicc::Cgicc(&input), request);
    }
    return DecodeBody(body, request, uploads, why);
  } catch (const std::exception& e) {
    *why = std::string("cannot decode the request: ") + e.what();
    return false;
  }
}

}  // namespace front
