// Every remote beacon this beacon knows of, with what it announces and what
// it reports receiving: the reception matrix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "net/address.h"
#include "state/stats.h"

// Bounds on what strangers on the group can make this table hold.  Real
// groups have tens of beacons (a full matrix of 150 beacons is 22 350
// external entries); beyond these, new entries are refused and the refusal is
// logged at most once per expiry period.
constexpr size_t MAX_SOURCES = 1024;
constexpr size_t MAX_EXTERNALS_PER_SOURCE = 1024;
constexpr size_t MAX_EXTERNALS_TOTAL = 65536;

struct ExternalSource {
    uint64_t last_update_ms = 0;
    uint32_t age = 0;
    PublishedStats asm_stats;
    PublishedStats ssm_stats;
    bool identified = false;
    std::string name;
    std::string contact;
};

using ExternalMap = std::map<Address, ExternalSource, AddressLess>;

struct Source {
    uint64_t created_ms = 0;
    uint32_t sender_ttl = 0;
    uint64_t last_update_ms = 0;
    uint64_t last_local_rx_ms = 0;
    ReceptionStats asm_stats;
    ReceptionStats ssm_stats;
    std::string name;
    std::string contact;
    std::string country;
    uint32_t flags = 0;
    ExternalMap external_sources;
    std::map<int32_t, std::string> websites;
    bool identified = false;
    // Counted in its address's (S,G) membership.
    bool ssm_member = false;

    void record_probe(uint8_t ttl, uint32_t seq, uint32_t ts, uint64_t now, uint64_t receive_ms, bool ssm,
                      uint32_t local_drops = 0);
};

using SourceMap = std::map<Address, Source, AddressLess>;

// Keeps the SSM channel's source filter in step with the table.  The real
// one is the SsmChannel (state/ssm_channel.h); tests record the calls.
class SsmMembership {
public:
    virtual ~SsmMembership() = default;
    // 0 on success, else the system's error number.
    virtual int join(const Address& source) = 0;
    virtual void leave(const Address& source) = 0;
};

class SourceTable {
public:
    SourceMap sources;
    // nullptr: SSM reception is off, nothing is joined or left.
    SsmMembership* ssm = nullptr;

    // name: nullptr for none.  Gives nullptr only when the table is full and
    // the address is new.
    Source* get_or_create_source(const Address& address, const char* name, uint64_t now, bool direct);
    void remove_source(const Address& address, bool by_timeout);
    // nullptr only when the Source's list is full and the address is new.
    ExternalSource* get_or_create_external(Source& source, const Address& address, uint64_t now);

    size_t external_count() const { return external_count_; }
    // Keeps the count of external entries when they are erased elsewhere.
    ExternalMap::iterator erase_external(Source& source, ExternalMap::iterator it);
    void clear();
    // Called by expiry: a refusal may be logged again.
    void new_expiry_period() { refusal_logged_ = false; }

private:
    void log_refusal();

    size_t external_count_ = 0;
    bool refusal_logged_ = false;
    // Sources sharing each joined (S,G) membership, by address (port 0).
    std::map<Address, uint32_t, AddressLess> ssm_members_;
};

void set_name(Source& source, const std::string& name);
bool is_rxlocal(const Source& source, uint64_t now);

extern SourceTable source_table;
