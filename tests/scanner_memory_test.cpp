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

// Files that each define Shared, the first name many_definitions() defines.
void index_kept_files(size_t count, Scanner& scanner) {
    for (size_t i = 0; i < count; ++i)
        scan_file("kept" + std::to_string(i) + ".py", "def kept(): pass\nclass Shared: pass\n",
                  scanner, PYTHON);
}

// Beside one kept file, or as many as a vector holds, so that the scans
// below move Shared to a tree.
class Out_Of_Memory_Beside : public testing::TestWithParam<size_t> {
protected:
    void SetUp() override { index_kept_files(GetParam(), scanner); }

    Scanner scanner;
};

TEST_P(Out_Of_Memory_Beside,
       at_any_allocation_of_a_scan_leaves_the_file_unindexed_and_the_rest_intact) {
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
    index_kept_files(GetParam(), unlimited);
    scan_file("new.py", source, unlimited, PYTHON);
    EXPECT_EQ(snapshot(scanner), snapshot(unlimited));
}

INSTANTIATE_TEST_SUITE_P(Files, Out_Of_Memory_Beside, testing::Values(size_t{1}, MANY_DEFINITIONS));

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

std::string numbered_path(size_t i) { return "file" + std::to_string(i) + ".py"; }

// Files first to last - 1, each defining `shared`.
Scanner index_of_shared(size_t first, size_t last) {
    Scanner scanner;
    for (size_t i = first; i < last; ++i)
        scan_file(numbered_path(i), "def shared(): pass\n", scanner, PYTHON);
    return scanner;
}

TEST(Out_Of_Memory, while_a_name_leaves_its_tree_still_removes_the_files_definition) {
    // One file more than a vector holds moves the name to a tree; then files
    // leave until one more than FEW_DEFINITIONS is left.
    const size_t first = MANY_DEFINITIONS - FEW_DEFINITIONS;
    const size_t last = MANY_DEFINITIONS;
    Scanner scanner = index_of_shared(0, last + 1);
    for (size_t i = 0; i < first; ++i) scan_file(numbered_path(i), "", scanner, PYTHON);
    ASSERT_NE(scanner.definitions.at("shared").many, nullptr) << "the name is held in a tree";

    // One file fewer moves the name back to a vector, which is refused.
    scan_with_allocations(0, numbered_path(last), "", scanner);
    EXPECT_EQ(snapshot(scanner), snapshot(index_of_shared(first, last)));

    scan_file(numbered_path(last - 1), "", scanner, PYTHON);
    EXPECT_EQ(snapshot(scanner), snapshot(index_of_shared(first, last - 1)));
    std::string preferred = numbered_path(last - 2);
    EXPECT_EQ(get_definitions_from_text("shared", scanner, {preferred}, false)[0].path, preferred);
}

}  // namespace
