// lumidex_account: adds an account, changes its password or deletes it, in the accounts file
// of the package under LUMIDEX_ROOT. The password comes from standard input (asked twice,
// without echo, at a terminal), never from the command line where others could see it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "accounts.h"
#include "sessions.h"

namespace {

constexpr size_t kMaxInputBytes = 4096;

int Usage() {
  std::fprintf(stderr,
               "usage: lumidex_account add|passwd|delete NAME\n"
               "  add and passwd read the password from standard input (one line)\n");
  return 2;
}

// One line of standard input without its line end; false at end of input or when too long.
bool ReadLine(std::string* line) {
  line->clear();
  char c;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line->empty();
    if (c == '\n') break;
    if (line->size() >= kMaxInputBytes) return false;
    *line += c;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool Prompt(const char* text, std::string* line) {
  std::fputs(text, stderr);
  std::fflush(stderr);
  termios saved;
  bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  bool read = ReadLine(line);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  return read;
}

bool ReadPassword(std::string* password) {
  if (!isatty(STDIN_FILENO)) return ReadLine(password);
  std::string again;
  if (!Prompt("Password: ", password) || !Prompt("Password again: ", &again)) return false;
  if (*password != again) {
    std::fprintf(stderr, "lumidex_account: the two passwords differ\n");
    return false;
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file in one step: readers see the old lines or the new ones, never half.
bool WriteAccounts(const std::string& path, const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  std::string temporary = path + ".XXXXXX";
  int fd = mkstemp(&temporary[0]);  // mode 0600
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "lumidex_account: %s\n", message.c_str());
  return 1;
}

void EndSessions(const std::string& name) {
  front::SessionStore store;
  if (store.Open(false) && !store.DeleteUser(name)) {
    std::fprintf(stderr, "lumidex_account: could not end the sessions of %s\n", name.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Usage();
  const std::string command = argv[1];
  const std::string name = argv[2];
  if (command != "add" && command != "passwd" && command != "delete") return Usage();
  if (!front::ValidAccountName(name)) {
    return Fail(
        "a name is 1 to 64 letters, digits, '.', '_', '-' or '@', not starting with "
        "'-' or '.'");
  }

  std::string hash;
  if (command != "delete") {
    std::string password;
    if (!ReadPassword(&password)) return Fail("no password on standard input");
    if (!front::ValidPassword(password)) {
      return Fail("a password is 1 to 1024 bytes on one line");
    }
    hash = front::HashPassword(password);
    if (hash.empty()) return Fail("cannot hash the password");
  }

  const std::string path = front::AccountsPath();
  // One change at a time: two commands at once must not lose each other's account.
  const std::string lockPath = path + ".lock";
  int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return Fail("cannot lock " + lockPath);

  std::vector<std::string> lines;
  if (!front::ReadAccountLines(path, &lines)) return Fail("cannot read " + path);
  bool exists = !front::HashOf(lines, name).empty();
  if (command == "add" && exists) return Fail("account " + name + " exists already");
  if (command != "add" && !exists) return Fail("no account " + name);

  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    bool isName = line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
                  line[name.size()] == ':';
    if (!isName) kept.push_back(line);
  }
  if (command != "delete") kept.push_back(name + ":" + hash);
  if (!WriteAccounts(path, kept)) return Fail("cannot write " + path);
  // A new password or a deleted account ends every session signed in with the old one.
  if (command != "add") EndSessions(name);
  ::close(lock);

  const char* done = command == "add"      ? "added"
                     : command == "passwd" ? "password changed for"
                                           : "deleted";
  std::printf("%s account %s\n", done, name.c_str());
  return 0;
}
