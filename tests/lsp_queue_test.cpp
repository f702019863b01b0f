// The language-server client's outgoing queue and its answers, against the
// scripted server and the linked core library with short limits: no host
// call waits for a server, frames reach it in order (a didOpen still unsent
// is replaced in place, didOpens past the byte cap are dropped, requests
// never; a newer text of a file always withdraws its unsent older one; replies
// to the server past the cap end its session), every look-up gets its own
// answer exactly once whatever the server sends meanwhile, and only valid data
// crosses in either direction. Time bounds here only detect hangs; each is
// wide.
#include <cstdio>
#include <stdexcept>

#include "fake_server_support.h"
#include "host_support.h"

namespace {

using namespace std::chrono_literals;

using Outgoing = Linked_Fake_Server_Test;
using Answers = Linked_Fake_Server_Test;
using Reference_Callbacks = Linked_Fake_Server_Test;

// The id a frame the client sent carries; -1 for none.
long id_in(const std::string& body) {
    size_t at = body.find(R"("id":)");
    return at == std::string::npos ? -1 : std::strtol(body.c_str() + at + 5, nullptr, 10);
}

// Queues scans of path until one is accepted while another of the same path
// is no longer queued: the worker has taken the first.
bool worker_takes_scan_of(const std::string& path) {
    enqueue_scan(path);
    return eventually([&path] {
        uint64_t before = g_vantrel.get_pending_tasks_count();
        enqueue_scan(path);
        return g_vantrel.get_pending_tasks_count() > before;
    });
}

// ---- nothing a host calls waits for the server

TEST_F(Outgoing, FindReferencesNeverWaitsForServerThatStopsReading) {
    g_lsp_limits.write = 15s;
    ASSERT_NO_FATAL_FAILURE(start_server("stop_reading"));
    // Far more than the pipe to the server holds.
    constexpr uint64_t look_ups = 1000;
    Background_Call asking([path = dir / "a.py"] {
        for (uint64_t i = 0; i < look_ups; ++i) ask_references(path, 0, 4, i);
    });
    EXPECT_TRUE(asking.returns(5s)) << "enqueue_lsp_find_references waited for the server";
    stop_and_expect_clean();
    std::vector<Answer> answers = wait_for_answers(look_ups);
    EXPECT_EQ(answers.size(), look_ups);
    for (const auto& [context, count] : answers_per_context(answers))
        EXPECT_EQ(count, 1) << context;
}

TEST_F(Outgoing, WaitingFindIsNotDelayedWhilePythonScansAreAnnounced) {
    g_lsp_limits.write = 15s;
    ASSERT_NO_FATAL_FAILURE(start_server("stop_reading"));
    std::string big = python_file("big.py", python_text_of_size(1 << 20));
    ASSERT_TRUE(worker_takes_scan_of(big));
    Background_Call find([] { find_links("f"); });
    EXPECT_TRUE(find.returns(5s)) << "a waiting find waited for the worker's writes to the server";
    stop_and_expect_clean();
}

// ---- the order and the size of what is queued

// The server reads nothing until the test lets it: the large didOpen fills
// the pipe, and everything after it waits in the client's queue. Once the
// server reads again, a look-up shows that it has read all of it.
TEST_F(Outgoing, DidOpenStillUnsentIsReplacedInPlace) {
    setenv("VANTREL_FAKE_RESUME", (dir / "resume").c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(start_server("pause_reading"));
    std::string big = python_file("big.py", python_text_of_size(1 << 20));
    std::string b = python_file("b.py", "x = 1\n");
    std::string c = python_file("c.py");
    ASSERT_NO_FATAL_FAILURE(scan(big));
    ASSERT_NO_FATAL_FAILURE(scan(b));
    ASSERT_NO_FATAL_FAILURE(scan(c));
    write_file(b, "x = 2\n");
    ASSERT_NO_FATAL_FAILURE(scan(b));
    write_file(dir / "resume", "");
    ASSERT_EQ(answer_to(c, 0, 0).count, 2);
    std::vector<std::string> bodies = bodies_received();
    ASSERT_EQ(bodies.size(), 7u);  // initialize, initialized, a, big, b, c, references
    EXPECT_TRUE(is_did_open_of(bodies[2], dir / "a.py"));
    EXPECT_TRUE(is_did_open_of(bodies[3], big));
    EXPECT_EQ(bodies[4], did_open_body(b, R"(x = 2\n)"));
    EXPECT_TRUE(is_did_open_of(bodies[5], c));
    stop_and_expect_clean();
}

// Ten files of 100 KiB against a cap of 256 KiB while the server reads
// nothing: some of their didOpens are dropped, the request after them is not.
TEST_F(Outgoing, ByteCapDropsDidOpensButKeepsRequests) {
    g_lsp_limits.outgoing_bytes = 256 << 10;
    setenv("VANTREL_FAKE_RESUME", (dir / "resume").c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(start_server("pause_reading"));
    std::vector<std::string> files;
    for (int i = 0; i < 10; ++i) {
        files.push_back(python_file("big" + std::to_string(i) + ".py", python_text_of_size(100 << 10)));
        ASSERT_NO_FATAL_FAILURE(scan(files.back()));
    }
    ask_references(dir / "a.py", 2, 3, 1);
    write_file(dir / "resume", "");
    std::vector<Answer> answers = wait_for_answers(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers_position(answers[0], dir / "a.py", 2, 3)) << "the request was dropped";
    size_t announced = 0;
    for (const std::string& body : bodies_received()) {
        for (const std::string& file : files) announced += is_did_open_of(body, file);
    }
    EXPECT_GE(announced, 1u);
    EXPECT_LE(announced, 5u) << "didOpens beyond the cap were queued";
    stop_and_expect_clean();
}

// Whether every frame queued so far has been taken by the session's writer.
bool writer_has_taken_every_frame() {
    return eventually([] {
        std::lock_guard lock(g_lsp_state.session_mutex);
        return g_lsp_state.outgoing.empty();
    });
}

// With a cap of 640 KiB, version A of x.py (300 KiB) and y.py (300 KiB) wait
// behind a file that fills the pipe to a server that reads nothing for now;
// version B of x.py (400 KiB) fits neither beside them nor in A's place.
TEST_F(Outgoing, NewerTextThatDoesNotFitUnderTheCapWithdrawsTheOlderOne) {
    g_lsp_limits.outgoing_bytes = 640 << 10;
    setenv("VANTREL_FAKE_RESUME", (dir / "resume").c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(start_server("pause_reading"));
    std::string filler = python_file("filler.py", python_text_of_size(500 << 10));
    ASSERT_NO_FATAL_FAILURE(scan(filler));
    ASSERT_TRUE(writer_has_taken_every_frame());
    std::string x = python_file("x.py", python_text_of_size(300 << 10));
    std::string y = python_file("y.py", python_text_of_size(300 << 10));
    ASSERT_NO_FATAL_FAILURE(scan(x));
    ASSERT_NO_FATAL_FAILURE(scan(y));
    write_file(x, python_text_of_size(400 << 10));
    ASSERT_NO_FATAL_FAILURE(scan(x));
    write_file(dir / "resume", "");
    ASSERT_EQ(answer_to(y, 0, 0).count, 2);
    std::vector<std::string> bodies = bodies_received();
    ASSERT_EQ(bodies.size(), 6u);  // initialize, initialized, a, filler, y, references
    EXPECT_TRUE(is_did_open_of(bodies[3], filler));
    EXPECT_TRUE(is_did_open_of(bodies[4], y));
    stop_and_expect_clean();
}

// How a file comes to give a newer scan no text.
struct Text_Loss {
    const char* name;
    void (*lose)(const std::string& path);
};

void PrintTo(const Text_Loss& loss, std::ostream* out) { *out << loss.name; }

class Outgoing_Text_Lost : public Linked_Fake_Server_Test,
                           public testing::WithParamInterface<Text_Loss> {};

// The server holds its reply to initialize until the test lets it, so the
// didOpen of x.py's first text is still queued when x.py, having lost its
// text, is scanned again.
TEST_P(Outgoing_Text_Lost, NewerScanReadingNoTextWithdrawsTheUnsentOlderText) {
    setenv("VANTREL_FAKE_RESUME", (dir / "resume").c_str(), 1);
    use_server("hold_init");
    std::string x = python_file("x.py", "old = 1\n");
    ASSERT_NO_FATAL_FAILURE(scan(x));
    GetParam().lose(x);
    ASSERT_NO_FATAL_FAILURE(scan(x));
    write_file(dir / "resume", "");
    ASSERT_EQ(answer_to(x, 0, 0).count, 2);
    std::vector<std::string> bodies = bodies_received();
    ASSERT_EQ(bodies.size(), 3u);  // initialize, initialized, references
    for (const std::string& body : bodies) EXPECT_FALSE(is_did_open(body)) << body;
    stop_and_expect_clean();
}

INSTANTIATE_TEST_SUITE_P(
    Losses, Outgoing_Text_Lost,
    testing::Values(Text_Loss{"emptied", [](const std::string& path) { write_file(path, ""); }},
                    Text_Loss{"deleted", [](const std::string& path) { std::filesystem::remove(path); }},
                    Text_Loss{"replaced_by_a_directory",
                              [](const std::string& path) {
                                  std::filesystem::remove(path);
                                  std::filesystem::create_directory(path);
                              }}),
    [](const testing::TestParamInfo<Text_Loss>& info) { return std::string(info.param.name); });

// Once initialized has come, the server sends 20,000 requests of its own and
// reads nothing more: their replies pass the cap long before the write limit
// would end the session.
TEST_F(Outgoing, RepliesToServerThatSendsRequestsAndReadsNothingEndTheSessionAtTheCap) {
    g_lsp_limits.outgoing_bytes = 256 << 10;
    g_lsp_limits.write = 120s;
    ASSERT_NO_FATAL_FAILURE(start_server("request_flood"));
    EXPECT_TRUE(has_no_records(answer_to(dir / "a.py", 0, 4)));
    EXPECT_TRUE(eventually([] { return child_processes().empty(); }))
        << "the server was not ended";
    stop_and_expect_clean();
}

// The server reads again after half a second, well within the exit grace.
TEST_F(Outgoing, StopSendsShutdownAndExitAfterWhatIsQueued) {
    g_lsp_limits.exit_grace = 5s;
    setenv("VANTREL_FAKE_PAUSE_MS", "500", 1);
    ASSERT_NO_FATAL_FAILURE(start_server("pause_reading"));
    std::string big = python_file("big.py", python_text_of_size(1 << 20));
    std::string b = python_file("b.py");
    enqueue_scan(big);
    enqueue_scan(b);
    ASSERT_TRUE(idle());
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_received();
    ASSERT_EQ(bodies.size(), 7u);  // initialize, initialized, a, big, b, shutdown, exit
    EXPECT_TRUE(is_did_open_of(bodies[3], big));
    EXPECT_TRUE(is_did_open_of(bodies[4], b));
    EXPECT_NE(bodies[5].find(R"("method":"shutdown")"), std::string::npos);
    EXPECT_EQ(bodies[6], k_exit);
}

TEST_F(Outgoing, StopDropsQueueOfServerThatDoesNotRead) {
    g_lsp_limits.write = 30s;
    ASSERT_NO_FATAL_FAILURE(start_server("stop_reading"));
    for (int i = 0; i < 3; ++i)
        enqueue_scan(python_file("big" + std::to_string(i) + ".py", python_text_of_size(1 << 20)));
    EXPECT_TRUE(idle(5s)) << "the scans waited for the server to read";
    for (uint64_t context = 1; context <= 10; ++context) ask_references(dir / "a.py", 0, 4, context);
    ASSERT_TRUE(stop_returns(5s)) << "enqueue_stop waited for the server to read";
    expect_nothing_left();
    std::vector<Answer> answers = wait_for_answers(10);
    EXPECT_EQ(answers_per_context(answers).size(), 10u);
    for (const auto& [context, count] : answers_per_context(answers))
        EXPECT_EQ(count, 1) << context;
}

// ---- references callbacks

struct Slowest_Callback {
    std::mutex mutex;
    std::chrono::steady_clock::duration longest{};
};

Slowest_Callback g_slowest;

// Makes a waiting find before it records the answer, as a host may.
void find_then_record(uint64_t context, Host_Location* records, int32_t count, char* strings) {
    auto started = std::chrono::steady_clock::now();
    find_links("f");
    auto took = std::chrono::steady_clock::now() - started;
    {
        std::lock_guard lock(g_slowest.mutex);
        g_slowest.longest = std::max(g_slowest.longest, took);
    }
    record_answer(context, records, count, strings);
}

// While the worker announces a hundred files of 64 KiB, each of 3,000
// look-ups makes a waiting find from its callback. A worker that writes to
// the server itself deadlocks with it until the write limit ends the session.
TEST_F(Reference_Callbacks, WaitingFindInsideCallbackCompletesAndNoAnswerIsLost) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    std::vector<std::string> files;
    for (int i = 0; i < 100; ++i)
        files.push_back(python_file("m" + std::to_string(i) + ".py", python_text_of_size(64 << 10)));
    constexpr uint64_t look_ups = 3000;
    auto started = std::chrono::steady_clock::now();
    std::thread scanning([&files] {
        for (const std::string& file : files) enqueue_scan(file);
    });
    std::string path = dir / "a.py";
    for (uint64_t i = 0; i < look_ups; ++i) {
        g_vantrel.enqueue_lsp_find_references(find_then_record, i, path.data(),
                                              static_cast<uint32_t>(path.size()), 0, 4);
    }
    scanning.join();
    std::vector<Answer> answers = wait_for_answers(look_ups, 120s);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    size_t empty = std::count_if(answers.begin(), answers.end(),
                                 [](const Answer& answer) { return answer.count == 0; });
    std::printf("%zu look-ups with a waiting find in each callback: %.3f s, slowest callback "
                "%.3f s, %zu empty answers\n",
                answers.size(), took.count(),
                std::chrono::duration<double>(g_slowest.longest).count(), empty);
    EXPECT_EQ(answers.size(), look_ups);
    EXPECT_EQ(empty, 0u);
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

void throw_from_callback(uint64_t, Host_Location* records, int32_t, char* strings) {
    g_vantrel.free_memory(records);
    g_vantrel.free_memory(strings);
    throw std::runtime_error("the host's callback failed");
}

void ask_with_throwing_callback(const std::string& path) {
    g_vantrel.enqueue_lsp_find_references(throw_from_callback, 0, path.data(),
                                          static_cast<uint32_t>(path.size()), 0, 4);
}

TEST_F(Reference_Callbacks, ThrowingCallbackCountsAsAnswered) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    ask_with_throwing_callback(dir / "a.py");
    EXPECT_TRUE(idle(10s)) << "the look-up whose callback threw stays counted";
    stop_and_expect_clean();
}

TEST_F(Reference_Callbacks, LookUpAfterThrowingCallbackIsAnswered) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    ask_with_throwing_callback(dir / "a.py");
    EXPECT_TRUE(answers_position(answer_to(dir / "a.py", 3, 4), dir / "a.py", 3, 4))
        << "the client stopped reading answers after the throw";
    stop_and_expect_clean();
}

// ---- answers reach their own look-ups

// Before the real answer the server sends a response whose id is the look-up's
// plus 2^32, with one location at line 999.
TEST_F(Answers, ResponseIdBeyondInt32MatchesNoLookUp) {
    ASSERT_NO_FATAL_FAILURE(start_server("wide_id"));
    EXPECT_TRUE(answers_position(answer_to(dir / "a.py", 3, 4), dir / "a.py", 3, 4))
        << "the look-up took the response with the wider id";
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
    EXPECT_EQ(answers_per_context(answers_so_far()), (std::map<uint64_t, int>{{1, 1}}));
}

// Before the real answer the server sends a notification and a request of its
// own that carries the look-up's id.
TEST_F(Answers, ServerRequestCarryingPendingIdDoesNotAnswerLookUp) {
    ASSERT_NO_FATAL_FAILURE(start_server("request_with_pending_id"));
    EXPECT_TRUE(answers_position(answer_to(dir / "a.py", 3, 4), dir / "a.py", 3, 4))
        << "the look-up took the server's request for its answer";
    stop_and_expect_clean();
}

TEST_F(Answers, ServerRequestIsAnsweredMethodNotFoundAndNotificationIsNot) {
    ASSERT_NO_FATAL_FAILURE(start_server("request_with_pending_id"));
    answer_to(dir / "a.py", 3, 4);
    // initialize, initialized, a, references, then the one reply.
    EXPECT_TRUE(frames_reach(5)) << "the server's request was never answered";
    std::vector<std::string> bodies = bodies_received();
    ASSERT_EQ(bodies.size(), 5u) << "more than the server's request was answered";
    EXPECT_EQ(bodies[4], R"({"jsonrpc":"2.0","id":)" + std::to_string(id_in(bodies[3])) +
                             R"(,"error":{"code":-32601,"message":"Method not found"}})");
    stop_and_expect_clean();
}

// The server answers with line 2^31 character -1, line 4294967297 character
// 5, and line 7 character 2147483647.
TEST_F(Answers, PositionsOutsideInt32RangeReachHostAsZero) {
    ASSERT_NO_FATAL_FAILURE(start_server("wide_positions"));
    Answer answer = answer_to(dir / "a.py", 0, 4);
    std::string uri = file_uri(dir / "a.py");
    EXPECT_EQ(answer.locations,
              (std::vector<Location>{{uri, 0, 0}, {uri, 0, 5}, {uri, 7, 2147483647}}));
    stop_and_expect_clean();
}

// The server answers whatever it has read in a random order.
TEST_F(Answers, LookUpsFromSixteenThreadsAgainstRandomOrderAnswersEachGetTheirOwn) {
    ASSERT_NO_FATAL_FAILURE(start_server("shuffle_references"));
    constexpr uint64_t threads = 16, per_thread = 2000;
    ask_from_threads(threads, per_thread, dir / "a.py");
    expect_each_its_own_answer(wait_for_answers(threads * per_thread, 120s), threads * per_thread);
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

// ---- the text the server receives

struct Text_Case {
    const char* name;
    std::string text;
    std::string escaped;  // as the didOpen carries it
};

void PrintTo(const Text_Case& text_case, std::ostream* out) { *out << text_case.name; }

class Did_Open_Text : public Linked_Fake_Server_Test,
                      public ::testing::WithParamInterface<Text_Case> {};

TEST_P(Did_Open_Text, IsValidUtf8WithEachInvalidSequenceReplaced) {
    use_server("normal");
    std::string path = python_file("a.py", GetParam().text);
    ASSERT_NO_FATAL_FAILURE(scan(path));
    ASSERT_TRUE(frames_reach(3)) << "the file was never announced";
    EXPECT_EQ(bodies_received()[2], did_open_body(path, GetParam().escaped));
    stop_and_expect_clean();
}

const std::string k_replacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Outgoing, Did_Open_Text,
    ::testing::Values(
        Text_Case{"latin1", "caf\xE9 = 1\n", "caf" + k_replacement + R"( = 1\n)"},
        Text_Case{"lone_continuation_bytes_count_one_each", "a\x80\x80" "b\n",
                  "a" + k_replacement + k_replacement + R"(b\n)"},
        Text_Case{"bytes_that_never_begin_a_sequence_count_one_each", "\xFE\xFF = 1\n",
                  k_replacement + k_replacement + R"( = 1\n)"},
        Text_Case{"cut_sequence_counts_once", "a\xE2\x82" "b\n", "a" + k_replacement + R"(b\n)"},
        Text_Case{"overlong_sequence_counts_once", "a\xC0\xAF" "b\n",
                  "a" + k_replacement + R"(b\n)"},
        Text_Case{"surrogate_counts_once", "a\xED\xA0\x80" "b\n", "a" + k_replacement + R"(b\n)"},
        Text_Case{"sequence_cut_by_end_of_file_counts_once", "a = 1\n\xF0\x9F\x98",
                  R"(a = 1\n)" + k_replacement},
        Text_Case{"valid_text_is_unchanged", "s = '\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80'\n",
                  "s = '\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80'" R"(\n)"}),
    [](const ::testing::TestParamInfo<Text_Case>& info) { return info.param.name; });

}  // namespace
