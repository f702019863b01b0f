#include "scanner.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <utf8.h>

#include "char_class.h"
#include "descriptors.h"

namespace {

enum : Language {
    PYTHON = 1, JAVASCRIPT, GO, PHP, RUST, CPP, JAVA, CSHARP, KOTLIN, SWIFT, DART, R, RUBY, LUA
};

constexpr int LANGUAGE_COUNT = 14;

// Entry function of the grammar of Language value i + 1.
const TSLanguage* (*const grammar_functions[LANGUAGE_COUNT])(void) = {
    tree_sitter_python, tree_sitter_javascript, tree_sitter_go,     tree_sitter_php,
    tree_sitter_rust,   tree_sitter_cpp,        tree_sitter_java,   tree_sitter_c_sharp,
    tree_sitter_kotlin, tree_sitter_swift,      tree_sitter_dart,   tree_sitter_r,
    tree_sitter_ruby,   tree_sitter_lua,
};

// Zero-filled at load: every record not set up.
Language_Data language_data_table[LANGUAGE_COUNT];

// ---- Parse memory ----

size_t physical_memory() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<size_t>(pages) * static_cast<size_t>(page_size);
}

constexpr size_t MAX_PARSE_MEMORY_BUDGET = size_t{4} << 30;

// Memory mapped beforehand, from which the hooks serve tree-sitter once the
// system refuses it an allocation: tree-sitter checks none of its
// allocations, so none may fail under it. The refusal cancels the parse, and
// the reserve covers the refused block, which may be the largest the parse
// asks for (see reserve_size), and what the parse allocates until it has
// unwound: the rest of the parser's step, then the release of its nodes,
// while the system gets back what they held. Blocks are cut from the front; the
// last one's space is taken back when it is freed, and all of it once no
// block is left. The record sits at the start of its own mapping.
struct Reserve {
    Reserve* older;  // reserves replaced while they still held blocks
    size_t size;     // bytes mapped
    size_t used;     // bytes from the start that the record and the blocks take
    size_t blocks;   // blocks handed out and not yet freed
};

// Each block of a reserve follows a header holding its size; 16 bytes keep
// the alignment malloc gives.
constexpr size_t BLOCK_ALIGNMENT = 16;

constexpr size_t round_up(size_t size, size_t unit) { return (size + unit - 1) / unit * unit; }

// Where the first block's header starts.
constexpr size_t RESERVE_START = round_up(sizeof(Reserve), BLOCK_ALIGNMENT);

// What tree-sitter holds. Changed by the thread that scans only (the worker,
// or after it has been joined the thread that unloads the library); atomics
// so that other threads may read the figures.
struct Parse_Memory {
    std::atomic<size_t> held{0};
    std::atomic<size_t> peak{0};  // since the current or last parse started
    size_t budget = SIZE_MAX;     // of the current scan
    bool cancel_parse = false;    // over budget, or an allocation failed
    Reserve* reserve = nullptr;   // the one blocks are cut from
};

Parse_Memory g_parse_memory;

// Tree-sitter's allocator hooks are installed once, before its first
// allocation, and stay: every block it holds was counted by them.
bool g_allocator_installed = false;

Reserve* map_reserve(size_t size) {
    void* start = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                       -1, 0);
    if (start == MAP_FAILED) return nullptr;
    return new (start) Reserve{nullptr, size, RESERVE_START, 0};
}

// The reserve a block was cut from; null for a block of the system's.
Reserve* reserve_of(const void* block) {
    for (Reserve* reserve = g_parse_memory.reserve; reserve != nullptr; reserve = reserve->older) {
        auto start = reinterpret_cast<const char*>(reserve);
        if (block >= start && block < start + reserve->size) return reserve;
    }
    return nullptr;
}

size_t& reserve_block_size(void* block) { return *(static_cast<size_t*>(block) - 2); }

char* reserve_end(Reserve* reserve) { return reinterpret_cast<char*>(reserve) + reserve->used; }

bool is_last_block(Reserve* reserve, void* block) {
    return static_cast<char*>(block) + reserve_block_size(block) == reserve_end(reserve);
}

// A block of size bytes from the current reserve; null when it has no room.
void* reserve_allocate(size_t size) {
    Reserve* reserve = g_parse_memory.reserve;
    size_t rounded = round_up(size, BLOCK_ALIGNMENT);
    size_t left = reserve == nullptr ? 0 : reserve->size - reserve->used;
    if (rounded < size || left < BLOCK_ALIGNMENT || rounded > left - BLOCK_ALIGNMENT) return nullptr;
    void* block = reserve_end(reserve) + BLOCK_ALIGNMENT;
    reserve_block_size(block) = rounded;
    reserve->used += BLOCK_ALIGNMENT + rounded;
    ++reserve->blocks;
    return block;
}

// Grows or shrinks the last block of the current reserve where it stands.
bool resize_in_reserve(void* block, size_t size) {
    Reserve* reserve = g_parse_memory.reserve;
    size_t rounded = round_up(size, BLOCK_ALIGNMENT);
    if (reserve_of(block) != reserve || !is_last_block(reserve, block) || rounded < size ||
        reserve->size - (static_cast<char*>(block) - reinterpret_cast<char*>(reserve)) < rounded)
        return false;
    reserve->used += rounded - reserve_block_size(block);
    reserve_block_size(block) = rounded;
    return true;
}

