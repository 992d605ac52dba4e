// lumidex_signin_check: lets another server of the package (the CardDAV daemon) check a sign-in
// against the accounts file under the same failed-sign-in limits as the web API. It reads
// "NAME\0PASSWORD\0CLIENT_ADDRESS\0" from standard input (never the command line, where others
// could read the password) and answers by its exit status:
//   0 signed in, 1 wrong name or password, 2 too many failures (Retry-After seconds on standard
//   output), 3 bad input or the failures could not be counted.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "front_errors.h"
#include "http_auth.h"
#include "sessions.h"

namespace {

constexpr size_t kMaxInputBytes = 4096;

// The whole of standard input, at most kMaxInputBytes; false when there is more.
bool ReadInput(std::string* input) {
  char buffer[512];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    input->append(buffer, static_cast<size_t>(n));
    if (input->size() > kMaxInputBytes) return false;
  }
}

}  // namespace

int main() {
  std::string input;
  if (!ReadInput(&input)) return 3;
  std::string fields[3];
  size_t at = 0;
  for (std::string& field : fields) {
    size_t end = input.find('\0', at);
    if (end == std::string::npos) return 3;
    field = input.substr(at, end - at);
    at = end + 1;
  }
  if (at != input.size()) return 3;
  // SignIn counts failures per client address as the CGI front passes it.
  if (setenv("REMOTE_ADDR", fields[2].c_str(), 1) != 0) return 3;
  front::SessionStore store;
  if (!store.Open(true)) {
    std::fprintf(stderr, "lumidex_signin_check: cannot open the sessions file\n");
    return 3;
  }
  int retryAfter = 0;
  switch (front::SignIn(&store, fields[0], fields[1], &retryAfter)) {
    case 0:
      return 0;
    case front::kTooManyFailures:
      std::printf("%d\n", retryAfter);
      return 2;
    default:
      return 1;
  }
}
