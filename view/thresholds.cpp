#include "view/thresholds.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace view {

const char* metric_name(Metric metric) {
    static const char* const names[] = {"loss", "delay", "jitter", "ooo", "dup", "ttl"};
    return names[static_cast<size_t>(metric)];
}

const char* metric_unit(Metric metric) {
    static const char* const units[] = {"%", "ms", "ms", "%", "%", "hops"};
    return units[static_cast<size_t>(metric)];
}

std::optional<Metric> metric_from_name(const std::string& name) {
    for (Metric metric : ALL_METRICS)
        if (name == metric_name(metric)) return metric;
    return std::nullopt;
}

std::optional<double> metric_value(const Measurement& m, Metric metric) {
    switch (metric) {
        case Metric::Loss: return m.loss;
        case Metric::Delay: return m.delay;
        case Metric::Jitter: return m.jitter;
        case Metric::Ooo: return m.ooo;
        case Metric::Dup: return m.dup;
        case Metric::Ttl:
            if (m.ttl) return static_cast<double>(*m.ttl);
            return std::nullopt;
    }
    return std::nullopt;
}

Thresholds::Thresholds() : limits_{{{1, 5}, {100, 250}, {10, 30}, {1, 5}, {1, 5}, {16, 64}}} {}

namespace {
bool parse_number(const std::string& text, double& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    auto [stop, error] = std::from_chars(begin, end, value);
    return error == std::errc() && stop == end && begin != end && std::isfinite(value);
}
}  // namespace

std::optional<std::string> Thresholds::set(const std::string& setting) {
    size_t equals = setting.find('=');
    size_t comma = setting.find(',', equals == std::string::npos ? 0 : equals);
    if (equals == std::string::npos || comma == std::string::npos)
        return "--threshold wants METRIC=DEGRADED,BAD, not \"" + setting + "\"";
    std::optional<Metric> metric = metric_from_name(setting.substr(0, equals));
    if (!metric) return "--threshold: unknown metric \"" + setting.substr(0, equals) + "\"";
    Limits limits{};
    if (!parse_number(setting.substr(equals + 1, comma - equals - 1), limits.degraded) ||
        !parse_number(setting.substr(comma + 1), limits.bad) || limits.degraded < 0 || limits.bad < limits.degraded)
        return "--threshold: \"" + setting + "\" wants two numbers, 0 <= DEGRADED <= BAD";
    limits_[static_cast<size_t>(*metric)] = limits;
    return std::nullopt;
}

Level Thresholds::level(Metric metric, double value) const {
    const Limits& limits = (*this)[metric];
    if (metric == Metric::Delay) value = std::fabs(value);
    if (value >= limits.bad) return Level::Bad;
    if (value >= limits.degraded) return Level::Degraded;
    return Level::Good;
}

}  // namespace view
