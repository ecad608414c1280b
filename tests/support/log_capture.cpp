// Sends the daemon's log lines, every level, to a file of the test's own.
#include "log_capture.h"

#include "logger.h"

namespace testutil {

log_capture::log_capture() { logger_init(dir_.file("test.log").c_str(), 5, 0, 0); }

log_capture::~log_capture() { logger_init(nullptr, 2, 0, 0); }

}  // namespace testutil
