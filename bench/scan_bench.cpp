// Scan benchmark: indexes every corpus file with scan_file into one Scanner
// and compares the time with a bare tree-sitter parse of the same texts, so
// that the cost of the definition walk and of the index shows on its own.
// Also shows whether a scan slows down as the index grows, what the index
// costs in memory, and what a second scan of every file costs.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "corpus.h"
#include "scanner.h"

namespace {

constexpr size_t k_window = 1000;
constexpr double k_scan_over_parse_target = 1.10;
constexpr double k_last_over_first_target = 1.2;

// One pass over the corpus in which every file is parsed alone and scanned,
// the two right after each other, so that a change in the machine's load
// during the run weighs on both alike.
struct Pass {
    std::vector<double> parse_seconds;  // per file, in corpus order
    std::vector<double> scan_seconds;
    double heap_growth = 0;  // bytes, summed over the scans
};

template <typename Work>
double time_call(Work work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return seconds_since(start);
}

// What scan_file parses: an empty text is not parsed.
void parse_only(const Corpus_File& file) {
    if (file.text.empty()) return;
    TSParser* parser = get_language_data(file.language)->parser;
    TSTree* tree = ts_parser_parse_string(parser, nullptr, file.text.data(),
                                          static_cast<uint32_t>(file.text.size()));
    ts_tree_delete(tree);
}

// Bytes the allocator has handed out and not had back, mmapped blocks included.
double heap_in_use() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// Whichever of the two parses of a text comes second runs about a tenth
// faster, on memory that the first has just freed in the right sizes, so the
// order alternates from file to file. The heap growth across a scan is the
// index's: a parser keeps only small, bounded buffers between parses.
Pass run_pass(const std::vector<Corpus_File>& files, Scanner& scanner) {
    Pass pass;
    for (size_t i = 0; i < files.size(); ++i) {
        const Corpus_File& file = files[i];
        double parse_seconds = 0;
        auto parse = [&file, &parse_seconds] {
            parse_seconds = time_call([&file] { parse_only(file); });
        };
        if (i % 2 == 0) parse();
        double heap_before = heap_in_use();
        pass.scan_seconds.push_back(time_call([&file, &scanner] {
            scan_file(file.path, file.text, scanner, file.language);
        }));
        pass.heap_growth += heap_in_use() - heap_before;
        if (i % 2 == 1) parse();
        pass.parse_seconds.push_back(parse_seconds);
    }
    return pass;
}

// Puts at the front and at the back of the run two samples of window files
// that take the same time to parse, so that their mean scan times differ
// only by what the growth of the index costs. Files are dealt from the
// slowest to parse down, each to the sample with less parse time so far.
void match_first_and_last(std::vector<Corpus_File>& files, size_t window) {
    std::vector<std::pair<double, size_t>> parse_times;  // seconds, index in files
    for (size_t i = 0; i < 2 * window; ++i) {
        parse_times.emplace_back(time_call([&files, i] { parse_only(files[i]); }), i);
    }
    std::sort(parse_times.rbegin(), parse_times.rend());
    std::vector<Corpus_File> first;
    std::vector<Corpus_File> last;
    double first_seconds = 0;
    double last_seconds = 0;
    for (const auto& [seconds, index] : parse_times) {
        bool to_first =
            first.size() < window && (last.size() == window || first_seconds <= last_seconds);
        (to_first ? first_seconds : last_seconds) += seconds;
        (to_first ? first : last).push_back(std::move(files[index]));
    }
    auto sample_end = files.begin() + 2 * window;
    first.insert(first.end(), std::make_move_iterator(sample_end),
                 std::make_move_iterator(files.end()));
    first.insert(first.end(), std::make_move_iterator(last.begin()),
                 std::make_move_iterator(last.end()));
    files = std::move(first);
}

double sum(const std::vector<double>& seconds, size_t first, size_t count) {
    return std::accumulate(seconds.begin() + first, seconds.begin() + first + count, 0.0);
}

double sum(const std::vector<double>& seconds) { return sum(seconds, 0, seconds.size()); }

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

void print_speed(const char* label, const Pass& pass, double megabytes) {
    double scan = sum(pass.scan_seconds);
    double parse = sum(pass.parse_seconds);
    std::printf("%-20s %7.2f s %6.1f MB/s, parse only %7.2f s %6.1f MB/s\n", label, scan,
                megabytes / scan, parse, megabytes / parse);
}

void print_language_ratios(const std::vector<Corpus_File>& files, const Pass& pass) {
    std::array<double, 15> scan{};
    std::array<double, 15> parse{};
    for (size_t i = 0; i < files.size(); ++i) {
        scan[files[i].language] += pass.scan_seconds[i];
        parse[files[i].language] += pass.parse_seconds[i];
    }
    std::printf("scan / parse-only by language:\n");
    for (Language language = 1; language <= 14; ++language) {
        if (parse[language] == 0) continue;
        std::printf("  %-10s %7.2f s / %7.2f s = %.3f\n", language_name(language), scan[language],
                    parse[language], scan[language] / parse[language]);
    }
}

// Compares the first and the last scans of the pass: their mean time per
// file, and their time over the parse-only time of the same files, which
// cancels what remains of the difference between the two samples.
void print_growth(const std::vector<Corpus_File>& files, const Pass& pass, size_t window) {
    if (window == 0) return;
    size_t last = files.size() - window;
    double first_mean = sum(pass.scan_seconds, 0, window) / window;
    double last_mean = sum(pass.scan_seconds, last, window) / window;
    double first_relative = sum(pass.scan_seconds, 0, window) / sum(pass.parse_seconds, 0, window);
    double last_relative =
        sum(pass.scan_seconds, last, window) / sum(pass.parse_seconds, last, window);
    double ratio = last_mean / first_mean;
    std::printf("first %zu scans:    mean %7.3f ms per file, %.3f x parse-only\n", window,
                first_mean * 1e3, first_relative);
    std::printf("last %zu scans:     mean %7.3f ms per file, %.3f x parse-only\n", window,
                last_mean * 1e3, last_relative);
    std::printf("last / first:        %.3f per file (target <= %.1f: %s), "
                "%.3f relative to parse-only\n",
                ratio, k_last_over_first_target, verdict(ratio <= k_last_over_first_target),
                last_relative / first_relative);
}

void print_memory(const Pass& scan, const Pass& rescan, size_t definitions) {
    std::printf("index memory:        %.1f MB, %.1f bytes per definition\n",
                scan.heap_growth / 1e6, definitions == 0 ? 0.0 : scan.heap_growth / definitions);
    std::printf("                     (malloc bytes in use, mallinfo2 uordblks + hblkhd, after\n"
                "                     minus before each scan_file, summed over the first pass)\n");
    std::printf("rescan memory:       %+.1f MB over the rescan pass\n", rescan.heap_growth / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Corpus_File> files = load_corpus(parse_corpus_options(argc, argv));
    print_corpus_summary(files);
    double megabytes = total_bytes(files) / 1e6;

    // The parsers are created before anything is timed.
    initialize_tree_sitter_globals();
    size_t window = std::min(k_window, files.size() / 2);
    match_first_and_last(files, window);
    Scanner scanner;
    Pass scan = run_pass(files, scanner);
    size_t definitions = count_definitions(scanner);
    Pass rescan = run_pass(files, scanner);

    std::printf("definitions:         %zu under %zu names\n", definitions,
                scanner.definitions.size());
    print_speed("scan (empty index):", scan, megabytes);
    double ratio = sum(scan.scan_seconds) / sum(scan.parse_seconds);
    std::printf("scan / parse-only:   %.3f (target <= %.2f: %s)\n", ratio,
                k_scan_over_parse_target, verdict(ratio <= k_scan_over_parse_target));
    print_language_ratios(files, scan);
    print_growth(files, scan, window);
    print_speed("rescan (full index):", rescan, megabytes);
    std::printf("rescan / parse-only: %.3f\n",
                sum(rescan.scan_seconds) / sum(rescan.parse_seconds));
    print_memory(scan, rescan, definitions);
    return 0;
}
