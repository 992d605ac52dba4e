// System-log messages of the store library: every text starts "%s:%d ", filled with the source
// name and the line that issues it.
#ifndef LUMIDEX_STORE_LOG_H
#define LUMIDEX_STORE_LOG_H

#include <syslog.h>

#define STORE_LOG_SOURCE "db_handler"
#define STORE_LOG(format, ...) \
  syslog(LOG_ERR, format, STORE_LOG_SOURCE, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

#endif  // LUMIDEX_STORE_LOG_H
