// The definitions index: per-language tree-sitter parsers, the recognition of
// definitions in a syntax tree, the re-indexing of one file, and the search
// of a text for identifiers that name indexed definitions.
//
// Used by the worker thread only: nothing here is locked, and nothing here is
// safe for use by two threads at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <tree_sitter/api.h>

// Source language code given with every scan: 1 Python, 2 JavaScript, 3 Go,
// 4 PHP, 5 Rust, 6 C++, 7 Java, 8 C#, 9 Kotlin, 10 Swift, 11 Dart, 12 R,
// 13 Ruby, 14 Lua. Every other value is handled exactly as Python.
using Language = int64_t;

// The grammars' entry functions, each returning its constant grammar.
extern "C" {
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_go(void);
const TSLanguage* tree_sitter_php(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_cpp(void);
const TSLanguage* tree_sitter_java(void);
const TSLanguage* tree_sitter_c_sharp(void);
const TSLanguage* tree_sitter_kotlin(void);
const TSLanguage* tree_sitter_swift(void);
const TSLanguage* tree_sitter_dart(void);
const TSLanguage* tree_sitter_r(void);
const TSLanguage* tree_sitter_ruby(void);
const TSLanguage* tree_sitter_lua(void);
}

// One language's parser and the ids its definition nodes are recognised by,
// resolved from names once so that the walk compares integers only. An id of
// 0 matches no visited node and names no field.
struct Language_Data {
    TSParser* parser;  // null until set up; owned by the table until release_parsers
    const TSLanguage* language;
    TSSymbol class_symbol;
    TSSymbol struct_symbol;
    TSSymbol function_symbol;
    TSSymbol method_symbol;
    TSSymbol type_definition_symbol;
    TSSymbol type_identifier_symbol;  // name fall-back (Kotlin classes)
    TSSymbol identifier_symbol;       // name fall-back (Kotlin functions, Dart)
    TSFieldId name_field;
    TSFieldId declarator_field;
    TSFieldId lhs_field;
};

// Sets up, on its first call, tree-sitter's allocator hooks (below) and the
// parsers and ids of all fourteen languages; later calls only check that they
// are there. Called by every scan_file.
void initialize_tree_sitter_globals();

// Deletes the fourteen parsers, with their grammars' scanner states, and gives
// back the memory reserve: once no tree is alive tree-sitter then holds
// nothing. Records return to not set up; the next scan sets them up again.
// Called at unload, once the worker has been joined.
void release_parsers();

// The record of a language: of value 2..14 its own, of 1 and every other
// value Python's. Does not set anything up.
Language_Data* get_language_data(Language language);

// Hashes names and paths. Inline and eight bytes at a time: most names are
// short, and an out-of-line call would cost as much as the hashing itself.
// Transparent, so that look-ups take a std::string_view without building a
// std::string.
struct String_Hash {
    using is_transparent = void;

    size_t operator()(std::string_view text) const noexcept {
        const char* p = text.data();
        size_t n = text.size();
        uint64_t hash = mix(n);
        if (n >= 8) {
            for (size_t i = 0; i + 8 <= n; i += 8) hash = mix(hash ^ load<uint64_t>(p + i));
            if (n % 8 != 0) hash = mix(hash ^ load<uint64_t>(p + n - 8));
        } else if (n >= 4) {
            hash = mix(hash ^ (load<uint32_t>(p) | uint64_t{load<uint32_t>(p + n - 4)} << 32));
        } else if (n > 0) {
            hash = mix(hash ^ (byte(p[0]) | byte(p[n / 2]) << 8 | byte(p[n - 1]) << 16));
        }
        return hash;
    }

    // Multiplication carries low bits upwards, the shift brings them back.
    static uint64_t mix(uint64_t x) {
        x *= 0xbf58476d1ce4e5b9;
        return x ^ (x >> 32);
    }

    template <typename Word>
    static Word load(const char* p) {
        Word word;
        std::memcpy(&word, p, sizeof word);
        return word;
    }

    static uint64_t byte(char c) { return static_cast<unsigned char>(c); }
};

// One recorded definition: the file that holds it and the point of the first
// byte of its name there (zero-based row, zero-based column in bytes).
struct Definition {
    std::string_view path;  // the key of the file's entry in Scanner::files
    TSPoint position;
};

// Orders definitions by path, bytes compared as unsigned values, a prefix
// first. Transparent, so that a path alone finds its definition.
struct Path_Order {
    using is_transparent = void;

    bool operator()(const Definition& a, const Definition& b) const { return a.path < b.path; }
    bool operator()(const Definition& a, std::string_view b) const { return a.path < b; }
    bool operator()(std::string_view a, const Definition& b) const { return a < b.path; }
};

using Definition_Tree = std::set<Definition, Path_Order>;

// One name's definitions, one per file, in Path_Order. Most names have one or
// a few: a sorted vector holds them in the least memory (24 bytes each) and
// reads fastest. Adding a file to a vector moves every definition whose path
// sorts after it, so a name defined in many files moves to a tree (a 64-byte
// node each), where adding or removing one costs O(log n) wherever its path
// falls. Exactly one of the two is in use.
struct Name_Definitions {
    std::vector<Definition> few;            // in use while many is null
    std::unique_ptr<Definition_Tree> many;  // once set, holds them all; few is then empty
};

// A vector holds at most MANY_DEFINITIONS; one more moves them to a tree. A
// tree left with FEW_DEFINITIONS or fewer goes back to a vector. Between two
// moves lie more than FEW_DEFINITIONS changes, even for a name whose count
// hovers near either, so a move's cost, in proportion to the count, is
// spread over as many changes. Adding to a full vector moves 6 KiB at most,
// a fraction of a microsecond, and few names pass 256 (in the benchmark
// corpus 25 of 143,526, with 5 % of the definitions), so trees cost the
// index little memory.
constexpr size_t MANY_DEFINITIONS = 256;
constexpr size_t FEW_DEFINITIONS = 128;

inline size_t definition_count(const Name_Definitions& definitions) {
    return definitions.many ? definitions.many->size() : definitions.few.size();
}

// The definition of the smallest path; the name has at least one.
inline const Definition& first_definition(const Name_Definitions& definitions) {
    return definitions.many ? *definitions.many->begin() : definitions.few.front();
}

// Calls visit with each definition, in path order.
template <typename Visit>
void for_each_definition(const Name_Definitions& definitions, Visit visit) {
    if (definitions.many) {
        for (const Definition& definition : *definitions.many) visit(definition);
    } else {
        for (const Definition& definition : definitions.few) visit(definition);
    }
}

// Name (the exact bytes of the name node) -> its definitions. Every name
// present has at least one definition.
using Definition_Map =
    std::unordered_map<std::string, Name_Definitions, String_Hash, std::equal_to<>>;

// The entries of Scanner::definitions that hold a definition of one file, so
// that re-indexing the file removes them without visiting every name.
// Entries of an unordered_map keep their address until erased.
struct Indexed_File {
    std::vector<Definition_Map::value_type*> names;
};

// Path -> what the index holds for it; only paths with at least one
// definition are present, each path stored once.
using File_Map = std::unordered_map<std::string, Indexed_File, String_Hash, std::equal_to<>>;

// A filter over the names of definitions: the bit that a name's hash selects
// is set for every name present. Most identifiers of a searched text name
// nothing, and the filter rules them out without touching the far larger
// table. Bits of removed names stay set, costing only a look-up, until the
// bits are rebuilt.
struct Name_Filter {
    std::vector<uint64_t> bits;  // a power of two of them, at least 8 per name
    unsigned shift = 0;          // the hash's top bits select a bit: 64 - log2(bit count)
    size_t removed = 0;          // names removed since the bits were built
};

// The definitions index. g_scanner is the process's one instance.
struct Scanner {
    Definition_Map definitions;
    File_Map files;
    Name_Filter name_filter;
    std::string file_buffer;  // text of the file being scanned; storage of 4 MiB at most kept between scans
};

// ---- Memory and cancellation of parses ----
//
// Tree-sitter, and the grammars' scanners through it, allocate through hooks
// that count the bytes they hold. A parse that takes more than its budget, or
// more CPU time than its limit, is cancelled at its next check: every hundred
// parse actions or so, and inside the long steps (the lexing of one token,
// the walks of the parse stack's paths, error recovery) every few thousand
// bytes or path steps. The hooks never return null, which tree-sitter would
// not survive: once the system refuses an allocation, the parse is cancelled
// and the hooks serve it from a reserve set aside beforehand until it has
// unwound.

// A quarter of the machine's physical memory, at most 4 GiB.
extern const size_t PARSE_MEMORY_BUDGET;

// The limits of parse memory. These values are the library's; only tests and
// benchmarks of the core library change them, between scans.
struct Parse_Limits {
    // The bytes tree-sitter may hold during a scan, within half of what
    // RLIMIT_AS and RLIMIT_DATA leave when the scan starts, the reserve
    // deducted.
    size_t memory_budget = PARSE_MEMORY_BUDGET;
    // A scan whose parse held more than this gives the memory it freed back
    // to the system (malloc_trim); so does clear.
    size_t trim_threshold = size_t{256} << 20;
    // The reserve, mapped but not touched until the system refuses: this
    // much, or an eighth of memory_budget when that is more (it must hold
    // the largest block a parse within the budget asks for), and at most an
    // eighth of what the limits leave.
    size_t reserve = size_t{64} << 20;
    // A parse may take base_time_limit plus time_limit_per_256_kib for every
    // 256 KiB of its text, counted in the scanning thread's CPU time, and is
    // cut short like one over its budget past that. Real sources parse at a
    // megabyte a second or faster, so only input on which tree-sitter's
    // error recovery turns quadratic gets there.
    std::chrono::nanoseconds base_time_limit = std::chrono::seconds(10);
    std::chrono::nanoseconds time_limit_per_256_kib = std::chrono::seconds(1);
};

extern Parse_Limits g_parse_limits;

// Set when the worker stops: the scan in progress ends at its next check
// (while its file is read, parsed or walked), and so does every later one at
// once, each leaving its file with no definitions. Never cleared by the
// library; tests of the core library clear it.
extern std::atomic<bool> g_scans_cancelled;

// Bytes tree-sitter holds now: parsers, scanner states, trees.
size_t parse_memory_held();

// The most tree-sitter held at once during the last scan that parsed.
size_t last_parse_peak();

// The most a scan starting now may let tree-sitter hold: the set budget,
// within half of what the process's limits leave once the reserve is set
// aside. A file longer than this is indexed as empty without being read
// through: its text could not be held beside its parse.
size_t scan_memory_budget();

// The largest private mapping the process's limits let it make now, up to
// limit, at 1 MiB grain: found by trial mappings, each unmapped at once, so
// for a moment the process's other threads have that much less room. What
// the budget is computed from when /proc cannot be read.
size_t mappable_bytes(size_t limit);

// Test seam, null in the library: when set, called with its size before each
// allocation the hooks ask of the system; true makes that one fail as if the
// system had refused it.
extern bool (*g_refuse_parse_allocation)(size_t size);

// Re-indexes one file: removes the definitions the index holds for path, then
// parses text with the grammar of language and records every definition its
// rule recognises; within the file the definition of a name met last in
// pre-order is kept. An empty text, or one of 4 GiB or more (beyond
// tree-sitter's 32-bit offsets), only removes the file's definitions. So does
// a scan that is cancelled (g_scans_cancelled, or a parse over its memory
// budget or its time limit), and one during which memory runs out; the rest
// of the index stays as it was. Never throws. The first call sets up all fourteen parsers. Time:
// one parse and one walk of the tree; each definition removed or added costs
// O(log n) in the n files that define its name, whatever the order in which
// files are scanned.
void scan_file(const std::string& path, const std::string& text, Scanner& scanner,
               Language language);

// Empties the index and gives its memory back to the system; file_buffer and
// the parsers are left as they are.
void clear(Scanner& scanner);

// One identifier of a searched text naming an indexed definition; start/end
// count code points from the start of the text, end exclusive.
struct Definition_Link {
    uint32_t start;
    uint32_t end;
    std::string_view path;  // the index's copy: valid until the next scan_file or clear
    TSPoint position;
};

// The number of bytes, from p (before end) where UTF-8 is invalid, that
// utf8::replace_invalid turns into one replacement character, and that the
// search below and the text sent to a language server count as one code
// point.
uint32_t invalid_sequence_length(const unsigned char* p, const unsigned char* end);

// Finds, in text order, every identifier of text (UTF-8) that names an
// indexed definition. An identifier starts with '_' or a letter and goes on
// with letters, '_' and '0'-'9'; letters are 'A'-'Z', 'a'-'z' and, from
// U+0080 up, what the calling thread's locale classes as alphabetic. Each
// occurrence takes the definition of the first of preferred_paths that
// defines the name, else of the smallest path in byte order. With
// compound_only, only identifiers whose first code point is '_' or some later
// one '_' or uppercase are reported. Invalid UTF-8 never stops the search:
// as with utf8::replace_invalid, a byte that cannot begin a sequence counts as
// one code point, and so does a bad sequence with the continuation bytes right
// after its first byte; each separates identifiers. Only the first 4 GiB - 1
// bytes of text are searched. May throw std::bad_alloc; the index is only
// read.
std::vector<Definition_Link> get_definitions_from_text(const std::string& text,
                                                       const Scanner& scanner,
                                                       const std::vector<std::string>& preferred_paths,
                                                       bool compound_only);
