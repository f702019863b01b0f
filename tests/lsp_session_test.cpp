// Sessions with the language server, against the scripted server and the
// linked core library with short limits: a server start never holds up the
// worker, a server that never completes the handshake is given up on time
// whatever it sends, a server that ends is replaced at a later Python scan,
// a server that keeps failing is started again only after a growing
// back-off, and a shutdown lets the worker serve the finds that references
// callbacks wait for. Time bounds here only detect hangs; each is wide.
#include <cstdio>

#include "fake_server_support.h"
#include "host_support.h"

namespace {

using namespace std::chrono_literals;

class Session : public Linked_Fake_Server_Test {
protected:
    // Starts a server that ends at its first look-up; every later start
    // behaves as later_mode.
    void start_server_ending_at_first_look_up(const char* later_mode) {
        setenv("VANTREL_FAKE_CRASH_AFTER", "0", 1);
        setenv("VANTREL_FAKE_LATER_MODE", later_mode, 1);
        start_server("crash_on_references");
    }

    // Ends that server with a look-up, which gets no records.
    void end_server_with_look_up() { EXPECT_TRUE(has_no_records(answer_to(dir / "a.py", 0, 4))); }

    // The first server ends at its start, and for a minute no later scan
    // starts another; every later start is of a server that answers.
    void fail_first_start() {
        g_lsp_limits.first_backoff = 60s;
        g_lsp_limits.max_backoff = 60s;
        setenv("VANTREL_FAKE_LATER_MODE", "normal", 1);
        use_server("crash_at_start");
        ASSERT_NO_FATAL_FAILURE(scan(python_file("a.py")));
    }

    // After fail_first_start: a later server has come up and answers.
    void expect_later_server_to_answer() {
        ASSERT_TRUE(handshakes_reach(1)) << "no later server came up";
        EXPECT_TRUE(answers_position(answer_to(dir / "a.py", 3, 4), dir / "a.py", 3, 4));
    }

    // Scans until a second server starts, and checks that its answers arrive.
    void expect_second_server_to_answer() {
        ASSERT_TRUE(scans_start_server(2)) << "no scan started a server again";
        ASSERT_TRUE(handshakes_reach(2));
        EXPECT_TRUE(answers_position(answer_to(dir / "a.py", 3, 4), dir / "a.py", 3, 4));
    }
};

// ---- starting

TEST_F(Session, PythonScanFinishesBeforeServerAnswersInitialize) {
    g_lsp_limits.handshake = 30s;
    setenv("VANTREL_FAKE_RESUME", (dir / "resume").c_str(), 1);
    use_server("hold_init");
    enqueue_scan(python_file("a.py"));
    EXPECT_TRUE(idle(5s)) << "the scan waited for the server's handshake";
    write_file(dir / "resume", "");
    EXPECT_TRUE(handshakes_reach(1));
    stop_and_expect_clean();
}

// Messages before the reply to initialize are never dispatched; the reader's
// buffers of a huge one are given back all the same. The reader has read the
// reply before it marks initialize answered, and reads nothing after it here.
TEST_F(Session, BuffersOfAHugeMessageDuringHandshakeAreReleased) {
    ASSERT_NO_FATAL_FAILURE(start_server("huge_before_init"));
    std::lock_guard lock(g_lsp_state.session_mutex);
    ASSERT_TRUE(g_lsp_state.initialize_answered);
    EXPECT_LT(g_lsp_state.response_buffer.capacity(), size_t{4} << 20);
    EXPECT_LT(g_lsp_state.json_parser.capacity(), size_t{4} << 20);
}

TEST_F(Session, LookUpMadeDuringHandshakeIsAnsweredOnceServerAnswers) {
    g_lsp_limits.handshake = 30s;
    setenv("VANTREL_FAKE_RESUME", (dir / "resume").c_str(), 1);
    use_server("hold_init");
    enqueue_scan(python_file("a.py"));
    EXPECT_TRUE(idle(5s));
    ask_references(dir / "a.py", 3, 1, 7);
    write_file(dir / "resume", "");
    std::vector<Answer> answers = wait_for_answers(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers_position(answers[0], dir / "a.py", 3, 1))
        << "the look-up was answered before the server could";
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

TEST_F(Session, WaitingFindIsNotDelayedByServerThatNeverAnswers) {
    g_lsp_limits.handshake = 15s;
    use_server("hang");
    enqueue_scan(python_file("a.py"));
    ASSERT_TRUE(eventually([this] { return server_starts() == 1; }));
    Background_Call find([] { find_links("f"); });
    EXPECT_TRUE(find.returns(5s)) << "a waiting find waited for the server's handshake";
    stop_and_expect_clean();
}

// Each scan costs no handshake of its own: the first start fails at the
// handshake limit, and later ones are tried only as the back-off allows.
TEST_F(Session, ThousandPythonScansWithHungServerFinishWithinHandshakeLimitAndBackOff) {
    g_lsp_limits.handshake = 500ms;
    g_lsp_limits.first_backoff = 200ms;
    g_lsp_limits.max_backoff = 400ms;
    std::vector<std::string> paths;
    for (int i = 0; i < 1000; ++i) paths.push_back(python_file("m" + std::to_string(i) + ".py"));
    use_server("hang");
    auto started = std::chrono::steady_clock::now();
    for (const std::string& path : paths) enqueue_scan(path);
    bool finished = idle(20s);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    std::printf("1000 Python scans against a hung server: %.3f s, %zu server starts\n",
                took.count(), server_starts());
    EXPECT_TRUE(finished) << "the scans wait for the server, one handshake limit each";
    stop_and_expect_clean();
}

// ---- servers that flood their output without answering initialize

class Flooding_Server : public Session,
                        public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        Session::SetUp();
        g_lsp_limits.handshake = 500ms;
    }

