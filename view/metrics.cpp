#include "view/metrics.h"

#include <charconv>
#include <utility>

#include "view/utf8.h"

namespace view {

namespace {

void append_value(std::string& out, double value) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
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
    std::vector<std::string> names(n), addresses(n);
    for (size_t i = 0; i < n; ++i) {
        names[i] = label_value(model.beacons[i].label());
        addresses[i] = label_value(model.beacons[i].address);
    }

    // The label set of every exported measurement, built once for the
    // seven families that use it.
    struct Exported {
        const Measurement* m;
        std::string labels;
    };
    std::vector<Exported> exported;
    for (const Measurement& m : model.measurements) {
        if (!input.all && m.receiver != model.local) continue;
        if (model.stale(m)) continue;  // a silent pair disappears instead of freezing
        size_t r = static_cast<size_t>(m.receiver), s = static_cast<size_t>(m.sender);
        std::string labels;
        labels.reserve(names[r].size() + names[s].size() + addresses[r].size() + addresses[s].size() + 80);
        labels += "receiver=\"" + names[r] + "\",sender=\"" + names[s] + "\",receiver_address=\"" + addresses[r] +
                  "\",sender_address=\"" + addresses[s] + "\",channel=\"" + channel_name(m.channel) + "\"";
        exported.push_back({&m, std::move(labels)});
    }

    out.clear();
    size_t label_bytes = 0;
    for (const Exported& e : exported) label_bytes += e.labels.size();
    out.reserve(4096 + n * 400 + 7 * (label_bytes + exported.size() * 50) + input.pairs->size() * 300);

    struct Figure {
        const char* name;
        const char* help;
        double divisor;
        std::optional<double> (*get)(const Measurement&);
    };
    static const Figure figures[] = {
        {"quillon_loss_ratio", "Share of the sender's probes this receiver lost.", 100,
         [](const Measurement& m) { return m.loss; }},
        {"quillon_delay_seconds", "One-way delay; negative when the sender's clock is ahead of the receiver's.", 1000,
         [](const Measurement& m) { return m.delay; }},
        {"quillon_jitter_seconds", "Delay variation of the sender's probes.", 1000,
         [](const Measurement& m) { return m.jitter; }},
        {"quillon_reorder_ratio", "Share of the sender's probes that arrived out of order.", 100,
         [](const Measurement& m) { return m.ooo; }},
        {"quillon_duplicate_ratio", "Share of the sender's probes that arrived more than once.", 100,
         [](const Measurement& m) { return m.dup; }},
        {"quillon_hops", "Routers between sender and receiver (where the dump has them).", 1,
         [](const Measurement& m) { return m.ttl ? std::optional<double>(*m.ttl) : std::nullopt; }},
        {"quillon_figures_age_seconds", "Time since the receiver last updated these figures.", 1,
         [](const Measurement& m) { return m.age_s ? std::optional<double>(double(*m.age_s)) : std::nullopt; }},
    };
    for (const Figure& figure : figures) {
        Family family(out, figure.name, "gauge", figure.help);
        for (const Exported& e : exported)
            if (std::optional<double> value = figure.get(*e.m)) family.sample(e.labels, *value / figure.divisor);
    }

    // Every exporter of a mesh names a pair the same way, whatever the order
    // of its own dump: a is the beacon with the lower address text.
    auto swapped = [&](const Pair& pair) {
        return model.beacons[static_cast<size_t>(pair.a)].address > model.beacons[static_cast<size_t>(pair.b)].address;
    };
    auto pair_labels = [&](const Pair& pair) {
        size_t a = static_cast<size_t>(pair.a), b = static_cast<size_t>(pair.b);
        if (swapped(pair)) std::swap(a, b);
        return "a=\"" + names[a] + "\",b=\"" + names[b] + "\",a_address=\"" + addresses[a] + "\",b_address=\"" +
               addresses[b] + "\",channel=\"" + channel_name(pair.channel) + "\"";
    };
    std::vector<const Pair*> pairs;
    for (const Pair& pair : *input.pairs)
        if (!pair.stale && (input.all || pair.a == model.local || pair.b == model.local)) pairs.push_back(&pair);
    {
        Family family(out, "quillon_pair_round_trip_seconds",
                      "gauge", "Sum of the one-way delays of both directions: independent of either clock.");
        for (const Pair* pair : pairs) family.sample(pair_labels(*pair), pair->round_trip_ms / 1000);
    }
    {
        Family family(out, "quillon_pair_clock_offset_seconds", "gauge",
                      "Half the difference of the one-way delays: b's clock ahead of a's when positive, exact on a "
                      "symmetric path; a is the beacon with the lower address.");
        for (const Pair* pair : pairs) family.sample(pair_labels(*pair), (swapped(*pair) ? -1 : 1) * pair->clock_offset_ms / 1000);
    }
    {
        Family family(out, "quillon_beacon_clock_suspect", "gauge",
                      "1 when the beacon's clock is off from most of its peers' or its probes arrive from the future.");
        std::vector<bool> suspect(n, false);
        for (int i : *input.clock_suspects) suspect[static_cast<size_t>(i)] = true;
        for (size_t i = 0; i < n; ++i)
            family.sample(label("beacon", names[i]) + "," + label("address", addresses[i]), suspect[i] ? 1 : 0);
    }
    {
        Family family(out, "quillon_beacon_info", "gauge", "Identity of a beacon in the dump.");
        // Every beacon of the dump in both scopes: a dashboard or an alert
        // can name the beacons of a row from any one exporter.
        for (size_t i = 0; i < n; ++i) {
            const Beacon& beacon = model.beacons[i];
            family.sample(label("name", names[i]) + "," + label("address", addresses[i]) + "," +
                              label("contact", label_value(beacon.contact.value_or(""))) + "," +
                              label("country", label_value(beacon.country.value_or(""))) + "," +
                              label("ssm", beacon.has_flag("SSM") ? "true" : "false") + "," +
                              label("ssmping", beacon.has_flag("SSMPing") ? "true" : "false"),
                          1);
        }
    }
    Family(out, "quillon_beacons", "gauge", "Beacons in the dump.").sample("", static_cast<double>(n));
    if (input.read_state) render_read_metrics(input, out);
    if (model.rx_rate)
        Family(out, "quillon_receive_bytes_per_second", "gauge", "Beacon traffic the local beacon received.")
            .sample("", *model.rx_rate * 1000 / 8);
    if (model.tx_rate)
        Family(out, "quillon_send_bytes_per_second", "gauge", "Beacon traffic the local beacon sent.")
            .sample("", *model.tx_rate * 1000 / 8);
    Family(out, "quillon_build_info", "gauge", "The exporter's version.")
        .sample(label("version", label_value(input.version)), 1);
}

void render_read_metrics(const MetricsInput& input, std::string& out) {
    if (input.dump_age_s)
        Family(out, "quillon_dump_age_seconds", "gauge", "Time since the dump file was written.")
            .sample("", *input.dump_age_s);
    Family(out, "quillon_dump_read_errors_total", "counter", "Reads of the dump file that failed.")
        .sample("", static_cast<double>(input.read_errors));
}

}  // namespace view