// A reserve replaced while it held blocks is unmapped with its last block.
void reserve_free(Reserve* reserve, void* block) {
    if (is_last_block(reserve, block)) reserve->used -= BLOCK_ALIGNMENT + reserve_block_size(block);
    if (--reserve->blocks > 0) return;
    reserve->used = RESERVE_START;
    if (reserve == g_parse_memory.reserve) return;
    Reserve** link = &g_parse_memory.reserve;
    while (*link != reserve) link = &(*link)->older;
    *link = reserve->older;
    munmap(reserve, reserve->size);
}

void unmap_reserves() {
    while (Reserve* reserve = g_parse_memory.reserve) {
        g_parse_memory.reserve = reserve->older;
        munmap(reserve, reserve->size);
    }
}

size_t block_size(void* block) {
    return reserve_of(block) != nullptr ? reserve_block_size(block) : malloc_usable_size(block);
}

void count_allocated(void* block) {
    if (block == nullptr) return;
    size_t held = g_parse_memory.held.load(std::memory_order_relaxed) + block_size(block);
    g_parse_memory.held.store(held, std::memory_order_relaxed);
    if (held > g_parse_memory.peak.load(std::memory_order_relaxed))
        g_parse_memory.peak.store(held, std::memory_order_relaxed);
    if (held > g_parse_memory.budget) g_parse_memory.cancel_parse = true;
}

void count_freed(size_t size) {
    g_parse_memory.held.store(g_parse_memory.held.load(std::memory_order_relaxed) - size,
                              std::memory_order_relaxed);
}

// Asks the system through allocate for size bytes, unless a test refuses in
// its place.
template <typename Allocate>
void* system_allocate(size_t size, Allocate allocate) {
    if (g_refuse_parse_allocation != nullptr && g_refuse_parse_allocation(size)) return nullptr;
    return allocate();
}

// A block from the system, or from the reserve once the system refuses,
// which cancels the parse. Null only when the reserve has no room either.
template <typename Allocate>
void* allocate_for_parse(size_t size, Allocate allocate) {
    void* block = system_allocate(size, allocate);
    if (block != nullptr || size == 0) return block;
    g_parse_memory.cancel_parse = true;
    return reserve_allocate(size);
}

void* parse_malloc(size_t size) {
    void* block = allocate_for_parse(size, [size] { return std::malloc(size); });
    count_allocated(block);
    return block;
}

// Blocks of the reserve may have been used before.
void* parse_calloc(size_t count, size_t size) {
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) return nullptr;
    void* block = allocate_for_parse(bytes, [count, size] { return std::calloc(count, size); });
    if (reserve_of(block) != nullptr) std::memset(block, 0, bytes);
    count_allocated(block);
    return block;
}

void parse_free(void* block) {
    if (block == nullptr) return;
    count_freed(block_size(block));
    if (Reserve* reserve = reserve_of(block))
        reserve_free(reserve, block);
    else
        std::free(block);
}

void* move_block(void* block, size_t old_size, void* moved, size_t size) {
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, block, std::min(old_size, size));
    parse_free(block);
    count_allocated(moved);
    return moved;
}

// A block of the system's is resized by the system. A block of the reserve
// leaves it for one of the system's as soon as the system grants one; else
// it grows where it stands, when it is the reserve's last, or moves within
// the reserve. A failed realloc leaves the block as it was.
void* parse_realloc(void* block, size_t size) {
    if (block == nullptr) return parse_malloc(size);
    if (size == 0) {
        parse_free(block);
        return nullptr;
    }
    size_t old_size = block_size(block);
    if (reserve_of(block) == nullptr) {
        if (void* resized = system_allocate(size, [block, size] { return std::realloc(block, size); })) {
            count_freed(old_size);
            count_allocated(resized);
            return resized;
        }
    } else if (void* moved = system_allocate(size, [size] { return std::malloc(size); })) {
        return move_block(block, old_size, moved, size);
    }
    g_parse_memory.cancel_parse = true;
    if (!resize_in_reserve(block, size)) return move_block(block, old_size, reserve_allocate(size), size);
    count_freed(old_size);
    count_allocated(block);
    return block;
}

// Bytes of the process's address space and of its data (RLIMIT_DATA counts
// data, heap and private mappings), from /proc/self/statm.
bool read_memory_use(size_t& address_space, size_t& data) {
    int fd = above_standard_streams(open("/proc/self/statm", O_RDONLY | O_CLOEXEC));
    if (fd < 0) return false;
    char text[256];
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) return false;
    text[length] = '\0';
    unsigned long size = 0, resident, shared, program, library, data_pages = 0;
    bool read_all = std::sscanf(text, "%lu %lu %lu %lu %lu %lu", &size, &resident, &shared, &program,
                                &library, &data_pages) == 6;
    size_t page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    address_space = size * page_size;
    data = data_pages * page_size;
    return read_all;
}

// The current soft limit of a resource; SIZE_MAX when there is none.
size_t soft_limit(int resource) {
    rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return static_cast<size_t>(limit.rlim_cur);
}

size_t room_left(size_t limit, size_t used) { return limit > used ? limit - used : 0; }

// What RLIMIT_AS and RLIMIT_DATA leave the process to map; SIZE_MAX when
// neither is set. Read from /proc when it can be; else found by mapping.
size_t memory_room() {
    size_t address_limit = soft_limit(RLIMIT_AS);
    size_t data_limit = soft_limit(RLIMIT_DATA);
    if (address_limit == SIZE_MAX && data_limit == SIZE_MAX) return SIZE_MAX;
    size_t address_space = 0;
    size_t data = 0;
    if (!read_memory_use(address_space, data)) return mappable_bytes(std::min(address_limit, data_limit));
    return std::min(room_left(address_limit, address_space), room_left(data_limit, data));
}

