// The local beacon's own place in the network, settled by start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/address.h"

constexpr int KIND_ASM = 0;
constexpr int KIND_SSM = 1;
constexpr int KIND_SSMPING = 2;

struct GroupEntry {
    Address address;
    int kind;
};

struct Runtime {
    Address beacon_group;
    std::string beacon_group_label;
    Address ssm_group;
    Address local_address;
    int beacon_socket = -1;
    int ssm_socket = 0;  // 0: SSM reception is off
    uint32_t beacon_flags = 0;
    std::vector<GroupEntry> groups;
    std::vector<Address> report_destinations;
};

extern Runtime runtime;
