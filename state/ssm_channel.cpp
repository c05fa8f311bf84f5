#include "state/ssm_channel.h"

#include <cerrno>
#include <cstring>

#include "control/log.h"
#include "control/settings.h"

namespace {

Address channel_of(const Address& source) {
    Address channel = source.key();
    channel.set_port(0);
    return channel;
}

}  // namespace

SsmChannel::SsmChannel(SsmSocketSystem& system, int first_fd) : system_(system) {
    sockets_.push_back({first_fd, 0, false});
}

int SsmChannel::holder(const Address& source) const {
    auto it = holders_.find(channel_of(source));
    return it == holders_.end() ? -1 : it->second;
}

int SsmChannel::join_on(size_t index, const Address& source, const Address& channel) {
    Socket& socket = sockets_[index];
    int error = system_.join(socket.fd, source);
    if (error != 0) {
        if (error == ENOBUFS) socket.full = true;
        return error;
    }
    ++socket.members;
    holders_[channel] = socket.fd;
    return 0;
}

void SsmChannel::log_join(size_t index, const Address& source) const {
    if (settings.verbose < 2) return;
    char text[64];
    source.to_string(text, sizeof text, true);
    log_info("SSM (S, G) where S = %s is on SSM socket %u of %u (descriptor %d)", text,
             static_cast<unsigned>(index + 1), static_cast<unsigned>(sockets_.size()), sockets_[index].fd);
}

int SsmChannel::join(const Address& source) {
    const Address channel = channel_of(source);
    if (holders_.count(channel) != 0) return 0;  // already held, whatever the port

    for (size_t i = 0; i < sockets_.size(); ++i) {
        if (sockets_[i].full) continue;
        int error = join_on(i, source, channel);
        if (error == 0) log_join(i, source);
        if (error != ENOBUFS) return error;
    }

    // Every open socket is at its source limit.
    if (open_failed_) return ENOBUFS;
    int open_error = 0;
    int fd = system_.open(open_error);
    if (fd < 0) {
        open_failed_ = true;
        if (!limit_warned_) {
            limit_warned_ = true;
            log_message(LOG_WARNING,
                        "SSM join refused: every SSM socket (%u) is at its source limit and no further socket "
                        "can be opened (%s); raise the descriptor limit to receive SSM from every beacon",
                        static_cast<unsigned>(sockets_.size()), strerror(open_error != 0 ? open_error : EMFILE));
        }
        return ENOBUFS;
    }
    sockets_.push_back({fd, 0, false});
    int error = join_on(sockets_.size() - 1, source, channel);
    if (error != 0) {
        // Refused on a fresh socket too: whatever limits it, it is not this
        // socket's, and another socket would not help.
        system_.close(fd);
        sockets_.pop_back();
        return error;
    }
    if (settings.verbose != 0)
        log_info("Opened SSM socket %u (descriptor %d): the other SSM sockets are at their source limit",
                 static_cast<unsigned>(sockets_.size()), fd);
    log_join(sockets_.size() - 1, source);
    return 0;
}

void SsmChannel::leave(const Address& source) {
    auto it = holders_.find(channel_of(source));
    if (it == holders_.end()) return;
    const int fd = it->second;
    holders_.erase(it);
    for (size_t i = 0; i < sockets_.size(); ++i) {
        Socket& socket = sockets_[i];
        if (socket.fd != fd) continue;
        system_.leave(fd, source);
        if (socket.members > 0) --socket.members;
        socket.full = false;
        if (socket.members == 0 && i != 0) {
            system_.close(fd);
            sockets_.erase(sockets_.begin() + static_cast<std::ptrdiff_t>(i));
            open_failed_ = false;  // a descriptor is free again
            if (settings.verbose != 0)
                log_info("Closed SSM socket (descriptor %d): it holds no membership any more", fd);
        }
        return;
    }
}
