// Memory and cancellation of parses: a parse that takes more than its memory
// budget, one running when scans are cancelled, and one during which memory
// runs out, each ends early and leaves its file with no definitions; the
// parser then serves the next file as usual, and the process goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>

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

}  // namespace
