// What the tests of parse memory share: texts whose parse holds much memory
// or takes long, and the process's address space and its limit.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <random>
#include <string>

// RLIMIT_AS cannot be lowered under a sanitizer's shadow memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

constexpr size_t MEGABYTE = size_t{1} << 20;

// Each "([" opens two levels: a parse holds about 250 bytes per byte of it.
inline std::string deeply_nested(size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += "([";
    return text;
}

// Bytes that are no language: tree-sitter takes a second or more per
// megabyte, going from error to error.
inline std::string random_bytes(size_t bytes) {
    std::mt19937 random(7);
    std::string text(bytes, '\0');
    for (char& byte : text) byte = static_cast<char>(random());
    return text;
}

// A Python text of about `bytes` bytes of short functions; its parse holds
// about 60 bytes per byte of it.
inline std::string python_functions(size_t bytes) {
    std::string text;
    for (size_t i = 0; text.size() < bytes; ++i)
        text += "def f" + std::to_string(i) + "(a, b):\n    return a + b * (c - d)\n";
    return text;
}

// Runs body in a forked child, which leaves with body's result through
// _exit (no exit handler runs there); returns the child's wait status.
template <typename Body>
int wait_status_of_child(Body body) {
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

inline size_t address_space_in_use() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Lowers the soft RLIMIT_AS for as long as it lives.
class Address_Space_Limit {
public:
    explicit Address_Space_Limit(rlim_t bytes) {
        getrlimit(RLIMIT_AS, &before_);
        rlimit limit = before_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_AS, &limit);
    }
    Address_Space_Limit(const Address_Space_Limit&) = delete;
    Address_Space_Limit& operator=(const Address_Space_Limit&) = delete;
    ~Address_Space_Limit() { setrlimit(RLIMIT_AS, &before_); }

private:
    rlimit before_;
};
