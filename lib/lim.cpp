// System limits, with fixed fallbacks for systems that state none.
#include "lim.h"

#include <unistd.h>

long limit_path() {
  long n = pathconf("/", _PC_PATH_MAX);
  return n <= 0 ? 4096 : n + 2;
}

long limit_open() {
  long n = sysconf(_SC_OPEN_MAX);
  return n <= 0 ? 1024 : n;
}
