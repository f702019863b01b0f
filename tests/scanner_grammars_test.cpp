// The grammars' hand-written scanners, as the build patches them: a scanner's
// state starts afresh with each file, survives its round trip through
// tree-sitter's 1024-byte buffer, and no source, however deep, makes a scanner
// write past that buffer or end the process.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "scanner.h"
#include "scanner_support.h"

namespace {

constexpr Language PYTHON = 1;
constexpr Language KOTLIN = 9;
constexpr Language SWIFT = 10;
constexpr Language RUBY = 13;
constexpr Language LUA = 14;

std::set<std::string> defined_names(const Scanner& scanner) {
    std::set<std::string> names;
    for (const auto& [name, definitions] : scanner.definitions) names.insert(name);
    return names;
}

std::set<std::string> names_defined_in(const std::string& text, Language language) {
    Scanner scanner;
    scan_file("only", text, scanner, language);
    return defined_names(scanner);
}

// What a file gives when it is scanned right after another, in the same
// scanner, with the same parser.
Index_Snapshot snapshot_after(const std::string& before, const std::string& text,
                              Language language) {
    Scanner scanner;
    scan_file("before", before, scanner, language);
    scan_file("before", "", scanner, language);
    scan_file("after", text, scanner, language);
    return snapshot(scanner);
}

Index_Snapshot snapshot_alone(const std::string& text, Language language) {
    Scanner scanner;
    scan_file("after", text, scanner, language);
    return snapshot(scanner);
}

std::string repeated(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += piece;
    return text;
}

TEST(Swift_Scanner, file_after_one_ending_inside_a_raw_string_gives_the_same_definitions) {
    std::string text = read_sample("sample.swift");
    ASSERT_FALSE(snapshot_alone(text, SWIFT).empty());
    EXPECT_EQ(snapshot_after("let s = ##\"\"\"\nopen \\##(x) and on", text, SWIFT),
              snapshot_alone(text, SWIFT));
}

TEST(Swift_Scanner, raw_string_of_128_hashes_around_an_interpolation_ends_at_its_hashes) {
    std::string hashes(128, '#');
    std::string text = "func before() {}\nlet s = " + hashes + "\"a \\" + hashes + "(x) b\"" +
                       hashes + "\nfunc after() {}\n";
    EXPECT_EQ(names_defined_in(text, SWIFT), (std::set<std::string>{"before", "after"}));
}

TEST(Swift_Scanner, bang_operators_are_scanned_as_operators) {
    std::string text = "func before() {}\nlet x = try! load()\nlet y = z!\nif !a { b() }\nfunc after() {}\n";
    EXPECT_EQ(names_defined_in(text, SWIFT), (std::set<std::string>{"before", "after"}));
}

TEST(Lua_Scanner, file_after_one_ending_inside_a_long_string_gives_the_same_definitions) {
    std::string text = read_sample("sample.lua");
    ASSERT_FALSE(snapshot_alone(text, LUA).empty());
    EXPECT_EQ(snapshot_after("local s = [==[\nopen ]=] and on", text, LUA),
              snapshot_alone(text, LUA));
    EXPECT_EQ(snapshot_after("--[=[ open comment ]] and on", text, LUA), snapshot_alone(text, LUA));
}

TEST(Python_Scanner, string_nested_520_blocks_deep_is_scanned_without_harm) {
    std::string text = "def before():\n    pass\n";
    for (int depth = 0; depth < 520; ++depth) text += std::string(depth, ' ') + "if x:\n";
    text += std::string(520, ' ') + "y = \"inside\"\n";
    EXPECT_TRUE(names_defined_in(text, PYTHON).contains("before"));
    EXPECT_EQ(names_defined_in("def later():\n    pass\n", PYTHON), (std::set<std::string>{"later"}));
}

TEST(Ruby_Scanner, heredoc_whose_word_fills_the_state_buffer_is_scanned_without_harm) {
    std::string word(1019, 'A');
    std::string text = "def before; end\nx = <<" + word + "\nbody\n" + word + "\ndef after; end\n";
    EXPECT_TRUE(names_defined_in(text, RUBY).contains("before"));
    EXPECT_EQ(names_defined_in("def later; end\n", RUBY), (std::set<std::string>{"later"}));
}

TEST(Ruby_Scanner, heredoc_with_a_300_byte_word_ends_at_its_word) {
    std::string word(300, 'A');
    std::string text = "x = <<" + word + "\nbody\n" + word + "\ndef after; end\n";
    EXPECT_EQ(names_defined_in(text, RUBY), (std::set<std::string>{"after"}));
}

TEST(Kotlin_Scanner, string_nested_in_1100_others_is_scanned_without_ending_the_process) {
    std::string text = "fun before() {}\nval s = " + repeated("\"${", 1100) + "1" +
                       repeated("}\"", 1100) + "\nfun after() {}\n";
    EXPECT_TRUE(names_defined_in(text, KOTLIN).contains("before"));
    EXPECT_EQ(names_defined_in("fun later() {}\n", KOTLIN), (std::set<std::string>{"later"}));
}

}  // namespace
