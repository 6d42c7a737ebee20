// Results for people: one line per workload, and a table of several.
#pragma once

#include <iosfwd>
#include <string>

#include "workloads.hpp"

namespace bench {

std::string humanLine(const Json& result);

// Reads JSON lines (other lines are skipped) and prints one table row per result.
void printTable(std::istream& in, std::ostream& out);

} // namespace bench
