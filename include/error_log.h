// The package's own error log: one line per failed web API request, and the system log for
// severe entries.
#ifndef LUMIDEX_ERROR_LOG_H
#define LUMIDEX_ERROR_LOG_H

// Appends "<local time> <file>:line <line> <message>" to the error log. The variable arguments
// are `const char*` message pieces ended by a null pointer; they are joined without separators.
// A level above 2 also writes the entry to the system log. Nothing is reported to the caller.
void ErrorLog(const char* file, int line, int level, ...);

#endif  // LUMIDEX_ERROR_LOG_H
