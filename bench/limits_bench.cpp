// Limits benchmark: what hostile files and tight memory limits cost, through
// the core library and through the exported functions linked into this
// program. No corpus is needed. Each measurement that sets a limit, or that
// reads the process's peak, runs in a forked child of its own.
//
//   limits_bench                    every measurement below
//   limits_bench --links DIRECTORY  index the Python files under DIRECTORY
//                                   through the exported functions, then
//                                   count the links that a find of each
//                                   file's own text returns (run it under
//                                   `ulimit -v`)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scanner.h"
#include "vantrel.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t MEGABYTE = size_t{1} << 20;
constexpr Language PYTHON = 1;

double megabytes(size_t bytes) { return static_cast<double>(bytes) / 1e6; }

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM", "VmSize").
size_t status_bytes(std::string_view field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field) && line[field.size()] == ':')
            return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10) * 1024;
    }
    return 0;
}

// Runs body in a forked child and waits for it; says so when the child was
// ended by a signal.
template <typename Body>
void in_child(Body body) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        body();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) std::printf("    (the process was killed by signal %d)\n", WTERMSIG(status));
}

void limit_address_space(size_t bytes) {
    rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_AS, &limit);
}

// A Python text of about `bytes` bytes of short functions.
std::string python_functions(size_t bytes) {
    std::string text;
    for (size_t i = 0; text.size() < bytes; ++i)
        text += "def f" + std::to_string(i) + "(a, b):\n    return a + b * (c - d)\n";
    return text;
}

// ---- Scanners' words

struct Long_Word {
    const char* label;
    Language language;
    const char* prefix;
    const char* suffix;
};

// The most tree-sitter held while parsing a file whose heredoc word is 200
// MB long, against a budget of 64 MiB beyond the parsers.
void print_heredoc_word_peaks() {
    const Long_Word words[] = {
        {"PHP heredoc", 4, "<?php\n$x = <<<", "\nbody\n"},
        {"Ruby heredoc", 13, "x = <<", "\nbody\n"},
        {"Ruby quoted heredoc", 13, "x = <<\"", "\nbody\n"},
    };
    std::printf("heredoc word of 200 MB, parse budget 64 MiB beyond the parsers:\n");
    for (const Long_Word& word : words) {
        Scanner scanner;
        scan_file("warm-up", "x = 1\n", scanner, word.language);
        Parse_Limits limits = g_parse_limits;
        g_parse_limits.memory_budget = parse_memory_held() + 64 * MEGABYTE;
        std::string text = word.prefix + std::string(200 * MEGABYTE, 'W') + word.suffix;
        Clock::time_point start = Clock::now();
        scan_file("long_word", text, scanner, word.language);
        std::printf("  %-20s parse peak %7.1f MB against %5.1f MB, %.2f s\n", word.label,
                    megabytes(last_parse_peak()), megabytes(g_parse_limits.memory_budget),
                    seconds_since(start));
        g_parse_limits = limits;
    }
}

// ---- Wide trees

// Resets the process's peak resident memory to what it holds now.
void reset_resident_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The scan of a Python file of millions of stray ')', one ERROR node with a
// child for each: the most the scan's parse held, and the most the process
// held resident beyond what it held before, which counts the walk of the
// tree as well.
void print_wide_tree_peaks() {
    std::printf("wide tree (Python, stray ')'), resident peak of the scan against its budget:\n");
    for (size_t children : {size_t{2500000}, size_t{5000000}}) {
        in_child([children] {
            Scanner scanner;
            scan_file("warm-up", "x = 1\n", scanner, PYTHON);
            size_t budget = children / 5000 * MEGABYTE;
            g_parse_limits.memory_budget = parse_memory_held() + budget;
            std::string text(children, ')');
            reset_resident_peak();
            size_t before = status_bytes("VmRSS");
            scan_file("wide", text, scanner, PYTHON);
            std::printf("  %zu children, budget %5.0f MB: parse peak %6.0f MB, resident peak %6.0f MB\n",
                        children, megabytes(budget), megabytes(last_parse_peak()),
                        megabytes(status_bytes("VmHWM") - before));
        });
    }
}

// ---- Tight address space

// How many of 200 scans of a file whose parse holds about 2.2 MB keep their
// definitions in a process that starts under RLIMIT_AS with little room.
void print_scans_kept_under_address_limit() {
    std::string text = python_functions(36 * 1024);
    std::printf("200 scans of a %zu KB Python file (parse peak about 2.2 MB) under RLIMIT_AS:\n",
                text.size() / 1024);
    for (size_t room : {66, 68, 70, 75, 80, 100}) {
        in_child([&] {
            release_parsers();
            limit_address_space(status_bytes("VmSize") + room * MEGABYTE);
            Scanner scanner;
            int kept = 0;
            for (int i = 0; i < 200; ++i) {
                scan_file("functions.py", text, scanner, PYTHON);
                kept += scanner.definitions.contains("f0") ? 1 : 0;
            }
            std::printf("  %3zu MiB of room: %3d kept their definitions\n", room, kept);
        });
    }
}

