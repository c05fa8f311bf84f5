// /history and /events: the parameters checked, the answers bounded.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "view/history.h"
#include "view/history_sql.h"
#include "view/json_output.h"

namespace view {

namespace {

constexpr std::time_t HOUR_S = 3600;
// Up to this span a chart gets every window; beyond it hourly summaries.
constexpr std::time_t WINDOWS_UP_TO_S = 26 * HOUR_S;
constexpr std::time_t LONGEST_SPAN_S = 400 * DAY_S;
constexpr long long MAX_POINTS = 20000;
constexpr long long CELL_EVENTS = 500;
constexpr long long MAX_EVENTS = 1000;

struct BadRequest {
    std::string reason;
};

HistoryAnswer bad(const std::string& reason) { return HistoryAnswer{400, reason}; }

void only(const std::map<std::string, std::string>& query, const std::set<std::string>& allowed) {
    for (const auto& entry : query)
        if (allowed.count(entry.first) == 0)
            throw BadRequest{"unknown parameter \"" + entry.first.substr(0, 40) + "\""};
}

std::optional<std::string> get(const std::map<std::string, std::string>& query, const char* name) {
    auto found = query.find(name);
    if (found == query.end()) return std::nullopt;
    return found->second;
}

// A beacon's address, with or without its port; its identity.
std::string address(const std::map<std::string, std::string>& query, const char* name, bool required) {
    std::optional<std::string> text = get(query, name);
    if (!text || text->empty()) {
        if (required) throw BadRequest{std::string(name) + " wants a beacon's address"};
        return {};
    }
    std::string identity = beacon_identity(*text);
    unsigned char buffer[sizeof(in6_addr)];
    if (identity.size() > 64 ||
        (inet_pton(AF_INET, identity.c_str(), buffer) != 1 && inet_pton(AF_INET6, identity.c_str(), buffer) != 1))
        throw BadRequest{std::string(name) + " wants a beacon's address (ADDR or ADDR/PORT), not \"" +
                         text->substr(0, 64) + "\""};
    return identity;
}

// Unix time in seconds.
std::optional<std::time_t> time_value(const std::map<std::string, std::string>& query, const char* name) {
    std::optional<std::string> text = get(query, name);
    if (!text) return std::nullopt;
    if (text->empty() || text->size() > 12 || text->find_first_not_of("0123456789") != std::string::npos)
        throw BadRequest{std::string(name) + " wants a time in seconds since 1970, not \"" + text->substr(0, 40) +
                         "\""};
    return static_cast<std::time_t>(std::stoll(*text));
}

Json figure(const std::optional<long long>& value, double scale) {
    if (!value) return nullptr;
    return static_cast<double>(*value) / scale;
}
Json figure(const sql::Statement& row, int column, double scale) { return figure(row.maybe(column), scale); }

// A cell's windows in [from, to]: loss, delay, jitter as stored.
struct Window {
    long long t;
    std::optional<long long> figures[3];
};

std::vector<Window> windows_of(sqlite3* db, long long cell, long long from, long long to) {
    std::vector<Window> out;
    if (cell < 0) return out;
    sql::Statement rows(db,
                        "SELECT m * 60 + s, loss, delay, jitter FROM sample WHERE local = ? AND m = ? AND cell = ?"
                        " ORDER BY s");
    for (long long minute = from / 60; minute <= to / 60; ++minute)
        for (long long local : {0LL, 1LL}) {
            rows.bind(1, local).bind(2, minute).bind(3, cell);
            while (rows.step()) {
                long long t = rows.integer(0);
                if (t >= from && t <= to) out.push_back(Window{t, {rows.maybe(1), rows.maybe(2), rows.maybe(3)}});
            }
            rows.reset();
        }
    std::sort(out.begin(), out.end(), [](const Window& a, const Window& b) { return a.t < b.t; });
    return out;
}

// An hour's min, mean and max of each figure, as the hourly rows hold them.
Json summary(long long hour, const std::vector<Window>& windows) {
    Json point = Json::array({hour});
    for (int k = 0; k < 3; ++k) {
        std::optional<long long> low, high;
        double sum = 0;
        int n = 0;
        for (const Window& w : windows)
            if (w.figures[k]) {
                low = low ? std::min(*low, *w.figures[k]) : *w.figures[k];
                high = high ? std::max(*high, *w.figures[k]) : *w.figures[k];
                sum += static_cast<double>(*w.figures[k]);
                ++n;
            }
        double scale = k == 0 ? sql::LOSS_SCALE : sql::FIGURE_SCALE;
        point.push_back(figure(low, scale));
        point.push_back(n ? Json(static_cast<double>(std::llround(sum / n)) / scale) : Json(nullptr));
        point.push_back(figure(high, scale));
    }
    return point;
}

Json event_json(const sql::Statement& row, int first) {
    // Columns from first: t, state, previous, loss, delay, jitter, ooo, dup, ttl.
    Json e = Json::object();
    e["time"] = row.integer(first);
    auto state_name = [&](int column) -> Json {
        long long value = row.integer(column);
        if (row.null(column) || value < 0 || value >= CELL_STATE_COUNT) return nullptr;
        return cell_state_name(static_cast<CellState>(value));
    };
    e["state"] = state_name(first + 1);
    e["previous"] = state_name(first + 2);
    e["loss_percent"] = figure(row, first + 3, sql::LOSS_SCALE);
    e["delay_ms"] = figure(row, first + 4, sql::FIGURE_SCALE);
    e["jitter_ms"] = figure(row, first + 5, sql::FIGURE_SCALE);
    e["ooo_percent"] = figure(row, first + 6, sql::FIGURE_SCALE);
    e["dup_percent"] = figure(row, first + 7, sql::FIGURE_SCALE);
    e["ttl"] = row.null(first + 8) ? Json(nullptr) : Json(row.integer(first + 8));
    return e;
}

const char* const EVENT_COLUMNS = "e.t, e.state, e.previous, e.loss, e.delay, e.jitter, e.ooo, e.dup, e.ttl";

HistoryAnswer unavailable() { return HistoryAnswer{503, "the history cannot be read now"}; }

}  // namespace

// A read connection from the pool for one request, in one read transaction
// (what it reads agrees with itself), back to the pool afterwards.
HistoryAnswer History::with_reader(const std::function<HistoryAnswer(sqlite3*)>& body) {
    unsigned generation = 0;
    sqlite3* db = reader(generation);
    if (!db) return unavailable();
    sql::exec(db, "BEGIN");
    HistoryAnswer answer = body(db);
    sql::exec(db, "COMMIT");
    give_back(db, generation);
    return answer;
}

HistoryAnswer History::history(const std::map<std::string, std::string>& query, std::time_t now) {
    std::string receiver, sender;
    Channel channel = Channel::Asm;
    std::time_t from = 0, to = 0;
    try {
        only(query, {"receiver", "sender", "channel", "from", "to"});
        receiver = address(query, "receiver", true);
        sender = address(query, "sender", true);
        std::string channel_text = get(query, "channel").value_or("asm");
        if (channel_text != "asm" && channel_text != "ssm")
            throw BadRequest{"channel wants asm or ssm, not \"" + channel_text.substr(0, 40) + "\""};
        channel = channel_text == "asm" ? Channel::Asm : Channel::Ssm;
        to = time_value(query, "to").value_or(now);
        from = time_value(query, "from").value_or(to - HOUR_S);
        if (from > to) throw BadRequest{"from is after to"};
        if (to - from > LONGEST_SPAN_S) throw BadRequest{"from and to are more than 400 days apart"};
    } catch (const BadRequest& e) {
        return bad(e.reason);
    }

    return with_reader([&](sqlite3* db) {
        Json out = Json::object();
        out["receiver"] = receiver;
        out["sender"] = sender;
        out["channel"] = channel_name(channel);
        out["from"] = static_cast<long long>(from);
        out["to"] = static_cast<long long>(to);
        bool windows = to - from <= WINDOWS_UP_TO_S;
        out["resolution"] = windows ? "window" : "hour";
        out["fields"] =
            windows
                ? Json::array({"time", "loss_percent", "delay_ms", "jitter_ms"})
                : Json::array({"time", "loss_percent_min", "loss_percent_mean", "loss_percent_max", "delay_ms_min",
                               "delay_ms_mean", "delay_ms_max", "jitter_ms_min", "jitter_ms_mean", "jitter_ms_max"});
        Json points = Json::array();
        bool truncated = false;

        sql::Statement cell(db, "SELECT id FROM cell WHERE receiver = ? AND sender = ? AND channel = ?");
        cell.bind(1, receiver).bind(2, sender).bind(3, channel == Channel::Ssm ? 1LL : 0LL);
        bool known = cell.step();
        if (!known && !cell.ok()) return unavailable();
        long long id = known ? cell.integer(0) : -1;

        // Points further apart than this are drawn with a gap between them:
        // there was no figure in between.
        double gap_s = windows ? 3 * HistoryTracker::window_s(interval_s_) : 1.5 * HOUR_S;
        long long previous = -1;
        auto add = [&](long long t, Json point) {
            if (previous >= 0 && static_cast<double>(t - previous) > gap_s) points.push_back(nullptr);
            previous = t;
            points.push_back(std::move(point));
        };
        if (windows) {
            for (const Window& w : windows_of(db, id, from, to)) {
                if (static_cast<long long>(points.size()) >= MAX_POINTS) {
                    truncated = true;
                    break;
                }
                add(w.t,
                    Json::array({w.t, figure(w.figures[0], sql::LOSS_SCALE), figure(w.figures[1], sql::FIGURE_SCALE),
                                 figure(w.figures[2], sql::FIGURE_SCALE)}));
            }
        } else {
            // Hours already summarised, then the hours since from the windows.
            sql::Statement until(db, "SELECT value FROM meta WHERE key = 'hourly_until'");
            long long summarised = until.step() ? until.integer(0) / HOUR_S : 0;
            sql::Statement row(db,
                               "SELECT loss_min, loss_mean, loss_max, delay_min, delay_mean, delay_max, jitter_min,"
                               " jitter_mean, jitter_max FROM hourly WHERE local = ? AND hour = ? AND cell = ?");
            for (long long hour = from / HOUR_S; id >= 0 && hour <= to / HOUR_S; ++hour) {
                Json point;
                if (hour < summarised) {
                    for (long long local : {0LL, 1LL}) {
                        row.bind(1, local).bind(2, hour).bind(3, id);
                        if (row.step()) {
                            point = Json::array({hour * HOUR_S});
                            for (int column = 0; column < 9; ++column)
                                point.push_back(
                                    figure(row.maybe(column), column < 3 ? sql::LOSS_SCALE : sql::FIGURE_SCALE));
                        }
                        row.reset();
                        if (!point.is_null()) break;
                    }
                } else {
                    std::vector<Window> in_hour = windows_of(db, id, hour * HOUR_S, hour * HOUR_S + HOUR_S - 1);
                    if (!in_hour.empty()) point = summary(hour * HOUR_S, in_hour);
                }
                if (!point.is_null()) add(hour * HOUR_S, std::move(point));
            }
        }
        out["points"] = std::move(points);
        out["truncated"] = truncated;

        // The cell's state changes in the span, newest first, and the state it
        // was in when the span began.
        Json events = Json::array();
        sql::Statement changes(
            db, (std::string("SELECT ") + EVENT_COLUMNS +
                 " FROM event e WHERE e.cell = ? AND e.t >= ? AND e.t <= ? ORDER BY e.t DESC, e.id DESC LIMIT ?")
                    .c_str());
        changes.bind(1, id)
            .bind(2, static_cast<long long>(from))
            .bind(3, static_cast<long long>(to))
            .bind(4, CELL_EVENTS);
        while (changes.step()) events.push_back(event_json(changes, 0));
        out["events"] = std::move(events);
        sql::Statement before(db, (std::string("SELECT ") + EVENT_COLUMNS +
                                   " FROM event e WHERE e.cell = ? AND e.t < ? ORDER BY e.t DESC, e.id DESC LIMIT 1")
                                      .c_str());
        before.bind(1, id).bind(2, static_cast<long long>(from));
        out["state_before"] = before.step() ? event_json(before, 0) : Json(nullptr);
        out["recording"] = recording_.load();
        return HistoryAnswer{200, json_text(out)};
    });
}

HistoryAnswer History::events(const std::map<std::string, std::string>& query, std::time_t now) {
    std::string beacon;
    std::time_t since = 0;
    std::optional<CellState> state;
    long long limit = 200;
    try {
        only(query, {"since", "beacon", "state", "limit"});
        beacon = address(query, "beacon", false);
        since = time_value(query, "since").value_or(now - EVENTS_KEEP_S);
        if (std::optional<std::string> text = get(query, "state")) {
            state = cell_state_from_name(*text);
            if (!state)
                throw BadRequest{"state wants good, degraded, bad, stale or gone, not \"" + text->substr(0, 40) + "\""};
        }
        if (std::optional<std::string> text = get(query, "limit")) {
            if (text->empty() || text->size() > 4 || text->find_first_not_of("0123456789") != std::string::npos ||
                std::stoll(*text) < 1 || std::stoll(*text) > MAX_EVENTS)
                throw BadRequest{"limit wants a number from 1 to 1000"};
            limit = std::stoll(*text);
        }
    } catch (const BadRequest& e) {
        return bad(e.reason);
    }

    return with_reader([&](sqlite3* db) {
        std::string text = std::string("SELECT c.receiver, c.sender, c.channel, ") + EVENT_COLUMNS +
                           ", (SELECT name FROM identity WHERE beacon = c.receiver ORDER BY t DESC LIMIT 1),"
                           " (SELECT name FROM identity WHERE beacon = c.sender ORDER BY t DESC LIMIT 1)"
                           " FROM event e JOIN cell c ON c.id = e.cell WHERE e.t >= ?1";
        if (!beacon.empty()) text += " AND (c.receiver = ?2 OR c.sender = ?2)";
        if (state) text += " AND e.state = ?3";
        text += " ORDER BY e.t DESC, e.id DESC LIMIT ?4";
        sql::Statement rows(db, text.c_str());
        rows.bind(1, static_cast<long long>(since));
        if (!beacon.empty()) rows.bind(2, beacon);
        if (state) rows.bind(3, static_cast<long long>(*state));
        rows.bind(4, limit + 1);
        Json list = Json::array();
        bool truncated = false;
        while (rows.step()) {
            if (static_cast<long long>(list.size()) >= limit) {
                truncated = true;
                break;
            }
            Json e = Json::object();
            e["receiver"] = rows.text(0);
            e["sender"] = rows.text(1);
            e["channel"] = rows.integer(2) ? "ssm" : "asm";
            e["receiver_name"] = rows.null(12) ? Json(nullptr) : Json(rows.text(12));
            e["sender_name"] = rows.null(13) ? Json(nullptr) : Json(rows.text(13));
            e.update(event_json(rows, 3));
            list.push_back(std::move(e));
        }
        if (!rows.ok() && rows.code() != SQLITE_DONE) return unavailable();
        Json out = Json::object();
        out["since"] = static_cast<long long>(since);
        out["events"] = std::move(list);
        out["truncated"] = truncated;
        out["recording"] = recording_.load();
        return HistoryAnswer{200, json_text(out)};
    });
}

}  // namespace view
