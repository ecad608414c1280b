// Where the tests find the built programs and the source tree.
#pragma once

#include <string>

namespace testpaths {

std::string velmorant_binary();  // build/velmorant
std::string pmssim_binary();     // build/pmssim
std::string source_dir();        // the repository's top folder
std::string build_dir();         // the CMake build folder

}  // namespace testpaths
