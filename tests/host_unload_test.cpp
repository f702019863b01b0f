// A host that unloads the library, or exits, without enqueue_stop while the
// worker is busy: the library stops its worker first instead of running it
// over destroyed objects or unmapped code. A library loaded, used and
// unloaded again and again leaves nothing behind.
#include <malloc.h>

#include "host_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators keep their own count (declared in
// sanitizer/allocator_interface.h, which GCC does not ship).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// Bytes that the allocator has handed out and not had back.
int64_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return static_cast<int64_t>(__sanitizer_get_current_allocated_bytes());
#else
    struct mallinfo2 info = mallinfo2();
    return static_cast<int64_t>(info.uordblks + info.hblkhd);
#endif
}

void drop_answer(uint64_t, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
}

// Keeps the worker busy for a while with searches of a long text.
void queue_long_searches(int count) {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "word" + std::to_string(i) + " ";
    for (int i = 0; i < count; ++i)
        g_vantrel.enqueue_find_symbols_in_text(drop_answer, 0, text.data(),
                                               static_cast<uint32_t>(text.size()), false, false,
                                               nullptr, 0);
}

TEST(Host_Unload_Test, DlcloseWhileTheWorkerRunsStopsItAndUnloads) {
    ASSERT_NO_FATAL_FAILURE(load_vantrel());
    queue_long_searches(200);
    ASSERT_EQ(dlclose(g_vantrel.handle), 0);
    EXPECT_EQ(dlopen(VANTREL_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST(Host_Unload_Test, LibraryLoadedAgainAfterDlcloseStartsAfresh) {
    ASSERT_NO_FATAL_FAILURE(load_vantrel());
    queue_long_searches(200);
    dlclose(g_vantrel.handle);
    ASSERT_NO_FATAL_FAILURE(load_vantrel());
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 0u);
    Find_Result result;
    g_vantrel.enqueue_find_symbols_in_text(collect_links, context_of(&result), "word", 4, false, true,
                                           nullptr, 0);
    EXPECT_EQ(result.calls, 1);
    EXPECT_TRUE(stop_returns());
}

// A scan sets up the parsers of all fourteen languages.
void load_scan_stop_unload(const std::string& path) {
    ASSERT_NO_FATAL_FAILURE(load_vantrel());
    ASSERT_NO_FATAL_FAILURE(scan(path));
    ASSERT_TRUE(stop_returns());
    ASSERT_EQ(dlclose(g_vantrel.handle), 0);
}

TEST(Host_Unload_Test, LoadScanStopUnloadCyclesLeaveNothingBehind) {
    Temp_Dir dir;
    std::string path = dir / "a.py";
    write_file(path, "class A:\n    def f(self):\n        return 1\n");
    // The first cycles leave what the process keeps once for all (the
    // worker's arena, the loader's tables).
    for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(load_scan_stop_unload(path));
    int64_t before = heap_in_use();
    constexpr int cycles = 100;
    for (int i = 0; i < cycles; ++i) ASSERT_NO_FATAL_FAILURE(load_scan_stop_unload(path));
    EXPECT_LT((heap_in_use() - before) / cycles, 4096) << "bytes left per cycle";
}

class Host_Exit_Test : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(Host_Exit_Test, ExitWhileTheWorkerRunsEndsTheProcessCleanly) {
    EXPECT_EXIT(
        {
            load_vantrel();
            queue_long_searches(200);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(Host_Exit_Test, ExitFromAWorkerCallbackEndsTheProcessCleanly) {
    EXPECT_EXIT(
        {
            load_vantrel();
            g_vantrel.enqueue_scan_file([](uint64_t) { std::exit(0); }, 0, "", 0, VANTREL_LUA);
            for (;;) pause();
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
