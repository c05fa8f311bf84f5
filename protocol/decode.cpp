#include "protocol/decode.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "protocol/wire.h"
#include "scheduler/clock.h"
#include "state/source_table.h"

namespace {

constexpr uint8_t FIGURES_LENGTH = 20;
constexpr uint8_t DUP_ABOVE_TEN = 255;

float float_from_bits(const uint8_t* p) {
    uint32_t bits = get_u32(p);
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

void read_figures(const uint8_t* value, ExternalSource& entry, PublishedStats& figures, uint64_t now) {
    figures.timestamp = get_u32(value);
    entry.age = get_u32(value + 4);
    figures.ttl = value[8];
    figures.delay = float_from_bits(value + 9);
    figures.jitter = float_from_bits(value + 13);
    figures.loss = static_cast<float>(value[17] / 255.0);
    figures.dup = value[18] == DUP_ABOVE_TEN ? 1e10f : static_cast<float>(value[18] / 25.5);
    figures.ooo = static_cast<float>(value[19] / 255.0);
    figures.valid = true;
    figures.updated_ms = now;
}

// The TLVs nested in a source TLV: the reporter's figures of the listed
// beacon, and in a map report its name and contact.
void read_listing(const uint8_t* p, int32_t remaining, ExternalSource& entry, uint64_t now) {
    while (remaining >= 2) {
        uint8_t type = p[0];
        uint8_t length = p[1];
        if (2 + length > remaining) return;
        const uint8_t* value = p + 2;
        switch (type) {
        case TLV_ASM_STATS:
        case TLV_SSM_STATS:
            if (length != FIGURES_LENGTH) return;
            read_figures(value, entry, type == TLV_ASM_STATS ? entry.asm_stats : entry.ssm_stats, now);
            break;
        case TLV_CONTACT:
            read_string_tlv(value, length, entry.contact);
            break;
        case TLV_NAME:
            if (read_string_tlv(value, length, entry.name)) entry.identified = !entry.name.empty();
            break;
        default:
            break;
        }
        p += 2 + length;
        remaining -= 2 + length;
    }
}

// A beacon the sender reports receiving: recorded under the sender, and
// added to this beacon's own table unless it is this beacon.
void apply_listing(SourceTable& table, const Address& local_address, Source& sender, uint8_t type,
                   const uint8_t* value, int32_t length, uint64_t now) {
    bool v6 = type == TLV_SOURCE_IPV6;
    int32_t address_size = v6 ? 16 : 4;
    if (length < address_size + 2) return;
    Address raw;
    if (!raw.set_raw(v6 ? AF_INET6 : AF_INET, value, value + address_size)) return;
    Address listed = raw.key();

    // When the sender's list is full the listing is still read, so the
    // listed beacon itself is not lost to this table.
    ExternalSource scratch;
    ExternalSource* entry = table.get_or_create_external(sender, listed, now);
    if (!entry) entry = &scratch;
    read_listing(value + address_size + 2, length - address_size - 2, *entry, now);

    if (listed.same_address(local_address)) return;
    Source* source = table.get_or_create_source(listed, entry->identified ? entry->name.c_str() : nullptr, now, false);
    if (source && source->contact.empty()) source->contact = entry->contact;
}

void walk_report(SourceTable& table, const Address& local_address, const Address& sender_key, Source& sender,
                 const uint8_t* data, int32_t length, uint64_t now) {
    char sender_text[64] = "";
    if (settings.verbose >= 5) sender_key.to_string(sender_text, sizeof sender_text, true);

    int32_t position = 5;
    while (length - position >= 2) {
        int32_t remaining = length - position;
        uint8_t type = data[position];
        uint8_t value_length = data[position + 1];
        if (2 + value_length > remaining) return;
        if (settings.verbose >= 5)
            fprintf(stderr, "Parsing TLV (%i, %i) for %s [len is now %i]\n", type, value_length, sender_text, remaining);
        const uint8_t* value = data + position + 2;

        switch (type) {
        case TLV_NAME:
            // Read in place: a known sender's name reuses its storage, so a
            // steady stream of reports allocates nothing here.
            if (read_string_tlv(value, value_length, sender.name)) sender.identified = true;
            break;
        case TLV_CONTACT:
            read_string_tlv(value, value_length, sender.contact);
            break;
        case TLV_COUNTRY:
            if (value_length == 2) sender.country.assign(reinterpret_cast<const char*>(value), 2);
            break;
        case TLV_FLAGS:
            if (value_length == 4) sender.flags = get_u32(value);
            break;
        case WEBSITE_GENERIC:
        case WEBSITE_LG:
        case WEBSITE_MATRIX: {
            auto site = sender.websites.find(type);
            if (site != sender.websites.end()) {
                read_string_tlv(value, value_length, site->second);
            } else {
                std::string url;
                if (read_string_tlv(value, value_length, url)) sender.websites.emplace(type, std::move(url));
            }
            break;
        }
        case TLV_SOURCE_IPV4:
        case TLV_SOURCE_IPV6:
            apply_listing(table, local_address, sender, type, value, value_length, now);
            break;
        case TLV_LEAVE:
            table.remove_source(sender_key, false);
            return;
        default:
            break;
        }
        position += 2 + value_length;
    }
}

}  // namespace

bool read_string_tlv(const uint8_t* value, int length, std::string& target) {
    if (length <= 0) {
        if (length < 0) return false;
        target.clear();
        return true;
    }
    for (int i = 0; i < length; ++i) {
        if (value[i] < 0x20 || value[i] > 0x7E) return false;
    }
    target.assign(reinterpret_cast<const char*>(value), static_cast<size_t>(length));
    return true;
}

void handle_beacon_packet(const Address& from, uint64_t receive_ms, int32_t ttl, const uint8_t* data, int32_t length,
                          bool ssm, uint32_t local_drops) {
    handle_beacon_packet_at(source_table, runtime.local_address, from, receive_ms, ttl, data, length, ssm, now_ms(),
                            local_drops);
}

void handle_beacon_packet_at(SourceTable& table, const Address& local_address, const Address& from,
                             uint64_t receive_ms, int32_t ttl, const uint8_t* data, int32_t length, bool ssm,
                             uint64_t now, uint32_t local_drops) {
    if (!data || length < 4) return;
    if (data[0] != PACKET_MAGIC_0 || data[1] != PACKET_MAGIC_1 || data[2] != PROTOCOL_VERSION) return;
    Address sender_key = from.key();

    if (data[3] == PACKET_PROBE) {
        if (length != PROBE_LENGTH) return;
        uint32_t seq = get_u32(data + 4);
        uint32_t ts = get_u32(data + 8);
        Source* sender = table.get_or_create_source(sender_key, nullptr, now, true);
        if (sender)
            sender->record_probe(static_cast<uint8_t>(ttl & 0xff), seq, ts, now, receive_ms, ssm, local_drops);
    } else if (data[3] == PACKET_REPORT) {
        if (length == 4) return;
        Source* sender = table.get_or_create_source(sender_key, nullptr, now, true);
        if (!sender) return;
        sender->sender_ttl = data[4];
        walk_report(table, local_address, sender_key, *sender, data, length, now);
    }
}
