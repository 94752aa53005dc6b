#pragma once

#include <string>
#include <vector>

// A row of the tables that say where bytes are cut: a file into its lines,
// a line into its fields.
struct CutCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> pieces;
};
