#include "view/json_output.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace view {

namespace {
Json optional_text(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }
template <typename T>
Json optional_number(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}
}  // namespace

std::string json_string(const std::string& text) { return json_text(Json(text)); }

void append_json_number(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    std::string_view written(text, static_cast<size_t>(result.ptr - text));
    out += written;
    // Whole numbers keep a fraction, as the dump's figures have one.
    if (written.find_first_of(".e") == std::string_view::npos) out += ".0";
}

namespace {

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    // A member's name, after a comma unless it is the object's first.
    void key(const char* name) {
        if (out_.back() != '{') out_ += ',';
        out_ += '"';
        out_ += name;
        out_ += "\":";
    }
    void text(const std::optional<std::string>& value) { out_ += value ? json_string(*value) : "null"; }
    void number(const std::optional<double>& value) {
        if (value)
            append_json_number(out_, *value);
        else
            out_ += "null";
    }
    void integer(long long value) {
        char digits[24];
        auto result = std::to_chars(digits, digits + sizeof digits, value);
        out_.append(digits, result.ptr);
    }
    template <typename T>
    void integer(const std::optional<T>& value) {
        if (value)
            integer(static_cast<long long>(*value));
        else
            out_ += "null";
    }
    void raw(const char* text) { out_ += text; }
    void raw(char c) { out_ += c; }

private:
    std::string& out_;
};

}  // namespace

std::string model_json(const Model& model, double clock_threshold_ms) {
    std::vector<Pair> pairs = find_pairs(model);
    return model_json(model, pairs, clock_suspects(model, pairs, clock_threshold_ms));
}

std::string model_json(const Model& model, const std::vector<Pair>& pairs, const std::vector<int>& suspects) {
    std::string out;
    out.reserve(256 + model.beacons.size() * 256 + model.measurements.size() * 200);
    Writer w(out);
    w.raw("{");
    w.key("group");
    w.text(model.group);
    w.key("ssm_group");
    w.text(model.ssm_group);
    w.key("interval");
    w.number(model.interval);
    w.key("local");
    w.integer(model.local);
    w.key("stale_after_s");
    w.number(model.stale_after_s());
    w.key("beacons");
    w.raw('[');
    for (size_t i = 0; i < model.beacons.size(); ++i) {
        const Beacon& beacon = model.beacons[i];
        if (i) w.raw(',');
        w.raw('{');
        w.key("name");
        w.text(beacon.name);
        w.key("address");
        w.text(beacon.address);
        w.key("identity");
        w.text(beacon.identity());
        w.key("contact");
        w.text(beacon.contact);
        w.key("country");
        w.text(beacon.country);
        w.key("flags");
        out += json_text(Json(beacon.flags));
        w.key("websites");
        Json websites = Json::object();
        for (const auto& site : beacon.websites) websites[site.first] = site.second;
        out += json_text(websites);
        w.raw('}');
    }
    w.raw(']');
    w.key("measurements");
    w.raw('[');
    for (size_t i = 0; i < model.measurements.size(); ++i) {
        const Measurement& m = model.measurements[i];
        if (i) w.raw(',');
        w.raw("{\"receiver\":");
        w.integer(m.receiver);
        w.raw(",\"sender\":");
        w.integer(m.sender);
        w.raw(m.channel == Channel::Asm ? ",\"channel\":\"asm\",\"ttl\":" : ",\"channel\":\"ssm\",\"ttl\":");
        w.integer(m.ttl);
        w.raw(",\"age_s\":");
        w.integer(m.age_s);
        w.raw(",\"loss_percent\":");
        w.number(m.loss);
        w.raw(",\"delay_ms\":");
        w.number(m.delay);
        w.raw(",\"jitter_ms\":");
        w.number(m.jitter);
        w.raw(",\"ooo_percent\":");
        w.number(m.ooo);
        w.raw(",\"dup_percent\":");
        w.number(m.dup);
        if (m.dup_beyond) w.raw(",\"dup_beyond\":true");
        w.raw(model.stale(m) ? ",\"stale\":true}" : ",\"stale\":false}");
    }
    w.raw(']');
    w.key("pairs");
    w.raw('[');
    for (size_t i = 0; i < pairs.size(); ++i) {
        const Pair& pair = pairs[i];
        if (i) w.raw(',');
        w.raw("{\"a\":");
        w.integer(pair.a);
        w.raw(",\"b\":");
        w.integer(pair.b);
        w.raw(pair.channel == Channel::Asm ? ",\"channel\":\"asm\",\"round_trip_ms\":"
                                           : ",\"channel\":\"ssm\",\"round_trip_ms\":");
        w.number(pair.round_trip_ms);
        w.raw(",\"clock_offset_ms\":");
        w.number(pair.clock_offset_ms);
        w.raw(pair.stale ? ",\"stale\":true}" : ",\"stale\":false}");
    }
    w.raw(']');
    w.key("clock_suspect");
    w.raw('[');
    for (size_t i = 0; i < suspects.size(); ++i) {
        if (i) w.raw(',');
        w.integer(suspects[i]);
    }
    w.raw("]}");
    return out;
}

std::string json_text(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json status_json(const Status& status) {
    Json thresholds = Json::object();
    for (Metric metric : ALL_METRICS)
        thresholds[metric_name(metric)] = Json::array({status.thresholds[metric].degraded, status.thresholds[metric].bad});
    return Json{{"generated", status.generated},
                {"dump_modified", optional_number(status.dump_modified)},
                {"dump_age_s", optional_number(status.dump_age_s)},
                {"dump_interval_s", optional_number(status.dump_interval_s)},
                {"dump_overdue_after_s", optional_number(status.dump_overdue_after_s())},
                {"error", optional_text(status.error)},
                {"thresholds", std::move(thresholds)}};
}

std::string with_status(const std::string& model_text, const Status& status) {
    std::string out;
    with_status(model_text, status, out);
    return out;
}

void with_status(const std::string& model_text, const Status& status, std::string& out) {
    out.assign(model_text);
    if (!out.empty() && out.back() == '}') out.pop_back();
    out += out.size() > 1 ? ",\"status\":" : "\"status\":";
    out += json_text(status_json(status));
    out += '}';
}

}  // namespace view
