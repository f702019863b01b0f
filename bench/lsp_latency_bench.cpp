// Language-server latency benchmark: what a real language server costs the
// host's threads. The library is loaded with dlopen and used through its
// exported functions, as a host does; each run takes a process of its own,
// since a library that has been stopped serves nothing more.
//
// Runs:
//   scan              a host thread makes a waiting find every few
//                     milliseconds while a directory's Python files are
//                     scanned, without a server and then with one
//   server bring-up   the same waiting finds from the first Python scan until
//                     the server has answered a references look-up
//   restart           the server is killed with SIGKILL mid-session; after
//                     the back-off one Python scan must start a new one
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_host.h"

namespace {

struct Options {
    std::string library = VANTREL_LIBRARY;
    std::string server = VANTREL_PYLSP_WRAPPER;  // empty: no server runs
    std::string directory = "/usr/lib/python3.11";
    size_t file_count = 772;
    std::chrono::milliseconds find_interval{5};
    std::chrono::milliseconds backoff{1000};
};

// ---- files

// The first count .py files under directory, in path order.
std::vector<std::string> python_files(const std::string& directory, size_t count) {
    std::vector<std::string> paths;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->path().extension() == ".py" && it->is_regular_file(error)) paths.push_back(it->path());
    }
    std::sort(paths.begin(), paths.end());
    if (paths.size() > count) paths.resize(count);
    return paths;
}

// Reads every file once, so that both scan runs find them in the page cache.
size_t read_all(const std::vector<std::string>& paths) {
    size_t bytes = 0;
    for (const std::string& path : paths) {
        std::ifstream in(path, std::ios::binary);
        bytes += std::string(std::istreambuf_iterator<char>(in), {}).size();
    }
    return bytes;
}

// ---- waiting finds

// Names that the standard library defines, as a host searches the text it shows.
const std::string k_find_text = "result = os.path.join(base, name)\n"
                                "class Handler(BaseHTTPRequestHandler): pass\n"
                                "OrderedDict, dataclass, ArgumentParser, TemporaryDirectory\n";

// A host thread that makes a waiting find, then pauses for the interval,
// until stopped; it records how long each call took.
struct Finder {
    std::atomic<bool> stop{false};
    std::vector<double> milliseconds;
    std::thread thread;

    explicit Finder(std::chrono::milliseconds interval)
        : thread([this, interval] {
              while (!stop) {
                  Clock::time_point start = Clock::now();
                  g_vantrel.enqueue_find_symbols_in_text(
                      ignore_links, 0, k_find_text.data(), static_cast<uint32_t>(k_find_text.size()),
                      false, true, nullptr, 0);
                  milliseconds.push_back(milliseconds_since(start));
                  std::this_thread::sleep_for(interval);
              }
          }) {}

    std::vector<double> finish() {
        stop = true;
        thread.join();
        return milliseconds;
    }
};

// ---- references look-ups

struct Answer_Slot {
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<int32_t> count;
};

Answer_Slot g_answer;

void record_answer(uint64_t, Host_Location* locations, int32_t count, char* strings) {
    g_vantrel.free_memory(locations);
    g_vantrel.free_memory(strings);
    std::lock_guard lock(g_answer.mutex);
    g_answer.count = count;
    g_answer.arrived.notify_all();
}

// Asks once and waits for the answer: its number of locations, or nothing
// when none came within the limit.
std::optional<int32_t> ask_references(const std::string& path, int32_t line, int32_t character,
                                      std::chrono::seconds limit) {
    {
        std::lock_guard lock(g_answer.mutex);
        g_answer.count.reset();
    }
    g_vantrel.enqueue_lsp_find_references(record_answer, 0, path.data(),
                                          static_cast<uint32_t>(path.size()), line, character);
    std::unique_lock lock(g_answer.mutex);
    g_answer.arrived.wait_for(lock, limit, [] { return g_answer.count.has_value(); });
    return g_answer.count;
}

// A two-file project in which "greet" (line 0, character 4 of greeting.py)
// has three references.
struct Project {
    std::string directory;
    std::string greeting;
    std::string caller;
};

