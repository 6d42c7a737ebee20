// Results for people: one line per workload, and a table of several.
#pragma once

#include <iosfwd>
#include <string>

#include "workloads.hpp"

namespace bench {

std::string humanLine(const Json& result);

// Reads JSON lines (other lines are skipped) and prints one table row per result.
void printTable(std::istream& in, std::ostream& out);

// Reads JSON lines that name their server (--label) and prints, per kind of workload, one row per server: the
// median of its runs (the CPU range too) and its CPU per operation over that of the server labelled `base`.
void printComparison(std::istream& in, std::ostream& out, const std::string& base);

} // namespace bench
