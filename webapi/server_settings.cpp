// "ORVA.ContactAndCalendar.Common": reading the CardDAV daemon's network settings, and changing
// them through service definition, firewall, JSON configuration, daemon configuration and restart.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "contact_and_calendar_handler.h"
#include "lumidex_paths.h"
#include "orvacore.h"
#include "orvafirewall.h"
#include "webutils.h"

namespace {

const char kSectionKey[] = "general_setting";
const char kHttpService[] = "lumidex";
const char kHttpsService[] = "lumidex_ssl";
const char kPortsKey[] = "dst.ports";

// Holds the package's settings lock for its lifetime. Two "set" requests in two processes would
// otherwise interleave their edits of the service definition, the JSON file and the daemon.
class SettingsLock {
 public:
  SettingsLock() : _fd(-1) {
    // Close-on-exec: the restarted daemon must not inherit, and so keep, the lock.
    int fd = open(lumidex::RootedPath(lumidex::kSettingsLockPath).c_str(),
                  O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    int rc;
    do {
      rc = flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      close(fd);
      return;
    }
    _fd = fd;
  }
  ~SettingsLock() {
    if (_fd >= 0) close(_fd);
  }
  SettingsLock(const SettingsLock&) = delete;
  SettingsLock& operator=(const SettingsLock&) = delete;
  bool Held() const { return _fd >= 0; }

 private:
  int _fd;
};

// A port parameter as an integer: a JSON integer, or a text of decimal digits only (a form may
// send the number as text). False for anything else, which JsonCpp would either refuse with an
// exception or turn into a different number.
bool ReadPortParam(const Json::Value& value, int* port) {
  if (value.isInt()) {
    *port = value.asInt();
    return true;
  }
  if (!value.isString()) return false;
  const std::string text = value.asString();
  if (text.empty() || text.size() > 9) return false;
  int number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  *port = number;
  return true;
}

// The stored port member as text: an integer as its decimal digits, a text as it is, anything
// else (a missing member among them) as the empty text.
std::string StoredPortText(const Json::Value& section, const char* key) {
  if (!section.isObject() || !section.isMember(key)) return "";
  const Json::Value& value = section[key];
  if (value.isInt64()) return std::to_string(value.asInt64());
  if (value.isUInt64()) return std::to_string(value.asUInt64());
  if (value.isString()) return value.asString();
  return "";
}

}  // namespace

void ContactAndCalendarHandler::getCommonSetting() {
  if (!_confManager.JsonConfParse()) {
    refuse(__LINE__, 1000, "Json conf parse error");
    return;
  }
  Json::Value common = _confManager.JsonGet(kSectionKey);
  if (common.isObject()) common.removeMember("realmName");
  Json::Value data(Json::objectValue);
  data["common"] = common;
  _response->SetSuccess(data);
}

void ContactAndCalendarHandler::setCommonSetting() {
  if (!hasParams(__LINE__, {"EnableSSL", "RedirectHTTPToHTTPS", "HTTPPort", "SSLPort"})) return;

  // Parameters of the wrong type are refused before anything is read or changed: a flag as a
  // lost parameter, a port as a port that cannot be used.
  const Json::Value enableSSL = _request->GetParam("EnableSSL", Json::Value());
  const Json::Value redirect = _request->GetParam("RedirectHTTPToHTTPS", Json::Value());
  if (!enableSSL.isBool() || !redirect.isBool()) {
    refuse(__LINE__, 900, "Request lost parameters");
    return;
  }
  int httpPort = 0;
  int httpsPort = 0;
  if (!ReadPortParam(_request->GetParam("HTTPPort", Json::Value()), &httpPort)) {
    refuse(__LINE__, 1002, "HTTP port conflict");
    return;
  }
  if (!ReadPortParam(_request->GetParam("SSLPort", Json::Value()), &httpsPort)) {
    refuse(__LINE__, 1003, "HTTPS port conflict");
    return;
  }

  SettingsLock lock;
  if (!lock.Held()) {
    refuse(__LINE__, 1001, "Json conf dump error");
    return;
  }
  if (!_confManager.JsonConfParse()) {
    refuse(__LINE__, 1000, "Json conf parse error");
    return;
  }
  const Json::Value stored = _confManager.JsonGet(kSectionKey);
  const std::string oldHttpText = StoredPortText(stored, "HTTPPort");
  const std::string oldHttpsText = StoredPortText(stored, "SSLPort");

  // Members other than the four (the realm name, for one) belong to the daemon's configuration
  // too and are carried over.
  Json::Value section = stored.isObject() ? stored : Json::Value(Json::objectValue);
  section["EnableSSL"] = enableSSL.asBool();
  section["RedirectHTTPToHTTPS"] = redirect.asBool();
  section["HTTPPort"] = httpPort;
  section["SSLPort"] = httpsPort;
  // Texts of the integers, so that "08008" and 8008 are the same port.
  std::string newHttpText = std::to_string(httpPort);
  std::string newHttpsText = std::to_string(httpsPort);

  if (WebUtils::IsPortConflict(kHttpService, httpPort, httpPort)) {
    refuse(__LINE__, 1002, "HTTP port conflict");
    return;
  }
  // One port for both would leave the daemon unable to start.
  if (httpsPort == httpPort || WebUtils::IsPortConflict(kHttpsService, httpsPort, httpsPort)) {
    refuse(__LINE__, 1003, "HTTPS port conflict");
    return;
  }

  const std::string serviceFile = lumidex::RootedPath(lumidex::kServiceFile);
  const bool httpChanged = newHttpText != oldHttpText;
  const bool httpsChanged = newHttpsText != oldHttpsText;
  if (httpChanged) {
    newHttpText += "/tcp";
    if (OLIBCFileSetSectionValue(serviceFile.c_str(), kHttpService, kPortsKey,
                                 newHttpText.c_str()) < 0) {
      refuse(__LINE__, 1004, "Update port file failed");
      return;
    }
  }
  if (httpsChanged) {
    newHttpsText += "/tcp";
    if (OLIBCFileSetSectionValue(serviceFile.c_str(), kHttpsService, kPortsKey,
                                 newHttpsText.c_str()) < 0) {
      refuse(__LINE__, 1004, "Update port file failed");
      return;
    }
  }
  if ((httpChanged || httpsChanged) && ORVAFwRuleHup() < 0) {
    refuse(__LINE__, 1005, "Fail to hup firewall rules");
    return;
  }

  _confManager.JsonSet(section, kSectionKey);
  if (!_confManager.JsonConfDump()) {
    refuse(__LINE__, 1001, "Json conf dump error");
    return;
  }
  const std::string confPath = lumidex::RootedPath(lumidex::kJsonConfPath);
  const std::string plistPath = lumidex::RootedPath(lumidex::kPlistPath);
  if (OLIBCExec(lumidex::RootedPath(lumidex::kConfDumpScript).c_str(), "--dump", confPath.c_str(),
                plistPath.c_str(), nullptr) < 0) {
    refuse(__LINE__, 1006, "Fail to dump json conf into xml conf");
    return;
  }
  if (OLIBCExec(lumidex::RootedPath(lumidex::kStartStopScript).c_str(), "restart", nullptr, nullptr,
                nullptr) < 0) {
    refuse(__LINE__, 1007, "Fail to restart calendar server");
    return;
  }
  if (!_confManager.JsonConfParse()) {
    refuse(__LINE__, 1000, "Json conf parse error");
    return;
  }
  Json::Value data(Json::objectValue);
  data["common"] = _confManager.JsonGet(kSectionKey);
  _response->SetSuccess(data);
}
