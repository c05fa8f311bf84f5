// The figures a cell can show and where they turn degraded and bad.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "view/model.h"

namespace view {

enum class Metric { Loss, Delay, Jitter, Ooo, Dup, Ttl };
constexpr int METRIC_COUNT = 6;
constexpr std::array<Metric, METRIC_COUNT> ALL_METRICS{Metric::Loss, Metric::Delay, Metric::Jitter,
                                                       Metric::Ooo,  Metric::Dup,   Metric::Ttl};

const char* metric_name(Metric metric);  // "loss", "delay", ...
const char* metric_unit(Metric metric);  // "%", "ms", "hops"
std::optional<Metric> metric_from_name(const std::string& name);

// The metric's figure of a measurement, when the dump has it.
std::optional<double> metric_value(const Measurement& m, Metric metric);

enum class Level { Good, Degraded, Bad };

struct Limits {
    double degraded;
    double bad;
};

class Thresholds {
public:
    Thresholds();  // the documented defaults
    const Limits& operator[](Metric metric) const { return limits_[static_cast<size_t>(metric)]; }
    // Applies "METRIC=DEGRADED,BAD"; gives an error text when it is not one.
    std::optional<std::string> set(const std::string& setting);
    // Delay is judged by its absolute value: a negative delay only says the
    // sender's clock is ahead.
    Level level(Metric metric, double value) const;

private:
    std::array<Limits, METRIC_COUNT> limits_;
};

}  // namespace view
