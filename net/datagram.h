// Receiving a datagram with its hop count, receive time and destination;
// sending from a chosen IPv6 source.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

class Address;

// Room for every control message the receive sockets ask for at once: the
// time stamp, the hop count, the socket's drop count and, on the SSM Ping
// socket, the IPv6 destination (32 + 24 + 16 + 40 bytes on 64-bit Linux).  64 bytes would lose the
// destination and the hop limit of every IPv6 SSM Ping request.
constexpr size_t CONTROL_BUFFER_SIZE = 256;

int64_t wallclock_ms();

// Gives the length, or the negative recvmsg result with no output written.
// drops, when given, receives the number of datagrams the socket has
// dropped for want of buffer space since it was opened, as of this
// datagram's arrival (0 when the kernel sends no count: none yet).
int receive_datagram(int fd, Address& from, Address& to, uint8_t* buffer, int capacity, int& hop_count,
                     uint64_t& receive_ms, uint32_t* drops = nullptr);

// Reads the ancillary data of a received message: the hop count (both IPv4
// forms and IPv6), the kernel time stamp, the socket's drop count and the
// IPv6 destination.  The outputs keep their values where no message says
// otherwise.
void read_control_messages(const struct msghdr& message, Address& to, int& hop_count, uint64_t& receive_ms,
                           uint32_t* drops = nullptr);

int send_from(int fd, const uint8_t* data, int length, const Address& source_address,
              const Address& destination_address);
