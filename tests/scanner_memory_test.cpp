// Memory running out part-way through a scan: the index stays whole. This
// program replaces operator new so that a test can make the n-th allocation
// fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "scanner.h"
#include "scanner_support.h"

namespace {

// How many more allocations through operator new succeed; negative: all.
std::atomic<long> g_allocations_left{-1};

}  // namespace

void* operator new(std::size_t size) {
    long left = g_allocations_left.load();
    if (left == 0) throw std::bad_alloc();
    if (left > 0) g_allocations_left.store(left - 1);
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

// GCC takes free in a replacement delete for a mismatch with new.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }

void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

constexpr Language PYTHON = 1;

// Scans with only `allocations` allocations allowed to succeed.
void scan_with_allocations(long allocations, const std::string& path, const std::string& text,
                           Scanner& scanner) {
    g_allocations_left.store(allocations);
    scan_file(path, text, scanner, PYTHON);
    g_allocations_left.store(-1);
}

std::string many_definitions() {
    std::string source = "class Shared:\n    pass\n";
    for (int i = 0; i < 40; ++i)
        source += "def function_with_a_long_name_" + std::to_string(i) + "(): pass\n";
    return source;
}

TEST(Out_Of_Memory, at_any_allocation_of_a_scan_leaves_the_file_unindexed_and_the_rest_intact) {
    Scanner scanner;
    scan_file("kept.py", "def kept(): pass\nclass Shared: pass\n", scanner, PYTHON);
    Index_Snapshot before = snapshot(scanner);
    std::string source = many_definitions();

    long allocations = 0;
    for (;; ++allocations) {
        scan_with_allocations(allocations, "new.py", source, scanner);
        if (scanner.files.contains("new.py")) break;
        ASSERT_EQ(snapshot(scanner), before) << "with " << allocations << " allocations";
    }
    EXPECT_GT(allocations, 40);

    Scanner unlimited;
    scan_file("kept.py", "def kept(): pass\nclass Shared: pass\n", unlimited, PYTHON);
    scan_file("new.py", source, unlimited, PYTHON);
    EXPECT_EQ(snapshot(scanner), snapshot(unlimited));
}

TEST(Out_Of_Memory, in_a_rescan_removes_the_files_old_definitions) {
    Scanner scanner;
    scan_file("kept.py", "def kept(): pass\n", scanner, PYTHON);
    scan_file("changed.py", "def old(): pass\n", scanner, PYTHON);

    scan_with_allocations(3, "changed.py", many_definitions(), scanner);

    Index_Snapshot expected = {{"kept", {{"kept.py", 0, 4}}}};
    EXPECT_EQ(snapshot(scanner), expected);
    EXPECT_EQ(scanner.files.size(), 1u);
}

TEST(Out_Of_Memory, leaves_an_index_that_later_scans_and_searches_use_as_usual) {
    Scanner scanner;
    std::string source = many_definitions();
    for (long allocations = 0; allocations < 60; allocations += 7)
        scan_with_allocations(allocations, "new.py", source, scanner);

    scan_file("new.py", "def function_with_a_long_name_3(): pass\n", scanner, PYTHON);

    std::vector<Definition_Link> links = get_definitions_from_text(
        "Shared function_with_a_long_name_3 function_with_a_long_name_4", scanner, {}, false);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].start, 7u);
    EXPECT_EQ(links[0].path, "new.py");
}

}  // namespace
