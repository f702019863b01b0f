// Finding, in any text, the identifiers that name indexed definitions.
#include <gtest/gtest.h>
#include <locale.h>

#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <utf8.h>

#include "scanner.h"

namespace {

constexpr Language PYTHON = 1;

// One link reduced to what a test compares.
struct Link {
    uint32_t start;
    uint32_t end;
    std::string path;
    uint32_t row;

    friend bool operator==(const Link&, const Link&) = default;
};

std::ostream& operator<<(std::ostream& out, const Link& link) {
    return out << '[' << link.start << ", " << link.end << ") " << link.path << ':' << link.row;
}

std::vector<Link> find(const std::string& text, const Scanner& scanner,
                       const std::vector<std::string>& preferred_paths = {},
                       bool compound_only = false) {
    std::vector<Link> links;
    for (const Definition_Link& link :
         get_definitions_from_text(text, scanner, preferred_paths, compound_only)) {
        links.push_back({link.start, link.end, std::string(link.path), link.position.row});
    }
    return links;
}

// An index in which each of names is defined once, in defs.py, row i.
Scanner index_of(const std::vector<std::string>& names) {
    std::string source;
    for (const std::string& name : names) source += "def " + name + "(): pass\n";
    Scanner scanner;
    scan_file("defs.py", source, scanner, PYTHON);
    return scanner;
}

// ---- Texts and indexes with nothing to find ----

TEST(Empty, text_yields_no_links) {
    Scanner scanner = index_of({"foo"});
    EXPECT_TRUE(find("", scanner).empty());
}

TEST(Empty, index_yields_no_links_even_for_invalid_utf8) {
    Scanner scanner;
    EXPECT_TRUE(find("foo bar", scanner).empty());
    EXPECT_TRUE(find("\xFF\xC0\x80 foo \xED\xA0\x80", scanner).empty());
}

TEST(Empty, index_after_clear_yields_no_links) {
    Scanner scanner = index_of({"foo"});
    clear(scanner);
    EXPECT_TRUE(find("foo", scanner).empty());
}

// ---- What counts as an identifier ----

TEST(Identifiers, each_occurrence_gives_a_link) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{0, 3, "defs.py", 0}, {4, 7, "defs.py", 0}};
    EXPECT_EQ(find("foo foo", scanner), expected);
}

TEST(Identifiers, are_separated_by_punctuation) {
    Scanner scanner = index_of({"foo", "bar"});
    std::vector<Link> expected = {{0, 3, "defs.py", 0}, {4, 7, "defs.py", 1}};
    EXPECT_EQ(find("foo.bar", scanner), expected);
}

TEST(Identifiers, are_looked_up_by_exact_bytes) {
    Scanner scanner = index_of({"foo"});
    EXPECT_TRUE(find("Foo FOO fOo", scanner).empty());
}

TEST(Identifiers, match_only_whole) {
    Scanner scanner = index_of({"foo"});
    EXPECT_TRUE(find("foobar foo_bar foo1 _foo", scanner).empty());
}

TEST(Identifiers, may_be_a_lone_underscore_or_dunder_name) {
    Scanner scanner = index_of({"_", "__init__"});
    std::vector<Link> expected = {{0, 1, "defs.py", 0}, {2, 10, "defs.py", 1}};
    EXPECT_EQ(find("_ __init__", scanner), expected);
}

TEST(Identifiers, start_after_leading_digits) {
    Scanner scanner = index_of({"foo", "x1F"});
    std::vector<Link> expected = {{1, 4, "defs.py", 0}};
    EXPECT_EQ(find("9foo", scanner), expected);
    expected = {{1, 4, "defs.py", 1}};
    EXPECT_EQ(find("0x1F", scanner), expected);
}

TEST(Identifiers, end_at_the_end_of_the_text) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{6, 9, "defs.py", 0}};
    EXPECT_EQ(find("x = y(foo", scanner), expected);
}