// The reserve for a room: the set size, or an eighth of the budget when that
// is more, and at most an eighth of the room, so that the budget keeps the
// rest. The block the system refuses can be the largest a parse asks for: an
// array as long as the parse stack is deep, such as a path of the stack,
// which holds a fourteenth of what the parse holds at most (a stack node
// takes 224 bytes, its place in the path 8, 16 once the array doubles).
size_t reserve_size(size_t room) {
    size_t page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t wanted = std::max(g_parse_limits.reserve, g_parse_limits.memory_budget / 8);
    size_t size = room == SIZE_MAX ? wanted : std::min(wanted, room / 8);
    return size / page_size * page_size;
}

// Sets a reserve aside for the scan about to start, sized from the room the
// limits leave now. The current one is kept while it has half that size free
// and, when whole, is not more than twice that size. A replaced one that
// still holds blocks (arrays that a parser keeps from parse to parse can end
// up there) is unmapped with its last block. False when no reserve could
// ever be set aside: then nothing is parsed.
bool set_aside_reserve() {
    Reserve* current = g_parse_memory.reserve;
    bool whole = current != nullptr && current->blocks == 0;
    size_t room = memory_room();
    if (whole && room != SIZE_MAX) room += current->size;
    size_t size = reserve_size(room);
    bool roomy = current != nullptr && current->size - current->used >= size / 2;
    if (roomy && !(whole && current->size > 2 * size)) return true;
    Reserve* fresh = size < RESERVE_START ? nullptr : map_reserve(size);
    if (fresh == nullptr) return current != nullptr;
    fresh->older = whole ? current->older : current;
    if (whole) munmap(current, current->size);
    g_parse_memory.reserve = fresh;
    return true;
}

// Ends the scan in progress once a stop is requested or its parse went over
// its budget.
bool scan_interrupted() {
    return g_parse_memory.cancel_parse || g_scans_cancelled.load(std::memory_order_relaxed);
}

// The parse in progress may take this much of the scanning thread's CPU
// time: a parse paused with its process (a debugger, job control, a frozen
// cgroup) or starved of its core by other threads loses nothing. A thread's
// CPU time grows no faster than the wall clock, so the CPU clock, a system
// call, is read only once the wall clock says the limit may have been
// reached; until then the check costs one read of the wall clock.
struct Parse_Clock {
    std::chrono::nanoseconds cpu_deadline;
    std::chrono::steady_clock::time_point earliest_end;
};

Parse_Clock g_parse_clock;

std::chrono::nanoseconds thread_cpu_time() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void start_parse_clock(size_t text_size) {
    using Nanoseconds = std::chrono::duration<double, std::nano>;
    Nanoseconds per_byte = Nanoseconds(g_parse_limits.time_limit_per_256_kib) / (256 * 1024);
    std::chrono::nanoseconds allowed = g_parse_limits.base_time_limit +
                                       std::chrono::duration_cast<std::chrono::nanoseconds>(per_byte * text_size);
    g_parse_clock = {thread_cpu_time() + allowed, std::chrono::steady_clock::now() + allowed};
}

bool parse_time_is_up() {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (now <= g_parse_clock.earliest_end) return false;
    std::chrono::nanoseconds left = g_parse_clock.cpu_deadline - thread_cpu_time();
    if (left.count() <= 0) return true;
    g_parse_clock.earliest_end = now + left;
    return false;
}

// Cancels the parse in progress as scan_interrupted does, and once it passes
// its time limit. Called by tree-sitter at each progress check and, inside
// its long steps, every few thousand bytes lexed or stack paths walked: cheap
// enough for that, a clock read at most.
bool parse_interrupted(TSParseState*) {
    return scan_interrupted() || parse_time_is_up();
}

void start_parse_accounting() {
    g_parse_memory.budget = scan_memory_budget();
    g_parse_memory.cancel_parse = false;
    g_parse_memory.peak.store(g_parse_memory.held.load(std::memory_order_relaxed),
                              std::memory_order_relaxed);
}

// ---- Language table ----

TSSymbol named_symbol(const TSLanguage* grammar, std::string_view name) {
    return ts_language_symbol_for_name(grammar, name.data(), static_cast<uint32_t>(name.size()), true);
}

TSFieldId field(const TSLanguage* grammar, std::string_view name) {
    return ts_language_field_id_for_name(grammar, name.data(), static_cast<uint32_t>(name.size()));
}

