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

  // The whole line, line feed included, goes out in one write: pieces written apart could be
  // split by another request's line appended in between.
  std::string entry = stamp;
  entry.append(" ").append(file).append(":line ").append(std::to_string(line));
  entry.append(" ").append(message).append("\n");
  std::ofstream out(lumidex::RootedPath(lumidex::kErrorLogPath), std::ios::app);
  if (out) out.write(entry.data(), static_cast<std::streamsize>(entry.size())).flush();
  if (level > 2) syslog(LOG_ERR, "[%s:%d: %s] %s \n", file, line, stamp, message.c_str());
}
