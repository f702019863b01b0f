// The definitions index: per-language tree-sitter parsers, the recognition of
// definitions in a syntax tree, the re-indexing of one file, and the search
// of a text for identifiers that name indexed definitions.
//
// Used by the worker thread only: nothing here is locked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

// Source language code given with every scan; values outside 1..14 are
// handled as Python.
using Language = int64_t;

// DRAFT: the layout of Scanner and Definition below is for the scanner's
// implementer to settle; the functions' signatures are the contract the rest
// of the library uses.
struct Definition {
    std::string path;
    TSPoint position;
};

struct Scanner {
    // definitions: name -> (path -> Definition), paths in byte order
    std::string file_buffer;  // text of the file being scanned, reused
};

void scan_file(const std::string& path, const std::string& text, Scanner& scanner,
               Language language);
void clear(Scanner& scanner);

// One identifier of a searched text naming an indexed definition; start/end
// in code points from the start of the text, end exclusive.
struct Definition_Link {
    uint32_t start;
    uint32_t end;
    std::string path;
    TSPoint position;
};

std::vector<Definition_Link> get_definitions_from_text(const std::string& text,
                                                       const Scanner& scanner,
                                                       const std::vector<std::string>& preferred_paths,
                                                       bool compound_only);
