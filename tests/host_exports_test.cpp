// A host sees exactly the nine functions of the public header in the
// library's dynamic symbol table: everything else, tree-sitter included, is
// hidden, so nothing of ours can clash with the host's own symbols.
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Dynamic_Symbol {
    char type;  // as nm prints it: 'T' for a function in the text section
    std::string name;
};

std::vector<Dynamic_Symbol> defined_dynamic_symbols(const std::string& library) {
    std::vector<Dynamic_Symbol> symbols;
    std::string command = "nm -D --defined-only '" + library + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> output(popen(command.c_str(), "r"), pclose);
    if (!output) return symbols;
    char line[4096];
    while (fgets(line, sizeof line, output.get()) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) symbols.push_back({type[0], name.substr(0, name.find('@'))});
    }
    return symbols;
}

TEST(Host_Exports_Test, DynamicSymbolTableDefinesExactlyTheNineFunctions) {
    std::set<std::string> names;
    for (const Dynamic_Symbol& symbol : defined_dynamic_symbols(VANTREL_LIBRARY)) {
        EXPECT_EQ(symbol.type, 'T') << symbol.name;
        names.insert(symbol.name);
    }
    EXPECT_EQ(names, (std::set<std::string>{
                         "lsp_set_executable_path", "start_workers", "enqueue_scan_file",
                         "enqueue_find_symbols_in_text", "enqueue_lsp_find_references",
                         "enqueue_clear", "enqueue_stop", "get_pending_tasks_count", "free_memory"}));
}

}  // namespace
