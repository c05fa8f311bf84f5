#include "view/history_track.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace view {

namespace {
const char* const STATE_NAMES[CELL_STATE_COUNT] = {"good", "degraded", "bad", "stale", "gone"};

Figures figures_of(const Measurement& m) {
    Figures f;
    f.loss = m.loss;
    f.delay = m.delay;
    f.jitter = m.jitter;
    f.ooo = m.ooo;
    f.dup = m.dup;
    f.ttl = m.ttl;
    return f;
}

// The figures a window publishes at its end.  Jitter is a running average
// that moves with every probe and the hop count with every route, so
// neither tells one window from the next.
bool same_window(const Figures& a, const Figures& b) {
    return a.loss == b.loss && a.delay == b.delay && a.ooo == b.ooo && a.dup == b.dup;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : ",") + part;
    return out;
}
}  // namespace

const char* cell_state_name(CellState state) { return STATE_NAMES[static_cast<int>(state)]; }

std::optional<CellState> cell_state_from_name(const std::string& name) {
    for (int i = 0; i < CELL_STATE_COUNT; ++i)
        if (name == STATE_NAMES[i]) return static_cast<CellState>(i);
    return std::nullopt;
}

CellState measurement_state(const Model& model, const Measurement& m, double dump_age_s, const Thresholds& thresholds) {
    if (m.age_s && static_cast<double>(*m.age_s) + dump_age_s > model.stale_after_s()) return CellState::Stale;
    Level worst = Level::Good;
    for (Metric metric : ALL_METRICS)
        if (std::optional<double> value = metric_value(m, metric))
            worst = std::max(worst, thresholds.level(metric, *value));
    return worst == Level::Bad ? CellState::Bad : worst == Level::Degraded ? CellState::Degraded : CellState::Good;
}

void HistoryTracker::resume(const CellKey& cell, std::optional<std::time_t> last_sample,
                            std::optional<CellState> last_state) {
    if (last_state == CellState::Gone) last_state.reset();
    if (!last_sample && !last_state) return;
    CellTrack& track = cells_[cell];
    track.last_sample = last_sample;
    track.state = last_state;
}

void HistoryTracker::resume(const Identity& identity) { identities_[identity.beacon] = identity; }

Records HistoryTracker::observe(const Model& model, std::time_t dump_time, std::time_t now) {
    Records records;
    double dump_age_s = std::max(0.0, std::difftime(now, dump_time));
    std::string local = model.beacons.empty() ? "" : beacon_identity(model.beacons[static_cast<size_t>(model.local)].address);

    // Two beacons on one address share a cell: the freshest figures win.
    std::map<CellKey, const Measurement*> fresh;
    for (const Measurement& m : model.measurements) {
        CellKey key{beacon_identity(model.beacons[static_cast<size_t>(m.receiver)].address),
                    beacon_identity(model.beacons[static_cast<size_t>(m.sender)].address), m.channel};
        auto [at, added] = fresh.emplace(key, &m);
        if (!added && m.age_s.value_or(0) < at->second->age_s.value_or(0)) at->second = &m;
    }

    for (const auto& [key, m] : fresh) {
        CellTrack& track = cells_[key];
        track.local = key.receiver == local || key.sender == local;
        std::time_t published = dump_time - static_cast<std::time_t>(m->age_s.value_or(0));
        Figures figures = figures_of(*m);
        CellState state = measurement_state(model, *m, dump_age_s, thresholds_);
        std::string addresses = model.beacons[static_cast<size_t>(m->receiver)].address + ' ' +
                                model.beacons[static_cast<size_t>(m->sender)].address;
        if (state != CellState::Stale) {
            // A beacon that started again (new port) or figures that moved
            // are a new window; unchanged figures are one after a window's
            // time.  Within a second of the last window, rounding explains it.
            bool is_new = !track.last_sample ||
                          (published > *track.last_sample + 1 &&
                           (addresses != track.addresses || !same_window(figures, track.last) ||
                            std::difftime(published, *track.last_sample) >= window_s(model.interval)));
            if (is_new) {
                records.samples.push_back(Sample{key, track.local, published, figures});
                track.last_sample = published;
                track.last = figures;
                track.addresses = addresses;
            }
        }
        if (track.state != state) {
            std::time_t when = published;
            // Stale from the moment the figures' age passed the limit.
            if (state == CellState::Stale)
                when = std::min(now, published + static_cast<std::time_t>(std::floor(model.stale_after_s())) + 1);
            records.changes.push_back(StateChange{key, track.local, when, state, track.state, figures});
            track.state = state;
        }
    }
    // A cell the dump no longer lists is gone from the first dump without it;
    // it is forgotten here, so that the tracker holds only present cells.
    for (auto it = cells_.begin(); it != cells_.end();) {
        if (fresh.count(it->first) == 0) {
            if (it->second.state)
                records.changes.push_back(
                    StateChange{it->first, it->second.local, dump_time, CellState::Gone, it->second.state, std::nullopt});
            it = cells_.erase(it);
        } else {
            ++it;
        }
    }

    std::set<std::string> present;
    for (const Beacon& beacon : model.beacons) {
        Identity identity{beacon_identity(beacon.address), dump_time, beacon.name.value_or(""),
                          beacon.contact.value_or(""), beacon.country.value_or(""), joined(beacon.flags)};
        if (!present.insert(identity.beacon).second) continue;
        auto known = identities_.find(identity.beacon);
        if (known != identities_.end() && known->second == identity) continue;
        identities_[identity.beacon] = identity;
        records.identities.push_back(identity);
    }
    for (auto it = identities_.begin(); it != identities_.end();)
        it = present.count(it->first) ? std::next(it) : identities_.erase(it);
    return records;
}

}  // namespace view
