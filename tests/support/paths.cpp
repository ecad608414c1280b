// Paths of the built programs, fixed by the build system at compile time.
#include "paths.h"

namespace testpaths {

std::string velmorant_binary() { return VELMORANT_BINARY; }
std::string pmssim_binary() { return PMSSIM_BINARY; }
std::string source_dir() { return SOURCE_DIR; }
std::string build_dir() { return BUILD_DIR; }

}  // namespace testpaths
