#include "tool/driver.h"

// Placeholder until the driver lands.
extern "C" int ferrycvt_run(int, char **) { return FERRYCVT_USAGE; }
