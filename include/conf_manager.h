// The package's JSON configuration file (the daemon's settings): read, change single top-level
// entries, write back.
#ifndef LUMIDEX_CONF_MANAGER_H
#define LUMIDEX_CONF_MANAGER_H

#include <json/value.h>

class ConfManager {
 public:
  ConfManager();
  ~ConfManager();

  // Reads the file into the document. False when the file cannot be read, is not valid JSON or
  // its top level is not an object; the document is then unchanged.
  bool JsonConfParse();
  // Writes the document to a temporary file beside the configuration file and renames it over
  // the old one. False when any write fails; the old file is then left as it was.
  bool JsonConfDump();
  // A copy of the member `key`; an absent member is added with null first.
  Json::Value JsonGet(const char* key);
  // Sets the member `key` to a copy of `value`, adding it when absent.
  void JsonSet(const Json::Value& value, const char* key);

 private:
  Json::Value _jsonConf;
};

#endif  // LUMIDEX_CONF_MANAGER_H
