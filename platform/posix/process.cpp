#include "platform/process.h"

#include <cstdlib>

extern "C" const char *plat_getenv(const char *name) { return std::getenv(name); }

extern "C" bool plat_setenv(const char *name, const char *value) {
  return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}