// Looks up the node types of one language's definitions; slots a language
// has no use for stay 0.
void look_up_symbols(Language_Data& data, Language language, const TSLanguage* grammar) {
    auto symbol = [grammar](std::string_view name) { return named_symbol(grammar, name); };
    switch (language) {
    case PYTHON:
        data.class_symbol = symbol("class_definition");
        data.function_symbol = symbol("function_definition");
        break;
    case JAVASCRIPT:
        data.class_symbol = symbol("class_declaration");
        data.function_symbol = symbol("function_declaration");
        data.method_symbol = symbol("method_definition");
        break;
    case GO:
        data.class_symbol = symbol("type_spec");
        data.function_symbol = symbol("function_declaration");
        data.method_symbol = symbol("method_declaration");
        break;
    case PHP:
        data.class_symbol = symbol("class_declaration");
        data.function_symbol = symbol("function_definition");
        data.method_symbol = symbol("method_declaration");
        break;
    case RUST:
        data.class_symbol = symbol("struct_item");
        data.function_symbol = symbol("function_item");
        break;
    case CPP:
        data.class_symbol = symbol("class_specifier");
        data.struct_symbol = symbol("struct_specifier");
        data.function_symbol = symbol("function_declarator");
        data.type_definition_symbol = symbol("type_definition");
        break;
    case JAVA:
        data.class_symbol = symbol("class_declaration");
        data.method_symbol = symbol("method_declaration");
        break;
    case CSHARP:
        // Structs are definitions here as they are in C++ and Rust.
        data.class_symbol = symbol("class_declaration");
        data.struct_symbol = symbol("struct_declaration");
        data.method_symbol = symbol("method_declaration");
        break;
    case KOTLIN:
        data.class_symbol = symbol("class_declaration");
        data.function_symbol = symbol("function_declaration");
        data.type_identifier_symbol = symbol("type_identifier");
        data.identifier_symbol = symbol("simple_identifier");
        break;
    case SWIFT:
        // The Swift grammar parses structs, enums and extensions as class
        // declarations too.
        data.class_symbol = symbol("class_declaration");
        data.function_symbol = symbol("function_declaration");
        break;
    case DART:
        data.class_symbol = symbol("class_definition");
        data.function_symbol = symbol("function_signature");
        data.method_symbol = symbol("method_signature");
        data.identifier_symbol = symbol("identifier");
        break;
    case R:
        data.function_symbol = symbol("function_definition");
        break;
    case RUBY:
        data.class_symbol = symbol("class");
        data.method_symbol = symbol("method");
        break;
    case LUA:
        data.function_symbol = symbol("function_declaration");
        break;
    }
}

void initialize_language_data(Language_Data& data, Language language, const TSLanguage* grammar) {
    data.parser = ts_parser_new();
    ts_parser_set_language(data.parser, grammar);
    data.language = grammar;
    look_up_symbols(data, language, grammar);
    data.name_field = field(grammar, "name");
    data.declarator_field = field(grammar, "declarator");
    data.lhs_field = field(grammar, "lhs");
}

// ---- Name filter ----

size_t filter_bit(const Name_Filter& filter, size_t hash) { return hash >> filter.shift; }

void set_filter_bit(Name_Filter& filter, size_t hash) {
    size_t bit = filter_bit(filter, hash);
    filter.bits[bit / 64] |= uint64_t{1} << (bit % 64);
}

bool filter_may_hold(const Name_Filter& filter, size_t hash) {
    size_t bit = filter_bit(filter, hash);
    return (filter.bits[bit / 64] >> (bit % 64) & 1) != 0;
}

// Builds the bits afresh from the names present, sized for name_count names.
void rebuild_filter(Scanner& scanner, size_t name_count) {
    size_t bit_count = 4096;
    while (bit_count < 8 * name_count) bit_count *= 2;
    Name_Filter filter{std::vector<uint64_t>(bit_count / 64),
                       static_cast<unsigned>(64 - std::countr_zero(bit_count)), 0};
    for (const Definition_Map::value_type& entry : scanner.definitions)
        set_filter_bit(filter, String_Hash{}(entry.first));
    scanner.name_filter = std::move(filter);
}

// Sets the bit of a name about to enter definitions, first rebuilding the
// bits when they are too few for one more name or when as many names have
// left since they were built as remain.
void add_to_filter(Scanner& scanner, size_t hash) {
    size_t name_count = scanner.definitions.size() + 1;
    const Name_Filter& filter = scanner.name_filter;
    if (filter.bits.size() * 64 < 8 * name_count || filter.removed >= name_count)
        rebuild_filter(scanner, name_count);
    set_filter_bit(scanner.name_filter, hash);
}

// ---- A name's definitions ----

// Where a definition of path stands, or would stand, in a name's vector.
template <typename Definitions>
auto vector_place(Definitions& few, std::string_view path) {
    return std::lower_bound(few.begin(), few.end(), path, Path_Order{});
}

// The definition of path, or null.
const Definition* find_definition(const Name_Definitions& definitions, std::string_view path) {
    if (definitions.many) {
        auto found = definitions.many->find(path);
        return found == definitions.many->end() ? nullptr : &*found;
    }
    auto found = vector_place(definitions.few, path);
    return found == definitions.few.end() || found->path != path ? nullptr : &*found;
}

// The tree is built whole before the vector is let go, so that a failed
// allocation leaves the vector as it was.
void move_to_tree(Name_Definitions& definitions) {
    definitions.many =
        std::make_unique<Definition_Tree>(definitions.few.begin(), definitions.few.end());
    definitions.few = std::vector<Definition>();
}

// Only saves memory: when the vector cannot be had, the tree serves as well.
void move_to_vector(Name_Definitions& definitions) noexcept {
    try {
        definitions.few.assign(definitions.many->begin(), definitions.many->end());
        definitions.many.reset();
    } catch (const std::bad_alloc&) {
    }
}

// A set's elements are constant: the position changes in a node taken out
// and put back where it was, which allocates nothing.
bool set_in_tree(Definition_Tree& tree, const Definition& definition) {
    auto [place, added] = tree.insert(definition);
    if (added) return true;
    auto next = std::next(place);
    auto node = tree.extract(place);
    node.value().position = definition.position;
    tree.insert(next, std::move(node));
    return false;
}