TEST(Identifiers, are_separated_by_nul) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{0, 3, "defs.py", 0}, {4, 7, "defs.py", 0}};
    EXPECT_EQ(find(std::string("foo\0foo", 7), scanner), expected);
}

TEST(Identifiers, found_in_the_indexed_source_itself_link_to_their_definitions) {
    Scanner scanner;
    std::string source = "class Shape:\n    pass\n\ndef area(shape: Shape):\n    return 0\n";
    scan_file("shapes.py", source, scanner, PYTHON);
    std::vector<Link> expected = {{6, 11, "shapes.py", 0}, {27, 31, "shapes.py", 3},
                                  {39, 44, "shapes.py", 0}};
    EXPECT_EQ(find(source, scanner), expected);
}

// ---- Positions count code points ----

TEST(Positions, count_code_points_not_bytes) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{4, 7, "defs.py", 0}};
    EXPECT_EQ(find("\xC3\xBC = foo", scanner), expected);              // ü, two bytes
    EXPECT_EQ(find("\xE2\x82\xAC = foo", scanner), expected);          // €, three bytes
    EXPECT_EQ(find("\xF0\x9F\x98\x80 = foo", scanner), expected);      // 😀, four bytes
}

TEST(Positions, keep_counting_over_many_links) {
    Scanner scanner = index_of({"a"});
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "\xC3\xA9 a ";  // "é a " is four code points
    std::vector<Link> links = find(text, scanner);
    ASSERT_EQ(links.size(), 1000u);
    EXPECT_EQ(links[999].start, 999u * 4 + 2);
    EXPECT_EQ(links[999].end, 999u * 4 + 3);
}

// ---- compound_only ----

TEST(Compound_Only, keeps_identifiers_with_an_underscore_or_a_later_uppercase_letter) {
    Scanner scanner = index_of({"foo", "Foo", "X", "a1", "fooBar", "FOO", "foo_bar", "_x", "FOo"});
    std::vector<Link> expected = {{13, 19, "defs.py", 4}, {20, 23, "defs.py", 5},
                                  {24, 31, "defs.py", 6}, {32, 34, "defs.py", 7},
                                  {35, 38, "defs.py", 8}};
    EXPECT_EQ(find("foo Foo X a1 fooBar FOO foo_bar _x FOo", scanner, {}, true), expected);
}

TEST(Compound_Only, off_keeps_every_identifier) {
    Scanner scanner = index_of({"foo", "Foo", "X"});
    EXPECT_EQ(find("foo Foo X", scanner, {}, false).size(), 3u);
}

// ---- Which definition a link names ----

TEST(Choice, takes_the_first_preferred_path_that_defines_the_name) {
    Scanner scanner;
    scan_file("a/x", "def shared(): pass\n", scanner, PYTHON);
    scan_file("b/y", "\ndef shared(): pass\n", scanner, PYTHON);
    scan_file("c/z", "\n\ndef shared(): pass\n", scanner, PYTHON);

    EXPECT_EQ(find("shared", scanner, {"b/y", "a/x"})[0].path, "b/y");
    EXPECT_EQ(find("shared", scanner, {"a/x", "b/y"})[0].path, "a/x");
    EXPECT_EQ(find("shared", scanner, {"nowhere", "c/z", "b/y"})[0].path, "c/z");
}

TEST(Choice, takes_the_smallest_path_when_no_preferred_path_defines_the_name) {
    Scanner scanner;
    scan_file("b/y", "def shared(): pass\n", scanner, PYTHON);
    scan_file("a/x", "def shared(): pass\n", scanner, PYTHON);

    EXPECT_EQ(find("shared", scanner)[0].path, "a/x");
    EXPECT_EQ(find("shared", scanner, {"c/z", "a"})[0].path, "a/x");
}

