// Small helpers the unit tests of several subsystems share: addresses built
// without the resolver, figures as a report carries them, captured log
// lines, text written to a stream and attributes read back from the dump.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/address.h"
#include "state/stats.h"

// A numeric address with a port, built without the resolver; a text that
// does not parse fails the calling test.
inline Address make_address(int family, const char* text, uint16_t port) {
    Address a;
    EXPECT_TRUE(a.set_family(family));
    EXPECT_TRUE(a.set_address(text)) << text;
    EXPECT_TRUE(a.set_port(port));
    return a;
}

// The same, the family taken from the text: IPv6 when it holds a colon.
inline Address make_address(const char* text, uint16_t port) {
    return make_address(strchr(text, ':') ? AF_INET6 : AF_INET, text, port);
}

// Valid figures of one channel with the given values; the time stamp and
// the time of the update stay zero unless the caller sets them.
inline PublishedStats published_figures(uint8_t ttl, float delay, float jitter, float loss, float dup, float ooo) {
    PublishedStats f;
    f.ttl = ttl;
    f.delay = delay;
    f.jitter = jitter;
    f.loss = loss;
    f.dup = dup;
    f.ooo = ooo;
    f.valid = 1;
    return f;
}

// The messages of captured log lines, without their time stamps
// ("Jun 11 12:34:56.123456 message").
inline std::vector<std::string> log_messages(const std::string& captured) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < captured.size()) {
        size_t end = captured.find('\n', start);
        if (end == std::string::npos) end = captured.size();
        std::string line = captured.substr(start, end - start);
        size_t dot = line.find('.');
        out.push_back(dot != std::string::npos && line.size() > dot + 8 ? line.substr(dot + 8) : line);
        start = end + 1;
    }
    return out;
}

// What write(FILE*) puts on a stream, as text.
template <typename Write>
std::string written_text(Write write) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    EXPECT_NE(out, nullptr);
    write(out);
    fclose(out);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

// Undoes the escaping of one attribute value of the dump (the five entities
// and decimal character references of single bytes).
inline std::string unescape_attribute(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '&') {
            out += value[i];
            continue;
        }
        size_t end = value.find(';', i);
        std::string ref = value.substr(i + 1, end - i - 1);
        if (ref == "quot")
            out += '"';
        else if (ref == "lt")
            out += '<';
        else if (ref == "gt")
            out += '>';
        else if (ref == "amp")
            out += '&';
        else if (ref == "apos")
            out += '\'';
        else if (!ref.empty() && ref[0] == '#')
            out += static_cast<char>(std::stoi(ref.substr(1)));
        else
            out += "<bad reference>";
        i = end;
    }
    return out;
}
