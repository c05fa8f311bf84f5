#include "view/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace view {

std::string write_atomically(const std::string& path, const std::string& content) {
    std::string pattern = path + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return path + ": " + std::strerror(errno);
    std::string temporary(name.data());
    // mkstemp makes the file private; a page is for everyone the umask allows.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    const char* p = content.data();
    size_t left = content.size();
    int error = 0;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return path + ": " + std::strerror(error);
    }
    return {};
}

}  // namespace view
