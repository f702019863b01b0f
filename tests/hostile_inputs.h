// Hostile sources by kind, shared by the tests that run them: input that
// nests as deep as it is long, ambiguous input whose parse stack explodes,
// tokens as long as the file, and heredoc words of a megabyte. Each case
// prints as its name, so that test listings and failures name it.
#pragma once

#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scanner.h"

// ---- Nesting ----

// A language's brackets, as a statement that opens them: each text nests
// them, in turn, `levels` deep.
struct Nesting_Case {
    const char* name;
    Language language;
    const char* prefix;   // what makes the brackets an expression
    const char* opening;  // one of each bracket kind
    const char* closing;  // the same, closed in reverse order
};

inline std::ostream& operator<<(std::ostream& out, const Nesting_Case& nesting) {
    return out << nesting.name;
}

inline const std::vector<Nesting_Case> NESTING_CASES = {
    {"python", 1, "x = ", "([{", "}])"},
    {"javascript", 2, "x = ", "([{", "}])"},
    {"go", 3, "package p\nvar x = ", "([{", "}])"},
    {"php", 4, "<?php\n$x = ", "([{", "}])"},
    {"rust", 5, "fn f() { let x = ", "([{", "}])"},
    {"cpp", 6, "int x = ", "([{", "}])"},
    {"java", 7, "class A { Object x = ", "([{", "}])"},
    {"csharp", 8, "class A { object x = ", "([{", "}])"},
    {"kotlin", 9, "val x = ", "([{", "}])"},
    {"swift", 10, "let x = ", "([{", "}])"},
    {"dart", 11, "var x = ", "([{", "}])"},
    {"r", 12, "x <- ", "([{a[[", "]]}])"},
    {"ruby", 13, "x = ", "([{", "}])"},
    {"lua", 14, "x = ", "([{", "}])"},
};

inline std::string nested_text(const Nesting_Case& nesting, size_t levels, bool closed) {
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

inline std::ostream& operator<<(std::ostream& out, const Ambiguity_Case& ambiguity) {
    return out << ambiguity.name;
}

inline const std::vector<Ambiguity_Case> AMBIGUITY_CASES = {
    {"java_8_kb", 7, "class Kept { void f() { ", "a<", 8000, " } }"},
    {"java_40_kb", 7, "class Kept { void f() { ", "a<", 40000, " } }"},
    {"csharp_8_kb", 8, "class Kept { void F() { ", "a<", 8000, " } }"},
    {"csharp_40_kb", 8, "class Kept { void F() { ", "a<", 40000, " } }"},
};

inline std::string ambiguous_text(const Ambiguity_Case& ambiguity) {
    std::string text = ambiguity.prefix;
    while (text.size() < ambiguity.bytes) text += ambiguity.unit;
    return text + ambiguity.suffix;
}

// ---- Width ----

// A node with as many children as the file has tokens: an ERROR node of
// stray closing brackets, a program of empty statements. The tree holds a
// few bytes per child; the walk has every child still to visit waiting.
struct Width_Case {
    const char* name;
    Language language;
    const char* unit;
};

inline std::ostream& operator<<(std::ostream& out, const Width_Case& width) { return out << width.name; }

inline const std::vector<Width_Case> WIDTH_CASES = {
    {"python_closing_brackets", 1, ")"},
    {"python_statements", 1, "a\n"},
    {"javascript_empty_statements", 2, ";"},
    {"go_closing_braces", 3, "}"},
};

inline std::string wide_text(const Width_Case& width, size_t children) {
    std::string text;
    text.reserve(children * std::strlen(width.unit));
    for (size_t i = 0; i < children; ++i) text += width.unit;
    return text;
}

// ---- Long tokens ----

// A token that runs to the end of the file, `body` repeated to fill it.
struct Long_Token_Case {
    const char* name;
    Language language;
    const char* start;
    const char* body;
};

inline std::ostream& operator<<(std::ostream& out, const Long_Token_Case& token) { return out << token.name; }

inline const std::vector<Long_Token_Case> LONG_TOKEN_CASES = {
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

inline std::string long_token_text(const Long_Token_Case& token, size_t bytes) {
    std::string text = token.start;
    while (text.size() < bytes) text += token.body;
    return text;
}

// ---- Heredoc words ----

// A source whose heredoc's word, a megabyte long, runs between prefix and
// suffix. The PHP and Ruby scanners collect the word within one call, where
// no check of the parse's memory runs.
struct Heredoc_Word_Case {
    const char* name;
    Language language;
    const char* prefix;
    const char* suffix;
};

inline std::ostream& operator<<(std::ostream& out, const Heredoc_Word_Case& word) { return out << word.name; }

inline const std::vector<Heredoc_Word_Case> HEREDOC_WORD_CASES = {
    {"php_heredoc", 4, "<?php\n$x = <<<", "\nbody\n"},
    {"php_nowdoc", 4, "<?php\n$x = <<<'", "'\nbody\n"},
    {"php_heredoc_end", 4, "<?php\n$x = <<<EOT\nbody\n", "\n"},
    {"ruby_heredoc", 13, "x = <<", "\nbody\n"},
    {"ruby_squiggly_heredoc", 13, "x = <<~", "\nbody\n"},
    {"ruby_quoted_heredoc", 13, "x = <<\"", "\nbody\n"},
};

inline std::string heredoc_word_text(const Heredoc_Word_Case& word) {
    return word.prefix + std::string(size_t{1} << 20, 'W') + word.suffix;
}

// The name of a case, for the instantiation of a test over its kind.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}
