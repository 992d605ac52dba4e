// ORVAFwRuleHup: rebuilds the firewall's rule set from the service definitions and replaces the
// rules file in one rename, so the firewall never loads half a rule set.
#include <errno.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lumidex_paths.h"
#include "orvafirewall.h"
#include "service_definitions.h"

namespace {

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string RuleLines(const std::vector<orvacore::PortClaim>& claims) {
  std::string text =
      "# Open ports, one rule per service port or range: protocol, ports, service.\n";
  for (const orvacore::PortClaim& claim : claims) {
    text += "allow " + claim.protocol + " " + std::to_string(claim.first);
    if (claim.last != claim.first) text += ":" + std::to_string(claim.last);
    text += " " + claim.service + "\n";
  }
  return text;
}

}  // namespace

int ORVAFwRuleHup(void) {
  std::vector<orvacore::PortClaim> claims;
  std::string problem;
  if (!orvacore::ReadServiceDefinitions(lumidex::RootedPath(lumidex::kServicesDir), &claims,
                                        &problem)) {
    syslog(LOG_ERR, "orvafirewall: rules not reloaded: %s", problem.c_str());
    return -1;
  }
  const std::string path = lumidex::RootedPath(lumidex::kFirewallRulesPath);
  const std::string folder = path.substr(0, path.rfind('/'));
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return -1;

  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return -1;
  bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, RuleLines(claims)) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp.c_str());
    syslog(LOG_ERR, "orvafirewall: cannot write %s", path.c_str());
    return -1;
  }
  return 0;
}
