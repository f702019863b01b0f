// Failures inside the library's calls and requests: memory that cannot be
// had, a worker thread that cannot be created, a host callback that throws.
// Each ends only the call or request it hit; no exception reaches the host and
// the library goes on serving.
#include <new>

#include "fake_server_support.h"
#include "host_support.h"
#include "memory_support.h"

namespace {

// While armed, every allocation through operator new of at least this many
// bytes fails, as in a process short of memory. The loaded library allocates
// through this process's operator new.
std::atomic<size_t> g_refused_size = SIZE_MAX;
std::atomic<size_t> g_refusals = 0;

struct Refuse_Allocations {
    explicit Refuse_Allocations(size_t from_size) { g_refused_size = from_size; }
    ~Refuse_Allocations() { g_refused_size = SIZE_MAX; }
};

}  // namespace

void* operator new(size_t size) {
    if (size >= g_refused_size) {
        ++g_refusals;
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

// Never refused: the parser of the server's answers allocates through it,
// and its blocks must reach the same free as the others.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}

// The replacement pairs malloc with free itself; GCC cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace {

using Host_Failure_Test = Host_Test;

void throw_from_find(uint64_t, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
    throw std::runtime_error("host callback failed");
}

TEST_F(Host_Failure_Test, FindCallbackThatThrowsReleasesItsWaiterAndTheWorkerGoesOn) {
    g_vantrel.enqueue_find_symbols_in_text(throw_from_find, 0, "", 0, false, true, nullptr, 0);
    EXPECT_TRUE(idle());
    enqueue_logged_find(10, true);
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{10}));
}

TEST_F(Host_Failure_Test, ScanCallbackThatThrowsEndsOnlyItsScan) {
    enqueue_scan(dir / "a.py", [](uint64_t) { throw std::runtime_error("host callback failed"); });
    enqueue_scan(dir / "b.py", log_scan, 2);
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{2}));
}

TEST_F(Host_Failure_Test, FindWhoseTextCannotBeCopiedIsDroppedAndItsCallerReturns) {
    std::string text(2 * MEGABYTE, 'x');
    {
        Refuse_Allocations refused(MEGABYTE);
        enqueue_logged_find(10, true, text);
    }
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 0u);
    EXPECT_TRUE(logged_calls().empty());
    enqueue_logged_find(11, true);
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{11}));
}

TEST_F(Host_Failure_Test, FileTooLargeToHoldIsIndexedAsUnreadable) {
    std::string path = dir / "big.py";
    std::string definition = "def alpha():\n    pass\n";
    write_file(path, definition);
    scan(path);
    ASSERT_EQ(find_links("alpha").size(), 1u);
    write_file(path, definition + std::string(2 * MEGABYTE, '#'));
    {
        Refuse_Allocations refused(MEGABYTE);
        enqueue_scan(path, log_scan, 7);
        ASSERT_TRUE(idle());
    }
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{7}));
    EXPECT_TRUE(find_links("alpha").empty());
}

TEST_F(Host_Failure_Test, SearchThatRunsOutOfMemoryReportsNoLinks) {
    std::string path = dir / "a.py";
    write_file(path, "def alpha():\n    pass\n");
    scan(path);
    std::string text;
    for (int i = 0; i < 300000; ++i) text += "alpha ";
    latch.occupy_worker(dir / "held.py");
    Find_Result result;
    Background_Call finder([&] {
        g_vantrel.enqueue_find_symbols_in_text(collect_links, context_of(&result), text.data(),
                                               static_cast<uint32_t>(text.size()), false, true,
                                               nullptr, 0);
    });
    ASSERT_TRUE(eventually([] { return g_vantrel.get_pending_tasks_count() == 2; }));
    {
        Refuse_Allocations refused(MEGABYTE);
        latch.release();
        ASSERT_TRUE(finder.returns());
    }
    EXPECT_EQ(result.calls, 1);
    EXPECT_TRUE(result.links.empty());
}

// A Python file announced to a server that holds its reply to initialize, so
// that the announcement of the file's first text stays unsent; the file then
// gets a text of 100 KiB, and is scanned again while every allocation past
// what reading it needs is refused.
class Announcement_Failure : public Linked_Fake_Server_Test {
protected:
    std::string x;
    // One long comment: the scan's own allocations stay small.
    std::string text = "# " + std::string(100 << 10, 'x') + "\ndef f():\n    pass\n";

    void rescan_refusing_copies_of_the_text() {
        setenv("VANTREL_FAKE_RESUME", (dir / "resume").c_str(), 1);
        use_server("hold_init");
        x = python_file("x.py", "old = 1\n");
        ASSERT_NO_FATAL_FAILURE(scan(x));
        write_file(x, text);
        // Reading takes the text, a byte to see the file's end and a terminator.
        Refuse_Allocations refused(text.size() + 3);
        enqueue_scan(x, log_scan, 7);
        ASSERT_TRUE(idle());
    }

    // Once the server has answered, it has received no didOpen of x.py.
    void expect_no_announcement_sent() {
        write_file(dir / "resume", "");
        ASSERT_EQ(answer_to(x, 0, 0).count, 2);
        for (const std::string& body : bodies_received()) EXPECT_FALSE(is_did_open(body)) << body;
    }
};

TEST_F(Announcement_Failure, TextOverTheByteCapIsNeverCopiedAndWithdrawsTheOlderOne) {
    g_lsp_limits.outgoing_bytes = 64 << 10;
    ASSERT_NO_FATAL_FAILURE(rescan_refusing_copies_of_the_text());
    EXPECT_EQ(g_refusals, 0u);
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{7}));
    expect_no_announcement_sent();
}

TEST_F(Announcement_Failure, ScanWhoseAnnouncementCannotBeMadeCallsItsCallbackOnce) {
    ASSERT_NO_FATAL_FAILURE(rescan_refusing_copies_of_the_text());
    EXPECT_GE(g_refusals, 1u);
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{7}));
    expect_no_announcement_sent();
}

// The worker's stack is mapped when it starts: with no room left for it, the
// system refuses the thread.
TEST_F(Host_Failure_Test, WorkerThatCannotBeCreatedIsStartedByALaterCall) {
    if (SANITIZED) GTEST_SKIP() << "RLIMIT_AS cannot be lowered under a sanitizer's shadow memory";
    size_t threads = thread_count();
    {
        Address_Space_Limit limit(address_space_in_use() + MEGABYTE);
        g_vantrel.start_workers();
    }
    EXPECT_EQ(thread_count(), threads);
    enqueue_logged_find(10, true);
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{10}));
}

}  // namespace
