// Sends the daemon's log lines, every level, to a file of the test's own.
#pragma once

#include <string>

#include "testutil.h"

namespace testutil {

class log_capture {
 public:
  log_capture();
  ~log_capture();  // back to standard error, warnings and errors only
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  std::string text() const { return read_file(dir_.file("test.log")); }
  bool contains(const std::string& needle) const {
    return text().find(needle) != std::string::npos;
  }

 private:
  temp_dir dir_;
};

}  // namespace testutil
