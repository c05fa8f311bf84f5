// Files replaced whole: readers see the old file or the new one, never part.
#pragma once

#include <string>

namespace view {

// Writes content under a temporary name in path's directory, then renames
// it over path.  Gives an error text ("PATH: reason"), empty on success.
std::string write_atomically(const std::string& path, const std::string& content);

}  // namespace view
