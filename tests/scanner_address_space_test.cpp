// Hostile sources and the samples under RLIMIT_AS, from barely more room
// than a scan needs to start up to a few hundred MiB: the parse budget, the
// reserve and the system's refusals meet at every point of a parse. Each scan
// runs in a forked child that starts with nothing set aside and whose limit
// binds only itself; the child ends normally, with the file indexed whole
// (as the parent indexes it without the limit) or as empty.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>
#include <vector>

#include "hostile_inputs.h"
#include "memory_support.h"
#include "scanner.h"
#include "scanner_support.h"

namespace {

// Room left under the limit, beyond what the child maps when it starts.
const std::vector<size_t> ROOMS = {MEGABYTE / 4, MEGABYTE / 2, MEGABYTE,       2 * MEGABYTE,
                                   4 * MEGABYTE, 8 * MEGABYTE, 16 * MEGABYTE,  32 * MEGABYTE,
                                   64 * MEGABYTE, 128 * MEGABYTE, 256 * MEGABYTE, 384 * MEGABYTE};

// From this much room on every sample is indexed whole: its parse holds a
// few hundred KiB.
constexpr size_t ROOM_FOR_A_SAMPLE = 4 * MEGABYTE;

// How a child's scan left its file; the child's exit code.
enum Indexed { EMPTY = 0, WHOLE = 1, PARTLY = 2 };

size_t definitions_of(const Scanner& scanner, const std::string& path) {
    auto file = scanner.files.find(path);
    return file == scanner.files.end() ? 0 : file->second.names.size();
}

// Scans text in a child with `room` left under RLIMIT_AS; `whole` is how many
// definitions the file has when indexed whole. Returns the child's status.
int status_of_scan_under_limit(const std::string& text, Language language, size_t room, size_t whole) {
    return wait_status_of_child([&] {
        release_parsers();
        Address_Space_Limit limit(address_space_in_use() + room);
        Scanner scanner;
        scan_file("limited", text, scanner, language);
        size_t definitions = definitions_of(scanner, "limited");
        return definitions == 0 ? EMPTY : definitions == whole ? WHOLE : PARTLY;
    });
}

bool exited_with(int status, Indexed indexed) { return WIFEXITED(status) && WEXITSTATUS(status) == indexed; }

std::string outcome(int status) {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    if (!WIFEXITED(status)) return "stopped";
    switch (WEXITSTATUS(status)) {
    case EMPTY: return "indexed as empty";
    case WHOLE: return "indexed whole";
    case PARTLY: return "indexed in part";
    default: return "exited with " + std::to_string(WEXITSTATUS(status));
    }
}

// Each test starts with the library's limits and leaves them so.
class Address_Space_Test : public testing::Test {
protected:
    Parse_Limits limits = g_parse_limits;

    void SetUp() override {
        if (SANITIZED) GTEST_SKIP() << "RLIMIT_AS cannot be lowered under a sanitizer's shadow memory";
    }
    void TearDown() override { g_parse_limits = limits; }

    // Scans text under each room in turn; each scan ends normally, with the
    // file whole or empty, and whole from room_for_whole on. Whole is what
    // the parent indexes with the largest budget a child could have.
    static void expect_whole_or_empty_under_any_limit(const std::string& text, Language language,
                                                      size_t room_for_whole = SIZE_MAX) {
        g_parse_limits.memory_budget = parse_memory_held() + ROOMS.back() / 2;
        Scanner scanner;
        scan_file("limited", text, scanner, language);
        size_t whole = definitions_of(scanner, "limited");
        for (size_t room : ROOMS) {
            int status = status_of_scan_under_limit(text, language, room, whole);
            bool expected = exited_with(status, WHOLE) || (room < room_for_whole && exited_with(status, EMPTY));
            EXPECT_TRUE(expected) << outcome(status) << " with " << room / 1024 << " KiB of room";
        }
    }
};

// ---- Nesting ----

class Nesting_Under_Limit : public Address_Space_Test, public testing::WithParamInterface<Nesting_Case> {};

TEST_P(Nesting_Under_Limit, of_every_bracket_kind_closed_or_not_ends_normally_whole_or_empty) {
    const Nesting_Case& nesting = GetParam();
    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed" : "unclosed");
        expect_whole_or_empty_under_any_limit(nested_text(nesting, 5000, closed), nesting.language);
    }
}

INSTANTIATE_TEST_SUITE_P(Address_Space, Nesting_Under_Limit, testing::ValuesIn(NESTING_CASES),
                         case_name<Nesting_Case>);

// ---- Ambiguity ----

class Ambiguity_Under_Limit : public Address_Space_Test, public testing::WithParamInterface<Ambiguity_Case> {};

TEST_P(Ambiguity_Under_Limit, ends_normally_whole_or_empty) {
    const Ambiguity_Case& ambiguity = GetParam();
    expect_whole_or_empty_under_any_limit(ambiguous_text(ambiguity), ambiguity.language);
}

INSTANTIATE_TEST_SUITE_P(Address_Space, Ambiguity_Under_Limit, testing::ValuesIn(AMBIGUITY_CASES),
                         case_name<Ambiguity_Case>);

// ---- Long tokens ----

class Long_Token_Under_Limit : public Address_Space_Test, public testing::WithParamInterface<Long_Token_Case> {};

// Some of these parses turn quadratic: a few KiB are enough.
TEST_P(Long_Token_Under_Limit, ends_normally_whole_or_empty) {
    const Long_Token_Case& token = GetParam();
    expect_whole_or_empty_under_any_limit(long_token_text(token, 8 * 1024), token.language);
}

INSTANTIATE_TEST_SUITE_P(Address_Space, Long_Token_Under_Limit, testing::ValuesIn(LONG_TOKEN_CASES),
                         case_name<Long_Token_Case>);

// ---- Heredoc words ----

class Heredoc_Word_Under_Limit : public Address_Space_Test,
                                 public testing::WithParamInterface<Heredoc_Word_Case> {};

TEST_P(Heredoc_Word_Under_Limit, ends_normally_whole_or_empty) {
    const Heredoc_Word_Case& word = GetParam();
    expect_whole_or_empty_under_any_limit(heredoc_word_text(word), word.language);
}

INSTANTIATE_TEST_SUITE_P(Address_Space, Heredoc_Word_Under_Limit, testing::ValuesIn(HEREDOC_WORD_CASES),
                         case_name<Heredoc_Word_Case>);

// ---- Samples ----

class Sample_Under_Limit : public Address_Space_Test, public testing::WithParamInterface<Sample_File> {};

TEST_P(Sample_Under_Limit, ends_normally_and_is_indexed_whole_once_its_parse_fits) {
    const Sample_File& sample = GetParam();
    expect_whole_or_empty_under_any_limit(read_sample(sample.file_name), sample.language, ROOM_FOR_A_SAMPLE);
}

INSTANTIATE_TEST_SUITE_P(Address_Space, Sample_Under_Limit, testing::ValuesIn(SAMPLE_FILES),
                         [](const testing::TestParamInfo<Sample_File>& info) {
                             std::string name = info.param.file_name;
                             return name.substr(name.find('.') + 1);
                         });

}  // namespace
