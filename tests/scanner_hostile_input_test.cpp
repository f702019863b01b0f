// Hostile sources: input that nests as deep as it is long, ambiguous input
// whose parse stack explodes, tokens as long as the file, and input on which
// tree-sitter turns quadratic. None of it crashes the process, holds more than
// the parse memory budget allows, reads on after a cancellation or runs past
// the time limit; the parser then serves the next file as usual.
#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "memory_support.h"
#include "scanner.h"
#include "scanner_support.h"

namespace {

// The sample of each language, as the other scanner tests use them.
const char* const sample_files[] = {"sample.py", "sample.js",   "sample.go",   "sample.php", "sample.rs",
                                    "sample.cpp", "sample.java", "sample.cs",   "sample.kt",  "sample.swift",
                                    "sample.dart", "sample.R",   "sample.rb",   "sample.lua"};

const char* sample_of(Language language) { return sample_files[language - 1]; }

// Each test starts with the library's limits and leaves them so.
class Hostile_Input_Test : public testing::Test {
protected:
    Parse_Limits limits = g_parse_limits;

    void SetUp() override { initialize_tree_sitter_globals(); }
    void TearDown() override { g_parse_limits = limits; }

    // The parser of the language indexes its sample as a fresh scan would.
    void expect_sample_indexed_as_usual(Language language) {
        g_parse_limits = limits;
        Scanner scanner;
        scan_file(sample_of(language), read_sample(sample_of(language)), scanner, language);
        EXPECT_FALSE(scanner.definitions.empty()) << sample_of(language);
    }
};

// ---- Nesting ----

// A language's brackets, as a statement that opens them: each text below
// nests them, in turn, `levels` deep.
struct Nesting_Case {
    Language language;
    const char* prefix;   // what makes the brackets an expression
    const char* opening;  // one of each bracket kind
    const char* closing;  // the same, closed in reverse order
};

const std::vector<Nesting_Case> nesting_cases = {
    {1, "x = ", "([{", "}])"},
    {2, "x = ", "([{", "}])"},
    {3, "package p\nvar x = ", "([{", "}])"},
    {4, "<?php\n$x = ", "([{", "}])"},
    {5, "fn f() { let x = ", "([{", "}])"},
    {6, "int x = ", "([{", "}])"},
    {7, "class A { Object x = ", "([{", "}])"},
    {8, "class A { object x = ", "([{", "}])"},
    {9, "val x = ", "([{", "}])"},
    {10, "let x = ", "([{", "}])"},
    {11, "var x = ", "([{", "}])"},
    {12, "x <- ", "([{a[[", "]]}])"},
    {13, "x = ", "([{", "}])"},
    {14, "x = ", "([{", "}])"},
};

std::string nested_text(const Nesting_Case& nesting, size_t levels, bool closed) {
    std::string opening = nesting.opening;
    std::string closing = nesting.closing;
    size_t repeats = levels / opening.size() + 1;
    std::string text = nesting.prefix;
    text.reserve(text.size() + repeats * (opening.size() + closing.size()));
    for (size_t i = 0; i < repeats; ++i) text += opening;
    if (closed) {
        for (size_t i = 0; i < repeats; ++i) text += closing;
    }
    return text;
}

struct Nested_Scan {
    const std::string* text;
    Language language;
};

void* scan_nested_text(void* argument) {
    auto* scan = static_cast<Nested_Scan*>(argument);
    Scanner scanner;
    scan_file("nested", *scan->text, scanner, scan->language);
    return nullptr;
}

// Nothing a scan runs takes stack in proportion to the nesting: a small
// stack is enough at any depth. Sanitizers make every frame larger.
constexpr size_t MODEST_STACK = SANITIZED ? 512 * 1024 : 64 * 1024;

// Scans text on a thread of MODEST_STACK bytes of stack; false when the
// thread could not be started.
bool scan_on_a_modest_stack(const std::string& text, Language language) {
    Nested_Scan scan{&text, language};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, MODEST_STACK);
    pthread_t thread;
    bool started = pthread_create(&thread, &attributes, scan_nested_text, &scan) == 0;
    pthread_attr_destroy(&attributes);
    if (started) pthread_join(thread, nullptr);
    return started;
}

class Nesting : public Hostile_Input_Test, public testing::WithParamInterface<Nesting_Case> {};

