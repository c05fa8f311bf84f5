/* A wall clock shifted at run time, for one beacon in the lab: loaded with
 * LD_PRELOAD, it adds the milliseconds written in the file named by
 * LAB_CLOCK_SHIFT_FILE (none or 0: no shift) to gettimeofday() and to the
 * kernel receive time stamps (SCM_TIMESTAMP) that recvmsg() returns, so the
 * process sees its probes' send and receive times as a host whose clock is
 * that far ahead would.  The file is read at every call, so the shift can be
 * turned on and off while the process runs. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static long shift_ms(void) {
    const char *path = getenv("LAB_CLOCK_SHIFT_FILE");
    if (!path) return 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    return strtol(text, NULL, 10);
}

static void shift(struct timeval *tv, long ms) {
    long long us = (long long)tv->tv_sec * 1000000 + tv->tv_usec + (long long)ms * 1000;
    tv->tv_sec = us / 1000000;
    tv->tv_usec = us % 1000000;
}

int gettimeofday(struct timeval *restrict tv, void *restrict tz) {
    static int (*real)(struct timeval *, void *);
    if (!real) real = (int (*)(struct timeval *, void *))dlsym(RTLD_NEXT, "gettimeofday");
    int result = real(tv, tz);
    if (result == 0) shift(tv, shift_ms());
    return result;
}

ssize_t recvmsg(int fd, struct msghdr *msg, int flags) {
    static ssize_t (*real)(int, struct msghdr *, int);
    if (!real) real = (ssize_t (*)(int, struct msghdr *, int))dlsym(RTLD_NEXT, "recvmsg");
    ssize_t result = real(fd, msg, flags);
    if (result < 0 || !msg->msg_control) return result;
    long ms = shift_ms();
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMP) continue;
        struct timeval tv;
        memcpy(&tv, CMSG_DATA(c), sizeof tv);
        shift(&tv, ms);
        memcpy(CMSG_DATA(c), &tv, sizeof tv);
    }
    return result;
}
