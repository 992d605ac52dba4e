// ORVAFwRuleHup: rebuilds the firewall's rule set from the service definitions and replaces the
// rules file in one rename, so the firewall never loads half a rule set.
#include <errno.h>
#include <sys/stat.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "atomic_file.h"
#include "lumidex_paths.h"
#include "orvafirewall.h"
#include "service_definitions.h"

namespace {

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

  if (!orvacore::ReplaceFile(path, RuleLines(claims), 0644)) {
    syslog(LOG_ERR, "orvafirewall: cannot write %s", path.c_str());
    return -1;
  }
  return 0;
}
