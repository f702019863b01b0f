// Heredoc words of any length: the PHP and Ruby scanners collect a heredoc's
// word within one call, where no check of the parse's memory runs, so a word
// longer than a few KiB starts no heredoc. A huge one keeps the parse within
// its budget.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "memory_support.h"
#include "scanner.h"
#include "scanner_support.h"

namespace {

constexpr Language PHP = 4;
constexpr Language RUBY = 13;

// A source whose heredoc's word, one megabyte long, runs between prefix and
// suffix.
struct Long_Word {
    const char* name;
    Language language;
    const char* prefix;
    const char* suffix;
};

std::ostream& operator<<(std::ostream& out, const Long_Word& word) { return out << word.name; }

class Heredoc_Word : public testing::TestWithParam<Long_Word> {
protected:
    Parse_Limits limits = g_parse_limits;

    void TearDown() override { g_parse_limits = limits; }
};

TEST_P(Heredoc_Word, of_a_megabyte_keeps_the_parse_within_its_budget) {
    const Long_Word& word = GetParam();
    Scanner scanner;
    scan_file("warm-up", "x = 1\n", scanner, word.language);
    size_t budget = parse_memory_held() + MEGABYTE / 2;
    g_parse_limits.memory_budget = budget;

    scan_file("long_word", word.prefix + std::string(MEGABYTE, 'W') + word.suffix, scanner, word.language);

    EXPECT_LE(last_parse_peak(), budget);
}

INSTANTIATE_TEST_SUITE_P(
    Php_And_Ruby, Heredoc_Word,
    testing::Values(Long_Word{"php_heredoc", PHP, "<?php\n$x = <<<", "\nbody\n"},
                    Long_Word{"php_nowdoc", PHP, "<?php\n$x = <<<'", "'\nbody\n"},
                    Long_Word{"php_heredoc_end", PHP, "<?php\n$x = <<<EOT\nbody\n", "\n"},
                    Long_Word{"ruby_heredoc", RUBY, "x = <<", "\nbody\n"},
                    Long_Word{"ruby_squiggly_heredoc", RUBY, "x = <<~", "\nbody\n"},
                    Long_Word{"ruby_quoted_heredoc", RUBY, "x = <<\"", "\nbody\n"}),
    [](const testing::TestParamInfo<Long_Word>& info) { return std::string(info.param.name); });

}  // namespace
