// A synthetic group of beacons for the benchmarks: addresses, names, the
// datagrams they send, and the reception matrix they make when every beacon
// reports on every other one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/address.h"

class SourceTable;

constexpr int GROUP_SIZE = 150;  // remote beacons in the table
constexpr uint64_t START_NOW_MS = 1000000;
constexpr uint64_t START_WALL_MS = 1700000000000ull;

Address beacon_address(int family, int index);
std::string beacon_name(int index);
std::string beacon_contact(int index);

struct BeaconGroup {
    BeaconGroup(int family, int size);
    Address local;                // this beacon
    std::vector<Address> remote;  // the others, as table keys
};

// The 12 bytes of a probe.
void encode_probe(uint8_t* out, uint32_t seq, uint32_t ts);

// A report with the sender's name, contact, country, two websites and flags.
std::vector<uint8_t> website_report(int sender);
// A report listing every other remote beacon of the group, and this beacon
// too when include_local, with ASM and SSM figures.
std::vector<uint8_t> figures_report(const BeaconGroup& group, int sender, bool include_local);
// A map report: the same beacons with their names and contacts.
std::vector<uint8_t> map_report(const BeaconGroup& group, int sender, bool include_local);

// Sequence numbers as a sender's probes arrive: mostly in order, with a lost
// number, two late arrivals and a duplicate in every 40, and a restart of
// the numbering (a jump far ahead) after a few hundred probes.
class ProbeStream {
public:
    explicit ProbeStream(uint32_t first) : base_(first) {}
    uint32_t next();

private:
    uint32_t base_;
    size_t position_ = 0;
};

// Fills the table as this beacon sees the whole group: every remote beacon
// sends probes on both channels (so its figures are valid here), its website
// report, and a map report and a figures report on every other remote beacon
// (n Sources with n - 1 reported entries each).  Gives the now_ms reached.
uint64_t build_matrix(SourceTable& table, const BeaconGroup& group, uint64_t now);
