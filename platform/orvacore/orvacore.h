// Stand-in for the appliance's core library (liborvacore): starting programs without a shell,
// and INI-style section files.
#ifndef ORVACORE_H
#define ORVACORE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Starts `path` with the arguments that follow `mode` (each `const char*`, ended by a null
// pointer), each reaching the program as one argument, unchanged; no shell is involved.
// Mode "r" gives a stream of the program's standard output, "w" one to its standard input.
// Null when the program cannot be started (errno set).
FILE* OLIBCPopen(const char* path, const char* mode, ...);
// Closes a stream from OLIBCPopen and reaps the program. Returns its wait status, -1 on error.
int OLIBCPclose(FILE* stream);
// Runs `program` with the non-null arguments among a1..a4 (no shell) and waits for it.
// Negative when it cannot be started or does not exit with status 0.
int OLIBCExec(const char* program, const char* a1, const char* a2, const char* a3, const char* a4);
// Sets `key` = `value` in `[section]` of an INI-style file, creating the section or the file
// when missing, keeping every other line, replacing the file atomically. Negative on failure.
int OLIBCFileSetSectionValue(const char* file, const char* section, const char* key,
                             const char* value);

#ifdef __cplusplus
}
#endif

#endif  // ORVACORE_H
