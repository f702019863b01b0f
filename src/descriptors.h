// The library's descriptors stay off 0, 1 and 2. A host that closed its
// standard streams (as daemons do) would otherwise find the library's files,
// pipes and pidfds there, and its own output, or a child's standard streams,
// would go to them.
#pragma once

#include <fcntl.h>
#include <unistd.h>

// fd itself when it is above the standard streams (or -1); else a
// close-on-exec copy at the lowest free number from 3, with fd closed, or -1
// when no such number is free.
inline int above_standard_streams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}
