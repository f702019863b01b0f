// A host that forks while the library is in use: the child may exit at once,
// whatever the worker was doing and whether or not a language server runs;
// it neither waits for the parent's worker nor writes to or signals the
// parent's server, and its calls into the library return at once. The
// parent's look-ups go on being answered. A child forked before the library
// started its worker uses the library as its own.
#include "fork_support.h"
#include "host_support.h"

namespace {

class Host_Fork_Test : public Host_Test {
protected:
    // A scanned file defining `name`, so that a find shows the worker serving.
    void index_definition(const std::string& name) {
        std::string path = dir / (name + ".py");
        write_file(path, "def " + name + "():\n    pass\n");
        scan(path);
    }

    bool worker_serves(const std::string& name) {
        index_definition(name);
        return find_links(name).size() == 1;
    }
};

TEST_F(Host_Fork_Test, ChildThatExitsWhileTheWorkerWaitsEndsAtOnce) {
    index_definition("before");
    pid_t child = fork_child([] { return 0; });
    EXPECT_TRUE(exited_with(status_of(child), 0));
    EXPECT_TRUE(worker_serves("after"));
}

TEST_F(Host_Fork_Test, CallsInAChildReturnAtOnceAndLeaveTheParentAsItWas) {
    index_definition("kept");
    pid_t child = fork_child([this] {
        std::string path = dir / "kept.py";
        g_vantrel.lsp_set_executable_path("/bin/false");
        g_vantrel.start_workers();
        g_vantrel.enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()), 1);
        g_vantrel.enqueue_clear();
        g_vantrel.enqueue_find_symbols_in_text([](uint64_t, Host_Definition_Link*, uint64_t, char*) { _exit(3); },
                                               0, "kept", 4, false, true, nullptr, 0);
        g_vantrel.enqueue_stop();
        return 0;
    });
    EXPECT_TRUE(exited_with(status_of(child), 0));
    EXPECT_EQ(find_links("kept").size(), 1u);
    EXPECT_TRUE(worker_serves("after"));
}

TEST_F(Host_Fork_Test, ChildForkedBeforeTheWorkerStartedUsesTheLibraryAsItsOwn) {
    std::string path = dir / "own.py";
    write_file(path, "def own():\n    pass\n");
    pid_t child = fork_child([&path] {
        scan(path);
        bool found = find_links("own").size() == 1;
        g_vantrel.enqueue_stop();
        return found ? 0 : 1;
    });
    EXPECT_TRUE(exited_with(status_of(child), 0));
}

// The child's first calls: they return, and they work: its clear takes the
// place of any the parent had queued, and a waiting find that the child's
// own worker serves calls its callback once. (ThreadSanitizer cannot follow
// a thread started in a child forked from several threads.)
int use_library_as_own() {
    g_vantrel.lsp_set_executable_path("");
    g_vantrel.enqueue_clear();
    if (g_vantrel.get_pending_tasks_count() != 1) return 1;
#if defined(__SANITIZE_THREAD__)
    return 0;
#else
    Find_Result result;
    g_vantrel.enqueue_find_symbols_in_text(collect_links, context_of(&result), "f", 1, false, true,
                                           nullptr, 0);
    return result.calls == 1 ? 0 : 2;
#endif
}

// Threads that call the library, before any worker start, for as long as
// they live; returned once each has made its first calls (a starting thread
// allocates). AddressSanitizer's allocator does not prepare for a fork: a
// child forked while another thread allocates may hang in malloc. So there
// only the path is set, which allocates nothing once the path's storage has
// grown to fit; enqueue_clear allocates at every call.
std::vector<std::thread> call_the_library_until(const std::atomic<bool>& done) {
    std::atomic<int> calling{0};
    auto call = [&done, &calling](void (*call_once)()) {
        call_once();
        ++calling;
        while (!done) call_once();
    };
    std::vector<std::thread> callers;
    callers.emplace_back(call, [] { g_vantrel.lsp_set_executable_path("/nonexistent/server"); });
#if !defined(__SANITIZE_ADDRESS__)
    callers.emplace_back(call, [] { g_vantrel.enqueue_clear(); });
#endif
    while (calling < static_cast<int>(callers.size())) std::this_thread::yield();
    return callers;
}

// 200 children are forked, 25 at a time, while other threads set the
// executable path and clear the queues.
TEST_F(Host_Fork_Test, ChildrenForkedWhileOtherThreadsCallTheLibraryUseItAsTheirOwn) {
    std::atomic<bool> done{false};
    std::vector<std::thread> callers = call_the_library_until(done);
    int hung = 0;
    int failed = 0;
    for (int batch = 0; batch < 8; ++batch) {
        std::vector<pid_t> children;
        for (int i = 0; i < 25; ++i) children.push_back(fork_child(use_library_as_own));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (pid_t child : children) {
            std::optional<int> status = status_of(child, deadline);
            hung += !status;
            failed += status && !exited_with(status, 0);
        }
    }
    done = true;
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(hung, 0) << "of 200 children";
    EXPECT_EQ(failed, 0) << "of 200 children";
}

class Host_Fork_Server_Test : public Lsp_Host_Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Lsp_Host_Test::SetUp());
        setenv("VANTREL_FAKE_MODE", "normal", 1);
        setenv("VANTREL_FAKE_LOG", (dir / "received.log").c_str(), 1);
        g_vantrel.lsp_set_executable_path(VANTREL_FAKE_SERVER);
    }
};

TEST_F(Host_Fork_Server_Test, ChildThatExitsLeavesTheParentsServerServing) {
    std::string path = python_file("a.py");
    ASSERT_NO_FATAL_FAILURE(scan(path));
    std::vector<pid_t> servers = child_processes();
    ASSERT_EQ(servers.size(), 1u) << "the scan started no server";

    pid_t child = fork_child([] { return 0; });
    EXPECT_TRUE(exited_with(status_of(child), 0));

    EXPECT_EQ(read_file(dir / "received.log").find("shutdown"), std::string::npos)
        << "the child shut the parent's server down";
    EXPECT_EQ(child_processes(), servers);
    ask_references(path, 0, 4, 1);
    std::vector<Answer> answers = wait_for_answers(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].count, 2);
    stop_and_expect_clean();
}

// The child has no reader: its look-up is answered at once, with no records,
// and nothing of it reaches the parent's server.
TEST_F(Host_Fork_Server_Test, LookUpInAChildIsAnsweredAtOnceWithNoRecords) {
    std::string path = python_file("a.py");
    ASSERT_NO_FATAL_FAILURE(scan(path));
    ASSERT_EQ(child_processes().size(), 1u) << "the scan started no server";
    pid_t child = fork_child([&path] {
        static int answered = -1;
        g_vantrel.enqueue_lsp_find_references(
            [](uint64_t, Host_Location* records, int32_t count, char* strings) {
                answered = records == nullptr && strings == nullptr ? count : -2;
            },
            0, path.data(), static_cast<uint32_t>(path.size()), 0, 4);
        return answered == 0 ? 0 : 1;
    });
    EXPECT_TRUE(exited_with(status_of(child), 0));
    EXPECT_EQ(read_file(dir / "received.log").find("textDocument/references"), std::string::npos);
    stop_and_expect_clean();
}

}  // namespace
