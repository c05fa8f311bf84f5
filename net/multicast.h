// Multicast sockets: one routine opens every socket of the beacon with the
// same options; group and (S,G) membership.
#pragma once

class Address;

constexpr int MULTICAST_HOPS = 127;

// The receive buffer each socket asks for: room for several seconds of a
// full mesh's probes and reports should the loop fall behind.  Without
// CAP_NET_ADMIN the kernel grants at most net.core.rmem_max.
constexpr int RECEIVE_BUFFER_BYTES = 4 * 1024 * 1024;

int protocol_level(const Address& address);

// Selects join_group_filter_api when the protocol-independent filter
// interface answers; join_group_classic stays selected otherwise.
void detect_multicast_api();
bool filter_api_selected();

int join_group(int fd, const Address& group);
int join_group_classic(int fd, const Address& group);
int join_group_filter_api(int fd, const Address& group);
int join_ssm_source(int fd, const Address& group, const Address& source);
int leave_ssm_source(int fd, const Address& group, const Address& source);

// The new descriptor, or -1 after its own perror line.
int open_multicast_socket(const Address& address, bool bind_to_address, bool skip_join);
// The receive buffer the kernel granted (its own figure, twice what a
// socket asks for, bookkeeping included), or 0.
int granted_receive_buffer(int fd);
bool set_multicast_hops(int fd, const Address& address, int hops);
bool request_destination_info(int fd, const Address& address);
