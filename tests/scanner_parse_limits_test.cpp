// Memory, time and cancellation of parses: a parse that takes more than its
// memory budget or its time, one running when scans are cancelled, and one during which memory
// runs out, each ends early and leaves its file with no definitions; the
// parser then serves the next file as usual, and the process goes on.
#include <gtest/gtest.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "fork_support.h"
#include "memory_support.h"
#include "scanner.h"
#include "scanner_support.h"

namespace {

constexpr Language PYTHON = 1;
std::set<std::string> defined_names(const Scanner& scanner) {
    std::set<std::string> names;
    for (const auto& [name, definitions] : scanner.definitions) names.insert(name);
    return names;
}

// Polls until done() holds; false after the limit (a hang detector).
template <typename Done>
bool eventually(Done done, std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Each test starts with the library's limits and no cancellation, and leaves
// them so.
class Parse_Limits_Test : public testing::Test {
protected:
    Parse_Limits limits = g_parse_limits;
    Scanner scanner;

    void SetUp() override {
        scan_file("kept.py", "def kept():\n    pass\n", scanner, PYTHON);
    }

    void TearDown() override {
        g_parse_limits = limits;
        g_scans_cancelled = false;
    }
};

using Parse_Budget = Parse_Limits_Test;

TEST_F(Parse_Budget, parse_over_its_budget_leaves_the_file_with_no_definitions) {
    scan_file("big.py", "def old():\n    pass\n", scanner, PYTHON);
    g_parse_limits.memory_budget = parse_memory_held() + 8 * MEGABYTE;
    scan_file("big.py", "def big():\n    pass\n" + deeply_nested(MEGABYTE), scanner, PYTHON);
    EXPECT_EQ(defined_names(scanner), (std::set<std::string>{"kept"}));
}

TEST_F(Parse_Budget, next_file_after_a_cut_parse_is_parsed_from_its_own_start) {
    g_parse_limits.memory_budget = parse_memory_held() + 8 * MEGABYTE;
    scan_file("big.py", "def big():\n    pass\n" + deeply_nested(MEGABYTE), scanner, PYTHON);
    g_parse_limits = limits;
    scan_file("later.py", "def later():\n    pass\nclass Later:\n    pass\n", scanner, PYTHON);
    EXPECT_EQ(defined_names(scanner), (std::set<std::string>{"kept", "later", "Later"}));
}

TEST_F(Parse_Budget, file_within_the_budget_is_indexed_whole) {
    g_parse_limits.memory_budget = parse_memory_held() + 64 * MEGABYTE;
    std::string text = read_sample("sample.py");
    scan_file("sample.py", text, scanner, PYTHON);
    Scanner unlimited;
    g_parse_limits = limits;
    scan_file("sample.py", text, unlimited, PYTHON);
    EXPECT_FALSE(unlimited.definitions.empty());
    EXPECT_EQ(scanner.definitions.size(), unlimited.definitions.size() + 1);  // and kept
}

TEST_F(Parse_Budget, releasing_the_parsers_gives_back_every_byte_tree_sitter_held) {
    for (const auto& [file_name, language] : SAMPLE_FILES)
        scan_file(file_name, read_sample(file_name), scanner, language);
    g_parse_limits.memory_budget = parse_memory_held() + 8 * MEGABYTE;
    scan_file("big.py", deeply_nested(MEGABYTE), scanner, PYTHON);
    ASSERT_GT(parse_memory_held(), 0u);

    release_parsers();

    EXPECT_EQ(parse_memory_held(), 0u);
    EXPECT_EQ(get_language_data(PYTHON)->parser, nullptr);
    g_parse_limits = limits;
    scan_file("later.py", "def later():\n    pass\n", scanner, PYTHON);
    EXPECT_TRUE(defined_names(scanner).contains("later"));
}

using Scan_Cancel = Parse_Limits_Test;

TEST_F(Scan_Cancel, scan_while_scans_are_cancelled_leaves_its_file_with_no_definitions) {
    scan_file("a.py", "def old():\n    pass\n", scanner, PYTHON);
    g_scans_cancelled = true;
    scan_file("a.py", "def new():\n    pass\n", scanner, PYTHON);
    EXPECT_EQ(defined_names(scanner), (std::set<std::string>{"kept"}));
    g_scans_cancelled = false;
    scan_file("a.py", "def new():\n    pass\n", scanner, PYTHON);
    EXPECT_EQ(defined_names(scanner), (std::set<std::string>{"kept", "new"}));
}

// Ten megabytes of random bytes take tree-sitter tens of seconds to parse.
TEST_F(Scan_Cancel, cancelling_during_a_long_parse_ends_it_at_once) {
    std::string text = "def first():\n    pass\n" + random_bytes(10 * MEGABYTE);
    size_t held_before = parse_memory_held();
    std::atomic<bool> scanned = false;
    std::thread scan([&] {
        scan_file("random.py", text, scanner, PYTHON);
        scanned = true;
    });
    bool parsing = eventually([&] { return scanned || parse_memory_held() > held_before + 16 * MEGABYTE; });
    g_scans_cancelled = true;
    bool ended = eventually([&] { return scanned.load(); }, std::chrono::seconds(5));
    scan.join();
    EXPECT_TRUE(parsing);
    EXPECT_TRUE(ended) << "the parse went on after the cancellation";
    EXPECT_EQ(defined_names(scanner), (std::set<std::string>{"kept"}));
}

using Parse_Out_Of_Memory = Parse_Limits_Test;

// The address space is cut down while the parse runs, after its budget was
// set: the platform's allocator then fails under tree-sitter.
TEST_F(Parse_Out_Of_Memory, allocation_that_fails_during_a_parse_cuts_it_and_the_process_goes_on) {
    if (SANITIZED) GTEST_SKIP() << "RLIMIT_AS cannot be lowered under a sanitizer's shadow memory";
    std::string text = "def first():\n    pass\n" + deeply_nested(2 * MEGABYTE);
    size_t in_use_before = address_space_in_use();
    std::atomic<bool> scanned = false;
    std::optional<Address_Space_Limit> limit;
    std::thread limiter([&] {
        eventually([&] { return scanned || address_space_in_use() > in_use_before + 128 * MEGABYTE; });
        limit.emplace(address_space_in_use() + 16 * MEGABYTE);
    });
    scan_file("nested.py", text, scanner, PYTHON);
    scanned = true;
    limiter.join();
    limit.reset();

    EXPECT_EQ(defined_names(scanner), (std::set<std::string>{"kept"}));
    scan_file("later.py", "def later():\n    pass\n", scanner, PYTHON);
    EXPECT_EQ(defined_names(scanner), (std::set<std::string>{"kept", "later"}));
}

// What takes the wall clock from a parse that does no work meanwhile: its
// process stopped (a debugger, job control, a frozen cgroup), or busy
// threads sharing its core. The time limit counts the parse's own CPU time.
enum class Time_Lost { process_stopped, core_shared };

std::chrono::nanoseconds thread_cpu_time() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Pins the calling thread, and eight busy threads, to its current core.
void share_the_core_with_busy_threads() {
    cpu_set_t one_core;
    CPU_ZERO(&one_core);
    CPU_SET(sched_getcpu(), &one_core);
    sched_setaffinity(0, sizeof one_core, &one_core);
    static std::atomic<uint64_t> spins{0};
    for (int i = 0; i < 8; ++i) std::thread([] { for (;;) spins.fetch_add(1, std::memory_order_relaxed); }).detach();
}

class Parse_Time : public Parse_Limits_Test, public testing::WithParamInterface<Time_Lost> {};

TEST_P(Parse_Time, limit_counts_the_parses_cpu_time_not_the_wall_clock) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "def f" + std::to_string(i) + "(a, b):\n    return a + b\n";
    Scanner timed;
    std::chrono::nanoseconds start = thread_cpu_time();
    scan_file("many.py", text, timed, PYTHON);
    std::chrono::nanoseconds cpu = thread_cpu_time() - start;
    g_parse_limits.base_time_limit = 2 * cpu + std::chrono::milliseconds(100);
    g_parse_limits.time_limit_per_256_kib = std::chrono::seconds(0);
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    pid_t child = fork_child([&] {
        if (GetParam() == Time_Lost::core_shared) share_the_core_with_busy_threads();
        (void)!write(started[1], "s", 1);
        scan_file("many.py", text, scanner, PYTHON);
        return scanner.definitions.size() == timed.definitions.size() + 1 ? 0 : 1;  // and kept
    });
    char byte;
    ASSERT_EQ(read(started[0], &byte, 1), 1);
    if (GetParam() == Time_Lost::process_stopped) {
        std::this_thread::sleep_for(cpu / 4);
        kill(child, SIGSTOP);
        std::this_thread::sleep_for(g_parse_limits.base_time_limit + std::chrono::milliseconds(200));
        kill(child, SIGCONT);
    }
    EXPECT_TRUE(exited_with(status_of(child, std::chrono::seconds(120)), 0))
        << "the scan was cut after " << cpu.count() / 1000000 << " ms of CPU time";
    close(started[0]);
    close(started[1]);
}

const char* name_of(Time_Lost lost) {
    return lost == Time_Lost::process_stopped ? "process_stopped" : "core_shared";
}

void PrintTo(Time_Lost lost, std::ostream* out) { *out << name_of(lost); }

INSTANTIATE_TEST_SUITE_P(Parse_Limits, Parse_Time,
                         testing::Values(Time_Lost::process_stopped, Time_Lost::core_shared),
                         [](const auto& info) { return std::string(name_of(info.param)); });

}  // namespace
