// Standard output to /dev/null while an object lives: the daemon traces every statement there,
// which would drown a benchmark's report.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "fdutils.h"

namespace testutil {

class quiet_stdout {
 public:
  quiet_stdout() : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    unique_fd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    ::dup2(null.get(), STDOUT_FILENO);
  }
  ~quiet_stdout() {
    std::fflush(stdout);
    ::dup2(saved_.get(), STDOUT_FILENO);
  }
  quiet_stdout(const quiet_stdout&) = delete;
  quiet_stdout& operator=(const quiet_stdout&) = delete;

 private:
  unique_fd saved_;
};

}  // namespace testutil
