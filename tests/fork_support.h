// What the tests that fork share: a child that runs a body and ends through
// exit() as a host would, and its status, waited for with a hang detector.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

// Set in each forked child. A child gives up its copies of the library's
// objects rather than destroy them, so leak checking at its exit would
// report them.
inline bool g_in_child = false;

// Asked by LeakSanitizer, when the program runs under it, before it checks.
// Each test program is one source file, so this is defined once.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
    return g_in_child ? 1 : 0;
}

// Forks a child that runs body, then ends with exit(status) as a host would:
// through the exit handlers, the library's included.
template <typename Body>
pid_t fork_child(Body body) {
    pid_t child = fork();
    if (child == 0) {
        g_in_child = true;
        std::exit(body());
    }
    return child;
}

// The child's wait status once it has ended, or none if it is still running
// at the deadline (it is then killed: a hang fails the test instead of
// stalling it).
inline std::optional<int> status_of(pid_t child, std::chrono::steady_clock::time_point deadline) {
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

inline std::optional<int> status_of(pid_t child,
                                    std::chrono::seconds limit = std::chrono::seconds(10)) {
    return status_of(child, std::chrono::steady_clock::now() + limit);
}

inline bool exited_with(std::optional<int> status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}
