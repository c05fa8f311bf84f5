// The matrix as a terminal table: rows receive, columns send.
#pragma once

#include <string>

#include "view/model.h"
#include "view/thresholds.h"

namespace view {

struct TableOptions {
    Metric metric = Metric::Loss;
    Channel channel = Channel::Asm;
    Thresholds thresholds;
    bool colour = false;
};

// No terminal shows more columns; the cells of a larger group are not even
// laid out.
constexpr size_t MAX_TABLE_BEACONS = MAX_SHOWN_BEACONS;

// Throws std::length_error beyond MAX_TABLE_BEACONS.
std::string render_table(const Model& model, const TableOptions& options);

// Text from the network made safe for a terminal: printable ASCII as it is,
// everything else as the &#N; escape the dump holds for it.
std::string terminal_text(const std::string& text);

}  // namespace view
