#pragma once

#include <cstdint>

class Address;

constexpr uint16_t SSMPING_PORT = 4321;
constexpr int SSMPING_HOPS = 64;
constexpr int SSMPING_MAX_REQUEST = 1000;
constexpr const char* SSMPING_GROUP_IPV6 = "ff3e::4321:1234";
constexpr const char* SSMPING_GROUP_IPV4 = "232.43.211.234";

extern int ssmping_socket;

int setup_ssmping();
void handle_ssmping(int fd, const Address& from, const Address& to, uint8_t* data, int length);
