// WebUtils::IsPortConflict: a port is free for a service unless the appliance's service
// definitions give it to another service.
#include "webutils.h"

#include <strings.h>

#include <vector>

#include "lumidex_paths.h"
#include "service_definitions.h"

namespace WebUtils {

bool IsPortConflict(const std::string& service, int firstPort, int lastPort) {
  if (firstPort < 1 || lastPort > 65535 || firstPort > lastPort) return true;
  std::vector<orvacore::PortClaim> claims;
  std::string problem;
  orvacore::ReadServiceDefinitions(lumidex::RootedPath(lumidex::kServicesDir), &claims, &problem);
  for (const orvacore::PortClaim& claim : claims) {
    // Section names are matched as the definition files' writer matches them: ignoring case.
    if (strcasecmp(claim.service.c_str(), service.c_str()) == 0) continue;
    if (claim.first <= lastPort && firstPort <= claim.last) return true;
  }
  return false;
}

}  // namespace WebUtils
