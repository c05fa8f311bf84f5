// What the history records from successive reads of one dump: each
// measurement window of each cell once, every change of a cell's state and
// every change of a beacon's identity.  Pure logic: the dump's model, its
// modification time and the present time come in as arguments, records come
// out; the store writes them.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "view/model.h"
#include "view/thresholds.h"

namespace view {

enum class CellState { Good, Degraded, Bad, Stale, Gone };
constexpr int CELL_STATE_COUNT = 5;
const char* cell_state_name(CellState state);  // "good", "degraded", ...
std::optional<CellState> cell_state_from_name(const std::string& name);

// A cell: what one receiver measures of one sender on one channel.
struct CellKey {
    std::string receiver;  // identities
    std::string sender;
    Channel channel = Channel::Asm;
    bool operator<(const CellKey& o) const {
        return std::tie(receiver, sender, channel) < std::tie(o.receiver, o.sender, o.channel);
    }
    bool operator==(const CellKey& o) const {
        return receiver == o.receiver && sender == o.sender && channel == o.channel;
    }
};

struct Figures {
    std::optional<double> loss, delay, jitter, ooo, dup;  // as in Measurement
    std::optional<int> ttl;
};

// One window's figures of a cell, at the time the window was published.
// ref: the tracker's number for the cell (see HistoryTracker::ref_epoch).
struct Sample {
    CellKey cell;
    uint64_t ref = 0;
    bool local = false;  // the local beacon's row or column
    std::time_t time = 0;
    Figures figures;
};

// A cell entered a state at a time; figures as they were then (none for gone).
struct StateChange {
    CellKey cell;
    uint64_t ref = 0;
    bool local = false;
    std::time_t time = 0;
    CellState state = CellState::Good;
    std::optional<CellState> previous;
    std::optional<Figures> figures;
};

struct Identity {
    std::string beacon;  // identity (address without port)
    std::time_t time = 0;
    std::string name, contact, country, flags;  // flags joined with ','
    bool operator==(const Identity& o) const {
        return name == o.name && contact == o.contact && country == o.country && flags == o.flags;
    }
};

struct Records {
    std::vector<Sample> samples;
    std::vector<StateChange> changes;
    std::vector<Identity> identities;
    bool empty() const { return samples.empty() && changes.empty() && identities.empty(); }
};

// The state of a cell's figures at time now: stale by the model's rule,
// otherwise the worst level of its figures under the thresholds.
CellState measurement_state(const Model& model, const Measurement& m, std::time_t now, const Thresholds& thresholds);

class HistoryTracker {
public:
    explicit HistoryTracker(Thresholds thresholds) : thresholds_(thresholds) {}

    // What was last recorded of a cell, as a store found it at start-up:
    // windows up to last_sample are not recorded again, and a change is
    // logged only when the state differs from last_state.
    void resume(const CellKey& cell, std::optional<std::time_t> last_sample, std::optional<CellState> last_state);
    void resume(const Identity& identity);

    // A cell's number in records: two interned identities and the channel,
    // the same for a cell while ref_epoch() is unchanged, so that a store
    // can map it to its own key without hashing addresses.
    uint64_t ref(const CellKey& cell);
    unsigned long ref_epoch() const { return ref_epoch_; }

    // One look at the dump: the model (its written time is the file's),
    // at time now.  Called again with the same model, it records
    // no window twice, and states that aged into stale; same_model says it
    // is the model of the last call, which needs no work until a figure
    // can have aged into stale.
    Records observe(const Model& model, std::time_t now, bool same_model = false);

    // A little less than the usual window (40 probes in four bursts of ten
    // with pauses of about one interval between): the unit of a gap and of
    // the recording of unchanged figures.
    static double window_s(double interval_s) { return 3 * interval_s + 3; }

private:
    struct CellTrack {
        CellKey key;
        std::optional<std::time_t> last_sample;
        std::string receiver_address, sender_address;  // with their ports: new ones are a restart
        Figures last;                                  // the window figures last recorded
        std::optional<CellState> state;
        bool local = false;
        unsigned long pass = 0;              // the last observe that listed the cell
        const Measurement* fresh = nullptr;  // its freshest figures then
    };
    uint32_t intern(const std::string& identity);
    static uint64_t ref_of(uint32_t receiver, uint32_t sender, Channel channel) {
        return (static_cast<uint64_t>(receiver) << 32 | sender) << 1 | (channel == Channel::Ssm ? 1u : 0u);
    }
    CellTrack& track_of(const CellKey& cell);

    Thresholds thresholds_;
    std::unordered_map<std::string, uint32_t> interned_;
    std::vector<std::string> identity_names_;
    std::unordered_map<uint64_t, CellTrack> cells_;
    unsigned long pass_ = 0;
    unsigned long ref_epoch_ = 0;
    size_t last_samples_ = 0;  // counts the rebuilds of the interned identities
    std::map<std::string, Identity> identities_;
    std::time_t next_stale_ = 0;  // the first time a fresh figure of the last model turns stale
};

}  // namespace view
