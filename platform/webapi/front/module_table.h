// Loading the web API modules and finding the table row that serves a request.
#ifndef ORVA_FRONT_MODULE_TABLE_H
#define ORVA_FRONT_MODULE_TABLE_H

#include <string>
#include <vector>

#include "front_errors.h"
#include "webapi.h"

namespace front {

// Loads every "*.so" in `dir` (in name order) and collects the tables their GetAPITable returns.
// A library that cannot be loaded or has no table is skipped with a line on standard error.
// Returns no table when the folder is missing. The libraries stay loaded until the process ends.
std::vector<const ORVA::APITableRow*> LoadModuleTables(const std::string& dir);

// Finds the row serving (api, version, method); the first loaded module wins a tie. Returns
// false with the code of the front's error reply when none does.
bool FindRow(const std::vector<const ORVA::APITableRow*>& tables, const std::string& api,
             int version, const std::string& method, const ORVA::APITableRow** row,
             ErrorCode* error);

}  // namespace front

#endif  // ORVA_FRONT_MODULE_TABLE_H
