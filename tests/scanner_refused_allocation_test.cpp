// Allocations that the system refuses under tree-sitter, one at a time or
// all of them from some point of a scan on: every allocation of a parse, the
// grammars' scanners' included, goes through the library's hooks, which
// never hand tree-sitter a null pointer. The parse is cut short, the file is
// indexed whole or not at all, and a scan without refusals indexes it as
// usual.
#include <gtest/gtest.h>

#include <climits>
#include <ostream>
#include <string>

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

bool refuse_allocation() {
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

}  // namespace
