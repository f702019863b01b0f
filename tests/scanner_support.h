// Helpers shared by the scanner tests: reading the sample sources and taking
// a comparable snapshot of an index.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "scanner.h"

// One definition as the index holds it, in a form tests can compare.
struct Indexed_Definition {
    std::string path;
    uint32_t row;
    uint32_t column;

    friend bool operator==(const Indexed_Definition&, const Indexed_Definition&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const Indexed_Definition& definition) {
    return out << definition.path << ':' << definition.row << ':' << definition.column;
}

// Name -> its definitions, in the index's order.
using Index_Snapshot = std::map<std::string, std::vector<Indexed_Definition>>;

inline Index_Snapshot snapshot(const Scanner& scanner) {
    Index_Snapshot result;
    for (const auto& [name, definitions] : scanner.definitions) {
        std::vector<Indexed_Definition>& copies = result[name];
        for_each_definition(definitions, [&copies](const Definition& definition) {
            copies.push_back({std::string(definition.path), definition.position.row,
                              definition.position.column});
        });
    }
    return result;
}

// The sample source of each language in tests/sources.
struct Sample_File {
    const char* file_name;
    Language language;
};

inline std::ostream& operator<<(std::ostream& out, const Sample_File& sample) { return out << sample.file_name; }

inline const Sample_File SAMPLE_FILES[] = {
    {"sample.py", 1},   {"sample.js", 2},     {"sample.go", 3},    {"sample.php", 4}, {"sample.rs", 5},
    {"sample.cpp", 6},  {"sample.java", 7},   {"sample.cs", 8},    {"sample.kt", 9},  {"sample.swift", 10},
    {"sample.dart", 11}, {"sample.R", 12},    {"sample.rb", 13},   {"sample.lua", 14}};

inline std::string read_sample(const std::string& file_name) {
    std::ifstream file(std::string(VANTREL_TEST_SOURCES) + "/" + file_name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
