// A host that unloads the library, or exits, without enqueue_stop while the
// worker is busy: the library stops its worker first instead of running it
// over destroyed objects or unmapped code.
#include "host_support.h"

namespace {

void drop_answer(uint64_t, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
}

// Keeps the worker busy for a while with searches of a long text. Scans are
// left out: they would create parsers that an unload cannot release.
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