TEST(Choice, orders_paths_by_unsigned_bytes) {
    Scanner scanner;
    scan_file("a/x", "def upper(): pass\n", scanner, PYTHON);
    scan_file("B/x", "def upper(): pass\n", scanner, PYTHON);
    scan_file("/a/b", "def prefix(): pass\n", scanner, PYTHON);
    scan_file("/a", "def prefix(): pass\n", scanner, PYTHON);
    scan_file("\xC3\xA9/x", "def high(): pass\n", scanner, PYTHON);
    scan_file("z/x", "def high(): pass\n", scanner, PYTHON);

    EXPECT_EQ(find("upper", scanner)[0].path, "B/x");
    EXPECT_EQ(find("prefix", scanner)[0].path, "/a");
    EXPECT_EQ(find("high", scanner)[0].path, "z/x");
}

TEST(Choice, applies_to_each_name_on_its_own) {
    Scanner scanner;
    scan_file("lib.py", "def load(): pass\ndef save(): pass\n", scanner, PYTHON);
    scan_file("app.py", "def load(): pass\n", scanner, PYTHON);
    std::vector<Link> expected = {{0, 4, "app.py", 0}, {5, 9, "lib.py", 1}, {10, 14, "app.py", 0}};
    EXPECT_EQ(find("load save load", scanner, {"app.py"}), expected);
}

TEST(Choice, ignores_a_preferred_path_whose_definitions_were_removed) {
    Scanner scanner;
    scan_file("a.py", "def run(): pass\n", scanner, PYTHON);
    scan_file("b.py", "def run(): pass\n", scanner, PYTHON);
    scan_file("b.py", "", scanner, PYTHON);
    EXPECT_EQ(find("run", scanner, {"b.py"})[0].path, "a.py");
}

// ---- Letters beyond ASCII follow the thread's locale ----

// Selects a character-type locale for the calling thread while alive.
class Thread_Locale {
public:
    explicit Thread_Locale(const char* name)
        : locale_(newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr))),
          previous_(locale_ == nullptr ? nullptr : uselocale(locale_)) {}
    ~Thread_Locale() {
        if (locale_ == nullptr) return;
        uselocale(previous_);
        freelocale(locale_);
    }
    bool selected() const { return locale_ != nullptr; }

private:
    locale_t locale_;
    locale_t previous_;
};

TEST(Locale, c_makes_letters_beyond_ascii_separators) {
    Thread_Locale c_locale("C");
    ASSERT_TRUE(c_locale.selected());
    Scanner scanner = index_of({"caf", "caf\xC3\xA9"});
    std::vector<Link> expected = {{0, 3, "defs.py", 0}};
    EXPECT_EQ(find("caf\xC3\xA9", scanner), expected);
}

TEST(Locale, utf8_makes_letters_beyond_ascii_part_of_identifiers) {
    Thread_Locale utf8_locale("C.UTF-8");
    if (!utf8_locale.selected()) GTEST_SKIP() << "C.UTF-8 is not installed";
    Scanner scanner = index_of({"caf", "caf\xC3\xA9"});
    std::vector<Link> expected = {{0, 4, "defs.py", 1}};
    EXPECT_EQ(find("caf\xC3\xA9", scanner), expected);
}

TEST(Locale, utf8_lets_a_letter_beyond_ascii_start_an_identifier) {
    Thread_Locale utf8_locale("C.UTF-8");
    if (!utf8_locale.selected()) GTEST_SKIP() << "C.UTF-8 is not installed";
    Scanner scanner = index_of({"\xC3\xA9t\xC3\xA9"});  // été
    std::vector<Link> expected = {{2, 5, "defs.py", 0}};
    EXPECT_EQ(find("9 \xC3\xA9t\xC3\xA9!", scanner), expected);
}

TEST(Locale, utf8_counts_an_uppercase_letter_beyond_ascii_as_compound) {
    Thread_Locale utf8_locale("C.UTF-8");
    if (!utf8_locale.selected()) GTEST_SKIP() << "C.UTF-8 is not installed";
    Scanner scanner = index_of({"stra\xC3\x9F" "e", "gro\xC3\x9F\xC3\x89"});  // straße, großÉ
    std::vector<Link> expected = {{7, 12, "defs.py", 1}};
    EXPECT_EQ(find("stra\xC3\x9F" "e gro\xC3\x9F\xC3\x89", scanner, {}, true), expected);
}