// Some of these parses turn quadratic (Go closed, Lua): the time limit is
// shortened so that each ends within a second or so, which is when a parse
// cut short gives its whole stack back at once.
TEST_P(Nesting, of_every_bracket_kind_closed_or_not_is_scanned_on_a_modest_stack) {
    const Nesting_Case& nesting = GetParam();
    g_parse_limits.base_time_limit = std::chrono::seconds(1);
    g_parse_limits.time_limit_per_256_kib = std::chrono::seconds(0);
    for (size_t levels : {size_t{100000}, size_t{SANITIZED ? 100000 : 1000000}}) {
        for (bool closed : {false, true}) {
            SCOPED_TRACE(testing::Message() << levels << " levels, " << (closed ? "closed" : "unclosed"));
            ASSERT_TRUE(scan_on_a_modest_stack(nested_text(nesting, levels, closed), nesting.language));
        }
    }
    expect_sample_indexed_as_usual(nesting.language);
}

INSTANTIATE_TEST_SUITE_P(Hostile_Input, Nesting, testing::ValuesIn(nesting_cases),
                         [](const testing::TestParamInfo<Nesting_Case>& info) {
                             std::string name = sample_of(info.param.language);
                             return name.substr(name.find('.') + 1);
                         });

// ---- Ambiguity ----

// Generic-argument chains: each '<' may open type arguments or compare, and
// the parse stack keeps both readings until error recovery pops every path
// through them at once.
struct Ambiguity_Case {
    const char* name;
    Language language;
    const char* prefix;
    const char* unit;
    size_t bytes;
    const char* suffix;
};

const std::vector<Ambiguity_Case> ambiguity_cases = {
    {"java_8_kb", 7, "class Kept { void f() { ", "a<", 8000, " } }"},
    {"java_40_kb", 7, "class Kept { void f() { ", "a<", 40000, " } }"},
    {"csharp_8_kb", 8, "class Kept { void F() { ", "a<", 8000, " } }"},
    {"csharp_40_kb", 8, "class Kept { void F() { ", "a<", 40000, " } }"},
};

class Ambiguity : public Hostile_Input_Test, public testing::WithParamInterface<Ambiguity_Case> {};

TEST_P(Ambiguity, holds_its_parse_within_a_quarter_over_the_budget) {
    const Ambiguity_Case& ambiguity = GetParam();
    std::string text = ambiguity.prefix;
    while (text.size() < ambiguity.bytes) text += ambiguity.unit;
    text += ambiguity.suffix;
    size_t budget = parse_memory_held() + 64 * MEGABYTE;
    g_parse_limits.memory_budget = budget;

    Scanner scanner;
    scan_file("ambiguous", text, scanner, ambiguity.language);

    EXPECT_LE(last_parse_peak(), budget + budget / 4);
    EXPECT_TRUE(scanner.definitions.empty()) << "the parse was not cut short";
    expect_sample_indexed_as_usual(ambiguity.language);
}

INSTANTIATE_TEST_SUITE_P(Hostile_Input, Ambiguity, testing::ValuesIn(ambiguity_cases),
                         [](const testing::TestParamInfo<Ambiguity_Case>& info) { return info.param.name; });

// ---- Long tokens ----

// A token that runs to the end of the file, `body` repeated to fill it.
struct Long_Token_Case {
    const char* name;
    Language language;
    const char* start;
    const char* body;
};

const std::vector<Long_Token_Case> long_token_cases = {
    {"cpp_comment", 6, "int x; /*", "comment "},
    {"swift_comment", 10, "let x = 1 /*", "comment "},
    {"php_heredoc", 4, "<?php\n$x = <<<EOT\n", "heredoc "},
    {"ruby_heredoc", 13, "x = <<~EOS\n", "heredoc line\n"},
    {"python_string", 1, "x = \"\"\"", "string "},
    {"rust_raw_string", 5, "fn f() { let x = r#\"", "string "},
    {"lua_comment", 14, "x = 1 --[[", "comment "},
    {"javascript_template", 2, "x = `", "template "},
    {"dart_invalid_bytes", 11, "var x = 1;", "\xff"},
};

// Hands the text out a kilobyte at a time, and asks for the parse to be
// cancelled once CANCEL_AFTER bytes have been handed out; counts the bytes
// the parser asks for after that.
struct Counting_Input {
    static constexpr uint32_t CHUNK = 1024;
    static constexpr size_t CANCEL_AFTER = 64 * 1024;

    std::string text;
    size_t handed_out = 0;
    size_t handed_out_after_cancel = 0;

    bool cancelled() const { return handed_out >= CANCEL_AFTER; }
};

const char* read_chunk(void* payload, uint32_t byte, TSPoint, uint32_t* length) {
    auto* input = static_cast<Counting_Input*>(payload);
    size_t start = std::min<size_t>(byte, input->text.size());
    *length = static_cast<uint32_t>(std::min<size_t>(input->text.size() - start, Counting_Input::CHUNK));
    if (input->cancelled()) input->handed_out_after_cancel += *length;
    input->handed_out += *length;
    return input->text.data() + start;
}

