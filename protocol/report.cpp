#include "protocol/report.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "control/log.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "net/multicast.h"
#include "output/bandwidth.h"
#include "protocol/wire.h"
#include "scheduler/clock.h"
#include "scheduler/main_loop.h"
#include "scheduler/timer_queue.h"
#include "state/source_table.h"

namespace {

constexpr uint32_t FIGURES_LENGTH = 20;

// Appends to a buffer of fixed capacity; a piece that would end past the
// capacity is not written.  Used from the signal handler for the farewell
// report, so it allocates nothing.
class Writer {
public:
    Writer(uint8_t* buffer, int32_t capacity) : buffer_(buffer), capacity_(capacity) {}

    bool fits(int64_t bytes) const { return position_ + bytes <= capacity_; }
    int32_t length() const { return static_cast<int32_t>(position_); }

    void put(const void* bytes, size_t size) {
        memcpy(buffer_ + position_, bytes, size);
        position_ += static_cast<int64_t>(size);
    }
    void put_byte(uint8_t b) { buffer_[position_++] = b; }
    void put_word(uint32_t v) {
        put_u32(buffer_ + position_, v);
        position_ += 4;
    }
    // Type, length and value; false (nothing written) when it does not fit
    // or the value is too long for its length byte.
    bool put_tlv(uint8_t type, const void* value, size_t size) {
        if (size > TLV_VALUE_MAX || !fits(2 + static_cast<int64_t>(size))) return false;
        put_byte(type);
        put_byte(static_cast<uint8_t>(size));
        if (size > 0) put(value, size);
        return true;
    }
    bool put_tlv(uint8_t type, const std::string& value) { return put_tlv(type, value.data(), value.size()); }

private:
    uint8_t* buffer_;
    int64_t capacity_;
    int64_t position_ = 0;
};

uint32_t float_bits(float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return bits;
}

// A fraction as a byte of 255ths, truncated; values outside the byte's range
// (never produced by the statistics) are held at its ends.
uint8_t fraction_byte(float fraction) {
    float scaled = fraction * 255.0f;
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= 255.0f) return 255;
    return static_cast<uint8_t>(scaled);
}

// Duplicates in 25.5ths, rounded up; 255 stands for anything above 10.
uint8_t duplicate_byte(float dup) {
    if (dup > 10.0f) return 255;
    double scaled = std::ceil(static_cast<double>(dup) * 25.5);
    if (!(scaled > 0.0)) return 0;
    return static_cast<uint8_t>(scaled);
}

void put_figures(Writer& out, uint8_t type, const Source& source, const PublishedStats& figures, uint64_t now) {
    uint32_t sender_ttl = source.sender_ttl != 0 ? source.sender_ttl : MULTICAST_HOPS;
    out.put_byte(type);
    out.put_byte(FIGURES_LENGTH);
    out.put_word(static_cast<uint32_t>(figures.timestamp));
    out.put_word(static_cast<uint32_t>((now - source.created_ms) / 1000));
    out.put_byte(static_cast<uint8_t>(sender_ttl - figures.ttl));
    out.put_word(float_bits(figures.delay));
    out.put_word(float_bits(figures.jitter));
    out.put_byte(fraction_byte(figures.loss));
    out.put_byte(duplicate_byte(figures.dup));
    out.put_byte(fraction_byte(figures.ooo));
}

int32_t encode_websites(Writer& out, const Settings& config, uint32_t beacon_flags) {
    for (const auto& site : config.websites) {
        if (site.first < 0 || site.first > 255) return -1;
        if (!out.put_tlv(static_cast<uint8_t>(site.first), site.second)) return -1;
    }
    if (!config.country_code.empty() && !out.put_tlv(TLV_COUNTRY, config.country_code)) return -1;
    uint8_t flags[4];
    put_u32(flags, beacon_flags);
    if (!out.put_tlv(TLV_FLAGS, flags, sizeof flags)) return -1;
    return out.length();
}

// Sources the last report built had figures for but could not hold.
uint32_t sources_left_out = 0;
bool cut_logged = false;

