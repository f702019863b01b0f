// Searches arbitrary bytes for identifiers that name definitions of a small
// index and checks every link: in text order, apart from each other, within
// the text, and, for valid UTF-8, naming an indexed definition as a whole
// identifier with the definition the preferred paths choose. The first byte
// of the input holds the flags, the rest is the text.
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include <utf8.h>

#include "scanner.h"

namespace {

const char* const k_first_file =
    "class Foo:\n    def fooBar(self): pass\n"
    "def foo(): pass\ndef FOO(): pass\ndef foo_bar(): pass\ndef _x(): pass\ndef _(): pass\n"
    "def __init__(): pass\ndef x1F(): pass\ndef caf\xC3\xA9(): pass\ndef shared(): pass\n";
const char* const k_second_file = "class Foo: pass\n\n\ndef shared(): pass\n";

const std::vector<std::vector<std::string>> k_preferences = {
    {}, {"b.py"}, {"a.py", "b.py"}, {"elsewhere.py", "b.py", "a.py"}};

const Scanner& small_index() {
    static Scanner scanner = [] {
        Scanner fresh;
        scan_file("a.py", k_first_file, fresh, 1);
        scan_file("b.py", k_second_file, fresh, 1);
        return fresh;
    }();
    return scanner;
}

bool is_ascii_word_byte(uint32_t c) {
    return c < 0x80 && (c == '_' || (c | 0x20) - 'a' < 26 || c - '0' < 10);
}

bool is_compound(const std::vector<uint32_t>& identifier) {
    if (identifier[0] == '_') return true;
    for (size_t i = 1; i < identifier.size(); ++i) {
        if (identifier[i] == '_' || identifier[i] - 'A' < 26) return true;
    }
    return false;
}

const Definition& chosen_definition(const Name_Definitions& definitions,
                                    const std::vector<std::string>& preferred) {
    for (const std::string& path : preferred) {
        const Definition* found = nullptr;
        for_each_definition(definitions, [&found, &path](const Definition& definition) {
            if (found == nullptr && definition.path == path) found = &definition;
        });
        if (found != nullptr) return *found;
    }
    return first_definition(definitions);
}

// For valid UTF-8: the link covers a whole identifier, naming an indexed
// definition, with the definition the preferences choose.
void check_link_in_valid_text(const Definition_Link& link, const std::vector<uint32_t>& code_points,
                              const std::vector<std::string>& preferred, bool compound_only) {
    std::vector<uint32_t> identifier(code_points.begin() + link.start,
                                     code_points.begin() + link.end);
    std::string name;
    utf8::utf32to8(identifier.begin(), identifier.end(), std::back_inserter(name));
    auto entry = small_index().definitions.find(name);
    if (entry == small_index().definitions.end()) abort();
    const Definition& expected = chosen_definition(entry->second, preferred);
    if (link.path != expected.path || link.position.row != expected.position.row ||
        link.position.column != expected.position.column)
        abort();
    uint32_t before = link.start > 0 ? code_points[link.start - 1] : ' ';
    if (before == '_' || (before < 0x80 && (before | 0x20) - 'a' < 26)) abort();
    if (link.end < code_points.size() && is_ascii_word_byte(code_points[link.end])) abort();
    bool ascii = true;
    for (uint32_t c : identifier) ascii = ascii && c < 0x80;
    if (compound_only && ascii && !is_compound(identifier)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Code points from U+0080 up are letters only under a UTF-8 locale.
    setlocale(LC_ALL, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool compound_only = data[0] & 1;
    const std::vector<std::string>& preferred =
        k_preferences[(data[0] >> 1) % k_preferences.size()];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    std::vector<Definition_Link> links =
        get_definitions_from_text(text, small_index(), preferred, compound_only);

    bool valid = utf8::is_valid(text.begin(), text.end());
    std::vector<uint32_t> code_points;
    if (valid) utf8::utf8to32(text.begin(), text.end(), std::back_inserter(code_points));
    size_t length = valid ? code_points.size() : text.size();
    for (size_t i = 0; i < links.size(); ++i) {
        const Definition_Link& link = links[i];
        if (link.end <= link.start || link.end > length) abort();
        if (i > 0 && links[i - 1].end >= link.start) abort();
        if (valid) check_link_in_valid_text(link, code_points, preferred, compound_only);
    }
    return 0;
}
