// Hostile sources: input that nests as deep as it is long, ambiguous input
// whose parse stack explodes, tokens as long as the file, heredoc words of a
// megabyte, and input on which tree-sitter turns quadratic. None of it
// crashes the process, holds more than a quarter over the parse memory
// budget, whatever the budget, reads on after a cancellation or runs past
// the time limit; the parser then serves the next file as usual.
#include <gtest/gtest.h>

#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "hostile_inputs.h"
#include "memory_support.h"
#include "scanner.h"
#include "scanner_support.h"

// What the process holds through operator new, and the most it held since
// the count was last restarted: a scan's own containers are part of what it
// holds beside tree-sitter, and must stay within the budget too.
std::atomic<size_t> g_new_held{0};
std::atomic<size_t> g_new_peak{0};

void* operator new(size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    size_t held = g_new_held += malloc_usable_size(block);
    size_t peak = g_new_peak.load();
    while (held > peak && !g_new_peak.compare_exchange_weak(peak, held)) {
    }
    return block;
}

void operator delete(void* block) noexcept {
    if (block == nullptr) return;
    g_new_held -= malloc_usable_size(block);
    std::free(block);
}

void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace {

// The sample of each language, as the other scanner tests use them.
const char* const sample_files[] = {"sample.py", "sample.js",   "sample.go",   "sample.php", "sample.rs",
                                    "sample.cpp", "sample.java", "sample.cs",   "sample.kt",  "sample.swift",
                                    "sample.dart", "sample.R",   "sample.rb",   "sample.lua"};

const char* sample_of(Language language) { return sample_files[language - 1]; }

// The budget of a scan that sets the most a hostile input may hold in these
// tests; smaller budgets are fractions of what it holds within this one.
constexpr size_t LARGEST_BUDGET = 64 * MEGABYTE;

// How many budgets, evenly spread up to what the parse holds, each input is
// scanned with; fewer under the sanitizers, which make each parse ten times
// slower.
constexpr size_t BUDGET_STEPS = SANITIZED ? 10 : 20;

// The smallest budget beyond the parsers: a grammar scanner may hold a block
// of 16 KiB (a heredoc word of 4096 characters), and the library never sets
// a budget below a hundred KiB.
constexpr size_t SMALLEST_BUDGET = 64 * 1024;

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

    // The most tree-sitter holds during a scan of text with the budget set.
    // The containers of the scan come on top of it.
    static size_t peak_of_scan(const std::string& text, Language language, size_t budget) {
        g_parse_limits.memory_budget = budget;
        Scanner scanner;
        size_t new_before = g_new_held.load();
        g_new_peak = new_before;
        scan_file("hostile", text, scanner, language);
        return last_parse_peak() + (g_new_peak.load() - new_before);
    }

    // Budgets spread up to what the scan holds within LARGEST_BUDGET cut it
    // in each of its phases: the parse, error recovery, the pops of the whole
    // stack that end it, the walk of the tree. Whatever the budget, the scan
    // holds at most a quarter more.
    // The budgets are counted beyond what the parsers hold once this text has
    // grown the buffers they keep from parse to parse.
    static void expect_peak_within_a_quarter_over_any_budget(const std::string& text, Language language) {
        size_t largest = parse_memory_held() + LARGEST_BUDGET;
        size_t most = peak_of_scan(text, language, largest);
        EXPECT_LE(most, largest + largest / 4) << "with the largest budget";
        size_t parsers = parse_memory_held();
        for (size_t step = 1; step < BUDGET_STEPS; ++step) {
            size_t share = (std::min(most, largest) - parsers) * step / BUDGET_STEPS;
            size_t budget = parsers + std::max(share, SMALLEST_BUDGET);
            EXPECT_LE(peak_of_scan(text, language, budget), budget + budget / 4)
                << "with a budget of " << step << "/" << BUDGET_STEPS << " of what the scan held";
        }
    }
};

// ---- Nesting ----

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

