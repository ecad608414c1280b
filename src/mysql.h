// The MySQL driver: statements on a MySQL or MariaDB server, rows read from it one at a time.
#pragma once

#include <memory>
#include <string_view>

#include "dbdriver.h"

// A new, unconnected MySQL driver named `name` (cut to 15 characters), with port 3306 and the
// formats "%Y-%m-%d" / "%H:%M:%S". Its connections also read the option group "velmorant" of the
// MySQL option files.
std::unique_ptr<dbdriver_t> mysql_create_drv(std::string_view name);
