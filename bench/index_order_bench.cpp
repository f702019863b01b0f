// Index order benchmark: many files that all define the same name, scanned in
// ascending, descending and random order of their paths, then emptied in the
// same order. What a file costs to add to a name's definitions, or to remove
// from them, should not depend on where its path falls among the others. A
// run in which every file defines a name of its own is the reference. Needs
// no corpus: the files are generated.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "scanner.h"

namespace {

constexpr Language PYTHON = 1;
constexpr size_t k_searched_occurrences = 100000;
constexpr double k_slowest_over_reference_target = 2.0;

enum class Order { ascending, descending, random, distinct_names };

const char* order_name(Order order) {
    switch (order) {
        case Order::ascending: return "ascending";
        case Order::descending: return "descending";
        case Order::random: return "random";
        case Order::distinct_names: return "own name each";
    }
    return "";
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double heap_in_use() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// Paths whose byte order is their number's order: zero-padded to one width.
std::vector<std::string> make_paths(size_t count) {
    int width = static_cast<int>(std::to_string(count).size());
    std::vector<std::string> paths(count);
    for (size_t i = 0; i < count; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%0*zu", width, i);
        paths[i] = "src/module_" + std::string(number) + ".py";
    }
    return paths;
}

// The indices of the paths in the order they are scanned.
std::vector<size_t> scan_order(size_t count, Order order) {
    std::vector<size_t> indices(count);
    for (size_t i = 0; i < count; ++i) indices[i] = i;
    if (order == Order::descending) std::reverse(indices.begin(), indices.end());
    if (order == Order::random)
        std::shuffle(indices.begin(), indices.end(), std::mt19937(20240611));
    return indices;
}

struct Run {
    double scan_seconds = 0;
    double bytes_per_definition = 0;
    double find_ns_per_link = 0;            // no preferred path
    double preferred_find_ns_per_link = 0;  // the middle path preferred
    double empty_seconds = 0;               // every file rescanned empty
};

// Searches a text of one name repeated, best of three, and returns the time
// per link found.
double time_find(const Scanner& scanner, const std::string& text,
                 const std::vector<std::string>& preferred) {
    double best = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto start = std::chrono::steady_clock::now();
        size_t links = get_definitions_from_text(text, scanner, preferred, false).size();
        double seconds = seconds_since(start);
        if (links != k_searched_occurrences) {
            std::fprintf(stderr, "expected %zu links, found %zu\n", k_searched_occurrences, links);
            std::exit(1);
        }
        if (attempt == 0 || seconds < best) best = seconds;
    }
    return best * 1e9 / static_cast<double>(k_searched_occurrences);
}

Run run_order(const std::vector<std::string>& paths, Order order) {
    std::vector<size_t> indices = scan_order(paths.size(), order);
    Run run;
    Scanner scanner;
    double heap_before = heap_in_use();
    auto start = std::chrono::steady_clock::now();
    std::string text = "def a(): pass\n";
    for (size_t i : indices) {
        if (order == Order::distinct_names) text = "def a" + std::to_string(i) + "(): pass\n";
        scan_file(paths[i], text, scanner, PYTHON);
    }
    run.scan_seconds = seconds_since(start);
    run.bytes_per_definition = (heap_in_use() - heap_before) / static_cast<double>(paths.size());

    std::string searched;
    const char* name = order == Order::distinct_names ? "a0 " : "a ";
    for (size_t i = 0; i < k_searched_occurrences; ++i) searched += name;
    run.find_ns_per_link = time_find(scanner, searched, {});
    run.preferred_find_ns_per_link = time_find(scanner, searched, {paths[paths.size() / 2]});

    start = std::chrono::steady_clock::now();
    for (size_t i : indices) scan_file(paths[i], "", scanner, PYTHON);
    run.empty_seconds = seconds_since(start);
    return run;
}

void print_run(size_t count, Order order, const Run& run) {
    std::printf("%8zu  %-14s %9.2f s %7.2f us/file %7.1f B/def  find %6.1f / %6.1f ns/link"
                "  emptied %8.2f s\n",
                count, order_name(order), run.scan_seconds,
                run.scan_seconds * 1e6 / static_cast<double>(count), run.bytes_per_definition,
                run.find_ns_per_link, run.preferred_find_ns_per_link, run.empty_seconds);
    std::fflush(stdout);
}

[[noreturn]] void exit_with_usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--files N]...  (default: --files 100000 --files 1000000)\n",
                 program);
    std::exit(2);
}

std::vector<size_t> parse_counts(int argc, char** argv) {
    std::vector<size_t> counts;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) != "--files" || i + 1 == argc) exit_with_usage(argv[0]);
        size_t count = std::strtoull(argv[++i], nullptr, 10);
        if (count == 0) exit_with_usage(argv[0]);
        counts.push_back(count);
    }
    if (counts.empty()) counts = {100000, 1000000};
    return counts;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<size_t> counts = parse_counts(argc, argv);
    initialize_tree_sitter_globals();
    std::printf("   files  paths in       scan: total, per file   index   "
                "find: none / one preferred  emptying\n");
    for (size_t count : counts) {
        std::vector<std::string> paths = make_paths(count);
        Run reference = run_order(paths, Order::distinct_names);
        print_run(count, Order::distinct_names, reference);
        double slowest = 0;
        for (Order order : {Order::ascending, Order::descending, Order::random}) {
            Run run = run_order(paths, order);
            print_run(count, order, run);
            slowest = std::max(slowest, run.scan_seconds);
        }
        double ratio = slowest / reference.scan_seconds;
        std::printf("%8zu  scan of the slowest order / own name each: %.2f (target <= %.1f: %s)\n",
                    count, ratio, k_slowest_over_reference_target,
                    ratio <= k_slowest_over_reference_target ? "met" : "MISSED");
    }
    return 0;
}