// Adds the definition of its path to a name's, or moves the one that path
// has there. Returns whether it was added. If an allocation fails, the name's
// definitions are left as they were.
bool set_definition(Name_Definitions& definitions, const Definition& definition) {
    if (definitions.many) return set_in_tree(*definitions.many, definition);
    auto place = vector_place(definitions.few, definition.path);
    if (place != definitions.few.end() && place->path == definition.path) {
        place->position = definition.position;
        return false;
    }
    if (definitions.few.size() < MANY_DEFINITIONS) {
        definitions.few.insert(place, definition);
        return true;
    }
    move_to_tree(definitions);
    return set_in_tree(*definitions.many, definition);
}

// Removes the definition of path, which the name has.
void remove_definition(Name_Definitions& definitions, std::string_view path) noexcept {
    if (!definitions.many) {
        definitions.few.erase(vector_place(definitions.few, path));
        return;
    }
    definitions.many->erase(definitions.many->find(path));
    if (definitions.many->size() <= FEW_DEFINITIONS) move_to_vector(definitions);
}

// ---- Definitions index ----

// Removes every definition of path from the index, and path itself.
void forget_file(Scanner& scanner, std::string_view path) {
    auto file = scanner.files.find(path);
    if (file == scanner.files.end()) return;
    for (Definition_Map::value_type* entry : file->second.names) {
        remove_definition(entry->second, file->first);
        if (definition_count(entry->second) == 0) {
            scanner.definitions.erase(scanner.definitions.find(entry->first));
            ++scanner.name_filter.removed;
        }
    }
    scanner.files.erase(file);
}

// Sets the definition of name in file, replacing one that an earlier node of
// the same scan recorded. If an allocation fails, the index is left as it
// was: every definition stays listed in its file's names, so that forgetting
// the file removes it.
void record_definition(Scanner& scanner, File_Map::value_type& file, std::string_view name,
                       TSPoint position) {
    std::vector<Definition_Map::value_type*>& names = file.second.names;
    if (names.size() == names.capacity()) names.reserve(names.empty() ? 4 : 2 * names.size());
    auto entry = scanner.definitions.find(name);
    if (entry == scanner.definitions.end()) {
        add_to_filter(scanner, String_Hash{}(name));
        entry = scanner.definitions.emplace(std::string(name), Name_Definitions()).first;
    }
    bool added = false;
    try {
        added = set_definition(entry->second, Definition{file.first, position});
    } catch (...) {
        if (definition_count(entry->second) == 0) scanner.definitions.erase(entry);
        throw;
    }
    if (added) names.push_back(&*entry);
}

// ---- Recognising definitions ----

TSNode null_node() { return TSNode{}; }

TSNode first_child_of_symbol(TSNode node, TSSymbol symbol) {
    uint32_t count = ts_node_child_count(node);
    for (uint32_t i = 0; i < count; ++i) {
        TSNode child = ts_node_child(node, i);
        if (ts_node_symbol(child) == symbol) return child;
    }
    return null_node();
}

// The name node of node when node is a definition under the rule of
// language, else the null node. parent is node's parent (null for the root).
TSNode definition_name(TSNode node, TSNode parent, const Language_Data& data, Language language) {
    TSSymbol symbol = ts_node_symbol(node);
    bool class_or_function = symbol == data.class_symbol || symbol == data.function_symbol;
    switch (language) {
    case JAVASCRIPT: case GO: case PHP: case JAVA: case RUBY:
        if (!class_or_function && symbol != data.method_symbol) return null_node();
        return ts_node_child_by_field_id(node, data.name_field);
    case CSHARP:
        if (!class_or_function && symbol != data.method_symbol && symbol != data.struct_symbol)
            return null_node();
        return ts_node_child_by_field_id(node, data.name_field);
    case DART: {
        if (!class_or_function && symbol != data.method_symbol) return null_node();
        TSNode name = ts_node_child_by_field_id(node, data.name_field);
        return ts_node_is_null(name) ? first_child_of_symbol(node, data.identifier_symbol) : name;
    }
    case CPP:
        if (symbol == data.function_symbol || symbol == data.type_definition_symbol)
            return ts_node_child_by_field_id(node, data.declarator_field);
        if (symbol == data.class_symbol || symbol == data.struct_symbol)
            return ts_node_child_by_field_id(node, data.name_field);
        return null_node();
    case R:
        if (symbol != data.function_symbol || ts_node_is_null(parent)) return null_node();
        return ts_node_child_by_field_id(parent, data.lhs_field);
    case KOTLIN: {
        // The Kotlin grammar has no "name" field: names come from the first
        // child of the right type.
        if (!class_or_function) return null_node();
        TSNode name = ts_node_child_by_field_id(node, data.name_field);
        if (!ts_node_is_null(name)) return name;
        return first_child_of_symbol(node, symbol == data.class_symbol ? data.type_identifier_symbol
                                                                       : data.identifier_symbol);
    }
    default:
        if (!class_or_function) return null_node();
        return ts_node_child_by_field_id(node, data.name_field);
    }
}

void record_if_definition(TSNode node, TSNode parent, const std::string& text,
                          File_Map::value_type& file, Scanner& scanner, const Language_Data& data,
                          Language language) {
    TSNode name = definition_name(node, parent, data, language);
    if (ts_node_is_null(name)) return;
    uint32_t start = ts_node_start_byte(name);
    uint32_t end = ts_node_end_byte(name);
    if (end <= start) return;
    record_definition(scanner, file, std::string_view(text).substr(start, end - start),
                      ts_node_start_point(name));
}

