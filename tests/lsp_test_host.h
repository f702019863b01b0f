// A test host for the language-server client: it loads the built library with
// dlopen and resolves the exported functions as a real host does (or calls the
// core library linked into the test, whose internals a test can reach),
// records the references callbacks it receives, and watches the process from
// outside (child processes, threads, open descriptors) through /proc.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "vantrel.h"

// The library's exports, resolved from the dlopen'ed library or taken from
// the linked core library.
struct Vantrel {
    void* handle = nullptr;
    decltype(&::lsp_set_executable_path) lsp_set_executable_path = nullptr;
    decltype(&::start_workers) start_workers = nullptr;
    decltype(&::enqueue_scan_file) enqueue_scan_file = nullptr;
    decltype(&::enqueue_find_symbols_in_text) enqueue_find_symbols_in_text = nullptr;
    decltype(&::enqueue_lsp_find_references) enqueue_lsp_find_references = nullptr;
    decltype(&::enqueue_clear) enqueue_clear = nullptr;
    decltype(&::enqueue_stop) enqueue_stop = nullptr;
    decltype(&::get_pending_tasks_count) get_pending_tasks_count = nullptr;
    decltype(&::free_memory) free_memory = nullptr;
};

// The references callbacks record into this; they free the host blocks
// through the loaded library.
inline Vantrel g_vantrel;

template <typename Function>
void resolve(void* handle, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    ASSERT_NE(function, nullptr) << name << ": " << dlerror();
}

// Loads the library into g_vantrel. Each test runs in a process of its own,
// so every test starts with the library's globals fresh.
inline void load_vantrel() {
    g_vantrel.handle = dlopen(VANTREL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(g_vantrel.handle, nullptr) << dlerror();
    void* h = g_vantrel.handle;
    resolve(h, "lsp_set_executable_path", g_vantrel.lsp_set_executable_path);
    resolve(h, "start_workers", g_vantrel.start_workers);
    resolve(h, "enqueue_scan_file", g_vantrel.enqueue_scan_file);
    resolve(h, "enqueue_find_symbols_in_text", g_vantrel.enqueue_find_symbols_in_text);
    resolve(h, "enqueue_lsp_find_references", g_vantrel.enqueue_lsp_find_references);
    resolve(h, "enqueue_clear", g_vantrel.enqueue_clear);
    resolve(h, "enqueue_stop", g_vantrel.enqueue_stop);
    resolve(h, "get_pending_tasks_count", g_vantrel.get_pending_tasks_count);
    resolve(h, "free_memory", g_vantrel.free_memory);
}

// Fills g_vantrel with the exports of the core library linked into the test
// executable. The loaded library keeps every other symbol hidden; this copy
// lets a test change the client's limits (g_lsp_limits) before it starts.
inline void link_vantrel() {
    g_vantrel = {nullptr,
                 &::lsp_set_executable_path,
                 &::start_workers,
                 &::enqueue_scan_file,
                 &::enqueue_find_symbols_in_text,
                 &::enqueue_lsp_find_references,
                 &::enqueue_clear,
                 &::enqueue_stop,
                 &::get_pending_tasks_count,
                 &::free_memory};
}

// Polls until done() holds or the limit passes: a hang fails the test instead
// of stalling it. The limit is generous; nothing here measures speed.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline bool idle(std::chrono::seconds limit = std::chrono::seconds(30)) {
    return eventually([] { return g_vantrel.get_pending_tasks_count() == 0; }, limit);
}

// Runs enqueue_stop on a thread of its own and reports whether it returned
// within the limit; a stop that hangs is left behind and the test fails.
inline bool stop_returns(std::chrono::seconds limit = std::chrono::seconds(20)) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread stopper([finished] {
        g_vantrel.enqueue_stop();
        *finished = true;
    });
    if (!eventually([&] { return finished->load(); }, limit)) {
        stopper.detach();
        return false;
    }
    stopper.join();
    return true;
}

// Scans one file and waits until the worker has handled it (and with it any
// server start and announcement the scan made).
inline void scan(const std::string& path, int64_t language = VANTREL_PYTHON) {
    g_vantrel.enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()),
                                language);
    ASSERT_TRUE(idle()) << "scan of " << path << " did not finish";
}

// ---- what the process looks like from outside

struct Process_Status {
    char state = '?';  // 'Z' for a child that has ended and awaits reaping
    pid_t parent = 0;
};

inline std::optional<Process_Status> process_status(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    size_t name_end = line.rfind(')');  // the command name may hold blanks
    if (name_end == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(name_end + 1));
    Process_Status status;
    if (!(fields >> status.state >> status.parent)) return std::nullopt;
    return status;
}

// Processes whose parent is this process, zombies included: a child that is
// not reaped still counts.
inline std::vector<pid_t> child_processes() {
    std::vector<pid_t> children;
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return children;
    while (dirent* entry = readdir(dir)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        std::optional<Process_Status> status = process_status(pid);
        if (status && status->parent == getpid()) children.push_back(pid);
    }
    closedir(dir);
    return children;
}