    void start_flooding() {
        use_server(GetParam());
        enqueue_scan(python_file("a.py"));
    }
};

TEST_P(Flooding_Server, PythonScanFinishesWithinHandshakeLimit) {
    start_flooding();
    EXPECT_TRUE(idle(10s)) << "the scan is held by the flooding server";
    stop_and_expect_clean();
}

TEST_P(Flooding_Server, ServerIsEndedAtHandshakeLimit) {
    start_flooding();
    ASSERT_TRUE(eventually([this] { return server_starts() == 1; }));
    EXPECT_TRUE(eventually([] { return child_processes().empty(); }, 10s))
        << "the flooding server was never given up";
    stop_and_expect_clean();
}

TEST_P(Flooding_Server, StopReturnsWithinHandshakeLimitAndGrace) {
    start_flooding();
    ASSERT_TRUE(eventually([this] { return server_starts() == 1; }));
    ASSERT_TRUE(stop_returns(10s)) << "enqueue_stop is held by the flooding server";
    expect_nothing_left();
}

// exit() runs the library's stop as well; a child process shows whether it
// returns, and SIGALRM ends a child that hangs.
TEST_P(Flooding_Server, ExitReturnsWithinHandshakeLimitAndGrace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(10);
            start_flooding();
            eventually([this] { return server_starts() == 1; });
            // Destructors do not run in this child: its directory goes now.
            std::error_code ignored;
            std::filesystem::remove_all(dir.path, ignored);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Session, Flooding_Server,
                         ::testing::Values("flood_bytes", "flood_notifications"));

// ---- a server that ends