// What computing a scan's budget costs under RLIMIT_AS, from /proc and by
// trial mappings, with 512 MiB of room.
void print_room_cost() {
    in_child([] {
        size_t limit = status_bytes("VmSize") + 512 * MEGABYTE;
        limit_address_space(limit);
        constexpr int calls = 1000;
        Clock::time_point start = Clock::now();
        size_t budget = 0;
        for (int i = 0; i < calls; ++i) budget = scan_memory_budget();
        double from_proc = seconds_since(start) / calls;
        start = Clock::now();
        size_t mapped = 0;
        for (int i = 0; i < calls; ++i) mapped = mappable_bytes(limit);
        double by_mapping = seconds_since(start) / calls;
        std::printf("room under RLIMIT_AS (512 MiB left):\n");
        std::printf("  budget from /proc/self/statm: %5.1f us a scan (budget %.0f MB)\n", from_proc * 1e6,
                    megabytes(budget));
        std::printf("  room found by trial mappings: %5.1f us a scan (room %.0f MB)\n", by_mapping * 1e6,
                    megabytes(mapped));
    });
}

// ---- Through the exported functions

void wait_until_idle() {
    while (get_pending_tasks_count() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void scan(const std::string& path) {
    enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()), PYTHON);
    wait_until_idle();
}

// A Python file of one string, about `bytes` long: read whole, parsed at once.
std::string write_long_string_file(size_t bytes) {
    std::string path = std::filesystem::temp_directory_path() / ("limits_bench_" + std::to_string(getpid()) + ".py");
    std::ofstream file(path, std::ios::binary);
    file << "text = '";
    std::string chunk(MEGABYTE, 'x');
    for (size_t written = 0; written < bytes; written += chunk.size()) file << chunk;
    file << "'\n";
    return path;
}

// Resident memory after a 342 MB file is scanned, then after the index is
// cleared and the library stopped.
void print_resident_after_large_file() {
    std::string path = write_long_string_file(342'000'000);
    in_child([&] {
        std::printf("resident memory through the exported functions:\n");
        std::printf("  before any scan:             %6.0f MB\n", megabytes(status_bytes("VmRSS")));
        scan(path);
        std::printf("  after a %3.0f MB file:         %6.0f MB\n",
                    megabytes(std::filesystem::file_size(path)), megabytes(status_bytes("VmRSS")));
        enqueue_clear();
        wait_until_idle();
        std::printf("  after enqueue_clear:         %6.0f MB\n", megabytes(status_bytes("VmRSS")));
        enqueue_stop();
        std::printf("  after enqueue_stop:          %6.0f MB\n", megabytes(status_bytes("VmRSS")));
    });
    std::filesystem::remove(path);
}

// Peak resident memory scanning /proc/self/pagemap, a file that shows size 0
// and reads on for 256 GB, with the library's budget and with the budget it
// sets on a machine of 4 GiB.
void print_endless_file_peak() {
    std::printf("scan of /proc/self/pagemap through the exported functions:\n");
    for (size_t budget : {PARSE_MEMORY_BUDGET, size_t{1} << 30}) {
        in_child([budget] {
            g_parse_limits.memory_budget = budget;
            size_t before = status_bytes("VmHWM");
            Clock::time_point start = Clock::now();
            scan("/proc/self/pagemap");
            std::printf("  parse budget %5.0f MB: peak resident %6.0f MB (%6.0f MB before), %.2f s\n",
                        megabytes(budget), megabytes(status_bytes("VmHWM")), megabytes(before),
                        seconds_since(start));
            enqueue_stop();
        });
    }
}

// ---- Links under the process's own limits

struct Link_Count {
    uint64_t finds = 0;
    uint64_t links = 0;
};

void count_links(uint64_t context, Host_Definition_Link* links, uint64_t count, char* strings) {
    Link_Count& total = *reinterpret_cast<Link_Count*>(context);
    ++total.finds;
    total.links += count;
    free_memory(links);
    free_memory(strings);
}

std::vector<std::string> python_files(const std::string& directory) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file() && entry.path().extension() == ".py") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string read_whole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void print_links(const std::string& directory) {
    rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    std::vector<std::string> paths = python_files(directory);
    for (const std::string& path : paths)
        enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()), PYTHON);
    wait_until_idle();
    Link_Count total;
    for (const std::string& path : paths) {
        std::string text = read_whole(path);
        enqueue_find_symbols_in_text(count_links, reinterpret_cast<uint64_t>(&total), text.data(),
                                     static_cast<uint32_t>(text.size()), false, true, nullptr, 0);
    }
    enqueue_stop();
    if (limit.rlim_cur == RLIM_INFINITY)
        std::printf("RLIMIT_AS unlimited: ");
    else
        std::printf("RLIMIT_AS %llu KiB: ", static_cast<unsigned long long>(limit.rlim_cur / 1024));
    std::printf("%zu files indexed, %llu of their finds answered, %llu links\n", paths.size(),
                static_cast<unsigned long long>(total.finds), static_cast<unsigned long long>(total.links));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--links") {
        print_links(argv[2]);
        return 0;
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--links DIRECTORY]\n", argv[0]);
        return 2;
    }
    print_heredoc_word_peaks();
    print_wide_tree_peaks();
    print_scans_kept_under_address_limit();
    print_room_cost();
    print_resident_after_large_file();
    print_endless_file_peak();
    return 0;
}
