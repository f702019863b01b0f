// Memory benchmark: what parsing holds, measured through the counting
// allocator that tree-sitter allocates through, against the parse memory
// budget; what the process keeps after a large parse and after a clear,
// with and without giving freed memory back (malloc_trim); and how soon a
// parse ends once scans are cancelled, as a stop does.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "corpus.h"
#include "scanner.h"

namespace {

constexpr size_t MEGABYTE = size_t{1} << 20;
constexpr size_t k_largest_shown = 10;

double megabytes(size_t bytes) { return static_cast<double>(bytes) / 1e6; }

// Resident memory of the process, from /proc/self/statm.
size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    size_t size = 0;
    size_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

struct File_Peak {
    const Corpus_File* file;
    size_t peak;  // bytes tree-sitter held at most during the file's parse, beyond the parsers
};

// Scans every file into one index, noting what each parse held at most
// beyond what tree-sitter held before it (the parsers themselves).
std::vector<File_Peak> measure_parse_peaks(const std::vector<Corpus_File>& files, Scanner& scanner) {
    std::vector<File_Peak> peaks;
    for (const Corpus_File& file : files) {
        size_t held_before = parse_memory_held();
        scan_file(file.path, file.text, scanner, file.language);
        if (!file.text.empty()) peaks.push_back({&file, last_parse_peak() - held_before});
    }
    std::sort(peaks.begin(), peaks.end(),
              [](const File_Peak& a, const File_Peak& b) { return a.peak > b.peak; });
    return peaks;
}

void print_parse_peaks(const std::vector<File_Peak>& peaks, size_t budget) {
    if (peaks.empty()) return;
    std::printf("parse memory budget:  %.0f MB (a quarter of physical memory, at most 4 GiB)\n",
                megabytes(budget));
    std::printf("peak parse memory per file (counting allocator, beyond the parsers' own):\n");
    std::printf("  median %.2f MB, 99th percentile %.2f MB, largest %.1f MB = %.2f%% of the budget\n",
                megabytes(peaks[peaks.size() / 2].peak), megabytes(peaks[peaks.size() / 100].peak),
                megabytes(peaks[0].peak), 100.0 * static_cast<double>(peaks[0].peak) / budget);
    std::printf("  largest %zu:\n", std::min(k_largest_shown, peaks.size()));
    for (size_t i = 0; i < std::min(k_largest_shown, peaks.size()); ++i) {
        const Corpus_File& file = *peaks[i].file;
        std::printf("  %8.1f MB  %6.0fx  %8.1f KB  %-10s %s\n", megabytes(peaks[i].peak),
                    static_cast<double>(peaks[i].peak) / file.text.size(), file.text.size() / 1e3,
                    language_name(file.language), file.path.c_str());
    }
}

// A Python text of about `bytes` bytes of short functions.
std::string python_functions(size_t bytes) {
    std::string text;
    for (size_t i = 0; text.size() < bytes; ++i)
        text += "def f" + std::to_string(i) + "(a, b):\n    return a + b * (c - d)\n";
    return text;
}

void index_corpus(const std::vector<Corpus_File>& files, Scanner& scanner) {
    for (const Corpus_File& file : files) scan_file(file.path, file.text, scanner, file.language);
}

// What the process keeps resident after a large parse (its tree deleted) and
// after the index is emptied, without and with malloc_trim.
void print_resident_memory(const std::vector<Corpus_File>& files, Scanner& scanner) {
    std::string large = python_functions(20 * MEGABYTE);
    size_t threshold = g_parse_limits.trim_threshold;
    std::printf("resident memory (corpus indexed: %.0f MB):\n", megabytes(resident_bytes()));
    g_parse_limits.trim_threshold = SIZE_MAX;
    scan_file("generated.py", large, scanner, 1);
    std::printf("  after a 20 MB Python file (parse peak %.0f MB): %.0f MB without malloc_trim,",
                megabytes(last_parse_peak()), megabytes(resident_bytes()));
    g_parse_limits.trim_threshold = threshold;
    scan_file("generated.py", large, scanner, 1);
    std::printf(" %.0f MB with\n", megabytes(resident_bytes()));
    { Scanner dropped = std::move(scanner); }
    std::printf("  after emptying the index: %.0f MB without malloc_trim,", megabytes(resident_bytes()));
    scanner = Scanner();
    index_corpus(files, scanner);
    clear(scanner);
    std::printf(" %.0f MB with (clear)\n", megabytes(resident_bytes()));
}

// Seconds from setting g_scans_cancelled, `delay` into a parse of text, to the
// end of the scan; and what the parse held when it was cancelled.
void print_cancel_latency(const char* label, const std::string& text, Language language,
                          std::chrono::milliseconds delay) {
    Scanner scanner;
    g_scans_cancelled = false;
    std::chrono::steady_clock::time_point cancelled;
    std::thread canceller([&] {
        std::this_thread::sleep_for(delay);
        cancelled = std::chrono::steady_clock::now();
        g_scans_cancelled = true;
    });
    scan_file("cancelled", text, scanner, language);
    auto ended = std::chrono::steady_clock::now();
    canceller.join();
    g_scans_cancelled = false;
    if (ended < cancelled) {
        std::printf("  %-34s ended before it was cancelled\n", label);
        return;
    }
    std::printf("  %-34s cancelled at %5.0f MB held: ended %.3f s later\n", label,
                megabytes(last_parse_peak()),
                std::chrono::duration<double>(ended - cancelled).count());
}

std::string random_bytes(size_t bytes) {
    std::mt19937 random(3);
    std::string text(bytes, '\0');
    for (char& byte : text) byte = static_cast<char>(random());
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Corpus_File> files = load_corpus(parse_corpus_options(argc, argv));
    print_corpus_summary(files);
    initialize_tree_sitter_globals();

    Scanner scanner;
    print_parse_peaks(measure_parse_peaks(files, scanner), g_parse_limits.memory_budget);

    print_resident_memory(files, scanner);

    std::printf("scans cancelled during a parse (as enqueue_stop does):\n");
    print_cancel_latency("110 MB of Python functions, at 10 s", python_functions(110 * MEGABYTE), 1,
                         std::chrono::seconds(10));
    print_cancel_latency("10 MB of random bytes as C++, at 5 s", random_bytes(10 * MEGABYTE), 6,
                         std::chrono::seconds(5));
    return 0;
}
