// The appliance's service definitions: INI-style files "*.sc" in the services folder, one section
// per service whose "dst.ports" value names the ports it claims. Read by the port-conflict check
// and by the firewall, so that both see the same claims.
#ifndef ORVACORE_SERVICE_DEFINITIONS_H
#define ORVACORE_SERVICE_DEFINITIONS_H

#include <string>
#include <vector>

namespace orvacore {

// One port or port range that one service claims.
struct PortClaim {
  std::string file;      // file name within the services folder
  std::string service;   // section name
  std::string protocol;  // "tcp" or "udp"
  int first;
  int last;
};

// Parses a "dst.ports" value such as "8008/tcp", "80,443/tcp", "5000:5010/tcp" or "53/tcp,udp"
// and appends one claim per port or range and protocol (file and service left empty). False
// when the value is malformed or a port lies outside 1 to 65535; nothing is appended then.
bool ParsePortList(const std::string& ports, std::vector<PortClaim>* claims);

// Reads every regular file named "*.sc" in `dir`, in name order. A missing folder claims
// nothing. False when a file cannot be read or holds a malformed "dst.ports" value; `claims`
// then still holds everything that could be read and `problem` names what failed.
bool ReadServiceDefinitions(const std::string& dir, std::vector<PortClaim>* claims,
                            std::string* problem);

}  // namespace orvacore

#endif  // ORVACORE_SERVICE_DEFINITIONS_H
