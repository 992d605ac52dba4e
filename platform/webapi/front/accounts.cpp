// Accounts file, password hashing and random tokens for the sign-in of the CGI front.
#include "accounts.h"

#include <crypt.h>
#include <errno.h>
#include <nettle/memops.h>
#include <string.h>
#include <sys/random.h>

#include <cstring>
#include <fstream>
#include <memory>

#include "lumidex_paths.h"

namespace front {

namespace {

constexpr size_t kMaxNameBytes = 64;
constexpr size_t kMaxPasswordBytes = 1024;

bool NameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-' || c == '@';
}

// crypt_r's work area is 32 KiB: too large for a CGI's stack next to everything else.
std::string Crypt(const std::string& password, const std::string& setting) {
  std::unique_ptr<crypt_data> data(new crypt_data);
  std::memset(data.get(), 0, sizeof *data);
  const char* result = crypt_r(password.c_str(), setting.c_str(), data.get());
  // Failure is either null or a string starting with '*', depending on the build of libcrypt.
  if (!result || result[0] == '*') return "";
  std::string hash = result;
  explicit_bzero(data.get(), sizeof *data);
  return hash;
}

}  // namespace

std::string AccountsPath() { return lumidex::RootedPath(kAccountsFile); }

bool ValidAccountName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  if (name[0] == '-' || name[0] == '.') return false;
  for (char c : name) {
    if (!NameByte(c)) return false;
  }
  return true;
}

bool ValidPassword(const std::string& password) {
  if (password.empty() || password.size() > kMaxPasswordBytes) return false;
  return password.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

std::string HashPassword(const std::string& password) {
  if (!ValidPassword(password)) return "";
  unsigned char salt[32];
  if (!RandomBytes(salt, sizeof salt)) return "";
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  // Count 0 is libcrypt's default cost for yescrypt, which it raises as machines get faster.
  if (!crypt_gensalt_rn("$y$", 0, reinterpret_cast<const char*>(salt), sizeof salt, setting,
                        sizeof setting)) {
    return "";
  }
  return Crypt(password, setting);
}

bool HashMatches(const std::string& password, const std::string& hash) {
  if (hash.compare(0, 3, "$y$") != 0 || !ValidPassword(password)) return false;
  std::string computed = Crypt(password, hash);
  return !computed.empty() && SameSecret(computed, hash);
}

bool ReadAccountLines(const std::string& path, std::vector<std::string>* lines) {
  lines->clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return errno == ENOENT;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(line);
  }
  return !in.bad();
}

std::string HashOf(const std::vector<std::string>& lines, const std::string& name) {
  if (!ValidAccountName(name)) return "";
  for (const std::string& line : lines) {
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
        line[name.size()] == ':') {
      return line.substr(name.size() + 1);
    }
  }
  return "";
}

bool AccountExists(const std::string& name) {
  std::vector<std::string> lines;
  return ReadAccountLines(AccountsPath(), &lines) && !HashOf(lines, name).empty();
}

bool CheckPassword(const std::string& name, const std::string& password) {
  std::vector<std::string> lines;
  std::string hash;
  if (ValidPassword(password) && ReadAccountLines(AccountsPath(), &lines)) {
    hash = HashOf(lines, name);
  }
  if (hash.empty()) {
    HashPassword(ValidPassword(password) ? password : std::string("x"));
    return false;
  }
  return HashMatches(password, hash);
}

bool RandomBytes(unsigned char* bytes, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = getrandom(bytes + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RandomHex(size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::vector<unsigned char> bytes(size);
  if (!RandomBytes(bytes.data(), size)) return "";
  std::string hex;
  for (unsigned char b : bytes) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  explicit_bzero(bytes.data(), bytes.size());
  return hex;
}

bool SameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && nettle_memeql_sec(a.data(), b.data(), a.size()) != 0;
}

}  // namespace front
