#include <cstdlib>

#include "tool/driver.h"

int main(int argc, char **argv) { std::exit(ferrycvt_run(argc, argv)); }
