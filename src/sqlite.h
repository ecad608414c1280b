// The SQLite driver: statements on an SQLite file, their rows copied into memory as they run.
#pragma once

#include <memory>
#include <string_view>

#include "dbdriver.h"

// A new, unconnected SQLite driver named `name` (cut to 15 characters), with port 0 and the
// formats "%Y-%m-%d" / "%H:%M:%S"; the first user connects it.
std::unique_ptr<dbdriver_t> sqlite_create_drv(std::string_view name);

// Whether an SQLite result code (primary or extended) is a failure that passes: another
// connection holds the file, the disk is full or failing, the file cannot be opened, a stop
// interrupted the statement. Anything else (a syntax error, a constraint) fails the same way
// every time. The driver and the internal store both answer kDbUnavailable for these.
bool sq_unavailable(int code);
