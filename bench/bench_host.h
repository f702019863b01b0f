// What the benchmarks that act as a host share: the library loaded with
// dlopen and its exports resolved, as a host does, Python scans and files,
// clock helpers, and the summary of a series of timed host calls.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "vantrel.h"

using Clock = std::chrono::steady_clock;

// The library's exports, resolved from the loaded library.
struct Vantrel {
    decltype(&::lsp_set_executable_path) lsp_set_executable_path = nullptr;
    decltype(&::enqueue_scan_file) enqueue_scan_file = nullptr;
    decltype(&::enqueue_find_symbols_in_text) enqueue_find_symbols_in_text = nullptr;
    decltype(&::enqueue_lsp_find_references) enqueue_lsp_find_references = nullptr;
    decltype(&::enqueue_stop) enqueue_stop = nullptr;
    decltype(&::free_memory) free_memory = nullptr;
};

inline Vantrel g_vantrel;

template <typename Function>
bool resolve(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    if (function == nullptr) fprintf(stderr, "%s: %s\n", name, dlerror());
    return function != nullptr;
}

inline bool load_library(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        fprintf(stderr, "%s\n", dlerror());
        return false;
    }
    return resolve(handle, "lsp_set_executable_path", g_vantrel.lsp_set_executable_path) &&
           resolve(handle, "enqueue_scan_file", g_vantrel.enqueue_scan_file) &&
           resolve(handle, "enqueue_find_symbols_in_text", g_vantrel.enqueue_find_symbols_in_text) &&
           resolve(handle, "enqueue_lsp_find_references", g_vantrel.enqueue_lsp_find_references) &&
           resolve(handle, "enqueue_stop", g_vantrel.enqueue_stop) &&
           resolve(handle, "free_memory", g_vantrel.free_memory);
}

inline void scan(const std::string& path, Scan_Callback callback = nullptr) {
    g_vantrel.enqueue_scan_file(callback, 0, path.data(), static_cast<uint32_t>(path.size()),
                                VANTREL_PYTHON);
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

inline double milliseconds_between(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

inline double milliseconds_since(Clock::time_point start) {
    return milliseconds_between(start, Clock::now());
}

inline void ignore_links(uint64_t, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
}

// Nearest rank.
inline double percentile(const std::vector<double>& sorted, double fraction) {
    size_t rank = static_cast<size_t>(std::ceil(fraction * sorted.size()));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

// One line: how many calls of a kind were timed, their median, 99th
// percentile and longest.
inline void print_calls(const char* what, std::vector<double> milliseconds) {
    if (milliseconds.empty()) {
        printf("  %s: none\n", what);
        return;
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    printf("  %s: %zu, median %.2f ms, p99 %.2f ms, max %.2f ms\n", what, milliseconds.size(),
           percentile(milliseconds, 0.5), percentile(milliseconds, 0.99), milliseconds.back());
}
