// Re-indexing files into the definitions index and emptying it.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <numeric>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "scanner.h"
#include "scanner_support.h"

namespace {

constexpr Language PYTHON = 1;

TEST(Rescan, drops_a_deleted_definition_and_keeps_another_files_one) {
    Scanner scanner;
    scan_file("a.py", "def foo(): pass\ndef bar(): pass\n", scanner, PYTHON);
    scan_file("b.py", "def bar(): pass\n", scanner, PYTHON);

    scan_file("a.py", "def foo(): pass\n", scanner, PYTHON);

    Index_Snapshot expected = {{"foo", {{"a.py", 0, 4}}}, {"bar", {{"b.py", 0, 4}}}};
    EXPECT_EQ(snapshot(scanner), expected);
}

TEST(Rescan, moves_a_definition_to_its_new_position) {
    Scanner scanner;
    scan_file("a.py", "def foo(): pass\n", scanner, PYTHON);
    scan_file("a.py", "import os\n\n\ndef foo(): pass\n", scanner, PYTHON);

    Index_Snapshot expected = {{"foo", {{"a.py", 3, 4}}}};
    EXPECT_EQ(snapshot(scanner), expected);
}

TEST(Rescan, of_an_empty_text_removes_only_that_files_definitions) {
    Scanner scanner;
    scan_file("a.py", "def foo(): pass\ndef bar(): pass\n", scanner, PYTHON);
    scan_file("b.py", "def bar(): pass\n", scanner, PYTHON);

    scan_file("a.py", "", scanner, PYTHON);

    Index_Snapshot expected = {{"bar", {{"b.py", 0, 4}}}};
    EXPECT_EQ(snapshot(scanner), expected);
    EXPECT_FALSE(scanner.files.contains("a.py"));
}

TEST(Rescan, of_a_text_without_definitions_removes_the_files_definitions) {
    Scanner scanner;
    scan_file("a.py", "def foo(): pass\n", scanner, PYTHON);
    scan_file("a.py", "print('no definitions left')\n", scanner, PYTHON);
    EXPECT_TRUE(scanner.definitions.empty());
    EXPECT_TRUE(scanner.files.empty());
}

TEST(Index, orders_the_files_of_a_name_by_path_bytes) {
    Scanner scanner;
    scan_file("src/b.py", "def run(): pass\n", scanner, PYTHON);
    scan_file("src/a.py", "def run(): pass\n", scanner, PYTHON);
    scan_file("src/B.py", "def run(): pass\n", scanner, PYTHON);
    scan_file("src/\xC3\xA9.py", "def run(): pass\n", scanner, PYTHON);  // é: bytes above 'z'
    scan_file("src", "def run(): pass\n", scanner, PYTHON);

    Index_Snapshot expected = {{"run",
                                {{"src", 0, 4},
                                 {"src/B.py", 0, 4},
                                 {"src/a.py", 0, 4},
                                 {"src/b.py", 0, 4},
                                 {"src/\xC3\xA9.py", 0, 4}}}};
    EXPECT_EQ(snapshot(scanner), expected);
}

TEST(Index, counts_one_file_under_two_path_strings_twice) {
    Scanner scanner;
    scan_file("lib/util.py", "def slugify(): pass\n", scanner, PYTHON);
    scan_file("lib/./util.py", "def slugify(): pass\n", scanner, PYTHON);
    EXPECT_EQ(definition_count(scanner.definitions.at("slugify")), 2u);
}

TEST(Index, keeps_the_definition_met_last_in_pre_order) {
    Scanner scanner;
    scan_file("twice.py",
              "def handle(event):\n"
              "    pass\n"
              "\n"
              "def handle(event, context):\n"
              "    def handle(inner): pass\n",
              scanner, PYTHON);
    Index_Snapshot expected = {{"handle", {{"twice.py", 4, 8}}}};
    EXPECT_EQ(snapshot(scanner), expected);
}

TEST(Index, keys_names_by_their_exact_bytes) {
    Scanner scanner;
    scan_file("names.py", "def Parse(): pass\ndef parse(): pass\ndef _parse(): pass\n", scanner,
              PYTHON);
    Index_Snapshot expected = {{"Parse", {{"names.py", 0, 4}}},
                               {"parse", {{"names.py", 1, 4}}},
                               {"_parse", {{"names.py", 2, 4}}}};
    EXPECT_EQ(snapshot(scanner), expected);
}

TEST(Index, counts_columns_in_bytes) {
    Scanner scanner;
    scan_file("size.js", "const unit = \"é\"; function größe() {}\n", scanner, 2);
    Index_Snapshot expected = {{"gr\xC3\xB6\xC3\x9F" "e", {{"size.js", 0, 28}}}};
    EXPECT_EQ(snapshot(scanner), expected);
}

class Unknown_Language : public testing::TestWithParam<Language> {};

TEST_P(Unknown_Language, is_indexed_as_python) {
    std::string source = read_sample("sample.py");
    Scanner as_python;
    scan_file("sample.py", source, as_python, PYTHON);
    Scanner as_unknown;
    scan_file("sample.py", source, as_unknown, GetParam());

    EXPECT_EQ(snapshot(as_unknown), snapshot(as_python));
    EXPECT_FALSE(snapshot(as_python).empty());
}

TEST_P(Unknown_Language, applies_the_python_grammar_to_other_source) {
    Scanner scanner;
    scan_file("ring.cpp", read_sample("sample.cpp"), scanner, GetParam());
    EXPECT_FALSE(scanner.definitions.contains("RingBuffer::push"));
}

INSTANTIATE_TEST_SUITE_P(Values, Unknown_Language, testing::Values(0, 15, -1),
                         [](const testing::TestParamInfo<Language>& info) {
                             return info.param < 0 ? std::string("minus_one")
                                                   : std::to_string(info.param);
                         });

TEST(Clear, empties_the_index_and_keeps_the_file_buffer) {
    Scanner scanner;
    scanner.file_buffer = "def foo(): pass\n";
    scan_file("a.py", scanner.file_buffer, scanner, PYTHON);

    clear(scanner);

    EXPECT_TRUE(scanner.definitions.empty());
    EXPECT_TRUE(scanner.files.empty());
    EXPECT_EQ(scanner.file_buffer, "def foo(): pass\n");
}

TEST(Clear, lets_a_later_scan_fill_the_index_afresh) {
    Scanner scanner;
    scan_file("a.py", "def foo(): pass\n", scanner, PYTHON);
    clear(scanner);
    scan_file("b.py", "def bar(): pass\n", scanner, PYTHON);

    Index_Snapshot expected = {{"bar", {{"b.py", 0, 4}}}};
    EXPECT_EQ(snapshot(scanner), expected);
    EXPECT_EQ(get_definitions_from_text("foo bar", scanner, {}, false).size(), 1u);
}

// ---- Deep trees ----

struct Deep_Scan {
    std::string text;
    Scanner scanner;
};

void* scan_deep_text(void* argument) {
    auto* scan = static_cast<Deep_Scan*>(argument);
    scan_file("deep.py", scan->text, scan->scanner, PYTHON);
    return nullptr;
}

// How deep the syntax tree of a Python text nests.
size_t tree_depth(const std::string& text) {
    initialize_tree_sitter_globals();
    TSTree* tree = ts_parser_parse_string(get_language_data(PYTHON)->parser, nullptr, text.data(),
                                          static_cast<uint32_t>(text.size()));
    TSTreeCursor cursor = ts_tree_cursor_new(ts_tree_root_node(tree));
    size_t depth = 0;
    size_t deepest = 0;
    for (bool walking = true; walking;) {
        if (ts_tree_cursor_goto_first_child(&cursor)) {
            deepest = std::max(deepest, ++depth);
            continue;
        }
        while (!ts_tree_cursor_goto_next_sibling(&cursor)) {
            if (!ts_tree_cursor_goto_parent(&cursor)) {
                walking = false;
                break;
            }
            --depth;
        }
    }
    ts_tree_cursor_delete(&cursor);
    ts_tree_delete(tree);
    return deepest;
}

TEST(Deep_Tree, is_walked_to_the_end_on_a_small_stack) {
    const size_t levels = 100000;
    Deep_Scan scan;
    std::string nested = "total = " + std::string(levels, '[') + std::string(levels, ']');
    ASSERT_GT(tree_depth(nested), levels);
    scan.text = nested + "\n\ndef after_the_nesting():\n    pass\n";

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 512 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, scan_deep_text, &scan), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);

    Index_Snapshot expected = {{"after_the_nesting", {{"deep.py", 2, 4}}}};
    EXPECT_EQ(snapshot(scan.scanner), expected);
}

