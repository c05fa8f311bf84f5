#include "control/ssm_sockets.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "control/runtime.h"
#include "net/multicast.h"
#include "scheduler/main_loop.h"

namespace {

bool leaves_reserve(int fd) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    return static_cast<rlim_t>(fd) + SSM_DESCRIPTOR_RESERVE < limit.rlim_cur;
}

}  // namespace

int SystemSsmSockets::open(int& error) {
    errno = 0;
    int fd = open_multicast_socket(runtime.ssm_group, true, true);
    if (fd < 0) {
        error = errno != 0 ? errno : EMFILE;
        return -1;
    }
    if (!leaves_reserve(fd) || !register_receive_socket(KIND_SSM, fd)) {
        ::close(fd);
        error = EMFILE;
        return -1;
    }
    return fd;
}

int SystemSsmSockets::join(int fd, const Address& source) {
    if (join_ssm_source(fd, runtime.ssm_group, source) == 0) return 0;
    return errno != 0 ? errno : EINVAL;
}

void SystemSsmSockets::leave(int fd, const Address& source) { leave_ssm_source(fd, runtime.ssm_group, source); }

void SystemSsmSockets::close(int fd) {
    unregister_receive_socket(fd);
    ::close(fd);
}