bool input_cancelled(TSParseState* state) { return static_cast<Counting_Input*>(state->payload)->cancelled(); }

class Long_Token : public Hostile_Input_Test, public testing::WithParamInterface<Long_Token_Case> {};

TEST_P(Long_Token, stops_being_read_once_its_parse_is_cancelled) {
    const Long_Token_Case& token = GetParam();
    Counting_Input input{token.start};
    while (input.text.size() < 4 * MEGABYTE) input.text += token.body;
    TSParser* parser = get_language_data(token.language)->parser;

    TSTree* tree = ts_parser_parse_with_options(parser, nullptr,
                                                {&input, read_chunk, TSInputEncodingUTF8, nullptr},
                                                {&input, input_cancelled});

    EXPECT_EQ(tree, nullptr);
    EXPECT_LE(input.handed_out_after_cancel, 16 * 1024u);
    ts_tree_delete(tree);
    ts_parser_reset(parser);
    expect_sample_indexed_as_usual(token.language);
}

INSTANTIATE_TEST_SUITE_P(Hostile_Input, Long_Token, testing::ValuesIn(long_token_cases),
                         [](const testing::TestParamInfo<Long_Token_Case>& info) { return info.param.name; });

// ---- Time ----

// Invalid UTF-8 makes the Lua grammar rescan the rest of the file at every
// byte: seconds for a few tens of kilobytes.
TEST_F(Hostile_Input_Test, parse_past_its_time_limit_leaves_the_file_with_no_definitions) {
    std::string text = "function kept() end\n";
    while (text.size() < 24000) text += "\xc3\xff";
    g_parse_limits.base_time_limit = std::chrono::seconds(0);
    g_parse_limits.time_limit_per_256_kib = std::chrono::seconds(0);

    Scanner scanner;
    scan_file("invalid.lua", text, scanner, 14);

    EXPECT_TRUE(scanner.definitions.empty());
    expect_sample_indexed_as_usual(14);
}

// ---- Cancellation anywhere ----

// Cancels the parse at its n-th question, counting them.
struct Cancel_At {
    size_t n;
    size_t asked = 0;
};

bool cancel_at(TSParseState* state) {
    auto* cancel = static_cast<Cancel_At*>(state->payload);
    return ++cancel->asked >= cancel->n;
}

// Checks of each input at which its parse is cancelled, spread evenly over
// the parse; fewer under the sanitizers, which make each parse ten times
// slower.
constexpr size_t CANCELLATIONS_PER_INPUT = SANITIZED ? 20 : 100;

// A parse cancelled at any of its checks, inside a step or between two,
// returns no tree and leaves its parser ready for the next text.
TEST_F(Hostile_Input_Test, parse_cancelled_at_any_check_leaves_its_parser_ready) {
    struct Input {
        Language language;
        std::string text;
    };
    std::string ambiguous = "class Kept { void f() { ";
    for (int i = 0; i < 500; ++i) ambiguous += "a<";
    std::vector<Input> inputs = {{7, ambiguous + " } }"},
                                 {7, nested_text(nesting_cases[6], 3000, false)},
                                 {11, "var x = 1;" + std::string(2000, '\xff')},
                                 {1, nested_text(nesting_cases[0], 3000, true)}};
    for (const Input& input : inputs) {
        TSParser* parser = get_language_data(input.language)->parser;
        TSInput text{const_cast<std::string*>(&input.text),
                     [](void* payload, uint32_t byte, TSPoint, uint32_t* length) {
                         const std::string& whole = *static_cast<const std::string*>(payload);
                         size_t start = std::min<size_t>(byte, whole.size());
                         *length = static_cast<uint32_t>(whole.size() - start);
                         return whole.data() + start;
                     },
                     TSInputEncodingUTF8, nullptr};
        Cancel_At uncancelled{SIZE_MAX};
        ts_tree_delete(ts_parser_parse_with_options(parser, nullptr, text, {&uncancelled, cancel_at}));
        size_t stride = uncancelled.asked / CANCELLATIONS_PER_INPUT + 1;
        for (size_t n = 1; n <= uncancelled.asked; n += stride) {
            Cancel_At cancel{n};
            TSTree* tree = ts_parser_parse_with_options(parser, nullptr, text, {&cancel, cancel_at});
            EXPECT_EQ(tree, nullptr) << "cancelled at check " << n;
            ts_tree_delete(tree);
            ts_parser_reset(parser);
        }
        expect_sample_indexed_as_usual(input.language);
    }
}

}  // namespace
