#include "protocol/ssmping.h"

#include <sys/socket.h>
#include <unistd.h>

#include "control/log.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "net/datagram.h"
#include "net/multicast.h"
#include "scheduler/main_loop.h"

int ssmping_socket = -1;

namespace {

int give_up_setup() {
    close(ssmping_socket);
    ssmping_socket = -1;
    return -1;
}

}  // namespace

int setup_ssmping() {
    Address address;
    if (!address.set_family(runtime.local_address.family()) || !address.set_port(SSMPING_PORT)) return -1;
    // Bound to the wildcard address: not multicast, so nothing is joined.
    ssmping_socket = open_multicast_socket(address, true, false);
    if (ssmping_socket < 0) {
        ssmping_socket = -1;
        return -1;
    }
    if (!set_multicast_hops(ssmping_socket, address, SSMPING_HOPS)) return give_up_setup();
    if (!request_destination_info(ssmping_socket, address)) return give_up_setup();
    // A socket the loop cannot wait on would never answer; announcing the
    // responder would then be false.
    if (!register_receive_socket(KIND_SSMPING, ssmping_socket)) return give_up_setup();
    return 0;
}

void handle_ssmping(int fd, const Address& from, const Address& to, uint8_t* data, int length) {
    if (!data || length < 1 || length > SSMPING_MAX_REQUEST || data[0] != 'Q') return;
    if (settings.verbose >= 2) {
        char text[64];
        from.to_string(text, sizeof text, true);
        log_info("Got SSM Ping Request from %s", text);
    }
    data[0] = 'A';
    // The unicast answer first; the requester compares it with the
    // multicast one.
    if (send_from(fd, data, length, to, from) < 0) return;
    Address group = from.key();
    if (!group.set_address(from.family() == AF_INET6 ? SSMPING_GROUP_IPV6 : SSMPING_GROUP_IPV4)) return;
    send_from(fd, data, length, to, group);
}
