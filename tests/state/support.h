// Helpers of the state tests: expected lines as vectors, and an SSM
// membership that records what the table asks of it.
#pragma once

#include <string>
#include <vector>

#include "net/address.h"
#include "state/source_table.h"
#include "tests/test_support.h"

// The expected lines (or calls), as a vector to compare with.
template <typename... T>
std::vector<std::string> lines_of(T... text) {
    return {std::string(text)...};
}

// Records every join and leave ("join 10.0.0.1/10000") and the addresses
// joined; join() gives `result`.
struct RecordingMembership : SsmMembership {
    std::vector<std::string> calls;
    std::vector<Address> joined_keys;
    int result = 0;
    int join(const Address& source) override {
        calls.push_back("join " + source.to_string(true));
        joined_keys.push_back(source);
        return result;
    }
    void leave(const Address& source) override { calls.push_back("leave " + source.to_string(true)); }
};
