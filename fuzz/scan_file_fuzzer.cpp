// Re-indexes a file of arbitrary bytes in any language, next to a file that
// stays indexed, and checks the index against the text; then rescans the file
// empty and checks that exactly its definitions are gone. The first byte of
// the input chooses the language (values 0 and 15 stand for the ones outside
// 1..14), the rest is the file's text.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "scanner.h"

namespace {

const std::string k_fuzzed = "fuzzed";
const std::string k_kept = "kept.py";

using Index_Entries =
    std::map<std::string, std::vector<std::tuple<std::string, uint32_t, uint32_t>>>;

Index_Entries entries_of(const Scanner& scanner) {
    Index_Entries entries;
    for (const auto& [name, definitions] : scanner.definitions) {
        auto& copies = entries[name];
        for_each_definition(definitions, [&copies](const Definition& definition) {
            copies.emplace_back(std::string(definition.path), definition.position.row,
                                definition.position.column);
        });
    }
    return entries;
}

// Byte offset of a tree-sitter point: rows end at '\n', columns count bytes.
size_t offset_of(const std::string& text, TSPoint point) {
    size_t offset = 0;
    for (uint32_t row = 0; row < point.row; ++row) {
        offset = text.find('\n', offset);
        if (offset == std::string::npos) abort();
        ++offset;
    }
    return offset + point.column;
}

void check_definitions(const Scanner& scanner, const std::string& text) {
    size_t fuzzed_names = 0;
    for (const auto& entry : scanner.definitions) {
        const std::string& name = entry.first;
        if (name.empty() || definition_count(entry.second) == 0) abort();
        const Definition* previous = nullptr;
        for_each_definition(entry.second, [&](const Definition& definition) {
            // One per file, in byte order.
            if (previous != nullptr && !(previous->path < definition.path)) abort();
            previous = &definition;
            if (definition.path == k_kept) return;
            if (definition.path != k_fuzzed) abort();
            ++fuzzed_names;
            size_t offset = offset_of(text, definition.position);
            if (offset > text.size() || text.size() - offset < name.size()) abort();
            if (text.compare(offset, name.size(), name) != 0) abort();
        });
    }
    auto file = scanner.files.find(k_fuzzed);
    size_t listed = file == scanner.files.end() ? 0 : file->second.names.size();
    if (listed != fuzzed_names) abort();
}

Scanner& scanner_with_kept_file() {
    static Scanner scanner = [] {
        Scanner fresh;
        scan_file(k_kept, "class Kept:\n    def method(self):\n        pass\n\ndef run(): pass\n",
                  fresh, 1);
        return fresh;
    }();
    return scanner;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Scanner& scanner = scanner_with_kept_file();
    static const Index_Entries kept_only = entries_of(scanner);
    Language language = data[0] % 16;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    scan_file(k_fuzzed, text, scanner, language);
    check_definitions(scanner, text);
    scan_file(k_fuzzed, "", scanner, language);
    if (entries_of(scanner) != kept_only || scanner.files.count(k_fuzzed) != 0) abort();
    return 0;
}
