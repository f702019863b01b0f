// How requests are queued and served: finds and clears before scans,
// duplicate scans dropped, clears discarding queued work, waiting finds,
// stopping, and what calls after a stop do.
#include "host_support.h"

namespace {

class Host_Queue_Test : public Host_Test {
protected:
    std::string held = dir / "held.py";
    std::string a = dir / "a.py";
    std::string b = dir / "b.py";
};

std::string with_backslashes(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

TEST_F(Host_Queue_Test, FindQueuedAfterScansRunsBeforeThem) {
    latch.occupy_worker(held);
    enqueue_scan(a, log_scan, 1);
    enqueue_scan(b, log_scan, 2);
    enqueue_logged_find(10);
    latch.release();
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{10, 1, 2}));
}

TEST_F(Host_Queue_Test, FindsRunInTheOrderTheyWereQueued) {
    latch.occupy_worker(held);
    for (uint64_t context : {10, 11, 12, 13}) enqueue_logged_find(context);
    latch.release();
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{10, 11, 12, 13}));
}

TEST_F(Host_Queue_Test, ScanOfAQueuedPathIsDroppedEvenSpelledWithBackslashes) {
    latch.occupy_worker(held);
    enqueue_scan(a, log_scan, 1);
    enqueue_scan(with_backslashes(a), log_scan, 2);
    enqueue_scan(a, log_scan, 3);
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 2u);  // the held scan and the first of a
    latch.release();
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{1}));
}

TEST_F(Host_Queue_Test, ScanOfThePathInProgressIsQueuedAgain) {
    latch.occupy_worker(held);
    enqueue_scan(held, log_scan, 1);
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 2u);
    latch.release();
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{1}));
}

TEST_F(Host_Queue_Test, ClearDiscardsQueuedRequestsWithoutTheirCallbacks) {
    latch.occupy_worker(held);
    enqueue_scan(a, log_scan, 1);
    enqueue_scan(b, log_scan, 2);
    enqueue_logged_find(10);
    ASSERT_EQ(g_vantrel.get_pending_tasks_count(), 4u);
    g_vantrel.enqueue_clear();
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 2u);  // 4 + 1 - 3: the held scan and the clear
    latch.release();
    ASSERT_TRUE(idle());
    EXPECT_TRUE(logged_calls().empty());
}

TEST_F(Host_Queue_Test, ClearLetsADiscardedPathBeQueuedAgainAtOnce) {
    latch.occupy_worker(held);
    enqueue_scan(a, log_scan, 1);
    g_vantrel.enqueue_clear();
    enqueue_scan(a, log_scan, 2);
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 3u);
    latch.release();
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{2}));
}

TEST_F(Host_Queue_Test, ClearDoesNotStartTheWorker) {
    size_t threads = thread_count();
    g_vantrel.enqueue_clear();
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 1u);
    g_vantrel.start_workers();
    EXPECT_TRUE(idle());
}

TEST_F(Host_Queue_Test, ClearEmptiesTheIndex) {
    write_file(a, "def alpha():\n    pass\n");
    scan(a);
    ASSERT_EQ(find_links("alpha").size(), 1u);
    g_vantrel.enqueue_clear();
    ASSERT_TRUE(idle());
    EXPECT_TRUE(find_links("alpha").empty());
}

TEST_F(Host_Queue_Test, WaitingFindReturnsOnlyAfterItsCallback) {
    latch.occupy_worker(held);
    std::atomic<bool> callback_done = false;
    bool done_when_returned = false;
    Background_Call finder([&] {
        auto mark_done = [](uint64_t context, Host_Definition_Link*, uint64_t, char*) {
            object_of<std::atomic<bool>>(context) = true;
        };
        g_vantrel.enqueue_find_symbols_in_text(mark_done, context_of(&callback_done), "", 0, false,
                                               true, nullptr, 0);
        done_when_returned = callback_done;
    });
    ASSERT_TRUE(eventually([] { return g_vantrel.get_pending_tasks_count() == 2; }));
    latch.release();
    ASSERT_TRUE(finder.returns());
    EXPECT_TRUE(done_when_returned);
}