// ---- A name defined in many files ----

// The path of file i. Numbers are not padded, and paths hold a byte above
// 0x7F or are another's prefix, so that byte order differs both from the
// order of i and from an order of signed bytes.
std::string shared_path(size_t i) {
    static const char* const endings[] = {"", "/x.py", "\xC3\xA9.py"};
    return "pkg/" + std::to_string(i / 3) + endings[i % 3];
}

// File i defines `shared` on row i % 7.
uint32_t shared_row(size_t i) { return static_cast<uint32_t>(i % 7); }

std::string shared_source(size_t i) {
    return std::string(shared_row(i), '\n') + "def shared(): pass\n";
}

enum class Arrival { ascending, descending, random };

std::ostream& operator<<(std::ostream& out, Arrival arrival) {
    static const char* const names[] = {"ascending", "descending", "random"};
    return out << names[static_cast<int>(arrival)];
}

// Files 0 to count - 1 in the order they are scanned: by the byte order of
// their paths, by its reverse, or shuffled.
std::vector<size_t> arrival_order(size_t count, Arrival arrival) {
    std::vector<size_t> files(count);
    std::iota(files.begin(), files.end(), size_t{0});
    std::sort(files.begin(), files.end(),
              [](size_t a, size_t b) { return shared_path(a) < shared_path(b); });
    if (arrival == Arrival::descending) std::reverse(files.begin(), files.end());
    if (arrival == Arrival::random) std::shuffle(files.begin(), files.end(), std::mt19937(11));
    return files;
}

