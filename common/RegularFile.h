// Reading a whole file that the user names (saved settings, a reference)
// without ever waiting on it: a FIFO or a device in its place would hold
// open() or read() until some other process acts. POSIX only.
#pragma once

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The whole of the regular file at path into text. It is opened without
// blocking and refused unless it is a regular file (a FIFO, a device or a
// directory). False with the reason in error (the system's text for a
// failed call); errno is ENOENT after a false only when there is no such
// file.
inline bool read_regular_file(const char* path, std::string& text, std::string& error)
{
    // Looked at before it is opened, so that no device is ever opened, and
    // again once open, should another file have taken its name.
    struct stat st;
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "it is no regular file";
        errno = 0;
        return false;
    }
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        error = std::strerror(errno);
        return false;
    }
    bool ok = fstat(fd, &st) == 0;
    if (!ok) {
        error = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = "it is no regular file";
        ok = false;
    }
    text.clear();
    char chunk[65536];
    while (ok) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0)
            text.append(chunk, static_cast<size_t>(n));
        else if (n == 0)
            break;
        else if (errno != EINTR) {
            error = std::strerror(errno);
            ok = false;
        }
    }
    ::close(fd);
    errno = 0;
    return ok;
}
