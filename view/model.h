// The reception matrix as one dump file describes it: the group, the
// beacons and every figure one beacon measured of another.  Every output of
// quillon-view renders this model; only model.cpp reads the XML.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace view {

enum class Channel { Asm, Ssm };
const char* channel_name(Channel channel);

struct Beacon {
    std::string address;  // address/port as the dump writes it: the beacon's identity
    std::optional<std::string> name;
    std::optional<std::string> contact;
    std::optional<std::string> country;
    std::vector<std::string> flags;                         // "SSM", "SSMPing"
    std::vector<std::pair<std::string, std::string>> websites;  // type name, URL; first of a type wins
    bool has_flag(const std::string& flag) const;
    // The name, or the address when the dump holds none.
    const std::string& label() const { return name ? *name : address; }
};

// A beacon's identity where it must outlive a restart (the history, metric
// labels): its IP address without the port, which is new at every start
// ("10.77.0.1/55194" -> "10.77.0.1").
std::string beacon_identity(const std::string& address);

// What one receiver measured of one sender on one channel.  A figure the
// dump leaves out stays empty.
struct Measurement {
    int receiver = 0;
    int sender = 0;
    Channel channel = Channel::Asm;
    std::optional<int> ttl;      // hops
    std::optional<long> age_s;   // seconds since the figures were updated
    std::optional<double> loss;  // percent
    std::optional<double> delay; // ms, negative when the sender's clock is ahead
    std::optional<double> jitter;  // ms
    std::optional<double> ooo;   // percent
    std::optional<double> dup;   // percent
    bool future = false;
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

    // Figures older than the daemon's own time-out for a source.
    double stale_after_s() const { return 6 * interval; }
    bool stale(const Measurement& m) const { return m.age_s && *m.age_s > stale_after_s(); }
};

// A file that is no dump, or a broken one: what() is the one line to show,
// "FILE: line N: what is wrong" or "FILE: <strerror>".
class DumpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the text of a dump; label names it in error messages.
Model parse_dump(const std::string& text, const std::string& label);
// Reads the file at path.
Model read_dump(const std::string& path);
// Reads the whole file; throws DumpError naming it when it cannot.
std::string read_file(const std::string& path);

}  // namespace view
