#include "state/source_table.h"

#include <cerrno>
#include <cstring>

#include "control/log.h"
#include "control/settings.h"

SourceTable source_table;

namespace {

constexpr size_t ADDRESS_TEXT_SIZE = 64;

struct AddressText {
    char text[ADDRESS_TEXT_SIZE];
    explicit AddressText(const Address& address) {
        text[0] = '\0';
        address.to_string(text, sizeof text, true);
    }
};

}  // namespace

void Source::record_probe(uint8_t ttl, uint32_t seq, uint32_t ts, uint64_t now, uint64_t receive_ms, bool ssm,
                          uint32_t local_drops) {
    if (settings.verbose >= 3) {
        log_info("beacon(%s%s) update %u, %llu, %llu", name.c_str(), ssm ? "/SSM" : "", seq,
                 static_cast<unsigned long long>(ts), static_cast<unsigned long long>(now));
    }
    (ssm ? ssm_stats : asm_stats).update(ttl, seq, ts, now, receive_ms, local_drops);
}

void SourceTable::log_refusal() {
    if (refusal_logged_) return;
    refusal_logged_ = true;
    log_message(LOG_WARNING,
                "Source table full (%u sources, %u reported entries): ignoring new beacons until entries expire",
                static_cast<unsigned>(sources.size()), static_cast<unsigned>(external_count_));
}

Source* SourceTable::get_or_create_source(const Address& address, const char* name, uint64_t now, bool direct) {
    // Only family, address and port make a key: a received sender's scope
    // identifier or flow label must not split one beacon into two entries.
    Address key = address.key();
    auto it = sources.find(key);
    if (it != sources.end()) {
        Source& known = it->second;
        known.last_update_ms = now;
        if (direct) known.last_local_rx_ms = now;
        return &known;
    }
    if (sources.size() >= MAX_SOURCES) {
        log_refusal();
        return nullptr;
    }

    Source& source = sources.emplace(key, Source()).first->second;
    AddressText text(key);
    if (settings.verbose != 0) {
        if (name != nullptr)
            log_info("Adding source %s [%s]", text.text, name);
        else
            log_info("Adding source %s", text.text);
    }
    if (name != nullptr) set_name(source, name);
    source.created_ms = now;
    source.last_update_ms = now;
    if (direct) source.last_local_rx_ms = now;

    if (ssm != nullptr) {
        // The kernel keeps one (S,G) membership per source address, whatever
        // the port: a second Source on the same address (a bootstrap entry
        // on the default port, a beacon restarted on a new port) shares it.
        Address channel = key;
        channel.set_port(0);
        auto member = ssm_members_.find(channel);
        int error = 0;
        if (member == ssm_members_.end()) {
            error = ssm->join(key);
            if (error == 0) ssm_members_.emplace(channel, 1);
        } else {
            ++member->second;
        }
        if (error != 0) {
            if (settings.verbose != 0)
                log_info("Failed to join SSM (S,G) where S = %s, reason: %s", text.text, strerror(error));
        } else {
            source.ssm_member = true;
            if (settings.verbose >= 2) log_info("Joined SSM (S, G) where S = %s", text.text);
        }
    }
    return &source;
}

void SourceTable::remove_source(const Address& address, bool by_timeout) {
    Address key = address.key();
    auto it = sources.find(key);
    if (it == sources.end()) return;
    Source& source = it->second;
    AddressText text(key);
    const char* suffix = by_timeout ? " by Timeout" : "";
    if (settings.verbose != 0) {
        if (source.identified)
            log_info("Removing source %s [%s]%s", text.text, source.name.c_str(), suffix);
        else
            log_info("Removing source %s%s", text.text, suffix);
    }
    // The membership goes when the last Source of that address goes.
    if (ssm != nullptr && source.ssm_member) {
        Address channel = key;
        channel.set_port(0);
        auto member = ssm_members_.find(channel);
        if (member != ssm_members_.end() && --member->second == 0) {
            ssm->leave(key);
            ssm_members_.erase(member);
        }
    }
    external_count_ -= source.external_sources.size();
    sources.erase(it);
}

ExternalSource* SourceTable::get_or_create_external(Source& source, const Address& address, uint64_t now) {
    Address key = address.key();
    auto it = source.external_sources.find(key);
    if (it != source.external_sources.end()) {
        it->second.last_update_ms = now;
        return &it->second;
    }
    if (source.external_sources.size() >= MAX_EXTERNALS_PER_SOURCE || external_count_ >= MAX_EXTERNALS_TOTAL) {
        log_refusal();
        return nullptr;
    }
    ExternalSource& entry = source.external_sources.emplace(key, ExternalSource()).first->second;
    ++external_count_;
    entry.age = 0;
    if (settings.verbose != 0) {
        AddressText text(key);
        log_info("Adding external source (%s) %s", source.name.c_str(), text.text);
    }
    entry.last_update_ms = now;
    return &entry;
}

ExternalMap::iterator SourceTable::erase_external(Source& source, ExternalMap::iterator it) {
    --external_count_;
    return source.external_sources.erase(it);
}

void SourceTable::clear() {
    sources.clear();
    external_count_ = 0;
    refusal_logged_ = false;
    ssm_members_.clear();
}

void set_name(Source& source, const std::string& name) {
    source.name = name;
    source.identified = true;
}

bool is_rxlocal(const Source& source, uint64_t now) {
    // 0 means never heard directly; without this test a Source known only
    // from others' reports would count as local while the clock is young.
    if (source.last_local_rx_ms == 0) return false;
    return now - source.last_local_rx_ms < source_timeout_ms();
}
