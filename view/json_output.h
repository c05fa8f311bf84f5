// The model as JSON: what `json` prints, /matrix.json serves and the page
// embeds.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "view/model.h"
#include "view/pairs.h"
#include "view/thresholds.h"

namespace view {

using Json = nlohmann::ordered_json;

// The model as one line of JSON.  Written directly rather than through a
// document tree: a 150-beacon matrix has 45 000 measurements.
// With the pairs of beacons and the clock-suspect ones (offset above
// clock_threshold_ms to most peers).
std::string model_json(const Model& model, double clock_threshold_ms = 10);
std::string model_json(const Model& model, const std::vector<Pair>& pairs, const std::vector<int>& clock_suspects);
// One line of JSON; bytes that are not UTF-8 become U+FFFD.
std::string json_text(const Json& json);
// A text as a JSON string, quotes included.
std::string json_string(const std::string& text);
// A number as JSON: the shortest text that reads back as the same double.
void append_json_number(std::string& out, double value);

// How fresh the data is, for the page and /matrix.json.
struct Status {
    std::time_t generated = 0;
    std::optional<std::time_t> dump_modified;
    std::optional<double> dump_age_s;
    std::optional<double> dump_interval_s;  // given, or learnt from the rewrites; empty until known
    // The dump is overdue when older than three rewrite intervals.
    static constexpr double OVERDUE_INTERVALS = 3;
    std::optional<double> dump_overdue_after_s() const {
        if (!dump_interval_s) return std::nullopt;
        return OVERDUE_INTERVALS * *dump_interval_s;
    }
    std::optional<std::string> error;  // why the last read failed; the model shown is the last good one
    Thresholds thresholds;
};
Json status_json(const Status& status);
// The model's JSON text (an object) with "status" added as its last key.
std::string with_status(const std::string& model_text, const Status& status);
// The same into out, which keeps its capacity.
void with_status(const std::string& model_text, const Status& status, std::string& out);

}  // namespace view