// Tree-sitter's allocator for the walk's own stack: what the walk holds
// counts against the scan's budget as the tree it walks does, and a block
// the system refuses comes from the reserve and cuts the scan short.
template <typename T>
struct Parse_Allocator {
    using value_type = T;
    Parse_Allocator() = default;
    template <typename U>
    Parse_Allocator(const Parse_Allocator<U>&) {}
    T* allocate(size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* block = parse_malloc(count * sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t) { parse_free(block); }
    bool operator==(const Parse_Allocator&) const { return true; }
};

// Makes room on the walk's stack for more entries. A wide tree (an ERROR
// node of millions of tokens) has every child still to visit waiting there,
// more bytes each than the tree holds for it, so the stack grows by a
// quarter at a time, and not at all when the old and the grown block
// together would take the scan past its budget: that cancels the scan.
template <typename Stack>
bool make_room(Stack& stack, size_t more) {
    size_t needed = stack.size() + more;
    if (needed <= stack.capacity()) return true;
    size_t grown = std::max(needed, stack.capacity() + stack.capacity() / 4);
    size_t bytes = grown * sizeof(typename Stack::value_type);
    if (parse_memory_held() + bytes > g_parse_memory.budget) {
        g_parse_memory.cancel_parse = true;
        return false;
    }
    stack.reserve(grown);
    return true;
}

// Records every definition in the subtree at the cursor's node, in pre-order;
// false when the scan was cancelled on the way (the walk of a huge tree takes
// seconds). Trees nest as deeply as their source, so the walk takes no call
// stack per level: the nodes still to visit wait on a stack of the walk's
// own, each with its parent, because R's rule needs it and ts_node_parent
// searches down from the root, which would make deep or wide trees
// quadratic. The cursor lists one node's children at a time, reset to that
// node, so its own stack holds only the hidden nodes between a node and its
// children: tree-sitter grows that stack by allocations that may not fail,
// and grown as deep as the tree it would be the largest block of a scan.
// Leaves the cursor where it found it.
bool traverse_recursively(TSTreeCursor* cursor, const std::string& text, File_Map::value_type& file,
                          Scanner& scanner, const Language_Data* data, Language language) {
    struct Pending {
        TSNode node;
        TSNode parent;
    };
    TSNode root = ts_tree_cursor_current_node(cursor);
    std::vector<Pending, Parse_Allocator<Pending>> pending;
    if (make_room(pending, 1)) pending.push_back({root, null_node()});
    while (!pending.empty()) {
        if (scan_interrupted()) break;
        auto [node, parent] = pending.back();
        pending.pop_back();
        record_if_definition(node, parent, text, file, scanner, *data, language);
        // The children go on the stack last first. A sibling step known to
        // fail, the costliest cursor move as it climbs through hidden nodes,
        // is never tried.
        uint32_t child_count = ts_node_child_count(node);
        if (child_count == 0) continue;
        ts_tree_cursor_reset(cursor, node);
        if (!ts_tree_cursor_goto_first_child(cursor)) continue;
        if (!make_room(pending, child_count)) break;
        size_t first = pending.size();
        pending.push_back({ts_tree_cursor_current_node(cursor), node});
        for (uint32_t i = 1; i < child_count && ts_tree_cursor_goto_next_sibling(cursor); ++i)
            pending.push_back({ts_tree_cursor_current_node(cursor), node});
        std::reverse(pending.begin() + first, pending.end());
    }
    ts_tree_cursor_reset(cursor, root);
    return pending.empty() && !scan_interrupted();
}

struct Tree_Deleter {
    void operator()(TSTree* tree) const { ts_tree_delete(tree); }
};

struct Cursor_Deleter {
    void operator()(TSTreeCursor* cursor) const { ts_tree_cursor_delete(cursor); }
};

// Hands tree-sitter the whole text from byte on (the text is under 4 GiB).
const char* read_text(void* text, uint32_t byte, TSPoint, uint32_t* length) {
    const std::string& whole = *static_cast<const std::string*>(text);
    size_t start = std::min<size_t>(byte, whole.size());
    *length = static_cast<uint32_t>(whole.size() - start);
    return whole.data() + start;
}

// Parses text, or returns null when the parse was cancelled. A cancelled
// parse is reset: the parser's next parse would resume it otherwise.
TSTree* parse(TSParser* parser, const std::string& text) {
    start_parse_accounting();
    start_parse_clock(text.size());
    TSInput input{const_cast<std::string*>(&text), read_text, TSInputEncodingUTF8, nullptr};
    TSTree* tree = ts_parser_parse_with_options(parser, nullptr, input, {nullptr, parse_interrupted});
    if (tree == nullptr) ts_parser_reset(parser);
    return tree;
}

void index_file(const std::string& path, const std::string& text, Scanner& scanner,
                const Language_Data& data, Language language) {
    std::unique_ptr<TSTree, Tree_Deleter> tree(parse(data.parser, text));
    if (!tree) return;
    File_Map::value_type& file = *scanner.files.try_emplace(path).first;
    TSTreeCursor cursor = ts_tree_cursor_new(ts_tree_root_node(tree.get()));
    std::unique_ptr<TSTreeCursor, Cursor_Deleter> cursor_owner(&cursor);
    if (!traverse_recursively(&cursor, text, file, scanner, &data, language))
        forget_file(scanner, path);
    else if (file.second.names.empty())
        scanner.files.erase(path);
    else
        file.second.names.shrink_to_fit();
}

// ---- Identifier search ----

struct Code_Point {
    uint32_t value;
    uint32_t length;  // in bytes
};

constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

// Decodes the code point whose first byte, from 0x80 up, is at p (before
// end). An invalid sequence reads as one U+FFFD, which is no letter, so it
// separates identifiers and the search goes on after it. utfcpp's validation
// is called directly rather than through utf8::next, which reports invalid
// input by throwing: at about a microsecond per exception, a text of stray
// bytes would take seconds per megabyte.
inline Code_Point decode_multibyte(const unsigned char* p, const unsigned char* end) {
    const unsigned char* next = p;
    uint32_t value = 0;
    if (utf8::internal::validate_next(next, end, value) == utf8::internal::UTF8_OK)
        return {value, static_cast<uint32_t>(next - p)};
    return {REPLACEMENT_CHARACTER, invalid_sequence_length(p, end)};
}

constexpr bool starts_identifier(uint32_t c) { return c == '_' || is_letter(c); }

constexpr bool continues_identifier(uint32_t c) { return c == '_' || is_digit(c) || is_letter(c); }

// Makes an identifier compound when it is not the identifier's first.
constexpr bool marks_compound(uint32_t c) { return c == '_' || is_uppercase(c); }

// The same classes by byte, for the ASCII fast path; a byte from 0x80 up
// begins or continues a multi-byte sequence and is only marked as such.
constexpr uint8_t STARTS_IDENTIFIER = 1;
constexpr uint8_t CONTINUES_IDENTIFIER = 2;
constexpr uint8_t MARKS_COMPOUND = 4;
constexpr uint8_t NOT_ASCII = 8;

constexpr std::array<uint8_t, 256> byte_classes = [] {
    std::array<uint8_t, 256> classes{};
    for (uint32_t c = 0; c < 0x80; ++c) {
        if (starts_identifier(c)) classes[c] |= STARTS_IDENTIFIER;
        if (continues_identifier(c)) classes[c] |= CONTINUES_IDENTIFIER;
        if (marks_compound(c)) classes[c] |= MARKS_COMPOUND;
    }
    for (size_t c = 0x80; c < classes.size(); ++c) classes[c] = NOT_ASCII;
    return classes;
}();

// A place in the searched text, with the number of code points before it.
struct Text_Position {
    const unsigned char* p;
    uint32_t index;
};

// Moves past separators to the next code point that starts an identifier, or
// to end; returns that code point's length in bytes (0 at end).
uint32_t skip_separators(Text_Position& at, const unsigned char* end) {
    for (;;) {
        const unsigned char* run = at.p;
        while (at.p < end && (byte_classes[*at.p] & (STARTS_IDENTIFIER | NOT_ASCII)) == 0) ++at.p;
        at.index += static_cast<uint32_t>(at.p - run);
        if (at.p == end) return 0;
        if (byte_classes[*at.p] != NOT_ASCII) return 1;
        Code_Point c = decode_multibyte(at.p, end);
        if (starts_identifier(c.value)) return c.length;
        at.p += c.length;
        ++at.index;
    }
}

// Moves past the code points that continue an identifier; sets compound when
// one of them is '_' or uppercase.
void skip_identifier_rest(Text_Position& at, const unsigned char* end, bool& compound) {
    for (;;) {
        const unsigned char* run = at.p;
        uint8_t marks = 0;
        while (at.p < end && (byte_classes[*at.p] & CONTINUES_IDENTIFIER) != 0) {
            marks |= byte_classes[*at.p];
            ++at.p;
        }
        at.index += static_cast<uint32_t>(at.p - run);
        compound = compound || (marks & MARKS_COMPOUND) != 0;
        if (at.p == end || byte_classes[*at.p] != NOT_ASCII) return;
        Code_Point c = decode_multibyte(at.p, end);
        if (!continues_identifier(c.value)) return;
        compound = compound || marks_compound(c.value);
        at.p += c.length;
        ++at.index;
    }
}

// For each name defined in one of preferred_paths, its definition in the
// first of them that defines it, where the name has more than one.
using Preferred_Definitions = std::unordered_map<const Definition_Map::value_type*, const Definition*>;

Preferred_Definitions find_preferred_definitions(const std::vector<std::string>& preferred_paths,
                                                 const Scanner& scanner) {
    Preferred_Definitions preferred;
    for (const std::string& path : preferred_paths) {
        auto file = scanner.files.find(std::string_view(path));
        if (file == scanner.files.end()) continue;
        for (const Definition_Map::value_type* entry : file->second.names) {
            if (definition_count(entry->second) > 1 && !preferred.contains(entry))
                preferred.emplace(entry, find_definition(entry->second, file->first));
        }
    }
    return preferred;
}

// The definition of a preferred path, else the one of the smallest path.
const Definition& choose_definition(const Definition_Map::value_type& entry,
                                    const Preferred_Definitions& preferred) {
    const Name_Definitions& definitions = entry.second;
    if (definitions.few.size() == 1) return definitions.few.front();  // most names: no choice
    auto found = preferred.find(&entry);
    if (found != preferred.end()) return *found->second;
    return first_definition(definitions);
}

// A direct-mapped cache of one search's look-ups in the index. Identifiers
// repeat within a text, while the index's table is far larger than the
// processor's caches: a hit costs a hash and a short comparison instead of a
// walk through cold memory. A slot's name points into the searched text.
struct Lookup_Slot {
    size_t hash = 0;
    const char* name = nullptr;
    size_t length = 0;
    const Definition* definition = nullptr;  // null: not indexed
};

constexpr size_t LOOKUP_CACHE_SLOTS = 1024;

struct Search {
    const Definition_Map& definitions;
    const Name_Filter& filter;
    Preferred_Definitions preferred;
    std::vector<Lookup_Slot> cache;
};

// The definition an identifier links to, or null when it names none.
const Definition* look_up(std::string_view name, Search& search) {
    size_t hash = String_Hash{}(name);
    Lookup_Slot& slot = search.cache[hash % LOOKUP_CACHE_SLOTS];
    if (slot.hash == hash && slot.name != nullptr && std::string_view(slot.name, slot.length) == name)
        return slot.definition;
    const Definition* definition = nullptr;
    if (filter_may_hold(search.filter, hash)) {
        auto found = search.definitions.find(name);
        if (found != search.definitions.end()) definition = &choose_definition(*found, search.preferred);
    }
    slot = {hash, name.data(), name.size(), definition};
    return definition;
}

}  // namespace

