// Server-start benchmark: how long a host's own calls stall while the library
// starts and restarts its language server, in a host that holds much memory.
// The library is loaded with dlopen and used through its exported functions,
// as a host does.
//
// The host first touches N GiB of anonymous memory, page by page in pages of
// 4 KiB (no huge pages), so that its page tables are those of a host with
// that much resident. In each run a host thread then calls, over and over with
// a pause of 1 ms, enqueue_find_symbols_in_text without wait (a plain find:
// the library copies the text and queues it) and enqueue_lsp_find_references
// (answered at once while no server runs, queued while one starts), and times
// every call. Meanwhile the main thread sets the executable path, which
// resets the back-off, and scans a Python file, again and again, 1.3 s after
// the previous scan's callback.
//
// Runs:
//   no server   the path is empty: the scans start nothing
//   starts      the path names a server, and each scan starts one: by default
//               a script that notes its start and exits at once, so that
//               every scan starts a new one
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_host.h"

namespace {

struct Options {
    std::string library = VANTREL_LIBRARY;
    std::string server;  // empty: the benchmark's own script
    double gibibytes = 2;
    int scans = 15;
};

// The pause after each scan's callback: longer than the back-off of 1 s
// that follows a server lost young, however long its start took.
const std::chrono::milliseconds k_pause_after_scan{1300};

// Maps size bytes of private memory without huge pages and touches each of
// its 4 KiB pages, for the life of the process.
bool hold_resident(size_t size) {
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) return false;
    madvise(memory, size, MADV_NOHUGEPAGE);
    auto* bytes = static_cast<volatile char*>(memory);
    for (size_t at = 0; at < size; at += 4096) bytes[at] = 1;
    return true;
}

double resident_gibibytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / (1 << 20);
    }
    return 0;
}

void ignore_locations(uint64_t, Host_Location* locations, int32_t, char* strings) {
    g_vantrel.free_memory(locations);
    g_vantrel.free_memory(strings);
}

const std::string k_find_text = "result = greet(name)\nclass Handler(Base): pass\n";

// A host thread that makes a plain find and a references look-up, then
// pauses, until stopped; it times each call.
struct Host_Calls {
    std::atomic<bool> stop{false};
    std::vector<double> finds;
    std::vector<double> look_ups;
    std::thread thread;

    explicit Host_Calls(const std::string& path)
        : thread([this, path] {
              while (!stop) {
                  Clock::time_point start = Clock::now();
                  g_vantrel.enqueue_find_symbols_in_text(
                      ignore_links, 0, k_find_text.data(),
                      static_cast<uint32_t>(k_find_text.size()), false, false, nullptr, 0);
                  Clock::time_point found = Clock::now();
                  g_vantrel.enqueue_lsp_find_references(ignore_locations, 0, path.data(),
                                                        static_cast<uint32_t>(path.size()), 0, 4);
                  finds.push_back(milliseconds_between(start, found));
                  look_ups.push_back(milliseconds_since(found));
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}

    void finish() {
        stop = true;
        thread.join();
    }
};

std::atomic<bool> g_scan_handled{false};

void note_scan(uint64_t) { g_scan_handled = true; }

// One scan of path; the time from its enqueueing to its callback, which
// includes the server start the scan makes.
double timed_scan(const std::string& path) {
    g_scan_handled = false;
    Clock::time_point start = Clock::now();
    scan(path, note_scan);
    while (!g_scan_handled) std::this_thread::sleep_for(std::chrono::microseconds(100));
    return milliseconds_since(start);
}

void run(const char* name, const Options& options, const std::string& server,
         const std::string& python_file) {
    printf("%s: %d scans, each %lld ms after the previous one's callback\n", name, options.scans,
           static_cast<long long>(k_pause_after_scan.count()));
    Host_Calls calls(python_file);
    std::vector<double> scans;
    for (int i = 0; i < options.scans; ++i) {
        g_vantrel.lsp_set_executable_path(server.c_str());
        scans.push_back(timed_scan(python_file));
        std::this_thread::sleep_for(k_pause_after_scan);
    }
    calls.finish();
    print_calls("plain finds", calls.finds);
    print_calls("references look-ups", calls.look_ups);
    print_calls("scans, enqueue to callback", scans);
    double longest = 0;
    size_t over_target = 0;
    for (const std::vector<double>* series : {&calls.finds, &calls.look_ups}) {
        for (double milliseconds : *series) {
            longest = std::max(longest, milliseconds);
            over_target += milliseconds > 10;
        }
    }
    printf("  longest host call: %.2f ms; calls over 10 ms: %zu\n", longest, over_target);
}

size_t lines_in(const std::string& path) {
    std::ifstream in(path);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

int usage() {
    fprintf(stderr, "usage: lsp_spawn_bench [--gib N] [--scans N] [--library PATH] "
                    "[--server COMMAND]\n");
    return 2;
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--gib") options.gibibytes = atof(value);
        else if (option == "--scans") options.scans = atoi(value);
        else if (option == "--library") options.library = value;
        else if (option == "--server") options.server = value;
        else return std::nullopt;
    }
    if (argc % 2 == 0 || options.gibibytes < 0 || options.scans < 1) return std::nullopt;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options = parse_options(argc, argv);
    if (!options) return usage();
    std::string directory =
        (std::filesystem::temp_directory_path() / "vantrel-spawn-bench-XXXXXX").string();
    if (mkdtemp(directory.data()) == nullptr) return 1;
    std::string python_file = directory + "/a.py";
    write_file(python_file, "def greet(name):\n    return name\n");
    std::string server = options->server;
    std::string starts = directory + "/starts";
    if (server.empty()) {
        server = directory + "/server";
        write_file(server, "#!/bin/sh\necho started >> '" + starts + "'\n");
        std::filesystem::permissions(server, std::filesystem::perms::owner_all);
    }

    Clock::time_point start = Clock::now();
    if (!hold_resident(static_cast<size_t>(options->gibibytes * (1 << 30)))) {
        fprintf(stderr, "cannot map %.1f GiB\n", options->gibibytes);
        return 1;
    }
    printf("host memory: %.1f GiB touched in 4 KiB pages in %.1f s, resident %.2f GiB\n",
           options->gibibytes, milliseconds_since(start) / 1000, resident_gibibytes());
    printf("library: %s\nserver: %s\n\n", options->library.c_str(),
           options->server.empty() ? "a script that exits at once" : server.c_str());
    if (!load_library(options->library)) return 1;

    run("no server", *options, "", python_file);
    run("starts", *options, server, python_file);
    if (options->server.empty()) printf("  servers started: %zu\n", lines_in(starts));
    g_vantrel.enqueue_stop();
    std::filesystem::remove_all(directory);
    return 0;
}
