// Direct access to SQLite files for tests, through the SQLite library rather than the driver.
#pragma once

#include <string>
#include <vector>

namespace testutil {

using rows_t = std::vector<std::vector<std::string>>;

// Runs `sql` on the file (creating it when missing); throws on failure. SQL NULL reads "NULL".
rows_t sqlite_rows(const std::string& path, const std::string& sql);
void sqlite_exec(const std::string& path, const std::string& sql);

// The path of this test program's internal store, opened on first use. The store stays on the
// file it was first opened on, so one store serves the whole program.
const std::string& shared_store();

}  // namespace testutil
