#include "view/json_output.h"

namespace view {

namespace {
Json optional_text(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }
template <typename T>
Json optional_number(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}
}  // namespace

Json model_json(const Model& model) {
    Json root = Json::object();
    root["group"] = model.group;
    root["ssm_group"] = optional_text(model.ssm_group);
    root["interval"] = model.interval;
    root["local"] = model.local;
    Json& beacons = root["beacons"] = Json::array();
    for (const Beacon& beacon : model.beacons) {
        Json websites = Json::object();
        for (const auto& site : beacon.websites) websites[site.first] = site.second;
        beacons.push_back(Json{{"name", optional_text(beacon.name)},
                               {"address", beacon.address},
                               {"contact", optional_text(beacon.contact)},
                               {"country", optional_text(beacon.country)},
                               {"flags", beacon.flags},
                               {"websites", std::move(websites)}});
    }
    Json& measurements = root["measurements"] = Json::array();
    measurements.get_ref<Json::array_t&>().reserve(model.measurements.size());
    for (const Measurement& m : model.measurements) {
        measurements.push_back(Json{{"receiver", m.receiver},
                                    {"sender", m.sender},
                                    {"channel", channel_name(m.channel)},
                                    {"ttl", optional_number(m.ttl)},
                                    {"age_s", optional_number(m.age_s)},
                                    {"loss_percent", optional_number(m.loss)},
                                    {"delay_ms", optional_number(m.delay)},
                                    {"jitter_ms", optional_number(m.jitter)},
                                    {"ooo_percent", optional_number(m.ooo)},
                                    {"dup_percent", optional_number(m.dup)}});
    }
    return root;
}

std::string json_text(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json status_json(const Status& status) {
    Json thresholds = Json::object();
    for (Metric metric : ALL_METRICS)
        thresholds[metric_name(metric)] = Json::array({status.thresholds[metric].degraded, status.thresholds[metric].bad});
    return Json{{"generated", status.generated},
                {"dump_modified", optional_number(status.dump_modified)},
                {"dump_age_s", optional_number(status.dump_age_s)},
                {"dump_interval_s", status.dump_interval_s},
                {"error", optional_text(status.error)},
                {"thresholds", std::move(thresholds)}};
}

std::string with_status(const std::string& model_text, const Status& status) {
    std::string out = model_text;
    if (!out.empty() && out.back() == '}') out.pop_back();
    out += out.size() > 1 ? ",\"status\":" : "\"status\":";
    out += json_text(status_json(status));
    out += '}';
    return out;
}

}  // namespace view
