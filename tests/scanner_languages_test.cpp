// The language table and what each language's rule records from a realistic
// source file.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "scanner.h"
#include "scanner_support.h"

namespace {

// The named node type each symbol slot of a language holds; null: slot unused.
struct Expected_Symbols {
    Language language;
    const TSLanguage* (*grammar)(void);
    const char* class_type;
    const char* struct_type;
    const char* function_type;
    const char* method_type;
    const char* type_definition_type;
    const char* type_identifier_type;
    const char* identifier_type;
};

const std::vector<Expected_Symbols> expected_symbols = {
    {1, tree_sitter_python, "class_definition", nullptr, "function_definition", nullptr, nullptr, nullptr, nullptr},
    {2, tree_sitter_javascript, "class_declaration", nullptr, "function_declaration", "method_definition", nullptr, nullptr, nullptr},
    {3, tree_sitter_go, "type_spec", nullptr, "function_declaration", "method_declaration", nullptr, nullptr, nullptr},
    {4, tree_sitter_php, "class_declaration", nullptr, "function_definition", "method_declaration", nullptr, nullptr, nullptr},
    {5, tree_sitter_rust, "struct_item", nullptr, "function_item", nullptr, nullptr, nullptr, nullptr},
    {6, tree_sitter_cpp, "class_specifier", "struct_specifier", "function_declarator", nullptr, "type_definition", nullptr, nullptr},
    {7, tree_sitter_java, "class_declaration", nullptr, nullptr, "method_declaration", nullptr, nullptr, nullptr},
    {8, tree_sitter_c_sharp, "class_declaration", "struct_declaration", nullptr, "method_declaration", nullptr, nullptr, nullptr},
    {9, tree_sitter_kotlin, "class_declaration", nullptr, "function_declaration", nullptr, nullptr, "type_identifier", "simple_identifier"},
    {10, tree_sitter_swift, "class_declaration", nullptr, "function_declaration", nullptr, nullptr, nullptr, nullptr},
    {11, tree_sitter_dart, "class_definition", nullptr, "function_signature", "method_signature", nullptr, nullptr, "identifier"},
    {12, tree_sitter_r, nullptr, nullptr, "function_definition", nullptr, nullptr, nullptr, nullptr},
    {13, tree_sitter_ruby, "class", nullptr, nullptr, "method", nullptr, nullptr, nullptr},
    {14, tree_sitter_lua, nullptr, nullptr, "function_declaration", nullptr, nullptr, nullptr, nullptr},
};

// Checks that a slot holds the named node type of that name, or 0.
void expect_symbol(const TSLanguage* grammar, TSSymbol symbol, const char* type, const char* slot) {
    SCOPED_TRACE(slot);
    if (type == nullptr) {
        EXPECT_EQ(symbol, 0);
        return;
    }
    ASSERT_NE(symbol, 0);
    EXPECT_STREQ(ts_language_symbol_name(grammar, symbol), type);
    EXPECT_EQ(ts_language_symbol_type(grammar, symbol), TSSymbolTypeRegular);
}

// Runs first in this program, so that no scan has set anything up before it
// (ctest also runs each test in a process of its own).
TEST(Language_Table, first_scan_of_an_empty_text_sets_up_all_fourteen_languages) {
    for (Language language = 1; language <= 14; ++language)
        EXPECT_EQ(get_language_data(language)->parser, nullptr) << "language " << language;

    Scanner scanner;
    scan_file("empty.rb", "", scanner, 13);

    for (const Expected_Symbols& expected : expected_symbols) {
        const Language_Data* data = get_language_data(expected.language);
        EXPECT_NE(data->parser, nullptr) << "language " << expected.language;
        EXPECT_EQ(data->language, expected.grammar()) << "language " << expected.language;
    }
}

TEST(Language_Table, later_scans_reuse_the_parsers) {
    Scanner scanner;
    scan_file("a.py", "def a(): pass\n", scanner, 1);
    std::vector<TSParser*> parsers;
    for (Language language = 1; language <= 14; ++language)
        parsers.push_back(get_language_data(language)->parser);

    scan_file("b.go", "package b\nfunc B() {}\n", scanner, 3);
    scan_file("c.lua", "function c() end\n", scanner, 14);

    for (Language language = 1; language <= 14; ++language)
        EXPECT_EQ(get_language_data(language)->parser, parsers[language - 1]);
}

TEST(Language_Table, values_outside_one_to_fourteen_get_the_python_record) {
    const Language_Data* python = get_language_data(1);
    EXPECT_EQ(get_language_data(0), python);
    EXPECT_EQ(get_language_data(15), python);
    EXPECT_EQ(get_language_data(-1), python);
    EXPECT_EQ(get_language_data(INT64_MIN), python);
    EXPECT_NE(get_language_data(2), python);
    EXPECT_NE(get_language_data(14), python);
}

TEST(Language_Table, each_language_holds_the_node_types_of_its_definitions_and_zero_elsewhere) {
    initialize_tree_sitter_globals();
    for (const Expected_Symbols& expected : expected_symbols) {
        SCOPED_TRACE("language " + std::to_string(expected.language));
        const Language_Data* data = get_language_data(expected.language);
        const TSLanguage* grammar = data->language;
        expect_symbol(grammar, data->class_symbol, expected.class_type, "class_symbol");
        expect_symbol(grammar, data->struct_symbol, expected.struct_type, "struct_symbol");
        expect_symbol(grammar, data->function_symbol, expected.function_type, "function_symbol");
        expect_symbol(grammar, data->method_symbol, expected.method_type, "method_symbol");
        expect_symbol(grammar, data->type_definition_symbol, expected.type_definition_type,
                      "type_definition_symbol");
        expect_symbol(grammar, data->type_identifier_symbol, expected.type_identifier_type,
                      "type_identifier_symbol");
        expect_symbol(grammar, data->identifier_symbol, expected.identifier_type, "identifier_symbol");
    }
}

TEST(Language_Table, ruby_class_and_method_are_the_named_node_types_not_the_keywords) {
    initialize_tree_sitter_globals();
    const Language_Data* ruby = get_language_data(13);
    EXPECT_EQ(ruby->class_symbol, ts_language_symbol_for_name(ruby->language, "class", 5, true));
    EXPECT_NE(ruby->class_symbol, ts_language_symbol_for_name(ruby->language, "class", 5, false));
    EXPECT_EQ(ruby->method_symbol, ts_language_symbol_for_name(ruby->language, "method", 6, true));
}

TEST(Language_Table, fields_resolve_where_the_grammar_has_them) {
    initialize_tree_sitter_globals();
    EXPECT_EQ(get_language_data(9)->name_field, 0) << "the Kotlin grammar has no field \"name\"";
    EXPECT_NE(get_language_data(6)->declarator_field, 0);
    EXPECT_NE(get_language_data(12)->lhs_field, 0);
    EXPECT_NE(get_language_data(1)->name_field, 0);
    EXPECT_EQ(get_language_data(1)->lhs_field, 0);
}

// ---- What each language's rule records from its sample source ----

struct Expected_Definition {
    std::string name;
    uint32_t row;
    uint32_t column;
};

struct Sample {
    const char* file_name;
    Language language;
    std::vector<Expected_Definition> definitions;  // every one the file holds
};

void PrintTo(const Sample& sample, std::ostream* out) { *out << sample.file_name; }

class Sample_Source : public testing::TestWithParam<Sample> {};

// Each sample holds a syntax error: definitions are still recorded around it.
TEST_P(Sample_Source, has_a_syntax_error) {
    const Sample& sample = GetParam();
    std::string text = read_sample(sample.file_name);
    ASSERT_FALSE(text.empty());
    initialize_tree_sitter_globals();
    TSTree* tree = ts_parser_parse_string(get_language_data(sample.language)->parser, nullptr,
                                          text.data(), static_cast<uint32_t>(text.size()));
    EXPECT_TRUE(ts_node_has_error(ts_tree_root_node(tree)));
    ts_tree_delete(tree);
}

TEST_P(Sample_Source, records_every_definition_at_the_position_of_its_name) {
    const Sample& sample = GetParam();
    Scanner scanner;
    scan_file(sample.file_name, read_sample(sample.file_name), scanner, sample.language);

    Index_Snapshot expected;
    for (const Expected_Definition& definition : sample.definitions)
        expected[definition.name].push_back({sample.file_name, definition.row, definition.column});
    EXPECT_EQ(snapshot(scanner), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, Sample_Source,
    testing::Values(
        // Python: classes, methods, a function nested in a method; of the two
        // __init__ methods the later one stays.
        Sample{"sample.py", 1,
               {{"Item", 6, 6}, {"total", 10, 8}, {"Inventory", 14, 6}, {"add", 18, 8},
                {"current", 19, 12}, {"reorder_list", 24, 8}, {"Warehouse", 28, 6},
                {"__init__", 29, 8}, {"transfer", 33, 8}, {"load_inventory", 38, 4}}},
        // JavaScript: a function expression is no declaration; of the two
        // schedule methods the later one stays.
        Sample{"sample.js", 2,
               {{"EventQueue", 2, 6}, {"constructor", 3, 2}, {"next", 12, 2},
                {"formatTime", 17, 9}, {"pad", 18, 11}, {"RecurringEvent", 28, 6},
                {"schedule", 29, 2}}},
        // Go: every type spec (structs and interfaces alike), functions and
        // methods; closures and interface methods are not recorded.
        Sample{"sample.go", 3,
               {{"Account", 5, 5}, {"Ledger", 10, 5}, {"Store", 14, 5}, {"NewLedger", 20, 5},
                {"Transfer", 24, 17}, {"Total", 37, 17}, {"String", 45, 17}}},
        // PHP: interfaces are not recorded, but their method declarations are;
        // the class's apply comes later and stays.
        Sample{"sample.php", 4,
               {{"PercentOff", 9, 6}, {"__construct", 11, 20}, {"apply", 15, 20}, {"Cart", 21, 6},
                {"add", 25, 20}, {"total", 30, 20}, {"format_price", 37, 9},
                {"cart_summary", 43, 9}}},
        // Rust: structs and every function item, methods and nested ones too.
        Sample{"sample.rs", 5,
               {{"TileKey", 4, 11}, {"TileCache", 10, 11}, {"new", 22, 11}, {"get", 26, 11},
                {"insert", 34, 11}, {"evict", 35, 11}, {"tile_bytes", 48, 3},
                {"hit_ratio", 52, 7}}},
        // C++: function declarators are keyed by their exact declarator text,
        // qualified or not, in declarations as in definitions; typedefs by
        // their declarator; the constructor's declaration comes after the class
        // name and replaces it.
        Sample{"sample.cpp", 6,
               {{"Sample", 4, 14}, {"Frame", 8, 2}, {"Stats", 10, 7}, {"RingBuffer", 17, 13},
                {"push", 18, 9}, {"stats", 19, 10}, {"RingBuffer::RingBuffer", 26, 0},
                {"RingBuffer::push", 28, 5}, {"RingBuffer::stats", 33, 6}, {"clamp", 44, 2},
                {"mix", 49, 14}}},
        // Java: classes and methods, interface methods included; constructors
        // and interfaces are not recorded.
        Sample{"sample.java", 7,
               {{"Library", 6, 13}, {"addBook", 12, 16}, {"available", 16, 22}, {"Book", 26, 17},
                {"isOnLoan", 34, 16}, {"lend", 38, 13}, {"overdue", 44, 13},
                {"countOnLoan", 47, 16}}},
        // C#: structs count like classes; constructors and properties do not.
        Sample{"sample.cs", 8,
               {{"Reading", 5, 18}, {"Fahrenheit", 10, 22}, {"Station", 13, 17}, {"Record", 24, 20},
                {"Average", 29, 22}, {"Conversions", 40, 24}, {"ToKelvin", 42, 29}}},
        // Kotlin: names come from the first type_identifier or
        // simple_identifier child, so an extension function is keyed by its
        // own name; objects are not recorded.
        Sample{"sample.kt", 9,
               {{"Priority", 4, 11}, {"Task", 6, 11}, {"TaskSource", 8, 10}, {"load", 9, 8},
                {"TaskBoard", 12, 6}, {"add", 15, 8}, {"overdue", 19, 8}, {"isLate", 20, 12},
                {"byPriority", 24, 8}, {"asTitle", 31, 11}, {"summary", 33, 4}}},
        // Swift: structs, enums and extensions are class declarations, so the
        // extension of Canvas replaces the class; protocol requirements and
        // initialisers are not recorded.
        Sample{"sample.swift", 10,
               {{"Circle", 6, 7}, {"area", 9, 9}, {"add", 19, 9}, {"totalArea", 23, 9},
                {"sum", 24, 13}, {"Unit", 31, 5}, {"Canvas", 35, 10}, {"describe", 36, 9},
                {"scaled", 41, 5}}},
        // Dart: classes and function signatures by their name field, local
        // functions included; constructors are not recorded; the last of the
        // three area signatures stays.
        Sample{"sample.dart", 11,
               {{"Shape", 2, 15}, {"Rectangle", 6, 6}, {"scaled", 15, 12}, {"Circle", 20, 6},
                {"area", 26, 9}, {"square", 27, 11}, {"totalArea", 32, 7}, {"main", 36, 5}}},
        // R: a function is named by the left-hand side of the assignment it
        // stands in, as written; an anonymous function is not recorded.
        Sample{"sample.R", 12,
               {{"read_readings", 2, 0}, {"monthly_mean", 8, 0}, {"month_of", 9, 2},
                {"hottest_days", 13, 0}, {"scale_readings", 17, 0}, {"report$print", 22, 0},
                {"plot_trend", 26, 0}}},
        // Ruby: classes and instance methods; modules and singleton methods
        // are not recorded.
        Sample{"sample.rb", 13,
               {{"Order", 4, 8}, {"initialize", 7, 8}, {"add", 12, 8}, {"total", 17, 8},
                {"Product", 29, 8}, {"to_s", 30, 8}, {"checkout", 40, 4}}},
        // Lua: function declarations keyed by their name as written, table
        // fields and methods included.
        Sample{"sample.lua", 14,
               {{"Inventory.new", 5, 9}, {"Inventory:add", 9, 9}, {"Inventory:weight", 17, 9},
                {"item_weight", 18, 17}, {"describe", 28, 15}, {"format_inventory", 32, 9}}}),
    [](const testing::TestParamInfo<Sample>& info) {
        std::string name = info.param.file_name;
        return name.substr(name.find('.') + 1);
    });

}  // namespace
