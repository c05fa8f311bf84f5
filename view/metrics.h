// /metrics: the model in Prometheus' text format (version 0.0.4), built
// afresh for every scrape.
//
// A beacon is labelled by its name and by its identity (the address
// without the port, which is new at every start): receiver, sender and
// receiver_address, sender_address on figures; a, b, a_address, b_address
// on pairs; beacon and address on what is of one beacon.  One series per
// identity: of two beacons on one address the freshest figures win.  Stale
// figures are left out, and times are Unix timestamps, not ages.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "view/model.h"
#include "view/pairs.h"

namespace view {

struct MetricsInput {
    const Model* model = nullptr;
    const std::vector<Pair>* pairs = nullptr;
    const std::vector<int>* clock_suspects = nullptr;
    bool all = false;  // every receiver's measurements, not only the local beacon's
    std::optional<double> dump_interval_s;  // how often the beacon rewrites its dump, when known
    std::optional<double> dump_overdue_after_s;
    unsigned long read_errors = 0;
    std::string version;
};

// Replaces out's text with the metrics; out keeps its capacity, so a
// buffer used again is not faulted in again (a 150-beacon --all scrape is
// some 60 MB).
void render_metrics(const MetricsInput& input, std::string& out);
std::string render_metrics(const MetricsInput& input);

// A label value as the text format wants it: backslash, double quote and
// line feed escaped, bytes that are not UTF-8 replaced.
std::string label_value(const std::string& text);

}  // namespace view