// Deep stacks and trees are where tree-sitter's largest blocks come from: the
// paths that pop the whole stack, the cursor that walks the tree. A few
// thousand levels show them; some of these parses turn quadratic (Lua), and
// each text is scanned many times.
TEST_P(Nesting, of_every_bracket_kind_closed_or_not_holds_its_scan_within_a_quarter_over_any_budget) {
    const Nesting_Case& nesting = GetParam();
    g_parse_limits.base_time_limit = std::chrono::seconds(1);
    g_parse_limits.time_limit_per_256_kib = std::chrono::seconds(0);
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed" : "unclosed");
        std::string text = nested_text(nesting, SANITIZED ? 2000 : 5000, closed);
        expect_peak_within_a_quarter_over_any_budget(text, nesting.language);
    }
    expect_sample_indexed_as_usual(nesting.language);
}

INSTANTIATE_TEST_SUITE_P(Hostile_Input, Nesting, testing::ValuesIn(NESTING_CASES), case_name<Nesting_Case>);

// ---- Ambiguity ----

class Ambiguity : public Hostile_Input_Test, public testing::WithParamInterface<Ambiguity_Case> {};

TEST_P(Ambiguity, holds_its_parse_within_a_quarter_over_any_budget) {
    const Ambiguity_Case& ambiguity = GetParam();
    expect_peak_within_a_quarter_over_any_budget(ambiguous_text(ambiguity), ambiguity.language);
    expect_sample_indexed_as_usual(ambiguity.language);
}

INSTANTIATE_TEST_SUITE_P(Hostile_Input, Ambiguity, testing::ValuesIn(AMBIGUITY_CASES), case_name<Ambiguity_Case>);

// ---- Width ----

class Width : public Hostile_Input_Test, public testing::WithParamInterface<Width_Case> {};

TEST_P(Width, holds_its_scan_within_a_quarter_over_any_budget) {
    const Width_Case& width = GetParam();
    expect_peak_within_a_quarter_over_any_budget(wide_text(width, SANITIZED ? 50000 : 200000), width.language);
    expect_sample_indexed_as_usual(width.language);
}

INSTANTIATE_TEST_SUITE_P(Hostile_Input, Width, testing::ValuesIn(WIDTH_CASES), case_name<Width_Case>);

// ---- Long tokens ----

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
    Counting_Input input{long_token_text(token, 4 * MEGABYTE)};
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

// Some of these parses turn quadratic (Python, Rust, Lua, JavaScript), and
// each text is scanned many times: a few KiB are enough.
TEST_P(Long_Token, holds_its_scan_within_a_quarter_over_any_budget) {
    const Long_Token_Case& token = GetParam();
    g_parse_limits.base_time_limit = std::chrono::seconds(1);
    expect_peak_within_a_quarter_over_any_budget(long_token_text(token, 16 * 1024), token.language);
    expect_sample_indexed_as_usual(token.language);
}

INSTANTIATE_TEST_SUITE_P(Hostile_Input, Long_Token, testing::ValuesIn(LONG_TOKEN_CASES), case_name<Long_Token_Case>);

// ---- Heredoc words ----

// The word is collected within one call of the scanner, where no check of the
// parse's memory runs, so a word longer than a few KiB starts no heredoc.
class Heredoc_Word : public Hostile_Input_Test, public testing::WithParamInterface<Heredoc_Word_Case> {};

TEST_P(Heredoc_Word, of_a_megabyte_keeps_the_parse_within_its_budget) {
    const Heredoc_Word_Case& word = GetParam();
    peak_of_scan("x = 1\n", word.language, g_parse_limits.memory_budget);  // the parser's buffers grown
    size_t budget = parse_memory_held() + MEGABYTE / 2;
    EXPECT_LE(peak_of_scan(heredoc_word_text(word), word.language, budget), budget);
}

TEST_P(Heredoc_Word, of_a_megabyte_holds_its_scan_within_a_quarter_over_any_budget) {
    const Heredoc_Word_Case& word = GetParam();
    expect_peak_within_a_quarter_over_any_budget(heredoc_word_text(word), word.language);
    expect_sample_indexed_as_usual(word.language);
}

INSTANTIATE_TEST_SUITE_P(Hostile_Input, Heredoc_Word, testing::ValuesIn(HEREDOC_WORD_CASES),
                         case_name<Heredoc_Word_Case>);

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
                                 {7, nested_text(NESTING_CASES[6], 3000, false)},
                                 {11, "var x = 1;" + std::string(2000, '\xff')},
                                 {1, nested_text(NESTING_CASES[0], 3000, true)}};
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
