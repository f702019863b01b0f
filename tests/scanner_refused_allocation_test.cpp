// Allocations that the system refuses under tree-sitter, one at a time or
// all of them from some point of a scan on: every allocation of a parse, the
// grammars' scanners' included, goes through the library's hooks, which
// never hand tree-sitter a null pointer. The parse is cut short, the file is
// indexed whole or not at all, and a scan without refusals indexes it as
// usual.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ostream>
#include <string>

#include "hostile_inputs.h"
#include "memory_support.h"
#include "scanner.h"
#include "scanner_support.h"

namespace {

// Which allocations the hooks ask of the system the test refuses, counted
// from 1 within one scan.
struct Refusals {
    long asked = 0;
    long first = LONG_MAX;
    long last = LONG_MAX;
    long refused = 0;
};

Refusals g_refusals;

bool refuse_allocation(size_t) {
    ++g_refusals.asked;
    bool refuse = g_refusals.asked >= g_refusals.first && g_refusals.asked <= g_refusals.last;
    if (refuse) ++g_refusals.refused;
    return refuse;
}

// Scans with the allocations from first to last refused.
void scan_refusing(long first, long last, const Sample_File& sample, const std::string& text,
                   Scanner& scanner) {
    g_refusals = Refusals{0, first, last, 0};
    g_refuse_parse_allocation = refuse_allocation;
    scan_file(sample.file_name, text, scanner, sample.language);
    g_refuse_parse_allocation = nullptr;
}

enum class Refused { nth_only, all_from_nth };

struct Refusal_Case {
    Sample_File sample;
    Refused refused;
};

std::ostream& operator<<(std::ostream& out, const Refusal_Case& c) {
    return out << c.sample.file_name << (c.refused == Refused::nth_only ? " nth only" : " all from nth");
}

class Refused_Allocation : public testing::TestWithParam<Refusal_Case> {};

// N runs from 1 until the scan makes fewer than N allocations: that last
// scan, after all those cut short, indexes the file whole.
TEST_P(Refused_Allocation, cuts_the_parse_leaving_the_file_whole_or_empty_and_a_scan_without_refusal_whole) {
    const Refusal_Case& c = GetParam();
    std::string text = read_sample(c.sample.file_name);
    Scanner scanner;
    scan_file(c.sample.file_name, text, scanner, c.sample.language);
    Index_Snapshot whole = snapshot(scanner);
    ASSERT_FALSE(whole.empty());

    long cut = 0;
    for (long n = 1;; ++n) {
        scan_refusing(n, c.refused == Refused::nth_only ? n : LONG_MAX, c.sample, text, scanner);
        Index_Snapshot indexed = snapshot(scanner);
        if (g_refusals.refused == 0) {
            EXPECT_EQ(indexed, whole);
            EXPECT_GT(cut, 0) << "no refusal cut a parse";
            return;
        }
        ASSERT_TRUE(indexed == whole || indexed.empty()) << "allocation " << n << " refused";
        if (indexed.empty()) ++cut;
    }
}

std::vector<Refusal_Case> refusal_cases() {
    std::vector<Refusal_Case> cases;
    for (const Sample_File& sample : SAMPLE_FILES) {
        cases.push_back({sample, Refused::nth_only});
        cases.push_back({sample, Refused::all_from_nth});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Every_Language, Refused_Allocation, testing::ValuesIn(refusal_cases()));

// ---- The largest blocks ----

// Tree-sitter's largest blocks are arrays as long as a parse stack or a tree
// is deep. The system is the likeliest to refuse those, and then the reserve
// must hold the block refused besides what the cut parse allocates until it
// has unwound, so the library sizes the reserve from the budget.
constexpr size_t LARGE_BLOCK = 16 * 1024;

// The test refuses the first-th allocation of at least LARGE_BLOCK bytes that
// the hooks ask of the system within one scan, and every allocation after it.
struct Large_Refusals {
    long large_asked = 0;
    long first = LONG_MAX;
};

Large_Refusals g_large_refusals;

bool refuse_from_a_large_allocation(size_t size) {
    if (size >= LARGE_BLOCK) ++g_large_refusals.large_asked;
    return g_large_refusals.large_asked >= g_large_refusals.first;
}

// Scans with allocations refused from the first-th large one on; returns how
// many large allocations the scan asked for.
long scan_refusing_from_large(long first, const std::string& text, Language language) {
    g_large_refusals = Large_Refusals{0, first};
    g_refuse_parse_allocation = refuse_from_a_large_allocation;
    Scanner scanner;
    scan_file("nested", text, scanner, language);
    g_refuse_parse_allocation = nullptr;
    return g_large_refusals.large_asked;
}

// Large allocations of each text at which the refusals start, the last
// included: the walk of the tree comes last.
constexpr long REFUSAL_POINTS = SANITIZED ? 3 : 8;

class Refused_Large_Allocation : public testing::TestWithParam<Nesting_Case> {
protected:
    Parse_Limits limits = g_parse_limits;

    void TearDown() override { g_parse_limits = limits; }
};

// The budget holds the scan with little to spare, and the reserve's set size
// is too small to matter: the reserve is the one that the budget calls for.
TEST_P(Refused_Large_Allocation, from_any_large_block_of_a_deep_scan_on_cuts_it_and_the_next_scan_is_as_usual) {
    const Nesting_Case& nesting = GetParam();
    g_parse_limits.reserve = 64 * 1024;
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed" : "unclosed");
        std::string text = nested_text(nesting, SANITIZED ? 3000 : 10000, closed);
        g_parse_limits.memory_budget = limits.memory_budget;
        scan_refusing_from_large(LONG_MAX, text, nesting.language);  // grows what the parser keeps
        long large = scan_refusing_from_large(LONG_MAX, text, nesting.language);
        g_parse_limits.memory_budget = last_parse_peak() + last_parse_peak() / 8;
        for (long first = large; first > 0; first -= large / REFUSAL_POINTS + 1)
            EXPECT_GE(scan_refusing_from_large(first, text, nesting.language), first);
    }
    Sample_File sample = SAMPLE_FILES[nesting.language - 1];
    Scanner scanner;
    scan_file(sample.file_name, read_sample(sample.file_name), scanner, sample.language);
    EXPECT_FALSE(scanner.definitions.empty());
}

INSTANTIATE_TEST_SUITE_P(Every_Language, Refused_Large_Allocation, testing::ValuesIn(NESTING_CASES),
                         case_name<Nesting_Case>);

}  // namespace
