// Signs the benchmarks' requests in the way the pages do: an account made with lumidex_account
// in the benchmark's package tree, a session opened through auth.cgi, and its cookie and CSRF
// token set as CGI variables of this process, so every later run of entry.cgi carries them.
#ifndef LUMIDEX_BENCH_SIGNIN_H
#define LUMIDEX_BENCH_SIGNIN_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

// Runs argv with `extraEnv` added to this environment, standard input from `inputPath` and
// standard output to `outputPath`; true when it exits with status 0.
inline bool RunWithFiles(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv, const std::string& inputPath,
                         const std::string& outputPath) {
  std::vector<std::string> env(extraEnv);
  for (char** e = environ; *e; ++e) env.push_back(*e);  // the first of a name wins
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy(argv);
  for (auto& a : argCopy) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) {
    waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Adds `name` to the package tree of LUMIDEX_ROOT, signs in through auth.cgi and sets
// HTTP_COOKIE and HTTP_X_CSRF_TOKEN. `work` is a folder for scratch files.
inline bool SignInForBench(const std::string& build, const std::string& work,
                           const std::string& name) {
  const std::string password = "bench password";
  const std::string input = work + "/signin-input", output = work + "/signin-output";
  std::ofstream(input) << password << "\n";
  if (!RunWithFiles({build + "/platform/lumidex_account", "add", name}, {}, input, output)) {
    std::fprintf(stderr, "lumidex_account add %s failed\n", name.c_str());
    return false;
  }
  const std::string body = "action=login&username=" + name + "&password=bench+password";
  std::ofstream(input, std::ios::trunc) << body;
  RunWithFiles({build + "/platform/auth.cgi"},
               {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded",
                "CONTENT_LENGTH=" + std::to_string(body.size()), "QUERY_STRING="},
               input, output);
  std::ifstream in(output, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  const std::string reply = bytes.str();
  const std::string cookieStart = "Set-Cookie: lumidex_session=", csrfStart = "\"csrf\":\"";
  size_t cookie = reply.find(cookieStart), csrf = reply.find(csrfStart);
  if (cookie == std::string::npos || csrf == std::string::npos) {
    std::fprintf(stderr, "sign-in failed: %.300s\n", reply.c_str());
    return false;
  }
  cookie += cookieStart.size();
  csrf += csrfStart.size();
  const std::string token = reply.substr(cookie, reply.find(';', cookie) - cookie);
  setenv("HTTP_COOKIE", ("lumidex_session=" + token).c_str(), 1);
  setenv("HTTP_X_CSRF_TOKEN", reply.substr(csrf, reply.find('"', csrf) - csrf).c_str(), 1);
  return true;
}

}  // namespace bench

#endif  // LUMIDEX_BENCH_SIGNIN_H