inline size_t thread_count() {
    size_t count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// The thread count before the library starts any thread. A sanitizer runtime
// may start a helper thread of its own with the first thread a program
// creates, so one thread is created and joined first. A joined thread can
// stay listed for a moment while the kernel finishes its exit.
inline size_t thread_count_at_rest() {
    pid_t tid = 0;
    std::thread([&tid] { tid = gettid(); }).join();
    std::string entry = "/proc/self/task/" + std::to_string(tid);
    eventually([&entry] { return !std::filesystem::exists(entry); });
    return thread_count();
}

// Whether the thread count comes back to count: threads that the library has
// joined may stay listed for a moment.
inline bool thread_count_returns_to(size_t count) {
    return eventually([count] { return thread_count() == count; }, std::chrono::seconds(5));
}

// Open descriptors of this process and what each refers to.
inline std::map<int, std::string> open_descriptors() {
    std::map<int, std::string> descriptors;
    std::error_code error;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error) descriptors[std::stoi(entry.path().filename().string())] = target;
    }
    return descriptors;
}

// ---- files

struct Temp_Dir {
    std::string path;
    Temp_Dir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vantrel-lsp-XXXXXX").string();
        path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~Temp_Dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file URI the client gives an absolute path: "file://" then the path,
// with blanks, colons and bytes from 0x80 up written as %XX.
inline std::string file_uri(const std::string& path) {
    std::string uri = "file://";
    for (unsigned char byte : path) {
        if (byte >= 0x80 || byte == ':' || byte == ' ') {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", byte);
            uri += escaped;
        } else {
            uri += static_cast<char>(byte);
        }
    }
    return uri;
}

// ---- references answers

struct Location {
    std::string uri;
    int32_t line;
    int32_t character;
    bool operator==(const Location& other) const {
        return std::tie(uri, line, character) == std::tie(other.uri, other.line, other.character);
    }
    bool operator<(const Location& other) const {
        return std::tie(uri, line, character) < std::tie(other.uri, other.line, other.character);
    }
};

inline std::ostream& operator<<(std::ostream& out, const Location& location) {
    return out << location.uri << ":" << location.line << ":" << location.character;
}

// One call of a References_Callback, copied out of the host blocks.
struct Answer {
    uint64_t context = 0;
    int32_t count = 0;
    bool records_null = false;
    bool strings_null = false;
    // Each record's uri points into the string buffer just past the NUL that
    // ends the previous one.
    bool strings_packed = true;
    std::thread::id thread;
    uint64_t pending_during_callback = 0;
    std::vector<Location> locations;
};

struct Answer_Log {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Answer> answers;
};

inline Answer_Log g_answers;

inline void record_answer(uint64_t context, Host_Location* records, int32_t count, char* strings) {
    Answer answer;
    answer.context = context;
    answer.count = count;
    answer.records_null = records == nullptr;
    answer.strings_null = strings == nullptr;
    answer.thread = std::this_thread::get_id();
    answer.pending_during_callback = g_vantrel.get_pending_tasks_count();
    const char* expected_uri = strings;
    for (int32_t i = 0; records != nullptr && i < count; ++i) {
        answer.locations.push_back({records[i].uri, records[i].line, records[i].character});
        answer.strings_packed = answer.strings_packed && records[i].uri == expected_uri;
        expected_uri = records[i].uri + strlen(records[i].uri) + 1;
    }
    g_vantrel.free_memory(records);
    g_vantrel.free_memory(strings);
    std::lock_guard<std::mutex> lock(g_answers.mutex);
    g_answers.answers.push_back(std::move(answer));
    g_answers.arrived.notify_all();
}

inline void ask_references(const std::string& path, int32_t line, int32_t character,
                           uint64_t context) {
    g_vantrel.enqueue_lsp_find_references(record_answer, context, path.data(),
                                          static_cast<uint32_t>(path.size()), line, character);
}

inline std::vector<Answer> answers_so_far() {
    std::lock_guard<std::mutex> lock(g_answers.mutex);
    return g_answers.answers;
}

// Waits for at least n answers; returns every answer received so far.
inline std::vector<Answer> wait_for_answers(size_t n,
                                            std::chrono::seconds limit = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> lock(g_answers.mutex);
    g_answers.arrived.wait_for(lock, limit, [n] { return g_answers.answers.size() >= n; });
    return g_answers.answers;
}

// How many times each context was answered.
inline std::map<uint64_t, int> answers_per_context(const std::vector<Answer>& answers) {
    std::map<uint64_t, int> counts;
    for (const Answer& answer : answers) ++counts[answer.context];
    return counts;
}

// ---- the fixture

// A test with the library freshly loaded (or, with linked_core set, the
// linked core library) and a temporary directory for the files it scans; it
// notes the threads and descriptors there were before.
class Lsp_Host_Test : public ::testing::Test {
protected:
    Temp_Dir dir;
    size_t threads_before = 0;
    std::map<int, std::string> descriptors_before;
    bool linked_core = false;

    void SetUp() override {
        ASSERT_FALSE(dir.path.empty());
        if (linked_core) {
            link_vantrel();
        } else {
            ASSERT_NO_FATAL_FAILURE(load_vantrel());
        }
        threads_before = thread_count_at_rest();
        descriptors_before = open_descriptors();
    }

    std::string python_file(const std::string& name,
                            const std::string& text = "def f():\n    pass\n") {
        std::string path = dir / name;
        write_file(path, text);
        return path;
    }

    // Stops the library and checks that it leaves nothing behind.
    void stop_and_expect_clean() {
        ASSERT_TRUE(stop_returns()) << "enqueue_stop did not return";
        expect_nothing_left();
    }

    // After enqueue_stop: no server process, no thread, no descriptor and no
    // pending look-up of the library remain.
    void expect_nothing_left() {
        EXPECT_TRUE(child_processes().empty());
        EXPECT_TRUE(thread_count_returns_to(threads_before))
            << "a thread of the library outlives enqueue_stop";
        EXPECT_EQ(open_descriptors(), descriptors_before);
        EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 0u);
    }
};
