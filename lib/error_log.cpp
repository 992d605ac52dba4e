// ErrorLog: the package's own log of failed web API requests.
#include "error_log.h"

#include <syslog.h>

#include <cstdarg>
#include <ctime>
#include <fstream>
#include <string>

#include "lumidex_paths.h"

void ErrorLog(const char* file, int line, int level, ...) {
  std::string message;
  va_list ap;
  va_start(ap, level);
  for (const char* piece = va_arg(ap, const char*); piece; piece = va_arg(ap, const char*)) {
    message += piece;
  }
  va_end(ap);

  time_t now = time(nullptr);
  struct tm local;
  char stamp[80] = "";
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%d-%m-%Y %I:%M:%S", &local);

  std::ofstream out(lumidex::RootedPath(lumidex::kErrorLogPath), std::ios::app);
  if (out) out << stamp << " " << file << ":line " << line << " " << message << std::endl;
  if (level > 2) syslog(LOG_ERR, "[%s:%d: %s] %s \n", file, line, stamp, message.c_str());
}