// A byte that cannot begin a sequence counts alone; else the byte and the
// continuation bytes right after it count together.
uint32_t invalid_sequence_length(const unsigned char* p, const unsigned char* end) {
    if (utf8::internal::sequence_length(p) == 0) return 1;
    const unsigned char* q = p + 1;
    while (q != end && utf8::internal::is_trail(*q)) ++q;
    return static_cast<uint32_t>(q - p);
}

const size_t PARSE_MEMORY_BUDGET = [] {
    size_t memory = physical_memory();
    return memory == 0 ? MAX_PARSE_MEMORY_BUDGET : std::min(memory / 4, MAX_PARSE_MEMORY_BUDGET);
}();

Parse_Limits g_parse_limits;

std::atomic<bool> g_scans_cancelled{false};

size_t parse_memory_held() { return g_parse_memory.held.load(std::memory_order_relaxed); }

size_t last_parse_peak() { return g_parse_memory.peak.load(std::memory_order_relaxed); }

bool (*g_refuse_parse_allocation)(size_t size) = nullptr;

size_t scan_memory_budget() {
    size_t room = memory_room();
    if (room == SIZE_MAX) return g_parse_limits.memory_budget;
    if (g_parse_memory.reserve == nullptr) room -= reserve_size(room);
    return std::min(g_parse_limits.memory_budget, room / 2);
}

