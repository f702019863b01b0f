// Hostile-input benchmark: what sources made to be hard cost a scan. How long
// a scan goes on once scans are cancelled (as enqueue_stop does) while one
// long token, a scanner's error lexing or an exploding parse stack is being
// worked through; how long parses that turn quadratic take; and how much
// memory an ambiguous parse holds against a small budget.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "scanner.h"

namespace {

using Clock = std::chrono::steady_clock;

// Only the cases whose label holds this text run (all by default).
const char* g_only = "";

bool selected(const char* label) { return std::strstr(label, g_only) != nullptr; }

constexpr size_t KILOBYTE = 1000;
constexpr size_t MEGABYTE = 1000 * KILOBYTE;

double seconds_between(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double>(end - start).count();
}

std::string repeated(const std::string& start, const std::string& unit, size_t bytes) {
    std::string text = start;
    text.reserve(bytes + unit.size());
    while (text.size() < bytes) text += unit;
    return text;
}

std::string random_bytes(size_t bytes, unsigned lowest) {
    std::mt19937 random(11);
    std::string text(bytes, '\0');
    for (char& byte : text) byte = static_cast<char>(lowest + random() % (256 - lowest));
    return text;
}

// Scans text on a thread; `stop_after` into the scan sets g_scans_cancelled,
// and so does `give_up_after` (a bound on the whole run). Prints how long the
// scan went on after the stop, or how long it took when it ended first.
void print_scan(const char* label, const std::string& text, Language language, double stop_after,
                double give_up_after) {
    if (!selected(label)) return;
    Scanner scanner;
    g_scans_cancelled = false;
    bool done = false;
    Clock::time_point start = Clock::now();
    Clock::time_point stopped = Clock::time_point::max();
    std::thread scan([&] {
        scan_file("hostile", text, scanner, language);
        done = true;
    });
    double limit = stop_after > 0 ? stop_after : give_up_after;
    while (!done && seconds_between(start, Clock::now()) < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!done) {
        stopped = Clock::now();
        g_scans_cancelled = true;
    }
    scan.join();
    Clock::time_point end = Clock::now();
    g_scans_cancelled = false;
    if (stopped == Clock::time_point::max())
        std::printf("  %-44s ended by itself after %7.3f s\n", label, seconds_between(start, end));
    else if (stop_after > 0)
        std::printf("  %-44s stopped at %.0f s: returned %7.3f s later\n", label, stop_after,
                    seconds_between(stopped, end));
    else
        std::printf("  %-44s still running at %.0f s: given up (%.3f s to end)\n", label,
                    give_up_after, seconds_between(stopped, end));
    std::fflush(stdout);
}

void print_peak(const char* label, const std::string& text, Language language, size_t budget) {
    if (!selected(label)) return;
    size_t saved = g_parse_limits.memory_budget;
    g_parse_limits.memory_budget = parse_memory_held() + budget;
    Scanner scanner;
    Clock::time_point start = Clock::now();
    scan_file("ambiguous", text, scanner, language);
    double seconds = seconds_between(start, Clock::now());
    size_t peak = last_parse_peak() - (g_parse_limits.memory_budget - budget);
    std::printf("  %-44s peak %7.1f MB = %5.2f x the budget, %.3f s\n", label, peak / 1e6,
                static_cast<double>(peak) / budget, seconds);
    g_parse_limits.memory_budget = saved;
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    double give_up = argc > 1 ? std::atof(argv[1]) : 120;
    if (argc > 2) g_only = argv[2];
    initialize_tree_sitter_globals();

    std::printf("stop during a scan (g_scans_cancelled, as enqueue_stop sets it):\n");
    print_scan("C++, 1 GB unterminated comment, stop at 3 s", repeated("int x; /*", "comment ", 1000 * MEGABYTE),
               6, 3, give_up);
    print_scan("Swift, 100 MB unterminated comment, at 3 s",
               repeated("let x = 1 /*", "comment ", 100 * MEGABYTE), 10, 3, give_up);
    print_scan("Dart, 100 KB of invalid bytes, at 3 s", random_bytes(100 * KILOBYTE, 0x80), 11, 3, give_up);
    print_scan("PHP, 1 GB heredoc, at 3 s", repeated("<?php\n$x = <<<EOT\n", "heredoc ", 1000 * MEGABYTE),
               4, 3, give_up);
    print_scan("Java, 40 KB of a<a<a..., at 3 s", repeated("class A { void f() { ", "a<", 40 * KILOBYTE), 7, 3,
               give_up);

    std::printf("parses that turn quadratic (default limits, given up at %.0f s):\n", give_up);
    for (size_t kilobytes : {22, 45, 90}) {
        std::string label = "Lua, " + std::to_string(kilobytes) + " KB of invalid UTF-8";
        print_scan(label.c_str(), "x = 1\n" + random_bytes(kilobytes * KILOBYTE, 0x80), 14, 0, give_up);
    }
    print_scan("Dart, 40 KB of a<a<a...", repeated("", "a<", 40 * KILOBYTE), 11, 0, give_up);

    std::printf("ambiguous parse against a 256 MB budget:\n");
    print_peak("Java, 40 KB of a<a<a...", repeated("class A { void f() { ", "a<", 40 * KILOBYTE), 7, 256 << 20);
    print_peak("C#, 40 KB of a<a<a...", repeated("class A { void F() { ", "a<", 40 * KILOBYTE), 8, 256 << 20);
    return 0;
}
