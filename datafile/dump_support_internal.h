#pragma once
// What every record and matrix dump printer shares.

#include <cstdio>

#include "base/console.h"

namespace ferry {

// A missing record prints "NULL" and nothing else; true when it was missing.
inline bool print_null_if_missing(FILE *stream, const void *record) {
  if (record)
    return false;
  u_msg_file(stream, "NULL\n");
  return true;
}

} // namespace ferry
