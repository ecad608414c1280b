// The configuration check (velmorant -t): a configuration tried before it goes live.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Checks the configuration file `filename` without starting anything of the daemon: loads it as
// the daemon does (which connects every database section), compiles every template of
// [services] with sample values on its database without running it, checks that each poll
// query has the columns the poller reads, and looks for keys and sections the daemon does not
// read, services naming no database section, and text placeholders outside single quotes.
// One line per problem, each beginning with the key or section it concerns; none when the
// configuration is sound. Connects to nothing but the databases, takes no lock of the daemon's
// and leaves the states file alone, so it is safe beside the live service.
std::vector<std::string> check_conf(const std::string& filename);

// The last line of the check: "configuration ok", or the count of problems.
std::string check_summary(size_t problems);
