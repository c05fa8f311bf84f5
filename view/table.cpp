#include "view/table.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "view/utf8.h"

namespace view {

std::string terminal_text(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The reader turns the dump's &#N; into UTF-8; turn it back.  A byte
        // that starts no valid sequence is shown by its own value.
        unsigned long code = c;
        size_t length = utf8_sequence(text, i, &code);
        if (length == 0) {
            code = c;
            length = 1;
        }
        out += "&#" + std::to_string(code) + ";";
        i += length;
    }
    return out;
}

namespace {

const char* const RESET = "\033[0m";
// Blue, yellow, bold red: told apart with the common colour-vision deficiencies.
const char* level_colour(Level level) {
    switch (level) {
        case Level::Good: return "\033[34m";
        case Level::Degraded: return "\033[33m";
        case Level::Bad: return "\033[1;31m";
    }
    return "";
}
const char* const STALE_COLOUR = "\033[2m";

std::string format_value(Metric metric, double value) {
    char text[64];
    // As precise as the dump: hops whole, loss to a tenth, the rest to
    // thousandths.
    if (metric == Metric::Ttl)
        std::snprintf(text, sizeof text, "%.0f", value);
    else if (metric == Metric::Loss)
        std::snprintf(text, sizeof text, "%.1f", value);
    else
        std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string format_limit(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

struct Cell {
    std::string text;
    const char* colour = nullptr;
};

std::string pad_left(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

std::string render_table(const Model& model, const TableOptions& options) {
    const size_t n = model.beacons.size();
    if (n > MAX_TABLE_BEACONS)
        throw std::length_error(std::to_string(n) + " beacons, too many for a table (at most " +
                                std::to_string(MAX_TABLE_BEACONS) + "); json and html show them all");
    std::vector<Cell> cells(n * n);
    bool any_stale = false;
    for (size_t i = 0; i < n; ++i) cells[i * n + i].text = " ";
    for (const Measurement& m : model.measurements) {
        if (m.channel != options.channel || m.receiver == m.sender) continue;
        std::optional<double> value = metric_value(m, options.metric);
        bool beyond = options.metric == Metric::Dup && m.dup_beyond;
        if (beyond) value = 1000;  // judged as at least that
        if (!value) continue;
        Cell& cell = cells[static_cast<size_t>(m.receiver) * n + static_cast<size_t>(m.sender)];
        cell.text = beyond ? ">1000" : format_value(options.metric, *value);
        bool stale = model.stale(m);
        any_stale |= stale;
        if (stale) {
            if (options.colour)
                cell.colour = STALE_COLOUR;
            else
                cell.text += '*';
        } else if (options.colour) {
            cell.colour = level_colour(options.thresholds.level(options.metric, *value));
        }
    }

    size_t width = std::to_string(n).size();
    for (Cell& cell : cells) {
        if (cell.text.empty()) cell.text = "-";
        width = std::max(width, cell.text.size());
    }
    width += 2;
    const size_t label_width = std::max<size_t>(std::to_string(n).size(), 5) + 1;

    std::string out;
    out += "group " + terminal_text(model.group);
    if (model.ssm_group) out += ", SSM " + terminal_text(*model.ssm_group);
    out += ", interval " + format_limit(model.interval) + " s: " + metric_name(options.metric) + " (" +
           metric_unit(options.metric) + ") on " + channel_name(options.channel) +
           "; rows receive, columns send\n\n";
    out += pad_left("rx\\tx", label_width);
    for (size_t j = 0; j < n; ++j) out += pad_left(std::to_string(j + 1), width);
    out += '\n';
    for (size_t i = 0; i < n; ++i) {
        out += pad_left(std::to_string(i + 1), label_width);
        for (size_t j = 0; j < n; ++j) {
            const Cell& cell = cells[i * n + j];
            if (cell.colour) {
                out += std::string(width - cell.text.size(), ' ');
                out += cell.colour;
                out += cell.text;
                out += RESET;
            } else {
                out += pad_left(cell.text, width);
            }
        }
        out += '\n';
    }

    out += '\n';
    for (size_t i = 0; i < n; ++i) {
        const Beacon& beacon = model.beacons[i];
        out += pad_left(std::to_string(i + 1), label_width) + "  ";
        out += beacon.name ? terminal_text(*beacon.name) : "(no name)";
        out += "  " + terminal_text(beacon.address);
        if (static_cast<int>(i) == model.local) out += "  (this dump's beacon)";
        out += '\n';
    }
    const Limits& limits = options.thresholds[options.metric];
    std::string unit = std::string(" ") + metric_unit(options.metric);
    std::string what = options.metric == Metric::Delay ? "|delay|" : metric_name(options.metric);
    out += "\n" + what + ": good below " + format_limit(limits.degraded) + unit + ", degraded from " +
           format_limit(limits.degraded) + unit + ", bad from " + format_limit(limits.bad) + unit + "; - no figures";
    if (any_stale)
        out += std::string(options.colour ? "; dim" : "; *") + ": stale, older than " +
               format_limit(model.stale_after_s()) + " s";
    out += '\n';
    return out;
}

}  // namespace view
