// The benchmark corpus: source files found under the root directories that
// bench/install_corpus.sh lists, read whole into memory so that no benchmark
// measures disk I/O. Header-only, shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scanner.h"

struct Corpus_File {
    std::string path;
    std::string text;
    Language language;
};

struct Corpus_Options {
    std::string roots_path = VANTREL_BENCH_CORPUS;
    size_t max_files = 0;  // 0: every file
};

constexpr std::array<const char*, 15> k_language_names = {
    "other", "Python", "JavaScript", "Go", "PHP", "Rust", "C++", "Java",
    "C#", "Kotlin", "Swift", "Dart", "R", "Ruby", "Lua"};

// The Language of a file by its extension; 0 for a file that is not source
// code of one of the fourteen languages. '.h' counts as C++: the corpus's
// headers are C++ headers.
inline Language language_of_path(const std::filesystem::path& path) {
    static const std::vector<std::pair<std::string_view, Language>> extensions = {
        {".py", 1}, {".pyi", 1}, {".js", 2}, {".mjs", 2}, {".cjs", 2}, {".go", 3},
        {".php", 4}, {".rs", 5}, {".cpp", 6}, {".cc", 6}, {".cxx", 6}, {".hpp", 6},
        {".hh", 6}, {".hxx", 6}, {".h", 6}, {".ipp", 6}, {".java", 7}, {".cs", 8},
        {".kt", 9}, {".kts", 9}, {".swift", 10}, {".dart", 11}, {".r", 12}, {".R", 12},
        {".rb", 13}, {".lua", 14}};
    std::string extension = path.extension().string();
    for (const auto& [known, language] : extensions) {
        if (extension == known) return language;
    }
    return 0;
}

inline const char* language_name(Language language) {
    return language >= 1 && language <= 14 ? k_language_names[language] : k_language_names[0];
}

[[noreturn]] inline void exit_with_usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--max-files N] [ROOTS_FILE]\n"
                         "ROOTS_FILE lists one corpus directory per line "
                         "(default: the one bench/install_corpus.sh writes)\n",
                 program);
    std::exit(2);
}

inline Corpus_Options parse_corpus_options(int argc, char** argv) {
    Corpus_Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--max-files" && i + 1 < argc) {
            options.max_files = std::strtoull(argv[++i], nullptr, 10);
        } else if (!argument.starts_with("-")) {
            options.roots_path = argument;
        } else {
            exit_with_usage(argv[0]);
        }
    }
    return options;
}

inline std::vector<std::string> read_roots(const std::string& roots_path) {
    std::ifstream list(roots_path);
    if (!list) {
        std::fprintf(stderr, "cannot read %s: run bench/install_corpus.sh first\n",
                     roots_path.c_str());
        std::exit(1);
    }
    std::vector<std::string> roots;
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) roots.push_back(line);
    }
    return roots;
}

// Source files under the roots in byte order of their paths; symbolic links
// are skipped, so no file is counted twice.
inline std::vector<std::filesystem::path> find_source_files(const std::vector<std::string>& roots) {
    std::vector<std::filesystem::path> files;
    for (const std::string& root : roots) {
        std::error_code error;
        auto options = std::filesystem::directory_options::skip_permission_denied;
        for (auto it = std::filesystem::recursive_directory_iterator(root, options, error);
             it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            if (error) break;
            if (!it->is_symlink(error) && it->is_regular_file(error) &&
                language_of_path(it->path()) != 0) {
                files.push_back(it->path());
            }
        }
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        return a.native() < b.native();
    });
    return files;
}

inline std::string read_whole_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Every source file of the corpus with its text, in a fixed pseudo-random
// order that spreads languages and file sizes evenly over a run.
inline std::vector<Corpus_File> load_corpus(const Corpus_Options& options) {
    std::vector<std::filesystem::path> paths = find_source_files(read_roots(options.roots_path));
    std::shuffle(paths.begin(), paths.end(), std::mt19937(20240611));
    if (options.max_files != 0 && paths.size() > options.max_files) paths.resize(options.max_files);
    std::vector<Corpus_File> files;
    files.reserve(paths.size());
    for (const auto& path : paths) {
        files.push_back({path.string(), read_whole_file(path), language_of_path(path)});
    }
    return files;
}

inline size_t total_bytes(const std::vector<Corpus_File>& files) {
    size_t bytes = 0;
    for (const Corpus_File& file : files) bytes += file.text.size();
    return bytes;
}

inline void print_corpus_summary(const std::vector<Corpus_File>& files) {
    std::array<size_t, 15> counts{};
    std::array<size_t, 15> bytes{};
    for (const Corpus_File& file : files) {
        counts[file.language] += 1;
        bytes[file.language] += file.text.size();
    }
    std::printf("corpus: %zu files, %.1f MB\n", files.size(), total_bytes(files) / 1e6);
    for (Language language = 1; language <= 14; ++language) {
        if (counts[language] == 0) continue;
        std::printf("  %-10s %6zu files %7.1f MB\n", language_name(language), counts[language],
                    bytes[language] / 1e6);
    }
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Number of (name, file) entries in the index.
inline size_t count_definitions(const Scanner& scanner) {
    size_t count = 0;
    for (const auto& [name, definitions] : scanner.definitions)
        count += definition_count(definitions);
    return count;
}
