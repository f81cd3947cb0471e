#include "platform/process.h"

#include <cstdlib>
#include <string>

extern "C" const char *plat_getenv(const char *name) { return std::getenv(name); }

extern "C" bool plat_setenv(const char *name, const char *value) {
  // _putenv with "NAME=" removes the variable.
  std::string entry = std::string(name) + "=" + (value ? value : "");
  return _putenv(entry.c_str()) == 0;
}