// The files that define `shared`, as the index should hold them: path -> row.
// std::string compares bytes as unsigned values, a prefix first.
using Shared_Model = std::map<std::string, uint32_t>;

Index_Snapshot snapshot_of(const Shared_Model& model) {
    Index_Snapshot expected;
    for (const auto& [path, row] : model) expected["shared"].push_back({path, row, 4});
    return expected;
}

void scan_shared(size_t i, Scanner& scanner, Shared_Model& model) {
    scan_file(shared_path(i), shared_source(i), scanner, PYTHON);
    model[shared_path(i)] = shared_row(i);
}

void empty_shared(size_t i, Scanner& scanner, Shared_Model& model) {
    scan_file(shared_path(i), "", scanner, PYTHON);
    model.erase(shared_path(i));
}

// The link `shared` gets, as path and row.
Shared_Model::value_type shared_link(const Scanner& scanner,
                                     const std::vector<std::string>& preferred = {}) {
    std::vector<Definition_Link> links =
        get_definitions_from_text("shared", scanner, preferred, false);
    if (links.size() != 1) return {"", 0};
    return {std::string(links[0].path), links[0].position.row};
}

using Arrival_Case = std::tuple<Arrival, size_t>;

std::string arrival_case_name(const testing::TestParamInfo<Arrival_Case>& info) {
    std::ostringstream name;
    name << std::get<Arrival>(info.param) << '_' << std::get<size_t>(info.param);
    return name.str();
}

// Files 0 to count - 1, each defining `shared`, scanned in the order of the
// case's arrival.
class Shared_Name : public testing::TestWithParam<Arrival_Case> {
protected:
    void SetUp() override {
        auto [arrival, count] = GetParam();
        order = arrival_order(count, arrival);
        for (size_t i : order) scan_shared(i, scanner, model);
    }

    std::vector<size_t> order;
    Scanner scanner;
    Shared_Model model;
};

TEST_P(Shared_Name, holds_one_definition_per_file_in_path_byte_order) {
    EXPECT_EQ(snapshot(scanner), snapshot_of(model));
}