TEST_F(Session, LookUpInFlightWhenServerCrashesIsAnsweredEmpty) {
    ASSERT_NO_FATAL_FAILURE(start_server_ending_at_first_look_up("normal"));
    end_server_with_look_up();
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

TEST_F(Session, ServerThatEndsIsReapedBeforeStop) {
    ASSERT_NO_FATAL_FAILURE(start_server("exit_after_init"));
    EXPECT_TRUE(eventually([] { return child_processes().empty(); }, 10s))
        << "the ended server stays a zombie";
    stop_and_expect_clean();
}

TEST_F(Session, PythonScanAfterBackOffReplacesCrashedServer) {
    ASSERT_NO_FATAL_FAILURE(start_server_ending_at_first_look_up("normal"));
    end_server_with_look_up();
    expect_second_server_to_answer();
    stop_and_expect_clean();
}

// The server stops reading while a large file is announced; once the write
// limit has passed, the session is over and is replaced like a crashed one.
TEST_F(Session, WriteStallPastLimitEndsSessionAndLaterScanReplacesServer) {
    g_lsp_limits.write = 1s;
    setenv("VANTREL_FAKE_PAUSE_MS", "4000", 1);
    setenv("VANTREL_FAKE_LATER_MODE", "normal", 1);
    ASSERT_NO_FATAL_FAILURE(start_server("pause_reading"));
    ASSERT_NO_FATAL_FAILURE(scan(python_file("big.py", python_text_of_size(1 << 20))));
    EXPECT_TRUE(has_no_records(answer_to(dir / "a.py", 0, 4)));
    expect_second_server_to_answer();
    stop_and_expect_clean();
}

// ---- back-off

TEST_F(Session, PythonScanDuringBackOffAfterShortSessionStartsNoServer) {
    g_lsp_limits.first_backoff = 60s;
    g_lsp_limits.max_backoff = 60s;
    ASSERT_NO_FATAL_FAILURE(start_server_ending_at_first_look_up("normal"));
    end_server_with_look_up();
    ASSERT_TRUE(eventually([] { return child_processes().empty(); }));
    ASSERT_NO_FATAL_FAILURE(scan(python_file("b.py")));
    EXPECT_EQ(server_starts(), 1u);
    stop_and_expect_clean();
}

TEST_F(Session, ServerEndingAfterHealthySessionIsReplacedWithoutBackOff) {
    g_lsp_limits.first_backoff = 60s;
    g_lsp_limits.max_backoff = 60s;
    g_lsp_limits.healthy_session = 300ms;
    ASSERT_NO_FATAL_FAILURE(start_server_ending_at_first_look_up("normal"));
    std::this_thread::sleep_for(2 * g_lsp_limits.healthy_session);
    end_server_with_look_up();
    expect_second_server_to_answer();
    stop_and_expect_clean();
}

// Scans go on for two seconds; with a back-off of 100 ms doubling up to
// 400 ms about seven starts fit, and without one every scan would start one.
TEST_F(Session, ServerCrashingAtEveryStartIsStartedBoundedNumberOfTimes) {
    g_lsp_limits.first_backoff = 100ms;
    g_lsp_limits.max_backoff = 400ms;
    use_server("crash_at_start");
    std::string path = python_file("a.py");
    size_t scans = 0;
    for (auto end = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < end;
         ++scans) {
        ASSERT_NO_FATAL_FAILURE(scan(path));
    }
    size_t starts = server_starts();
    std::printf("%zu Python scans in 2 s started the crashing server %zu times\n", scans, starts);
    EXPECT_GE(starts, 2u) << "the server was never started again";
    EXPECT_LE(starts, 12u) << "the server was started again without a back-off";
    stop_and_expect_clean();
}

TEST_F(Session, SettingExecutablePathEndsBackOff) {
    ASSERT_NO_FATAL_FAILURE(fail_first_start());
    ASSERT_TRUE(eventually([] { return child_processes().empty(); }));
    ASSERT_NO_FATAL_FAILURE(scan(python_file("b.py")));
    EXPECT_EQ(server_starts(), 1u) << "a scan during the back-off started a server";
    g_vantrel.lsp_set_executable_path(VANTREL_FAKE_SERVER);
    ASSERT_TRUE(scans_start_server(2)) << "the back-off outlived lsp_set_executable_path";
    expect_later_server_to_answer();
    stop_and_expect_clean();
}

// The failed server has been reaped, but no scan has cleaned its session up
// yet when the path is set again: the scan right after starts a server.
TEST_F(Session, SettingExecutablePathBeforeFailedSessionIsCleanedUpEndsBackOff) {
    ASSERT_NO_FATAL_FAILURE(fail_first_start());
    ASSERT_TRUE(eventually([] {
        std::lock_guard lock(g_lsp_state.session_mutex);
        return g_lsp_state.reader_finished && g_lsp_state.writer_finished;
    })) << "the failed session never ended";
    g_vantrel.lsp_set_executable_path(VANTREL_FAKE_SERVER);
    ASSERT_NO_FATAL_FAILURE(scan(python_file("b.py")));
    expect_later_server_to_answer();
    stop_and_expect_clean();
}

// ---- a shutdown and a references callback that waits for a find

struct Waiting_Answer {
    std::atomic<int> answers{0};
    std::atomic<int> finds{0};
};

void count_find(uint64_t context, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
    ++object_of<Waiting_Answer>(context).finds;
}

void answer_with_waiting_find(uint64_t context, Host_Location* records, int32_t, char* strings) {
    g_vantrel.free_memory(records);
    g_vantrel.free_memory(strings);
    g_vantrel.enqueue_find_symbols_in_text(count_find, context, "f", 1, false, true, nullptr, 0);
    ++object_of<Waiting_Answer>(context).answers;
}

// The shutdown is under way when the worker takes a Python scan; the server
// reads nothing, so the look-up is answered with no records as the session
// ends, and that callback waits for a find that only the worker can serve.
TEST_F(Session, ShutdownLetsTheWorkerServeTheFindAReferencesCallbackWaitsFor) {
    g_lsp_limits.exit_grace = 2s;
    setenv("VANTREL_FAKE_RESUME", (dir / "never").c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(start_server("pause_reading"));
    Worker_Latch latch;
    latch.occupy_worker(python_file("held.py"));
    enqueue_scan(python_file("b.py"));
    Waiting_Answer waiting;
    std::string path = dir / "a.py";
    g_vantrel.enqueue_lsp_find_references(answer_with_waiting_find, context_of(&waiting),
                                          path.data(), static_cast<uint32_t>(path.size()), 0, 4);
    Background_Call shutdown([] { lsp_shutdown(); });
    ASSERT_TRUE(eventually([] { return g_lsp_state.phase == Lsp_Phase::closing; }));
    latch.release();
    EXPECT_TRUE(shutdown.returns(20s)) << "the shutdown waits for a callback that waits for it";
    EXPECT_EQ(waiting.answers, 1);
    EXPECT_EQ(waiting.finds, 1);
    stop_and_expect_clean();
}

// ---- races

// The replacement server takes 300 ms to answer initialize; the stop comes
// at the delay after its start: before, during and after its handshake.
class Stop_During_Restart : public Session, public ::testing::WithParamInterface<int> {};

TEST_P(Stop_During_Restart, LeavesNothingBehindAndAnswersEveryLookUpOnce) {
    ASSERT_NO_FATAL_FAILURE(start_server_ending_at_first_look_up("slow_init"));
    ask_references(dir / "a.py", 0, 4, 1);
    ASSERT_TRUE(eventually([] { return child_processes().empty(); }));
    ASSERT_TRUE(scans_start_server(2)) << "no restart to race with";
    ask_references(dir / "a.py", 0, 4, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(GetParam()));
    ask_references(dir / "a.py", 0, 4, 3);
    stop_and_expect_clean();
    EXPECT_EQ(answers_per_context(answers_so_far()),
              (std::map<uint64_t, int>{{1, 1}, {2, 1}, {3, 1}}));
}

INSTANTIATE_TEST_SUITE_P(Session, Stop_During_Restart, ::testing::Values(0, 100, 250, 500));

// Each server ends after twenty answers; host threads ask all along while
// scans replace it, until it has been started six times.
TEST_F(Session, LookUpsRacingServerReplacementAreEachAnsweredOnce) {
    g_lsp_limits.first_backoff = 20ms;
    g_lsp_limits.max_backoff = 50ms;
    setenv("VANTREL_FAKE_CRASH_AFTER", "20", 1);
    ASSERT_NO_FATAL_FAILURE(start_server("crash_on_references"));
    std::atomic<bool> done{false};
    std::atomic<uint64_t> asked{0};
    std::vector<std::thread> hosts;
    for (uint64_t t = 0; t < 4; ++t) {
        hosts.emplace_back([&, t, path = dir / "a.py"] {
            for (uint64_t i = 0; !done; ++i) {
                ask_references(path, 0, 4, t * 1000000 + i);
                ++asked;
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    hosts.emplace_back([&, path = dir / "a.py"] {
        while (!done) {
            enqueue_scan(path);
            std::this_thread::sleep_for(5ms);
        }
    });
    bool replaced = eventually([this] { return server_starts() >= 6; }, 20s);
    done = true;
    for (std::thread& host : hosts) host.join();
    EXPECT_TRUE(replaced) << "the server was started " << server_starts() << " times";
    stop_and_expect_clean();
    std::vector<Answer> answers = wait_for_answers(asked);
    EXPECT_EQ(answers.size(), asked.load());
    for (const auto& [context, count] : answers_per_context(answers))
        EXPECT_EQ(count, 1) << context;
}

}  // namespace
