#include <cstdlib>

#include "tool/ferryinfo/ferryinfo.h"

int main(int argc, char **argv) {
  std::exit(ferryinfo_run(argc, argv));
}
