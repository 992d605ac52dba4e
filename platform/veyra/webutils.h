// Stand-in for the appliance's utility library (libveyra): the check whether a service may use
// a port.
#ifndef VEYRA_WEBUTILS_H
#define VEYRA_WEBUTILS_H

#include <string>

namespace WebUtils {

// True when a port in firstPort..lastPort may not be used by `service`: it lies outside 1 to
// 65535, or another service's definition in the services folder claims it (under any protocol),
// the appliance's own reserved ports included. The ports that `service` itself holds never
// conflict. A definition that cannot be read claims nothing here; the firewall reports it.
bool IsPortConflict(const std::string& service, int firstPort, int lastPort);

}  // namespace WebUtils

#endif  // VEYRA_WEBUTILS_H