// ---- Invalid UTF-8: each bad sequence is one separating code point ----

TEST(Invalid_Utf8, a_stray_continuation_byte_separates) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{1, 4, "defs.py", 0}, {5, 8, "defs.py", 0}};
    EXPECT_EQ(find("\x80" "foo\xBF" "foo", scanner), expected);
}

TEST(Invalid_Utf8, counts_each_stray_continuation_byte_on_its_own) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{3, 6, "defs.py", 0}};
    EXPECT_EQ(find("\x80\x80\x80" "foo", scanner), expected);
}

TEST(Invalid_Utf8, a_sequence_cut_off_by_the_end_ends_the_identifier_before_it) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{0, 3, "defs.py", 0}};
    EXPECT_EQ(find("foo\xE2\x82", scanner), expected);
}

TEST(Invalid_Utf8, a_lead_byte_without_its_continuation_counts_alone) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{1, 4, "defs.py", 0}, {6, 9, "defs.py", 0}};
    EXPECT_EQ(find("\xE2" "foo \xC3" "foo", scanner), expected);
}

TEST(Invalid_Utf8, an_overlong_form_counts_once) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{1, 4, "defs.py", 0}};
    EXPECT_EQ(find("\xC0\xAF" "foo", scanner), expected);
    EXPECT_EQ(find("\xE0\x80\xAF" "foo", scanner), expected);
}

TEST(Invalid_Utf8, a_surrogate_counts_once) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{2, 5, "defs.py", 0}};
    EXPECT_EQ(find("a\xED\xA0\x80" "foo", scanner), expected);
}

TEST(Invalid_Utf8, a_value_above_u10ffff_counts_once) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{1, 4, "defs.py", 0}};
    EXPECT_EQ(find("\xF4\x90\x80\x80" "foo", scanner), expected);
}

TEST(Invalid_Utf8, bytes_that_never_begin_a_sequence_count_one_each) {
    Scanner scanner = index_of({"foo"});
    std::vector<Link> expected = {{2, 5, "defs.py", 0}};
    EXPECT_EQ(find("\xFF\xFE" "foo", scanner), expected);
}

TEST(Invalid_Utf8, splits_an_identifier) {
    Scanner scanner = index_of({"fo", "o"});
    std::vector<Link> expected = {{0, 2, "defs.py", 0}, {3, 4, "defs.py", 1}};
    EXPECT_EQ(find("fo\xFFo", scanner), expected);
}

TEST(Invalid_Utf8, is_counted_as_utfcpps_replace_invalid_counts_it) {
    // Random bytes, then a known identifier: its end is the number of code
    // points in the whole text once every invalid sequence is replaced.
    Scanner scanner = index_of({"marker"});
    std::mt19937 random(11);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        int length = std::uniform_int_distribution<int>(0, 12)(random);
        for (int i = 0; i < length; ++i) {
            static const unsigned char bytes[] = {0x00, ' ', 'a', 0x7F, 0x80, 0xA0, 0xBF, 0xC0, 0xC2,
                                                  0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
            text += static_cast<char>(bytes[random() % std::size(bytes)]);
        }
        text += " marker";
        std::string replaced;
        utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(replaced));
        uint32_t code_points = static_cast<uint32_t>(utf8::distance(replaced.begin(), replaced.end()));

        std::vector<Link> links = find(text, scanner);
        ASSERT_FALSE(links.empty()) << testing::PrintToString(text);
        EXPECT_EQ(links.back().end, code_points) << testing::PrintToString(text);
        EXPECT_EQ(links.back().start, code_points - 6) << testing::PrintToString(text);
    }
}

}  // namespace
