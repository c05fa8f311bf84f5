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

std::string render_table(const Model& model, const TableOptions& options);

// Text from the network made safe for a terminal: printable ASCII as it is,
// everything else as the &#N; escape the dump holds for it.
std::string terminal_text(const std::string& text);

}  // namespace view
