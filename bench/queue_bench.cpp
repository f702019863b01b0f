// Queue benchmark: what the host interface itself costs, through the exported
// functions. Four figures: the round trip of a waiting find on an empty
// index; how fast many host threads can queue scans (most of them dropped as
// duplicates, as when an editor re-saves files); how long a waiting find
// takes while thousands of scans of real files are queued ahead of it; and
// what a find of a gigabyte costs once enqueue_stop has returned.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "vantrel.h"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void ignore_links(uint64_t, Host_Definition_Link* links, uint64_t, char* strings) {
    free_memory(links);
    free_memory(strings);
}

void waiting_find(const std::string& text) {
    enqueue_find_symbols_in_text(ignore_links, 0, text.data(), static_cast<uint32_t>(text.size()), false,
                                 true, nullptr, 0);
}

void wait_until_idle() {
    while (get_pending_tasks_count() != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void measure_round_trip() {
    constexpr int rounds = 20000;
    std::string text = "x = alpha(beta) + gamma";
    waiting_find(text);
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        Clock::time_point start = Clock::now();
        waiting_find(text);
        times.push_back(microseconds_since(start));
    }
    printf("waiting find round trip, empty index: median %.1f us over %d finds\n", median(times), rounds);
}

void measure_enqueue_rate(const std::string& dir) {
    constexpr int threads = 16;
    constexpr int scans_per_thread = 20000;
    constexpr int distinct_paths = 64;
    std::vector<std::string> paths;
    for (int i = 0; i < distinct_paths; ++i) paths.push_back(dir + "/missing" + std::to_string(i) + ".py");
    Clock::time_point start = Clock::now();
    std::vector<std::thread> hosts;
    for (int t = 0; t < threads; ++t)
        hosts.emplace_back([&, t] {
            for (int i = 0; i < scans_per_thread; ++i) {
                const std::string& path = paths[(i + t) % distinct_paths];
                enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()), VANTREL_PYTHON);
            }
        });
    for (std::thread& host : hosts) host.join();
    double enqueue_us = microseconds_since(start);
    wait_until_idle();
    double drained_us = microseconds_since(start);
    double calls = double(threads) * scans_per_thread;
    printf("enqueue_scan_file from %d threads, %d paths: %.2f M calls/s (%.0f ns per call), "
           "drained after %.1f ms\n",
           threads, distinct_paths, calls / enqueue_us, enqueue_us * 1000 / calls, drained_us / 1000);
}

// Files of a few hundred bytes, as many small modules.
std::vector<std::string> write_sources(const std::string& dir, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        paths.push_back(dir + "/module" + std::to_string(i) + ".py");
        std::ofstream file(paths.back());
        for (int j = 0; j < 10; ++j)
            file << "class Shape" << i << "_" << j << ":\n    def area" << j << "(self):\n        return " << j
                 << "\n\n";
    }
    return paths;
}

void measure_find_behind_scans(const std::string& dir) {
    constexpr int files = 5000;
    constexpr int finds = 200;
    std::vector<std::string> paths = write_sources(dir, files);
    for (const std::string& path : paths)
        enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()), VANTREL_PYTHON);
    waiting_find("");  // the first scan creates the parsers; measure from here
    std::vector<double> times;
    uint64_t queued_at_start = get_pending_tasks_count();
    Clock::time_point scans_start = Clock::now();
    for (int i = 0; i < finds && get_pending_tasks_count() > 0; ++i) {
        Clock::time_point start = Clock::now();
        waiting_find("Shape1_1 area2 Shape40_3");
        times.push_back(microseconds_since(start));
    }
    wait_until_idle();
    double scan_ms = microseconds_since(scans_start) / 1000;
    printf("waiting find with up to %llu scans queued ahead: median %.1f us, max %.1f us over %zu finds\n",
           static_cast<unsigned long long>(queued_at_start), median(times),
           *std::max_element(times.begin(), times.end()), times.size());
    printf("  (the %d scans drained in %.1f ms)\n", files, scan_ms);
}

long peak_resident_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// After the stop a call does nothing: it should cost nothing either, however
// large its arguments.
void measure_find_after_stop() {
    std::string text(size_t{1} << 30, 'x');
    long peak_before = peak_resident_kib();
    Clock::time_point start = Clock::now();
    waiting_find(text);
    double call_us = microseconds_since(start);
    printf("waiting find of 1 GiB after enqueue_stop: %.1f us, peak resident +%.1f MB\n", call_us,
           double(peak_resident_kib() - peak_before) * 1024 / 1e6);
}

}  // namespace

int main() {
    std::string dir = (std::filesystem::temp_directory_path() / "vantrel-queue-bench-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) return 1;
    measure_round_trip();
    measure_enqueue_rate(dir);
    measure_find_behind_scans(dir);
    enqueue_stop();
    measure_find_after_stop();
    std::filesystem::remove_all(dir);
    return 0;
}
