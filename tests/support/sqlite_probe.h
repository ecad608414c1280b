// Direct access to SQLite files for tests, through the SQLite library rather than the driver.
#pragma once

#include <string>
#include <vector>

namespace testutil {

using rows_t = std::vector<std::vector<std::string>>;

// Runs `sql` on the file (creating it when missing); throws on failure. SQL NULL reads "NULL".
rows_t sqlite_rows(const std::string& path, const std::string& sql);
void sqlite_exec(const std::string& path, const std::string& sql);

}  // namespace testutil
