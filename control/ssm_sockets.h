// The system side of the SSM channel's receive sockets: opened like the
// first one, registered in the main loop's wait, joined and left per source.
#pragma once

#include "state/ssm_channel.h"

// Descriptors kept free below the process's limit when opening another SSM
// socket: the dump's temporary file and the launched program need some.
constexpr int SSM_DESCRIPTOR_RESERVE = 4;

class SystemSsmSockets : public SsmSocketSystem {
public:
    int open(int& error) override;
    int join(int fd, const Address& source) override;
    void leave(int fd, const Address& source) override;
    void close(int fd) override;
};