Project write_project(const std::string& directory) {
    Project project{directory, directory + "/greeting.py", directory + "/caller.py"};
    write_file(project.greeting, "def greet(name):\n    return \"hi \" + name\n");
    write_file(project.caller, "from greeting import greet\n\n\nprint(greet(\"x\"))\n");
    return project;
}

struct Wait_Result {
    std::optional<double> milliseconds;  // nothing: no answer with locations in time
    int look_ups = 0;
};

// Asks for the references of "greet" again and again until an answer holds
// locations; measured from start.
Wait_Result wait_for_references(const Project& project, Clock::time_point start,
                                std::chrono::seconds limit) {
    Wait_Result result;
    Clock::time_point deadline = start + limit;
    while (Clock::now() < deadline) {
        ++result.look_ups;
        std::optional<int32_t> count = ask_references(project.greeting, 0, 4, limit);
        if (count && *count > 0) {
            result.milliseconds = milliseconds_since(start);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return result;
}

void print_wait(const char* what, const Wait_Result& result, std::chrono::seconds limit) {
    if (result.milliseconds) {
        printf("  %s: %.1f ms (%d look-ups asked)\n", what, *result.milliseconds, result.look_ups);
    } else {
        printf("  %s: none within %lld s (%d look-ups asked)\n", what,
               static_cast<long long>(limit.count()), result.look_ups);
    }
}

// ---- processes

// Processes whose parent is this process: the library's server.
std::vector<pid_t> child_processes() {
    std::vector<pid_t> children;
    for (auto& entry : std::filesystem::directory_iterator("/proc")) {
        pid_t pid = atoi(entry.path().filename().c_str());
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (pid <= 0 || !std::getline(stat, line)) continue;
        size_t name_end = line.rfind(')');  // the command name may hold blanks
        char state;
        pid_t parent = 0;
        if (name_end != std::string::npos &&
            sscanf(line.c_str() + name_end + 1, " %c %d", &state, &parent) == 2 &&
            parent == getpid())
            children.push_back(pid);
    }
    return children;
}

bool process_exists(pid_t pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

// Runs one measurement in a forked process of its own, so that it loads the
// library fresh. Nothing here has started a thread, so the fork is safe.
void run_in_child(const std::function<void()>& run) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        run();
        fflush(stdout);
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        printf("  (run failed)\n");
}

std::atomic<size_t> g_scans_handled{0};

void count_scan(uint64_t) { ++g_scans_handled; }

void stop_library() {
    Clock::time_point start = Clock::now();
    g_vantrel.enqueue_stop();
    printf("  enqueue_stop returned after %.1f ms\n", milliseconds_since(start));
}

// ---- the runs

void run_scan(const Options& options, const std::vector<std::string>& paths, bool with_server) {
    printf("scan of %zu files, %s:\n", paths.size(), with_server ? "with server" : "no server");
    if (!load_library(options.library)) _exit(1);
    if (with_server) g_vantrel.lsp_set_executable_path(options.server.c_str());
    Clock::time_point start = Clock::now();
    Finder finder(options.find_interval);
    for (const std::string& path : paths) scan(path, count_scan);
    while (g_scans_handled < paths.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double indexing = milliseconds_since(start);
    print_calls("waiting finds", finder.finish());
    printf("  indexing: %.1f ms from the first scan to the last scan handled\n", indexing);
    stop_library();
}

const std::chrono::seconds k_answer_limit{60};

void run_bring_up(const Options& options, const Project& project) {
    printf("server bring-up:\n");
    if (!load_library(options.library)) _exit(1);
    g_vantrel.lsp_set_executable_path(options.server.c_str());
    Clock::time_point start = Clock::now();
    Finder finder(options.find_interval);
    scan(project.greeting);
    scan(project.caller);
    Wait_Result answered = wait_for_references(project, start, k_answer_limit);
    print_calls("waiting finds", finder.finish());
    print_wait("first Python scan to first references answer with locations", answered,
               k_answer_limit);
    stop_library();
}

// Waits until the library has reaped the killed server; false after limit.
bool wait_for_reaping(pid_t pid, std::chrono::seconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    while (process_exists(pid)) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void run_restart(const Options& options, const Project& project) {
    printf("restart after SIGKILL:\n");
    if (!load_library(options.library)) _exit(1);
    g_vantrel.lsp_set_executable_path(options.server.c_str());
    scan(project.greeting);
    scan(project.caller);
    if (!wait_for_references(project, Clock::now(), k_answer_limit).milliseconds) {
        printf("  the first server never answered with locations\n");
        return stop_library();
    }
    std::vector<pid_t> servers = child_processes();
    if (servers.size() != 1) {
        printf("  %zu child processes, expected the one server\n", servers.size());
        return stop_library();
    }
    Clock::time_point killed = Clock::now();
    kill(servers[0], SIGKILL);
    if (wait_for_reaping(servers[0], std::chrono::seconds(5)))
        printf("  killed server reaped by the library after %.1f ms\n", milliseconds_since(killed));
    else
        printf("  killed server not reaped within 5 s\n");
    std::this_thread::sleep_until(killed + options.backoff + std::chrono::milliseconds(100));

    Clock::time_point start = Clock::now();
    g_scans_handled = 0;
    scan(project.greeting, count_scan);
    while (g_scans_handled == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    printf("  the scan after the back-off: %.1f ms from enqueue to its callback\n",
           milliseconds_since(start));
    std::vector<pid_t> now = child_processes();
    bool started = std::any_of(now.begin(), now.end(), [&](pid_t pid) { return pid != servers[0]; });
    printf("  new server process: %s\n", started ? "started" : "none");
    print_wait("that scan to first references answer with locations",
               wait_for_references(project, start, std::chrono::seconds(30)), std::chrono::seconds(30));
    stop_library();
}

// ---- options

void usage() {
    fprintf(stderr,
            "usage: lsp_latency_bench [--library PATH] [--server COMMAND | --no-server]\n"
            "                         [--dir DIRECTORY] [--count N] [--interval-ms N] "
            "[--backoff-ms N]\n");
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--no-server") {
            options.server.clear();
            continue;
        }
        if (i + 1 == argc) return std::nullopt;
        const char* value = argv[++i];
        if (option == "--library") options.library = value;
        else if (option == "--server") options.server = value;
        else if (option == "--dir") options.directory = value;
        else if (option == "--count") options.file_count = strtoull(value, nullptr, 10);
        else if (option == "--interval-ms") options.find_interval = std::chrono::milliseconds(atoi(value));
        else if (option == "--backoff-ms") options.backoff = std::chrono::milliseconds(atoi(value));
        else return std::nullopt;
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options = parse_options(argc, argv);
    if (!options) {
        usage();
        return 2;
    }
    std::vector<std::string> paths = python_files(options->directory, options->file_count);
    if (paths.empty()) {
        fprintf(stderr, "no .py files under %s\n", options->directory.c_str());
        return 1;
    }
    size_t bytes = read_all(paths);
    printf("library: %s\nserver: %s\nfiles: %zu .py files under %s, %.1f MB\n"
           "waiting find every %lld ms\n\n",
           options->library.c_str(), options->server.empty() ? "none" : options->server.c_str(),
           paths.size(), options->directory.c_str(), bytes / 1e6,
           static_cast<long long>(options->find_interval.count()));
    run_in_child([&] { run_scan(*options, paths, false); });
    if (options->server.empty()) return 0;
    run_in_child([&] { run_scan(*options, paths, true); });

    std::string directory =
        (std::filesystem::temp_directory_path() / "vantrel-lsp-bench-XXXXXX").string();
    if (mkdtemp(directory.data()) == nullptr) return 1;
    Project project = write_project(directory);
    run_in_child([&] { run_bring_up(*options, project); });
    run_in_child([&] { run_restart(*options, project); });
    std::filesystem::remove_all(directory);
    return 0;
}
