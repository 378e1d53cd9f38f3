#pragma once
// The records one map file adds to a collection. A file that fails keeps
// nothing of what it added: `fail` takes the file's records out again and
// names the file and the reason in the error.

#include <cstddef>
#include <string>
#include <vector>

#include "generator/features.h"

struct file_records {
  std::vector<city_feature>& records;
  size_t                     first = records.size();

  size_t count() const { return records.size() - first; }

  // Always false; `error` becomes `path` + `reason`.
  bool fail(std::string& error, const std::string& path, const char* reason) {
    records.erase(records.begin() + (std::ptrdiff_t)first, records.end());
    error = path + reason;
    return false;
  }
};