size_t mappable_bytes(size_t limit) {
    constexpr size_t GRAIN = size_t{1} << 20;
    size_t fits = 0;              // grains known to fit
    size_t most = limit / GRAIN;  // grains that could
    while (fits < most) {
        size_t trial = most - (most - fits) / 2;
        void* start = mmap(nullptr, trial * GRAIN, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (start == MAP_FAILED) {
            most = trial - 1;
            continue;
        }
        munmap(start, trial * GRAIN);
        fits = trial;
    }
    return fits * GRAIN;
}

void initialize_tree_sitter_globals() {
    if (!g_allocator_installed) {
        ts_set_allocator(parse_malloc, parse_calloc, parse_realloc, parse_free);
        g_allocator_installed = true;
    }
    if (!set_aside_reserve()) return;
    for (int i = 0; i < LANGUAGE_COUNT; ++i) {
        if (language_data_table[i].parser == nullptr)
            initialize_language_data(language_data_table[i], i + 1, grammar_functions[i]());
    }
}

void release_parsers() {
    for (Language_Data& data : language_data_table) {
        if (data.parser != nullptr) ts_parser_delete(data.parser);
        data = Language_Data{};
    }
    unmap_reserves();
}

Language_Data* get_language_data(Language language) {
    if (language < 2 || language > LANGUAGE_COUNT) return &language_data_table[0];
    return &language_data_table[language - 1];
}

void scan_file(const std::string& path, const std::string& text, Scanner& scanner,
               Language language) {
    initialize_tree_sitter_globals();
    const Language_Data* data = get_language_data(language);
    forget_file(scanner, path);
    if (text.empty() || text.size() > UINT32_MAX || g_scans_cancelled || data->parser == nullptr) return;
    try {
        index_file(path, text, scanner, *data, language);
    } catch (const std::bad_alloc&) {
        forget_file(scanner, path);
    }
    // A stop is followed by the unload or the exit: it does not wait for a trim.
    if (last_parse_peak() > g_parse_limits.trim_threshold && !g_scans_cancelled) malloc_trim(0);
}

void clear(Scanner& scanner) {
    scanner.definitions = Definition_Map();
    scanner.files = File_Map();
    scanner.name_filter = Name_Filter();
    malloc_trim(0);
}

std::vector<Definition_Link> get_definitions_from_text(const std::string& text,
                                                       const Scanner& scanner,
                                                       const std::vector<std::string>& preferred_paths,
                                                       bool compound_only) {
    std::vector<Definition_Link> links;
    if (text.empty() || scanner.definitions.empty()) return links;
    Search search{scanner.definitions, scanner.name_filter,
                  find_preferred_definitions(preferred_paths, scanner),
                  std::vector<Lookup_Slot>(LOOKUP_CACHE_SLOTS)};
    // Code-point counts are 32-bit, so they cover at most UINT32_MAX bytes.
    Text_Position at{reinterpret_cast<const unsigned char*>(text.data()), 0};
    const unsigned char* end = at.p + std::min<size_t>(text.size(), UINT32_MAX);
    for (;;) {
        uint32_t first_length = skip_separators(at, end);
        if (first_length == 0) return links;
        Text_Position identifier = at;
        bool compound = *at.p == '_';
        at.p += first_length;
        ++at.index;
        skip_identifier_rest(at, end, compound);
        if (compound_only && !compound) continue;
        std::string_view name(reinterpret_cast<const char*>(identifier.p), at.p - identifier.p);
        const Definition* definition = look_up(name, search);
        if (definition != nullptr)
            links.push_back({identifier.index, at.index, definition->path, definition->position});
    }
}