TEST_F(Host_Queue_Test, WaitingFindDiscardedByClearReturnsWithoutItsCallback) {
    latch.occupy_worker(held);
    Background_Call finder([] { enqueue_logged_find(10, true); });
    ASSERT_TRUE(eventually([] { return g_vantrel.get_pending_tasks_count() == 2; }));
    g_vantrel.enqueue_clear();
    EXPECT_TRUE(finder.returns());
    latch.release();
    ASSERT_TRUE(idle());
    EXPECT_TRUE(logged_calls().empty());
}

TEST_F(Host_Queue_Test, WorkerStartsFromManyThreadsAtOnceCreateOneWorker) {
    constexpr size_t starter_count = 8;
    std::atomic<bool> go = false;
    std::vector<std::thread> starters;
    for (size_t i = 0; i < starter_count; ++i)
        starters.emplace_back([&go] {
            while (!go) std::this_thread::yield();
            g_vantrel.start_workers();
        });
    // Counted with the starters running, so that threads a runtime starts
    // along with the first ones (a sanitizer's) are counted too.
    size_t threads = thread_count();
    go = true;
    for (std::thread& starter : starters) starter.join();
    EXPECT_TRUE(thread_count_returns_to(threads - starter_count + 1));
}

TEST_F(Host_Queue_Test, WaitingFindFromAWorkerCallbackDoesNotWaitForItself) {
    auto queue_waiting_find = [](uint64_t) { enqueue_logged_find(10, true); };
    enqueue_scan(a, queue_waiting_find, 0);
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{10}));
}

class Host_Stop_Test : public Host_Queue_Test {};

TEST_F(Host_Stop_Test, StopCompletesTheRequestInProgressAndLeavesQueuedOnesCounted) {
    latch.occupy_worker(held);
    enqueue_scan(a, log_scan, 1);
    enqueue_logged_find(10);
    Background_Call stopper([] { g_vantrel.enqueue_stop(); });
    uint64_t probes = probe_until_refused(dir);
    latch.release();
    ASSERT_TRUE(stopper.returns());
    EXPECT_TRUE(logged_calls().empty());
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 2 + probes);
}

TEST_F(Host_Stop_Test, StopReleasesAWaitingFindLeftQueued) {
    latch.occupy_worker(held);
    Background_Call finder([] { enqueue_logged_find(10, true); });
    ASSERT_TRUE(eventually([] { return g_vantrel.get_pending_tasks_count() == 2; }));
    Background_Call stopper([] { g_vantrel.enqueue_stop(); });
    probe_until_refused(dir);
    latch.release();
    ASSERT_TRUE(stopper.returns());
    EXPECT_TRUE(finder.returns());
    EXPECT_TRUE(logged_calls().empty());
}

TEST_F(Host_Stop_Test, StopBeforeAnyWorkerLeavesTheLibraryUsable) {
    g_vantrel.enqueue_stop();
    write_file(a, "def alpha():\n    pass\n");
    scan(a);
    EXPECT_EQ(find_links("alpha").size(), 1u);
}

TEST_F(Host_Stop_Test, CallsAfterStopAreIgnoredAndReturnAtOnce) {
    g_vantrel.start_workers();
    g_vantrel.enqueue_stop();
    size_t threads = thread_count_at_rest();
    enqueue_scan(a, log_scan, 1);
    EXPECT_TRUE(Background_Call([] { enqueue_logged_find(10, true); }).returns());
    g_vantrel.enqueue_clear();
    g_vantrel.start_workers();
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 0u);
    EXPECT_TRUE(thread_count_returns_to(threads));
    EXPECT_TRUE(logged_calls().empty());
}

TEST_F(Host_Stop_Test, SecondStopReturnsAtOnce) {
    g_vantrel.start_workers();
    g_vantrel.enqueue_stop();
    EXPECT_TRUE(stop_returns());
}

TEST_F(Host_Stop_Test, StopFromAWorkerCallbackEndsTheWorkerAfterIt) {
    auto stop_here = [](uint64_t context) {
        g_vantrel.enqueue_stop();
        log_scan(context);
    };
    latch.occupy_worker(held);
    enqueue_scan(a, stop_here, 1);
    enqueue_scan(b, log_scan, 2);
    latch.release();
    ASSERT_TRUE(eventually([] { return g_vantrel.get_pending_tasks_count() == 1; }));
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{1}));
    EXPECT_TRUE(stop_returns());
}

}  // namespace
