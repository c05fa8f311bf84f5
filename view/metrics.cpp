#include "view/metrics.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <map>
#include <utility>

#include "view/utf8.h"

namespace view {

namespace {

// A figure rounded to the decimals it has, so that the shortest text of the
// double is that of the decimal (0.000225, not 0.00022500000000000002).
double at_decimals(double value, int decimals) {
    double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

// Fixed notation: a timestamp reads 1700000000, not 1.7e+09.
void append_value(std::string& out, double value) {
    char text[400];
    auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    out.append(text, result.ptr);
}

class Family {
public:
    Family(std::string& out, const char* name, const char* type, const char* help) : out_(out), name_(name) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    // labels: the text between the braces, already escaped; may be empty.
    void sample(const std::string& labels, double value) {
        out_ += name_;
        if (!labels.empty()) {
            out_ += '{';
            out_ += labels;
            out_ += '}';
        }
        out_ += ' ';
        append_value(out_, value);
        out_ += '\n';
    }

private:
    std::string& out_;
    const char* name_;
};

std::string label(const char* name, const std::string& escaped_value) {
    return std::string(name) + "=\"" + escaped_value + "\"";
}

}  // namespace

std::string label_value(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            unsigned long code;
            size_t length = utf8_sequence(text, i, &code);
            if (length == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD
                ++i;
                continue;
            }
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out;
}

std::string render_metrics(const MetricsInput& input) {
    std::string out;
    render_metrics(input, out);
    return out;
}

void render_metrics(const MetricsInput& input, std::string& out) {
    const Model& model = *input.model;
    const size_t n = model.beacons.size();
    std::vector<std::string> names(n), identities(n);
    for (size_t i = 0; i < n; ++i) {
        names[i] = label_value(model.beacons[i].label());
        identities[i] = label_value(model.beacons[i].identity());
    }

    // The beacon that stands for an identity: the local beacon for its own,
    // else the one with the freshest figures (as sender or receiver), the
    // first on a tie.
    std::vector<long> freshness(n, std::numeric_limits<long>::max());
    for (const Measurement& m : model.measurements) {
        if (!m.age_s || model.stale(m)) continue;
        for (int beacon : {m.receiver, m.sender})
            freshness[static_cast<size_t>(beacon)] = std::min(freshness[static_cast<size_t>(beacon)], *m.age_s);
    }
    if (static_cast<size_t>(model.local) < n) freshness[static_cast<size_t>(model.local)] = -1;
    std::map<std::string, size_t> representative;
    for (size_t i = 0; i < n; ++i) {
        auto [at, added] = representative.emplace(identities[i], i);
        if (!added && freshness[i] < freshness[at->second]) at->second = i;
    }

    // The label set of every exported measurement, built once for the
    // seven families that use it; one per receiver, sender and channel
    // identity, the freshest.
    struct Exported {
        const Measurement* m;
        std::string labels;
    };
    std::vector<Exported> exported;
    std::map<std::string, size_t> series;
    for (const Measurement& m : model.measurements) {
        if (!input.all && m.receiver != model.local) continue;
        if (model.stale(m)) continue;  // a silent pair disappears instead of freezing
        size_t r = static_cast<size_t>(m.receiver), s = static_cast<size_t>(m.sender);
        if (identities[r] == identities[s]) continue;
        std::string key = identities[r] + '\n' + identities[s] + '\n' + channel_name(m.channel);
        std::string labels;
        labels.reserve(names[r].size() + names[s].size() + identities[r].size() + identities[s].size() + 80);
        labels += "receiver=\"" + names[r] + "\",sender=\"" + names[s] + "\",receiver_address=\"" + identities[r] +
                  "\",sender_address=\"" + identities[s] + "\",channel=\"" + channel_name(m.channel) + "\"";
        auto [at, added] = series.emplace(std::move(key), exported.size());
        if (added)
            exported.push_back({&m, std::move(labels)});
        else if (m.age_s && (!exported[at->second].m->age_s || *m.age_s < *exported[at->second].m->age_s))
            exported[at->second] = {&m, std::move(labels)};
    }

    out.clear();
    size_t label_bytes = 0;
    for (const Exported& e : exported) label_bytes += e.labels.size();
    out.reserve(4096 + n * 400 + 7 * (label_bytes + exported.size() * 50) + input.pairs->size() * 300);

    // Each figure at the dump's own precision, in the base unit.
    struct Figure {
        const char* name;
        const char* help;
        double divisor;
        int decimals;
        std::optional<double> (*get)(const Model&, const Measurement&);
    };
    static const Figure figures[] = {
        {"quillon_loss_ratio", "Share of the sender's probes this receiver lost.", 100, 4,
         [](const Model&, const Measurement& m) { return m.loss; }},
        {"quillon_delay_seconds", "One-way delay; negative when the sender's clock is ahead of the receiver's.", 1000,
         6, [](const Model&, const Measurement& m) { return m.delay; }},
        {"quillon_jitter_seconds", "Delay variation of the sender's probes.", 1000, 6,
         [](const Model&, const Measurement& m) { return m.jitter; }},
        {"quillon_reorder_ratio", "Share of the sender's probes that arrived out of order.", 100, 5,
         [](const Model&, const Measurement& m) { return m.ooo; }},
        {"quillon_duplicate_ratio", "Duplicated probes per probe of the sender (up to 10).", 100, 5,
         [](const Model&, const Measurement& m) { return m.dup; }},
        {"quillon_hops", "Routers between sender and receiver (where the datagrams tell).", 1, 0,
         [](const Model&, const Measurement& m) { return m.ttl ? std::optional<double>(*m.ttl) : std::nullopt; }},
        {"quillon_figures_timestamp_seconds", "When the receiver last updated these figures (Unix time).", 1, 0,
         [](const Model& model, const Measurement& m) {
             std::optional<std::time_t> t = model.figure_time(m);
             return t ? std::optional<double>(double(*t)) : std::nullopt;
         }},
    };
    for (const Figure& figure : figures) {
        Family family(out, figure.name, "gauge", figure.help);
        for (const Exported& e : exported)
            if (std::optional<double> value = figure.get(model, *e.m))
                family.sample(e.labels, at_decimals(*value / figure.divisor, figure.decimals));
    }

    // Every exporter of a mesh names a pair the same way, whatever the order
    // of its own dump: a is the beacon with the lower address.
    auto swapped = [&](const Pair& pair) {
        return identities[static_cast<size_t>(pair.a)] > identities[static_cast<size_t>(pair.b)];
    };
    auto pair_labels = [&](const Pair& pair) {
        size_t a = static_cast<size_t>(pair.a), b = static_cast<size_t>(pair.b);
        if (swapped(pair)) std::swap(a, b);
        return "a=\"" + names[a] + "\",b=\"" + names[b] + "\",a_address=\"" + identities[a] + "\",b_address=\"" +
               identities[b] + "\",channel=\"" + channel_name(pair.channel) + "\"";
    };
    std::vector<const Pair*> pairs;
    std::map<std::string, size_t> pair_series;
    for (const Pair& pair : *input.pairs) {
        if (pair.stale || !(input.all || pair.a == model.local || pair.b == model.local)) continue;
        const std::string& a = identities[static_cast<size_t>(pair.a)];
        const std::string& b = identities[static_cast<size_t>(pair.b)];
        if (a == b) continue;
        std::string key = std::min(a, b) + '\n' + std::max(a, b) + '\n' + channel_name(pair.channel);
        auto [at, added] = pair_series.emplace(std::move(key), pairs.size());
        if (added)
            pairs.push_back(&pair);
        else if (pair.age_s < pairs[at->second]->age_s)
            pairs[at->second] = &pair;
    }
    {
        Family family(out, "quillon_pair_round_trip_seconds",
                      "gauge", "Sum of the one-way delays of both directions: independent of either clock.");
        for (const Pair* pair : pairs) family.sample(pair_labels(*pair), at_decimals(*pair->round_trip_ms / 1000, 7));
    }
    {
        Family family(out, "quillon_pair_clock_offset_seconds", "gauge",
                      "Half the difference of the one-way delays: b's clock ahead of a's when positive, exact on a "
                      "symmetric path; a is the beacon with the lower address.");
        for (const Pair* pair : pairs)
            family.sample(pair_labels(*pair), at_decimals((swapped(*pair) ? -1 : 1) * *pair->clock_offset_ms / 1000, 7));
    }
    auto beacon_labels = [&](size_t i) { return label("beacon", names[i]) + "," + label("address", identities[i]); };
    {
        Family family(out, "quillon_beacon_clock_suspect", "gauge",
                      "1 when the beacon's clock is off by more than the threshold from most of the peers it has "
                      "figures with.");
        std::vector<bool> suspect(n, false);
        for (int i : *input.clock_suspects) suspect[static_cast<size_t>(i)] = true;
        for (const auto& entry : representative)
            family.sample(beacon_labels(entry.second), suspect[entry.second] ? 1 : 0);
    }
    {
        Family family(out, "quillon_beacon_info", "gauge", "Identity of a beacon in the dump.");
        // Every beacon of the dump in both scopes: a dashboard or an alert
        // can name the beacons of a row from any one exporter.
        for (const auto& entry : representative) {
            const Beacon& beacon = model.beacons[entry.second];
            family.sample(beacon_labels(entry.second) + "," +
                              label("contact", label_value(beacon.contact.value_or(""))) + "," +
                              label("country", label_value(beacon.country.value_or(""))) + "," +
                              label("ssm", beacon.has_flag("SSM") ? "true" : "false") + "," +
                              label("ssmping", beacon.has_flag("SSMPing") ? "true" : "false"),
                          1);
        }
    }
    Family(out, "quillon_beacons", "gauge", "Beacons in the dump (one per address).")
        .sample("", static_cast<double>(representative.size()));
    if (model.written)
        Family(out, "quillon_dump_timestamp_seconds", "gauge", "When the beacon wrote the dump file (Unix time).")
            .sample("", static_cast<double>(*model.written));
    if (input.dump_interval_s)
        Family(out, "quillon_dump_interval_seconds", "gauge", "How often the beacon rewrites its dump file.")
            .sample("", *input.dump_interval_s);
    if (input.dump_overdue_after_s)
        Family(out, "quillon_dump_overdue_after_seconds", "gauge",
               "Age from which the dump is overdue: the beacon stopped writing it.")
            .sample("", *input.dump_overdue_after_s);
    Family(out, "quillon_dump_read_errors_total", "counter", "Reads of the dump file that failed.")
        .sample("", static_cast<double>(input.read_errors));
    if (model.rx_rate)
        Family(out, "quillon_receive_bytes_per_second", "gauge", "Beacon traffic the local beacon received.")
            .sample("", at_decimals(*model.rx_rate * 1000 / 8, 2));
    if (model.tx_rate)
        Family(out, "quillon_send_bytes_per_second", "gauge", "Beacon traffic the local beacon sent.")
            .sample("", at_decimals(*model.tx_rate * 1000 / 8, 2));
    Family(out, "quillon_build_info", "gauge", "The exporter's version.")
        .sample(label("version", label_value(input.version)), 1);
}

}  // namespace view