// Lists the Sources in key order until one does not fit; the report then
// ends there.
int32_t encode_sources(Writer& out, uint32_t kind, const SourceTable& table, uint64_t now) {
    sources_left_out = 0;
    for (const auto& entry : table.sources) {
        const Address& key = entry.first;
        const Source& source = entry.second;
        bool asm_valid = source.asm_stats.figures.valid;
        bool ssm_valid = source.ssm_stats.figures.valid;
        if (!asm_valid && !ssm_valid) continue;
        if (kind == SEND_MAP_REPORT && !source.identified) continue;
        if (sources_left_out > 0) {
            ++sources_left_out;
            continue;
        }
        const uint8_t* address = key.address_bytes();
        if (!address) continue;
        size_t address_size = key.address_size();

        size_t value_length = address_size + 2;
        size_t name_length = 0;
        size_t contact_length = 0;
        if (kind == SEND_REPORT) {
            value_length += (asm_valid ? 2 + FIGURES_LENGTH : 0) + (ssm_valid ? 2 + FIGURES_LENGTH : 0);
        } else {
            // The value must stay within its length byte: cut the contact
            // first, then the name.
            size_t room = TLV_VALUE_MAX - value_length - 4;
            name_length = std::min(source.name.size(), room);
            contact_length = std::min(source.contact.size(), room - name_length);
            value_length += 4 + name_length + contact_length;
        }
        if (!out.fits(2 + static_cast<int64_t>(value_length))) {
            ++sources_left_out;
            continue;
        }

        out.put_byte(address_size == 16 ? TLV_SOURCE_IPV6 : TLV_SOURCE_IPV4);
        out.put_byte(static_cast<uint8_t>(value_length));
        out.put(address, address_size);
        out.put_byte(static_cast<uint8_t>(key.port() >> 8));  // network order, as stored
        out.put_byte(static_cast<uint8_t>(key.port()));
        if (kind == SEND_REPORT) {
            if (asm_valid) put_figures(out, TLV_ASM_STATS, source, source.asm_stats.figures, now);
            if (ssm_valid) put_figures(out, TLV_SSM_STATS, source, source.ssm_stats.figures, now);
        } else {
            out.put_tlv(TLV_NAME, source.name.data(), name_length);
            out.put_tlv(TLV_CONTACT, source.contact.data(), contact_length);
        }
    }
    return out.length();
}

}  // namespace

int32_t encode_report_from(uint8_t* buffer, int32_t capacity, uint32_t kind, const Settings& config,
                           uint32_t beacon_flags, const SourceTable& table, uint64_t now) {
    if (kind != SEND_REPORT && kind != SEND_MAP_REPORT && kind != SEND_WEBSITE_REPORT && kind != LEAVE_REPORT)
        return -1;
    Writer out(buffer, capacity);
    if (!out.fits(5)) return -1;
    out.put_byte(PACKET_MAGIC_0);
    out.put_byte(PACKET_MAGIC_1);
    out.put_byte(PROTOCOL_VERSION);
    out.put_byte(PACKET_REPORT);
    out.put_byte(MULTICAST_HOPS);
    if (!out.put_tlv(TLV_NAME, config.beacon_name)) return -1;
    if (!out.put_tlv(TLV_CONTACT, config.admin_contact)) return -1;

    switch (kind) {
    case LEAVE_REPORT:
        if (!out.put_tlv(TLV_LEAVE, nullptr, 0)) return -1;
        return out.length();
    case SEND_WEBSITE_REPORT:
        return encode_websites(out, config, beacon_flags);
    default:
        return encode_sources(out, kind, table, now);
    }
}

int32_t encode_report(uint8_t* buffer, int32_t capacity, uint32_t kind) {
    // Only the Source lists need the clock; the farewell report, built in a
    // signal handler, reads nothing but the settings.
    uint64_t now = (kind == SEND_REPORT || kind == SEND_MAP_REPORT) ? now_ms() : 0;
    return encode_report_from(buffer, capacity, kind, settings, runtime.beacon_flags, source_table, now);
}

void send_report(uint32_t kind) {
    int32_t length = encode_report(packet_buffer, PACKET_BUFFER_SIZE, kind == SEND_SSM_REPORT ? SEND_REPORT : kind);
    if (length < 0) return;
    if (kind == SEND_REPORT || kind == SEND_SSM_REPORT) {
        // The beacons at the end of the list drop out of every report, and
        // so out of every other beacon's matrix: say so.
        if (sources_left_out > 0 && !cut_logged) {
            log_message(LOG_WARNING, "Report full at %d bytes: %u beacons at the end of the list left out",
                        static_cast<int>(PACKET_BUFFER_SIZE), static_cast<unsigned>(sources_left_out));
            cut_logged = true;
        } else if (sources_left_out == 0 && cut_logged) {
            log_message(LOG_NOTICE, "Reports hold every beacon again");
            cut_logged = false;
        }
    }
    size_t size = static_cast<size_t>(length);

    if (kind == SEND_SSM_REPORT) {
        const Address& group = runtime.ssm_group;
        ssize_t sent = sendto(runtime.beacon_socket, packet_buffer, size, 0, group.as_sockaddr(), group.length());
        if (sent < 0) {
            fprintf(stderr, "Failed to send SSM report: %s\n", strerror(errno));
            fflush(stderr);
        } else {
            bytes_sent += static_cast<uint32_t>(sent);
        }
        return;
    }

    for (const Address& destination : runtime.report_destinations) {
        char text[64];
        destination.to_string(text, sizeof text, true);
        if (settings.verbose != 0) {
            fprintf(stderr, "Sending Report to %s\n", text);
            fflush(stderr);
        }
        ssize_t sent =
            sendto(runtime.beacon_socket, packet_buffer, size, 0, destination.as_sockaddr(), destination.length());
        if (sent < 0) {
            fprintf(stderr, "Failed to send report to %s: %s\n", text, strerror(errno));
            fflush(stderr);
        } else {
            bytes_sent += static_cast<uint32_t>(sent);
        }
    }
}
