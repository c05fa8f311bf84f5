// The reception matrix as one dump file describes it: the group, the
// beacons and every figure one beacon measured of another.  Every output of
// quillon-view renders this model; only model.cpp reads the XML.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace view {

enum class Channel { Asm, Ssm };
const char* channel_name(Channel channel);

// A beacon's identity wherever it must outlive a restart (metric labels,
// history): its IP address without the port, which a beacon picks anew at
// every start ("10.77.0.1/55194" and "10.77.0.1/37814" are both
// "10.77.0.1"; "2001:db8::1/4000" is "2001:db8::1").  Two beacons on one
// address share one identity.
std::string beacon_identity(const std::string& address);

struct Beacon {
    std::string address;  // address/port as the dump writes it: the beacon's identity
    std::optional<std::string> name;
    std::optional<std::string> contact;
    std::optional<std::string> country;
    std::vector<std::string> flags;                         // "SSM", "SSMPing"
    std::vector<std::pair<std::string, std::string>> websites;  // type name, URL; first of a type wins
    bool has_flag(const std::string& flag) const;
    std::string identity() const { return beacon_identity(address); }
    // The name, or the address when the dump holds none.
    const std::string& label() const { return name ? *name : address; }
};

// What one receiver measured of one sender on one channel, once per
// receiver, sender and channel (of duplicated lines the freshest counts).
// A figure the dump leaves out, or one that is no measurement (a hop count
// from a datagram that carried none, a share outside 0..100 %), stays empty.
struct Measurement {
    int receiver = 0;
    int sender = 0;
    Channel channel = Channel::Asm;
    std::optional<int> ttl;      // hops
    std::optional<long> age_s;   // rptage: seconds since the figures were updated, when the dump was written
    std::optional<double> loss;  // percent
    std::optional<double> delay; // ms, negative when the sender's clock is ahead
    std::optional<double> jitter;  // ms
    std::optional<double> ooo;   // percent
    std::optional<double> dup;   // percent
    bool future = false;
    // The dump's "above 10" mark (a duplicate share beyond 1000 %): no
    // figure, only that it is beyond measure.
    bool dup_beyond = false;
};

struct Model {
    std::string group;
    std::optional<std::string> ssm_group;
    double interval = 0;          // seconds
    std::optional<double> rx_rate;  // Kb/s
    std::optional<double> tx_rate;
    std::string version;
    int local = 0;
    std::vector<Beacon> beacons;
    std::vector<Measurement> measurements;

    // When the file was written (its mtime, Unix time), when known, and the
    // time its figures are judged at.  A dump that is not rewritten any
    // more ages as a whole: its figures are as old as their rptage plus
    // the time since the write.
    std::optional<std::time_t> written;
    std::time_t judged = 0;

    double dump_age_s() const { return dump_age_at(judged); }
    double dump_age_at(std::time_t when) const { return written && when > *written ? double(when - *written) : 0; }
    // Seconds since the receiver updated the figures, at the judged time
    // (or at another).
    std::optional<double> figure_age_s(const Measurement& m) const { return figure_age_at(m, judged); }
    std::optional<double> figure_age_at(const Measurement& m, std::time_t when) const {
        if (!m.age_s) return std::nullopt;
        return double(*m.age_s) + dump_age_at(when);
    }
    // When the receiver updated the figures (Unix time), when the dump's
    // write time is known.
    std::optional<std::time_t> figure_time(const Measurement& m) const {
        if (!m.age_s || !written) return std::nullopt;
        return *written - static_cast<std::time_t>(*m.age_s);
    }
    // Figures older than the daemon's own time-out for a source are stale:
    // whether the receiver stopped hearing the sender, or the beacon stopped
    // writing its dump (it died, hangs or lost its disk).
    double stale_after_s() const { return 6 * interval; }
    bool stale(const Measurement& m) const { return stale_at(m, judged); }
    bool stale_at(const Measurement& m, std::time_t when) const {
        std::optional<double> age = figure_age_at(m, when);
        return age && *age > stale_after_s();
    }
    // The first time after judged at which a fresh figure turns stale
    // (0 when none ever will): until then stale() gives the same answers.
    std::time_t next_staleness_change() const;
};

// More beacons than the table, the page and the JSON show: no real group
// comes near it, and no screen holds the matrix of a larger one (a dump
// grown by hostile reports).
constexpr size_t MAX_SHOWN_BEACONS = 1000;

// A file that is no dump, or a broken one: what() is the one line to show,
// "FILE: line N: what is wrong" or "FILE: <strerror>".
class DumpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the text of a dump; label names it in error messages.
Model parse_dump(const std::string& text, const std::string& label);
// Reads the file at path; written is its mtime, judged the time of the read.
Model read_dump(const std::string& path);
// Reads the whole file; throws DumpError naming it when it cannot.
std::string read_file(const std::string& path);

}  // namespace view
