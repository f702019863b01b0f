// Find benchmark: indexes the whole corpus, then searches the corpus's Python
// files for identifiers that name indexed definitions, as a host does for the
// file it shows. A plain UTF-8 decode of the same texts is the reference rate.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <utf8.h>

#include "corpus.h"
#include "scanner.h"

namespace {

constexpr double k_find_target_mb_per_second = 150;
constexpr int k_runs = 3;

struct Search_Text {
    const std::string* path;
    const std::string* text;
};

struct Rate {
    double mb_per_second;
    size_t count;  // links found, or code points decoded, in one run
};

// The best of a few runs of work over every text: work returns its count.
template <typename Work>
Rate best_rate(const std::vector<Search_Text>& texts, size_t bytes, Work work) {
    double best_seconds = 0;
    size_t count = 0;
    for (int run = 0; run < k_runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        count = 0;
        for (const Search_Text& text : texts) count += work(text);
        double seconds = seconds_since(start);
        if (run == 0 || seconds < best_seconds) best_seconds = seconds;
    }
    return {bytes / 1e6 / best_seconds, count};
}

size_t count_code_points(const std::string& text) {
    size_t count = 0;
    for (auto it = text.begin(); it != text.end(); utf8::next(it, text.end())) ++count;
    return count;
}

// Python files whose text is valid UTF-8: what an invalid text yields is the
// scanner's choice, and a search that stops early would look fast.
std::vector<Search_Text> select_search_texts(const std::vector<Corpus_File>& files,
                                             size_t& left_out) {
    std::vector<Search_Text> texts;
    left_out = 0;
    for (const Corpus_File& file : files) {
        if (file.language != 1) continue;
        if (utf8::is_valid(file.text.begin(), file.text.end())) {
            texts.push_back({&file.path, &file.text});
        } else {
            ++left_out;
        }
    }
    return texts;
}

std::string concatenate(const std::vector<Search_Text>& texts) {
    std::string joined;
    for (const Search_Text& text : texts) {
        joined += *text.text;
        joined += '\n';
    }
    return joined;
}

void print_rate(const char* label, Rate rate, const char* counted, const char* note = "") {
    std::printf("%-31s %8.1f MB/s %9zu %s%s\n", label, rate.mb_per_second, rate.count, counted,
                note);
}

void index_corpus(const std::vector<Corpus_File>& files, Scanner& scanner) {
    auto start = std::chrono::steady_clock::now();
    for (const Corpus_File& file : files) scan_file(file.path, file.text, scanner, file.language);
    std::printf("index: every file scanned in %.1f s, %zu definitions under %zu names\n",
                seconds_since(start), count_definitions(scanner), scanner.definitions.size());
}

void print_find_rates(const std::vector<Search_Text>& texts, size_t bytes, const Scanner& scanner) {
    auto find = [&scanner](const Search_Text& text, bool prefer_own_path, bool compound_only) {
        std::vector<std::string> preferred;
        if (prefer_own_path) preferred.push_back(*text.path);
        return get_definitions_from_text(*text.text, scanner, preferred, compound_only).size();
    };
    Rate all = best_rate(texts, bytes,
                         [&find](const Search_Text& text) { return find(text, true, false); });
    char target[64];
    std::snprintf(target, sizeof target, "  (target >= %.0f MB/s: %s)", k_find_target_mb_per_second,
                  all.mb_per_second >= k_find_target_mb_per_second ? "met" : "MISSED");
    print_rate("find, own path preferred:", all, "links", target);
    print_rate("find, no preferred path:",
               best_rate(texts, bytes, [&find](const Search_Text& text) {
                   return find(text, false, false);
               }), "links");
    print_rate("find, compound_only, own path:",
               best_rate(texts, bytes, [&find](const Search_Text& text) {
                   return find(text, true, true);
               }), "links");

    std::string joined = concatenate(texts);
    std::string joined_path = "concatenated";
    std::vector<Search_Text> one_text = {{&joined_path, &joined}};
    print_rate("find, all joined, no preferred:",
               best_rate(one_text, joined.size(), [&find](const Search_Text& text) {
                   return find(text, false, false);
               }), "links");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Corpus_File> files = load_corpus(parse_corpus_options(argc, argv));
    print_corpus_summary(files);
    Scanner scanner;
    index_corpus(files, scanner);

    size_t left_out = 0;
    std::vector<Search_Text> texts = select_search_texts(files, left_out);
    size_t bytes = 0;
    for (const Search_Text& text : texts) bytes += text.text->size();
    if (bytes == 0) {
        std::fprintf(stderr, "the corpus holds no Python text to search\n");
        return 1;
    }
    std::printf("searched: %zu Python files, %.1f MB (%zu not valid UTF-8 left out), each as a\n"
                "          text of its own unless joined; best of %d runs\n",
                texts.size(), bytes / 1e6, left_out, k_runs);

    print_rate("decode only (utf8::next):", best_rate(texts, bytes, [](const Search_Text& text) {
                   return count_code_points(*text.text);
               }), "code points");
    print_find_rates(texts, bytes, scanner);
    return 0;
}
