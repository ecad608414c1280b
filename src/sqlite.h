// The SQLite driver: statements on an SQLite file, their rows copied into memory as they run.
#pragma once

#include <memory>
#include <string_view>

#include "dbdriver.h"

// A new, unconnected SQLite driver named `name` (cut to 15 characters), with port 0 and the
// formats "%Y-%m-%d" / "%H:%M:%S"; the first user connects it.
std::unique_ptr<dbdriver_t> sqlite_create_drv(std::string_view name);
