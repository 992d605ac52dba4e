// Module loading and row lookup for the CGI front.
#include "module_table.h"

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace front {

namespace {

typedef ORVA::APITableRow* (*TableGetter)();

// A table is read up to its all-zero row; this bounds the walk over a table that lacks one.
constexpr int kMaxRows = 4096;

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsEndRow(const ORVA::APITableRow& row) {
  return !row.api && row.version == 0 && !row.method && !row.handler;
}

}  // namespace

std::vector<const ORVA::APITableRow*> LoadModuleTables(const std::string& dir) {
  std::vector<const ORVA::APITableRow*> tables;
  DIR* folder = opendir(dir.c_str());
  if (!folder) {
    std::fprintf(stderr, "entry.cgi: cannot open the web API folder %s\n", dir.c_str());
    return tables;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(folder)) {
    if (EndsWith(entry->d_name, ".so")) names.push_back(entry->d_name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    // RTLD_LOCAL: every module exports gTable and GetAPITable under the same names, and each
    // must keep binding to its own. RTLD_LAZY: binding every function of a module's whole
    // library chain up front costs a request about a millisecond, for functions it never calls;
    // modules are linked with undefined symbols refused, so none is missing when first called.
    void* library = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!library) {
      std::fprintf(stderr, "entry.cgi: cannot load %s: %s\n", path.c_str(), dlerror());
      continue;
    }
    void* symbol = dlsym(library, "GetAPITable");
    const ORVA::APITableRow* table = symbol ? reinterpret_cast<TableGetter>(symbol)() : nullptr;
    if (!table) {
      std::fprintf(stderr, "entry.cgi: %s has no API table\n", path.c_str());
      continue;
    }
    tables.push_back(table);
  }
  return tables;
}

bool FindRow(const std::vector<const ORVA::APITableRow*>& tables, const std::string& api,
             int version, const std::string& method, const ORVA::APITableRow** row,
             ErrorCode* error) {
  bool apiSeen = false;
  bool methodSeen = false;
  for (const ORVA::APITableRow* table : tables) {
    for (int i = 0; i < kMaxRows && !IsEndRow(table[i]); ++i) {
      const ORVA::APITableRow& candidate = table[i];
      // Rows without a name or a handler can serve nothing (and must not match an absent name).
      if (!candidate.api || !*candidate.api || !candidate.method || !*candidate.method ||
          !candidate.handler) {
        continue;
      }
      if (api != candidate.api) continue;
      apiSeen = true;
      if (method != candidate.method) continue;
      methodSeen = true;
      if (version != candidate.version) continue;
      *row = &candidate;
      return true;
    }
  }
  *error = !apiSeen ? kUnknownApi : !methodSeen ? kUnknownMethod : kUnknownVersion;
  return false;
}

}  // namespace front
