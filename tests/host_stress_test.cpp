// Many host threads at once: scans, finds (some waiting) and clears against
// real files. Every callback runs at most once, exactly once where nothing can
// discard its request, and the count returns to 0 when the queues drain.
#include "host_support.h"

namespace {

constexpr int THREADS = 16;
constexpr int FILES = 24;

enum class Kind : uint8_t { scan, find, waiting_find, clear };

// What one thread did with each of its operations and what came back.
struct Operation {
    Kind kind = Kind::clear;
    int file = 0;
    std::atomic<int> calls = 0;
    bool blocks_well_formed = true;
};

class Host_Stress_Test : public testing::Test {
protected:
    Temp_Dir dir;
    std::vector<std::string> paths;

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(load_vantrel());
        for (int i = 0; i < FILES; ++i) {
            paths.push_back(dir / ("m" + std::to_string(i) + ".py"));
            // Every fourth file is missing: its scans index an empty text.
            if (i % 4 != 3) write_file(paths.back(), "def f" + std::to_string(i) + "():\n    pass\n");
        }
    }

    void TearDown() override { EXPECT_TRUE(stop_returns()); }

    // Runs operations_per_thread operations on each of THREADS threads; a
    // clear is one operation in clear_one_in (never when 0).
    std::vector<std::unique_ptr<Operation>> storm(int operations_per_thread, int clear_one_in);
};

void count_scan(uint64_t context) { ++object_of<Operation>(context).calls; }

// Checks the records against the blocks they came in: each path points just
// past the NUL of the one before, inside the string buffer.
void count_find(uint64_t context, Host_Definition_Link* links, uint64_t count, char* strings) {
    Operation& operation = object_of<Operation>(context);
    const char* expected = strings;
    for (uint64_t i = 0; i < count; ++i) {
        operation.blocks_well_formed = operation.blocks_well_formed && links[i].path == expected &&
                                       links[i].end > links[i].start;
        expected += strlen(links[i].path) + 1;
    }
    operation.blocks_well_formed = operation.blocks_well_formed && (count == 0) == (links == nullptr);
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
    ++operation.calls;
}

std::string text_naming(int file) { return "x = f" + std::to_string(file) + "() + f" + std::to_string(file / 2) + "()"; }

void run(Operation& operation, const std::string& path) {
    if (operation.kind == Kind::scan) {
        enqueue_scan(path, count_scan, context_of(&operation));
    } else if (operation.kind == Kind::clear) {
        g_vantrel.enqueue_clear();
    } else {
        std::string text = text_naming(operation.file);
        g_vantrel.enqueue_find_symbols_in_text(count_find, context_of(&operation), text.data(),
                                               static_cast<uint32_t>(text.size()), false,
                                               operation.kind == Kind::waiting_find, nullptr, 0);
    }
}

Kind pick_kind(uint32_t roll, int clear_one_in) {
    if (clear_one_in != 0 && roll % clear_one_in == 0) return Kind::clear;
    roll /= 7;
    return roll % 10 < 5 ? Kind::scan : roll % 10 < 8 ? Kind::find : Kind::waiting_find;
}

std::vector<std::unique_ptr<Operation>> Host_Stress_Test::storm(int operations_per_thread, int clear_one_in) {
    std::vector<std::unique_ptr<Operation>> operations;
    for (int i = 0; i < THREADS * operations_per_thread; ++i) operations.push_back(std::make_unique<Operation>());
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            uint32_t state = 2654435761u * (t + 1);
            for (int i = 0; i < operations_per_thread; ++i) {
                state = state * 1664525u + 1013904223u;
                Operation& operation = *operations[t * operations_per_thread + i];
                operation.kind = pick_kind(state >> 8, clear_one_in);
                operation.file = static_cast<int>((state >> 4) % FILES);
                run(operation, paths[operation.file]);
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(idle()) << "the count did not return to 0";
    return operations;
}

TEST_F(Host_Stress_Test, WithoutClearsEveryFindIsAnsweredOnceAndEveryFileIndexed) {
    std::vector<std::unique_ptr<Operation>> operations = storm(1000, 0);
    std::vector<bool> file_scanned(FILES, false);
    for (const auto& operation : operations) {
        if (operation->kind == Kind::scan) {
            EXPECT_LE(operation->calls, 1);
            if (operation->calls == 1) file_scanned[operation->file] = true;
        } else {
            EXPECT_EQ(operation->calls, 1);
            EXPECT_TRUE(operation->blocks_well_formed);
        }
    }
    std::string all_names;
    for (int file = 0; file < FILES; ++file) {
        EXPECT_TRUE(file_scanned[file]) << paths[file];
        all_names += " f" + std::to_string(file);
    }
    EXPECT_EQ(find_links(all_names).size(), static_cast<size_t>(FILES - FILES / 4));
}

TEST_F(Host_Stress_Test, WithClearsNoCallbackRunsTwiceAndTheCountDrains) {
    std::vector<std::unique_ptr<Operation>> operations = storm(2000, 40);
    int clears = 0;
    for (const auto& operation : operations) {
        EXPECT_LE(operation->calls, 1);
        EXPECT_TRUE(operation->blocks_well_formed);
        clears += operation->kind == Kind::clear;
    }
    EXPECT_GT(clears, 0);
}

}  // namespace
