// The receive sockets of the SSM channel and the (S,G) memberships they hold.
//
// Linux lets one socket join only so many sources of a group
// (net.ipv4.igmp_max_msf, 10 by default; net.ipv6.mld_max_msf, 64), and
// refuses the next join with ENOBUFS.  So that a beacon receives SSM from
// every beacon of a large group without touching any sysctl, a join refused
// that way goes to another socket of the channel, opened when every open one
// is full.  A membership stays on the socket that holds it and is left there;
// a socket that holds none any more is closed, except the first, which start-up
// opened and which stays for the life of the beacon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "net/address.h"
#include "state/source_table.h"

// What the channel asks of the system; tests replace it.
class SsmSocketSystem {
public:
    virtual ~SsmSocketSystem() = default;
    // A new receive socket of the channel (same group, port and options as
    // the first), already in the main loop's wait: its descriptor, or -1
    // with the system's error number in `error`.
    virtual int open(int& error) = 0;
    // 0 on success, else the system's error number.
    virtual int join(int fd, const Address& source) = 0;
    virtual void leave(int fd, const Address& source) = 0;
    // Out of the wait, then closed.
    virtual void close(int fd) = 0;
};

class SsmChannel : public SsmMembership {
public:
    SsmChannel(SsmSocketSystem& system, int first_fd);

    int join(const Address& source) override;
    void leave(const Address& source) override;

    struct Socket {
        int fd;
        uint32_t members;
        bool full;  // the last join here was refused for the source limit
    };
    const std::vector<Socket>& sockets() const { return sockets_; }
    // The descriptor holding the membership of the source's address; -1 for none.
    int holder(const Address& source) const;

private:
    // Joins on sockets_[index]: 0, or the system's error number.
    int join_on(size_t index, const Address& source, const Address& channel);
    void log_join(size_t index, const Address& source) const;

    SsmSocketSystem& system_;
    std::vector<Socket> sockets_;
    // Membership by source address (port 0) -> descriptor of its socket.
    std::map<Address, int, AddressLess> holders_;
    // An open failed: no further socket is tried until one is closed.
    bool open_failed_ = false;
    bool limit_warned_ = false;
};