TEST_P(Shared_Name, links_to_the_smallest_path_when_none_is_preferred) {
    EXPECT_EQ(shared_link(scanner), *model.begin());
}

TEST_P(Shared_Name, links_to_the_first_preferred_path_that_defines_it) {
    auto middle = std::next(model.begin(), static_cast<long>(model.size() / 2));
    auto last = std::prev(model.end());
    EXPECT_EQ(shared_link(scanner, {"pkg/none.py", last->first, middle->first}), *last);
    EXPECT_EQ(shared_link(scanner, {middle->first, last->first}), *middle);
}

TEST_P(Shared_Name, keeps_the_definition_met_last_in_a_rescanned_file) {
    const std::string& path = shared_path(order[order.size() / 2]);
    scan_file(path, "def shared(): pass\n\n\ndef shared(): pass\n", scanner, PYTHON);
    model[path] = 3;
    EXPECT_EQ(snapshot(scanner), snapshot_of(model));
}

TEST_P(Shared_Name, loses_each_emptied_file_and_keeps_the_others) {
    std::mt19937 random(5);
    for (size_t i : order) {
        if (random() % 2 == 0) empty_shared(i, scanner, model);
    }
    EXPECT_EQ(snapshot(scanner), snapshot_of(model));
    if (!model.empty()) {
        EXPECT_EQ(shared_link(scanner), *model.begin());
    }

    for (size_t i : order) empty_shared(i, scanner, model);
    EXPECT_TRUE(scanner.definitions.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Arrivals, Shared_Name,
    testing::Combine(testing::Values(Arrival::ascending, Arrival::descending, Arrival::random),
                     testing::Values(size_t{1}, MANY_DEFINITIONS, MANY_DEFINITIONS + 1,
                                     size_t{1000})),
    arrival_case_name);

// Files arrive and leave so that the count of `shared` crosses both
// thresholds, up and down, twice, and goes back and forth across each; after
// every scan the index and the link match the model.
TEST(Shared_Name_Count, crosses_the_thresholds_both_ways_without_losing_a_definition) {
    std::vector<size_t> files = arrival_order(MANY_DEFINITIONS + 1, Arrival::random);
    Scanner scanner;
    Shared_Model model;
    size_t held = 0;  // files[0] to files[held - 1] define `shared`
    auto go_to = [&](size_t count) {
        while (held != count && !HasFailure()) {
            if (held < count)
                scan_shared(files[held++], scanner, model);
            else
                empty_shared(files[--held], scanner, model);
            EXPECT_EQ(snapshot(scanner), snapshot_of(model)) << held << " files";
            if (held > 0) {
                EXPECT_EQ(shared_link(scanner), *model.begin()) << held << " files";
            }
        }
    };
    for (int round = 0; round < 2; ++round) {
        go_to(MANY_DEFINITIONS + 1);
        for (int i = 0; i < 3; ++i) {
            go_to(MANY_DEFINITIONS);
            go_to(MANY_DEFINITIONS + 1);
        }
        go_to(FEW_DEFINITIONS);
        for (int i = 0; i < 3; ++i) {
            go_to(FEW_DEFINITIONS + 1);
            go_to(FEW_DEFINITIONS);
        }
    }
    go_to(0);
    EXPECT_TRUE(scanner.definitions.empty());
}

// Where each definition of `shared` stands in memory, by path.
std::map<std::string, const Definition*> shared_addresses(const Scanner& scanner) {
    std::map<std::string, const Definition*> addresses;
    for_each_definition(scanner.definitions.at("shared"),
                        [&addresses](const Definition& definition) {
                            addresses[std::string(definition.path)] = &definition;
                        });
    return addresses;
}

// How many of the definitions that stood at addresses still are in the index
// but stand elsewhere.
size_t count_moved(const std::map<std::string, const Definition*>& addresses,
                   const Scanner& scanner) {
    std::map<std::string, const Definition*> now = shared_addresses(scanner);
    size_t moved = 0;
    for (const auto& [path, address] : addresses)
        moved += now.contains(path) && now[path] != address;
    return moved;
}

// What adding a file to a name's definitions, or removing one, costs grows
// with the number of definitions it moves in memory. A name defined in many
// files moves none, wherever the path falls.
TEST(Shared_Name_Cost, adding_or_removing_a_file_moves_no_other_definition_when_there_are_many) {
    std::vector<size_t> files = arrival_order(4 * MANY_DEFINITIONS, Arrival::descending);
    Scanner scanner;
    Shared_Model model;
    for (size_t k = 1; k + 1 < files.size(); ++k) scan_shared(files[k], scanner, model);

    auto addresses = shared_addresses(scanner);
    scan_shared(files.back(), scanner, model);  // the smallest path, before every other
    EXPECT_EQ(count_moved(addresses, scanner), 0u) << "adding the smallest path";

    addresses = shared_addresses(scanner);
    scan_shared(files.front(), scanner, model);  // the largest path
    EXPECT_EQ(count_moved(addresses, scanner), 0u) << "adding the largest path";

    addresses = shared_addresses(scanner);
    empty_shared(files.back(), scanner, model);
    EXPECT_EQ(count_moved(addresses, scanner), 0u) << "removing the smallest path";
    EXPECT_EQ(snapshot(scanner), snapshot_of(model));
}

// ---- Re-indexing many files ----

// A Python file defining some of a small pool of names, so that files share
// names and rescans add and drop them.
std::string random_source(std::mt19937& random) {
    static const char* const names[] = {"open", "close", "read", "write", "parse", "render",
                                        "Model", "View", "Controller", "__init__", "main", "run"};
    std::string source;
    int count = std::uniform_int_distribution<int>(0, 6)(random);
    for (int i = 0; i < count; ++i) {
        const char* name = names[std::uniform_int_distribution<size_t>(0, std::size(names) - 1)(random)];
        if (random() % 2 == 0)
            source += "class " + std::string(name) + ":\n    def " + name + "(self): pass\n";
        else
            source += "\n" + std::string(random() % 3, '\n') + "def " + name + "(): pass\n";
    }
    return source;
}

TEST(Rescan, leaves_the_index_a_fresh_scan_of_the_final_texts_would_build) {
    std::mt19937 random(7);
    std::vector<std::string> texts(60);
    Scanner scanner;
    for (size_t i = 0; i < texts.size(); ++i) {
        texts[i] = random_source(random);
        scan_file("pkg/module" + std::to_string(i) + ".py", texts[i], scanner, PYTHON);
    }
    for (int round = 0; round < 400; ++round) {
        size_t i = random() % texts.size();
        texts[i] = random_source(random);
        scan_file("pkg/module" + std::to_string(i) + ".py", texts[i], scanner, PYTHON);
    }

    Scanner fresh;
    for (size_t i = 0; i < texts.size(); ++i)
        scan_file("pkg/module" + std::to_string(i) + ".py", texts[i], fresh, PYTHON);
    EXPECT_EQ(snapshot(scanner), snapshot(fresh));

    std::string every_name = "open close read write parse render Model View Controller __init__ main run";
    std::vector<Definition_Link> found = get_definitions_from_text(every_name, scanner, {}, false);
    std::vector<Definition_Link> expected = get_definitions_from_text(every_name, fresh, {}, false);
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].start, expected[i].start);
        EXPECT_EQ(found[i].path, expected[i].path);
        EXPECT_EQ(found[i].position.row, expected[i].position.row);
    }
}

TEST(Rescan, finds_a_name_again_after_every_file_defining_it_was_emptied_and_refilled) {
    Scanner scanner;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 2000; ++i)
            scan_file("gen" + std::to_string(i) + ".py", "def name_" + std::to_string(i) + "(): pass\n",
                      scanner, PYTHON);
        for (int i = 0; i < 2000; ++i) scan_file("gen" + std::to_string(i) + ".py", "", scanner, PYTHON);
    }
    scan_file("last.py", "def name_42(): pass\n", scanner, PYTHON);

    std::vector<Definition_Link> links = get_definitions_from_text("name_41 name_42", scanner, {}, false);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].path, "last.py");
    EXPECT_EQ(scanner.definitions.size(), 1u);
}

}  // namespace
