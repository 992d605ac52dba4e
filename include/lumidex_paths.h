// Fixed absolute paths of the package and the appliance, in one place.
// In production LUMIDEX_ROOT is unset and every path is used as written; tests and `make run`
// set it to put the whole tree under a folder of their own.
#ifndef LUMIDEX_PATHS_H
#define LUMIDEX_PATHS_H

#include <cstdlib>
#include <string>

namespace lumidex {

inline constexpr const char kPackageDir[] = "/var/packages/Lumidex/target";
inline constexpr const char kLibDir[] = "/var/packages/Lumidex/target/lib";
inline constexpr const char kWebApiDir[] = "/var/packages/Lumidex/target/webapi";
inline constexpr const char kMappingDbPath[] =
    "/var/packages/Lumidex/target/var/db/ShortNameGUIDMapping.db";
inline constexpr const char kHelperPath[] = "/var/packages/Lumidex/target/tools/orva_db_helper.py";
inline constexpr const char kJsonConfPath[] =
    "/var/packages/Lumidex/target/etc/calendar_server_json.conf";
inline constexpr const char kErrorLogPath[] =
    "/var/packages/Lumidex/target/var/log/lumidex_error.log";
inline constexpr const char kPlistPath[] = "/var/packages/Lumidex/target/etc/orva_caldavd.plist";
inline constexpr const char kConfDumpScript[] =
    "/var/packages/Lumidex/target/tools/orva_calendar_conf_dump.py";
inline constexpr const char kStartStopScript[] =
    "/var/packages/Lumidex/target/tools/calendarserver_start_stop.sh";
inline constexpr const char kSettingsLockPath[] = "/var/packages/Lumidex/target/var/settings.lock";
inline constexpr const char kServicesDir[] = "/usr/local/etc/services.d";
inline constexpr const char kServiceFile[] = "/usr/local/etc/services.d/Lumidex.sc";
// The firewall stand-in's rule set as last loaded.
inline constexpr const char kFirewallRulesPath[] = "/usr/local/etc/orvafirewall/open_ports.rules";
inline constexpr const char kToolPath[] = "/var/packages/Lumidex/target/tool/lumidex_user_set";

// The path as the running process must use it: LUMIDEX_ROOT (when set) followed by `fixed`.
inline std::string RootedPath(const char* fixed) {
  const char* root = std::getenv("LUMIDEX_ROOT");
  std::string path = root ? root : "";
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path + fixed;
}

}  // namespace lumidex

#endif  // LUMIDEX_PATHS_H
