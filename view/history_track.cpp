#include "view/history_track.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <unordered_map>

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

CellState measurement_state(const Model& model, const Measurement& m, std::time_t now, const Thresholds& thresholds) {
    if (model.stale_at(m, now)) return CellState::Stale;
    Level worst = Level::Good;
    for (Metric metric : ALL_METRICS)
        if (std::optional<double> value = metric_value(m, metric))
            worst = std::max(worst, thresholds.level(metric, *value));
    return worst == Level::Bad ? CellState::Bad : worst == Level::Degraded ? CellState::Degraded : CellState::Good;
}

uint32_t HistoryTracker::intern(const std::string& identity) {
    auto [at, added] = interned_.emplace(identity, static_cast<uint32_t>(identity_names_.size()));
    if (added) identity_names_.push_back(identity);
    return at->second;
}

uint64_t HistoryTracker::ref(const CellKey& cell) {
    return ref_of(intern(cell.receiver), intern(cell.sender), cell.channel);
}

HistoryTracker::CellTrack& HistoryTracker::track_of(const CellKey& cell) {
    CellTrack& track = cells_[ref(cell)];
    if (track.key.receiver.empty()) track.key = cell;
    return track;
}

void HistoryTracker::resume(const CellKey& cell, std::optional<std::time_t> last_sample,
                            std::optional<CellState> last_state) {
    if (last_state == CellState::Gone) last_state.reset();
    if (!last_sample && !last_state) return;
    CellTrack& track = track_of(cell);
    track.last_sample = last_sample;
    track.state = last_state;
}

void HistoryTracker::resume(const Identity& identity) { identities_[identity.beacon] = identity; }

Records HistoryTracker::observe(const Model& model, std::time_t now, bool same_model) {
    Records records;
    if (same_model && now < next_stale_) return records;
    next_stale_ = std::numeric_limits<std::time_t>::max();
    std::time_t dump_time = model.written.value_or(now);
    // Identities are interned: a cell's key is two numbers and the channel.
    // A churning network could make the table large; it is then rebuilt.
    if (interned_.size() > 100000) {
        std::unordered_map<uint64_t, CellTrack> kept;
        kept.swap(cells_);
        interned_.clear();
        identity_names_.clear();
        ++ref_epoch_;
        for (auto& entry : kept) track_of(entry.second.key) = std::move(entry.second);
    }
    // Room for about as many windows as the last look had.
    records.samples.reserve(last_samples_ + last_samples_ / 4);
    std::vector<uint32_t> ids;
    ids.reserve(model.beacons.size());
    for (const Beacon& beacon : model.beacons) ids.push_back(intern(beacon_identity(beacon.address)));
    uint32_t local = ids.empty() ? UINT32_MAX : ids[static_cast<size_t>(model.local)];
    ++pass_;

    // Two beacons on one address share a cell: the freshest figures win.
    for (const Measurement& m : model.measurements) {
        uint32_t receiver = ids[static_cast<size_t>(m.receiver)], sender = ids[static_cast<size_t>(m.sender)];
        CellTrack& track = cells_[ref_of(receiver, sender, m.channel)];
        if (track.key.receiver.empty())
            track.key = CellKey{identity_names_[receiver], identity_names_[sender], m.channel};
        if (track.pass == pass_ && track.fresh->age_s.value_or(0) <= m.age_s.value_or(0)) continue;
        track.pass = pass_;
        track.fresh = &m;
        track.local = receiver == local || sender == local;
    }

    double stale_after_s = model.stale_after_s();
    for (auto it = cells_.begin(); it != cells_.end();) {
        CellTrack& track = it->second;
        // A cell the dump no longer lists is gone from the first dump
        // without it; it is forgotten, so that only present cells are held.
        if (track.pass != pass_) {
            if (track.state)
                records.changes.push_back(StateChange{track.key, it->first, track.local, dump_time, CellState::Gone,
                                                      track.state, std::nullopt});
            it = cells_.erase(it);
            continue;
        }
        uint64_t ref = it->first;
        ++it;
        const Measurement& m = *track.fresh;
        const std::string& receiver_address = model.beacons[static_cast<size_t>(m.receiver)].address;
        const std::string& sender_address = model.beacons[static_cast<size_t>(m.sender)].address;
        std::time_t published = model.figure_time(m).value_or(dump_time);
        Figures figures = figures_of(m);
        CellState state = measurement_state(model, m, now, thresholds_);
        if (state != CellState::Stale) {
            // A beacon that started again (new port) or figures that moved
            // are a new window.  Unchanged figures (a quiet LAN publishes
            // the same ones for hours) are recorded again after two
            // windows' time, which keeps the chart's line unbroken.
            // Within a second of the last window, rounding explains it.
            bool is_new =
                !track.last_sample || (published > *track.last_sample + 1 &&
                                       (receiver_address != track.receiver_address ||
                                        sender_address != track.sender_address || !same_window(figures, track.last) ||
                                        std::difftime(published, *track.last_sample) >= 2 * window_s(model.interval)));
            if (is_new) {
                records.samples.push_back(Sample{track.key, ref, track.local, published, figures});
                track.last_sample = published;
                track.last = figures;
                track.receiver_address = receiver_address;
                track.sender_address = sender_address;
            }
        }
        // Stale from the moment the figures' age passed the limit.
        std::time_t stale_at = published + static_cast<std::time_t>(std::floor(stale_after_s)) + 1;
        if (state != CellState::Stale) next_stale_ = std::min(next_stale_, stale_at);
        if (track.state != state) {
            std::time_t when = state == CellState::Stale ? std::min(now, stale_at) : published;
            records.changes.push_back(StateChange{track.key, ref, track.local, when, state, track.state, figures});
            track.state = state;
        }
    }

    last_samples_ = records.samples.size();
    std::set<std::string> present;
    for (const Beacon& beacon : model.beacons) {
        Identity identity{beacon_identity(beacon.address), dump_time,
                          beacon.name.value_or(""),        beacon.contact.value_or(""),
                          beacon.country.value_or(""),     joined(beacon.flags)};
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
