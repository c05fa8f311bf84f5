// Reading UTF-8 one sequence at a time, for outputs that must not pass on
// bytes a dump may hold but a terminal or Prometheus must not get.
#pragma once

#include <cstddef>
#include <string>

namespace view {

// Length of the valid UTF-8 sequence at text[i] (1 to 4) with its code
// point in *code; 0 when the bytes there are no valid sequence.
size_t utf8_sequence(const std::string& text, size_t i, unsigned long* code);

}  // namespace view
