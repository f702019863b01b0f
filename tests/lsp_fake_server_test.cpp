// The language-server client against a scripted server (fake_lsp_server.cpp)
// that shows the failures a real one rarely does. Whatever the server does,
// the host process is neither killed nor hung, every look-up is answered
// exactly once, the pending count returns to 0, and after enqueue_stop no
// server process, thread or descriptor of the library remains.
#include <sys/stat.h>

#include <algorithm>

#include "fake_server_support.h"

namespace {

using namespace std::chrono_literals;

using Fake_Server = Fake_Server_Test;

// ---- what the client sends

TEST_F(Fake_Server, StartSendsInitializeNamingHostProcessAndScannedDirectory) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_of(frames_received());
    ASSERT_GE(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"processId":)" +
                             std::to_string(getpid()) + R"(,"rootUri":")" + file_uri(dir.path) +
                             R"(","capabilities":{}}})");
    EXPECT_EQ(bodies[1], k_initialized);
}

TEST_F(Fake_Server, EveryFrameHasOneContentLengthHeaderCountingBytes) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    ASSERT_NO_FATAL_FAILURE(scan(python_file("b.py", "s = \"caf\xC3\xA9\"\n")));
    answer_to(dir / "b.py", 0, 0);
    stop_and_expect_clean();
    std::vector<Frame> frames = frames_received();
    ASSERT_EQ(frames.size(), 7u);  // initialize, initialized, 2 didOpen, references, shutdown, exit
    for (const Frame& frame : frames) {
        EXPECT_EQ(frame.header,
                  "Content-Length: " + std::to_string(frame.body.size()) + "\r\n\r\n");
    }
}

TEST_F(Fake_Server, ScannedPythonFileIsAnnouncedWithItsTextEscaped) {
    use_server("normal");
    std::string path = python_file("a.py", "def f(a):\n\treturn \"q\\\" + a\r\n");
    ASSERT_NO_FATAL_FAILURE(scan(path));
    ASSERT_TRUE(frames_reach(3)) << "the file was never announced";
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_of(frames_received());
    ASSERT_GE(bodies.size(), 3u);
    EXPECT_EQ(bodies[2], did_open_body(path, R"(def f(a):\n\treturn \"q\\\" + a\r\n)"));
}

TEST_F(Fake_Server, OtherControlBytesAreAnnouncedAsUnicodeEscapes) {
    use_server("normal");
    std::string path = python_file("a.py", std::string("\f\x01\0\x7F = 1\n", 9));
    ASSERT_NO_FATAL_FAILURE(scan(path));
    ASSERT_TRUE(frames_reach(3)) << "the file was never announced";
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_of(frames_received());
    ASSERT_GE(bodies.size(), 3u);
    // 0x7F is no control byte to JSON and goes out as itself.
    std::string escaped = R"(\u000C\u0001\u0000)" "\x7F" R"( = 1\n)";
    EXPECT_TRUE(bodies[2].ends_with(R"("text":")" + escaped + R"("}}})")) << bodies[2];
}

TEST_F(Fake_Server, UriEscapesBlanksColonsAndNonAsciiBytes) {
    std::filesystem::create_directory(dir / "a b:\xC3\xA9");
    use_server("normal");
    std::string path = python_file("a b:\xC3\xA9/m.py");
    ASSERT_NO_FATAL_FAILURE(scan(path));
    ASSERT_TRUE(frames_reach(3)) << "the file was never announced";
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_of(frames_received());
    ASSERT_GE(bodies.size(), 3u);
    EXPECT_NE(bodies[0].find(R"("rootUri":")" + file_uri(dir.path) + R"(/a%20b%3A%C3%A9")"),
              std::string::npos)
        << bodies[0];
    EXPECT_NE(bodies[2].find(R"("uri":")" + file_uri(dir.path) + R"(/a%20b%3A%C3%A9/m.py")"),
              std::string::npos)
        << bodies[2];
}

// A quote would end the JSON string, and '%', '#' and '?' would change what
// the URI means.
TEST_F(Fake_Server, UriEscapesQuotesPercentHashAndQuestionMark) {
    std::filesystem::create_directory(dir / "q\"%#?");
    use_server("normal");
    ASSERT_NO_FATAL_FAILURE(scan(python_file("q\"%#?/m.py")));
    ASSERT_TRUE(frames_reach(3)) << "the file was never announced";
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_of(frames_received());
    ASSERT_GE(bodies.size(), 3u);
    EXPECT_NE(bodies[2].find(R"("uri":")" + file_uri(dir.path) + R"(/q%22%25%23%3F/m.py")"),
              std::string::npos)
        << bodies[2];
}

TEST_F(Fake_Server, EmptyPythonFileStartsServerButIsNotAnnounced) {
    use_server("normal");
    ASSERT_NO_FATAL_FAILURE(scan(python_file("empty.py", "")));
    EXPECT_EQ(child_processes().size(), 1u);
    ASSERT_TRUE(handshakes_reach(1));
    stop_and_expect_clean();
    for (const std::string& body : bodies_of(frames_received()))
        EXPECT_FALSE(starts_with(body, k_did_open_start));
}

TEST_F(Fake_Server, ReferencesRequestCarriesPositionUnchanged) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    answer_to(dir / "a.py", 3, -1);
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_of(frames_received());
    ASSERT_GE(bodies.size(), 4u);
    EXPECT_EQ(
        bodies[3],
        R"({"jsonrpc":"2.0","id":2,"method":"textDocument/references","params":{)"
        R"("textDocument":{"uri":")" +
            file_uri(dir / "a.py") +
            R"("},"position":{"line":3,"character":-1},"context":{"includeDeclaration":true}}})");
}

TEST_F(Fake_Server, BackslashesInLookUpPathNameTheSameDocument) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    std::string path = dir / "a.py";
    std::replace(path.begin(), path.end(), '/', '\\');
    Answer answer = answer_to(path, 0, 4);
    ASSERT_EQ(answer.count, 2);
    EXPECT_EQ(answer.locations[0], (Location{file_uri(dir / "a.py"), 0, 4}));
    stop_and_expect_clean();
}

TEST_F(Fake_Server, StopSendsShutdownThenExit) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    ASSERT_TRUE(frames_reach(3)) << "a.py was never announced";
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_of(frames_received());
    ASSERT_EQ(bodies.size(), 5u);  // initialize, initialized, didOpen, shutdown, exit
    EXPECT_EQ(bodies[3], R"({"jsonrpc":"2.0","id":2,"method":"shutdown","params":null})");
    EXPECT_EQ(bodies[4], k_exit);
}

// ---- the server process

TEST_F(Fake_Server, ServerIsStartedWithTheSingleArgumentServer) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    stop_and_expect_clean();
    EXPECT_EQ(server_info("arg"), std::vector<std::string>{"server"});
}

TEST_F(Fake_Server, ServerInheritsEnvironmentAndStandardError) {
    // The mode reaches the server only through the environment.
    ASSERT_NO_FATAL_FAILURE(start_server("slow_init"));
    stop_and_expect_clean();
    EXPECT_EQ(server_info("mode"), std::vector<std::string>{"slow_init"});
    std::vector<std::string> descriptors = server_info("fd");
    EXPECT_NE(std::find(descriptors.begin(), descriptors.end(), "2 " + descriptors_before[2]),
              descriptors.end());
}

TEST_F(Fake_Server, ServerHoldsNoPipeEndOfTheLibrary) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    std::set<std::string> library_pipes;
    for (const auto& [fd, target] : open_descriptors()) {
        if (!descriptors_before.count(fd)) library_pipes.insert(target);
    }
    stop_and_expect_clean();
    std::map<int, std::string> server_descriptors;
    for (const std::string& entry : server_info("fd")) {
        size_t blank = entry.find(' ');
        server_descriptors[std::stoi(entry.substr(0, blank))] = entry.substr(blank + 1);
    }
    library_pipes.insert(server_descriptors[0]);
    library_pipes.insert(server_descriptors[1]);
    for (const auto& [fd, target] : server_descriptors) {
        if (fd <= 2) continue;
        EXPECT_FALSE(library_pipes.count(target)) << "server descriptor " << fd << " is " << target;
    }
}

TEST_F(Fake_Server, ServerWhosePathHoldsNoSlashIsFoundThroughPath) {
    std::filesystem::create_directory(dir / "bin");
    std::filesystem::create_symlink(VANTREL_FAKE_SERVER, dir / "bin/vantrel-fake-lsp");
    setenv("PATH", (dir / "bin:" + getenv("PATH")).c_str(), 1);
    use_server("normal");
    g_vantrel.lsp_set_executable_path("vantrel-fake-lsp");
    ASSERT_NO_FATAL_FAILURE(scan(python_file("a.py")));
    EXPECT_TRUE(handshakes_reach(1)) << "no server was found through PATH";
    stop_and_expect_clean();
    EXPECT_EQ(server_info("arg"), std::vector<std::string>{"server"});
}

// A server script with no "#!" line, in dir/bin, which leads PATH.
class Script_Server : public Fake_Server {
protected:
    std::string script = dir / "bin/vantrel-fake-lsp-script";

    void SetUp() override {
        Fake_Server::SetUp();
        std::filesystem::create_directory(dir / "bin");
        write_file(script, std::string("exec '") + VANTREL_FAKE_SERVER + "' \"$@\"\n");
        ASSERT_EQ(chmod(script.c_str(), 0700), 0);
        setenv("PATH", (dir / "bin:" + getenv("PATH")).c_str(), 1);
    }

    // Names the script as the server and scans a Python file.
    void start_script(const char* executable) {
        use_server("normal");
        g_vantrel.lsp_set_executable_path(executable);
        ASSERT_NO_FATAL_FAILURE(scan(python_file("a.py")));
        EXPECT_TRUE(handshakes_reach(1)) << executable << " did not start";
        stop_and_expect_clean();
        EXPECT_EQ(server_info("arg"), std::vector<std::string>{"server"});
    }
};

// As a shell would, the library runs such a script with /bin/sh.
TEST_F(Script_Server, NamedByItsPathRunsUnderTheShell) { start_script(script.c_str()); }

TEST_F(Script_Server, FoundThroughPathRunsUnderTheShell) { start_script("vantrel-fake-lsp-script"); }

// The worker, which starts the server, inherits the signal mask of the host
// thread that started it.
TEST_F(Fake_Server, ServerStartsWithNoSignalBlocked) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    g_vantrel.start_workers();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    stop_and_expect_clean();
    EXPECT_EQ(server_info("sigblk"), std::vector<std::string>{"0000000000000000"});
}

// Sets the given signals to be ignored for as long as it lives.
class Ignored_Signals {
public:
    explicit Ignored_Signals(std::vector<int> signals) : signals_(std::move(signals)) {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        for (int signal : signals_) sigaction(signal, &ignore, &before_[signal]);
    }
    Ignored_Signals(const Ignored_Signals&) = delete;
    Ignored_Signals& operator=(const Ignored_Signals&) = delete;
    ~Ignored_Signals() {
        for (int signal : signals_) sigaction(signal, &before_[signal], nullptr);
    }

private:
    std::vector<int> signals_;
    std::map<int, struct sigaction> before_;
};

// Whether the server of the first start ignored signal when it started.
bool server_ignored(const std::vector<std::string>& masks, int signal) {
    return !masks.empty() && (std::stoull(masks[0], nullptr, 16) >> (signal - 1) & 1) != 0;
}

// A host ignores them for its own sake: the server gets SIGTERM from the
// library, SIGPIPE when its output is gone, and SIGCHLD from its own children.
TEST_F(Fake_Server, ServerStartsWithSigchldSigpipeAndSigtermAtTheirDefaultActions) {
    {
        Ignored_Signals ignored({SIGCHLD, SIGPIPE, SIGTERM});
        ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    }
    stop_and_expect_clean();
    std::vector<std::string> masks = server_info("sigign");
    ASSERT_EQ(masks.size(), 1u);
    EXPECT_FALSE(server_ignored(masks, SIGCHLD));
    EXPECT_FALSE(server_ignored(masks, SIGPIPE));
    EXPECT_FALSE(server_ignored(masks, SIGTERM));
}

// As exec passes them on: a host started under nohup, or as a background job,
// starts a server that ignores hang-ups and the terminal's interrupts too.
TEST_F(Fake_Server, ServerInheritsOtherSignalsTheHostIgnores) {
    {
        Ignored_Signals ignored({SIGHUP, SIGINT, SIGQUIT});
        ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    }
    stop_and_expect_clean();
    std::vector<std::string> masks = server_info("sigign");
    EXPECT_TRUE(server_ignored(masks, SIGHUP));
    EXPECT_TRUE(server_ignored(masks, SIGINT));
    EXPECT_TRUE(server_ignored(masks, SIGQUIT));
}

// The file is not executable at the first scan: no server runs, look-ups are
// answered at once, and no start is tried again before the back-off has
// passed, even once the file could run. The linked library's back-off is
// lengthened.
TEST_F(Fake_Server, ExecutableThatCannotRunCountsAsFailedStartAndArmsTheBackOff) {
    link_vantrel();
    g_lsp_limits.first_backoff = 60s;
    std::string server = dir / "server";
    write_file(server, std::string("#!/bin/sh\nexec '") + VANTREL_FAKE_SERVER + "' \"$@\"\n");
    use_server("normal");
    g_vantrel.lsp_set_executable_path(server.c_str());
    ASSERT_NO_FATAL_FAILURE(scan(python_file("a.py")));
    EXPECT_TRUE(eventually([] { return child_processes().empty(); }));
    EXPECT_EQ(answer_to(dir / "a.py", 0, 4).thread, std::this_thread::get_id());
    ASSERT_EQ(chmod(server.c_str(), 0700), 0);
    ASSERT_NO_FATAL_FAILURE(scan(python_file("b.py")));
    EXPECT_EQ(server_starts(), 0u) << "a scan during the back-off started a server";
    stop_and_expect_clean();
}

TEST_F(Fake_Server, SecondPythonScanStartsNoSecondServer) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    std::vector<pid_t> first = child_processes();
    ASSERT_NO_FATAL_FAILURE(scan(python_file("b.py")));
    EXPECT_EQ(child_processes(), first);
    stop_and_expect_clean();
    EXPECT_EQ(server_info("start").size(), 1u);
}

// ---- the handshake

TEST_F(Fake_Server, MessagesBeforeInitializeReplyAreDroppedUnanswered) {
    ASSERT_NO_FATAL_FAILURE(start_server("chatty"));
    // The server's stray response with id 2 came before the look-up with id 2
    // was made; the look-up gets its own answer.
    Answer answer = answer_to(dir / "a.py", 5, 7);
    ASSERT_EQ(answer.count, 2);
    EXPECT_EQ(answer.locations[0], (Location{file_uri(dir / "a.py"), 5, 7}));
    stop_and_expect_clean();
    std::vector<std::string> bodies = bodies_of(frames_received());
    ASSERT_GE(bodies.size(), 2u);
    EXPECT_EQ(bodies[1], k_initialized);
    for (const std::string& body : bodies) {
        EXPECT_EQ(body.find("\"result\""), std::string::npos) << body;
        EXPECT_EQ(body.find("\"error\""), std::string::npos) << body;
    }
}

TEST_F(Fake_Server, ErrorReplyToInitializeCompletesTheStart) {
    ASSERT_NO_FATAL_FAILURE(start_server("init_error"));
    EXPECT_EQ(answer_to(dir / "a.py", 1, 1).count, 2);
    stop_and_expect_clean();
}

// A failed start holds the next one back for a while: the linked library's
// back-off is shortened, and the test lets it pass.
TEST_F(Fake_Server, ServerEndingBeforeItsReplyIsRetriedAtNextPythonScan) {
    link_vantrel();
    g_lsp_limits.first_backoff = 100ms;
    use_server("exit_on_initialize");
    ASSERT_NO_FATAL_FAILURE(scan(python_file("a.py")));
    EXPECT_TRUE(eventually([] { return child_processes().empty(); }))
        << "the abandoned server was not reaped";
    Answer unanswered = answer_to(dir / "a.py", 0, 4);
    EXPECT_EQ(unanswered.thread, std::this_thread::get_id());
    EXPECT_EQ(unanswered.count, 0);

    std::this_thread::sleep_for(2 * g_lsp_limits.first_backoff);
    setenv("VANTREL_FAKE_MODE", "normal", 1);
    ASSERT_NO_FATAL_FAILURE(scan(python_file("b.py")));
    EXPECT_EQ(child_processes().size(), 1u);
    EXPECT_EQ(answer_to(dir / "b.py", 0, 4).count, 2);
    stop_and_expect_clean();
    EXPECT_EQ(server_info("start").size(), 2u);
}

// The handshake limit of the linked library is shortened, and so are the
// graces after which the server, which ignores SIGTERM, gets SIGKILL.
TEST_F(Fake_Server, StartIsAbandonedWhenServerNeverReplies) {
    link_vantrel();
    g_lsp_limits.handshake = 300ms;
    g_lsp_limits.exit_grace = 300ms;
    g_lsp_limits.terminate_grace = 300ms;
    use_server("silent");
    std::string path = python_file("a.py");
    g_vantrel.enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()),
                                VANTREL_PYTHON);
    ASSERT_TRUE(idle(std::chrono::seconds(10))) << "the start never gave up";
    EXPECT_TRUE(eventually([] { return child_processes().empty(); }, std::chrono::seconds(10)))
        << "the silent server was not ended and reaped";
    EXPECT_EQ(answer_to(path, 0, 4).thread, std::this_thread::get_id());
    stop_and_expect_clean();
}

// ---- answers

TEST_F(Fake_Server, AnswerArrivesAsHostLocationsOnTheReaderThread) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    ask_references(dir / "a.py", 4, 2, 42);
    std::vector<Answer> answers = wait_for_answers(1);
    ASSERT_EQ(answers.size(), 1u);
    const Answer& answer = answers[0];
    EXPECT_EQ(answer.context, 42u);
    EXPECT_NE(answer.thread, std::this_thread::get_id());
    EXPECT_EQ(answer.pending_during_callback, 1u);
    ASSERT_EQ(answer.count, 2);
    EXPECT_TRUE(answer.strings_packed);
    EXPECT_EQ(answer.locations,
              (std::vector<Location>{{file_uri(dir / "a.py"), 4, 2}, {k_elsewhere_uri, 5, 0}}));
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

TEST_F(Fake_Server, ErrorResponseToReferencesGivesNoRecords) {
    ASSERT_NO_FATAL_FAILURE(start_server("error_references"));
    EXPECT_TRUE(has_no_records(answer_to(dir / "a.py", 0, 4)));
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

// The first location's URI holds the byte 0xE9, which is not UTF-8.
TEST_F(Fake_Server, AnswerHoldingInvalidUtf8ReachesItsLookUpWithReplacementCharacters) {
    ASSERT_NO_FATAL_FAILURE(start_server("invalid_utf8_references"));
    Answer answer = answer_to(dir / "a.py", 3, 4);
    EXPECT_EQ(answer.locations, (std::vector<Location>{{"file:///caf\xEF\xBF\xBD.py", 3, 4},
                                                       {file_uri(dir / "a.py"), 4, 0}}));
    stop_and_expect_clean();
}

TEST_F(Fake_Server, ResponsesOutOfOrderReachTheirOwnLookUps) {
    ASSERT_NO_FATAL_FAILURE(start_server("reverse_references"));
    for (int32_t line : {10, 20, 30})
        ask_references(dir / "a.py", line, 0, static_cast<uint64_t>(line));
    std::vector<Answer> answers = wait_for_answers(3);
    ASSERT_EQ(answers.size(), 3u);
    std::vector<uint64_t> contexts;
    for (const Answer& answer : answers) {
        contexts.push_back(answer.context);
        ASSERT_EQ(answer.count, 2);
        EXPECT_EQ(static_cast<uint64_t>(answer.locations[0].line), answer.context);
    }
    EXPECT_EQ(contexts, (std::vector<uint64_t>{30, 20, 10}));
    stop_and_expect_clean();
}

TEST_F(Fake_Server, LookUpsInFlightAtStopAreAnsweredEmpty) {
    ASSERT_NO_FATAL_FAILURE(start_server("hold_references"));
    for (uint64_t context = 1; context <= 3; ++context) ask_references(dir / "a.py", 0, 4, context);
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 3u);
    stop_and_expect_clean();
    std::vector<Answer> answers = answers_so_far();
    EXPECT_EQ(answers_per_context(answers), (std::map<uint64_t, int>{{1, 1}, {2, 1}, {3, 1}}));
    for (const Answer& answer : answers) EXPECT_EQ(answer.count, 0);
}

TEST_F(Fake_Server, ServerDyingInsideAnAnswerLeavesLookUpsAnsweredEmpty) {
    ASSERT_NO_FATAL_FAILURE(start_server("die_in_body"));
    EXPECT_EQ(answer_to(dir / "a.py", 0, 4).count, 0);
    EXPECT_EQ(answer_to(dir / "a.py", 0, 4).count, 0);
    EXPECT_TRUE(idle());
    EXPECT_EQ(answers_per_context(answers_so_far()), (std::map<uint64_t, int>{{1, 1}, {2, 1}}));
    stop_and_expect_clean();
}

TEST_F(Fake_Server, ServerEndingAfterStartHarmsNeitherScansNorLookUps) {
    ASSERT_NO_FATAL_FAILURE(start_server("exit_after_init"));
    ASSERT_TRUE(eventually([this] { return last_server_ended(); }));
    // The announcement goes to a pipe nobody reads: no SIGPIPE may end us.
    ASSERT_NO_FATAL_FAILURE(scan(python_file("b.py")));
    EXPECT_EQ(answer_to(dir / "b.py", 0, 4).count, 0);
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

class Hostile_Framing : public Fake_Server, public ::testing::WithParamInterface<const char*> {};

TEST_P(Hostile_Framing, EndsTheStreamAndAnswersTheLookUpEmpty) {
    ASSERT_NO_FATAL_FAILURE(start_server(GetParam()));
    Answer answer = answer_to(dir / "a.py", 0, 4);
    EXPECT_EQ(answer.count, 0);
    EXPECT_TRUE(answer.records_null);
    EXPECT_TRUE(idle());
    EXPECT_EQ(answer_to(dir / "a.py", 1, 4).count, 0);
    stop_and_expect_clean();
    EXPECT_EQ(answers_per_context(answers_so_far()), (std::map<uint64_t, int>{{1, 1}, {2, 1}}));
}

INSTANTIATE_TEST_SUITE_P(Fake_Server, Hostile_Framing,
                         ::testing::Values("long_header", "huge_length", "no_digits",
                                           "minus_length"));

// ---- stopping

TEST_F(Fake_Server, StopEndsServerThatIgnoresShutdownAndExit) {
    ASSERT_NO_FATAL_FAILURE(start_server("ignore_shutdown"));
    stop_and_expect_clean();
}

// Waits until the pending count has stopped moving at least at the floor:
// writes to a server that reads nothing have filled the pipe and block, or
// wait in the client's queue.
bool pending_count_settles(uint64_t floor = 1) {
    uint64_t last = UINT64_MAX;
    return eventually([&last, floor] {
        uint64_t now = g_vantrel.get_pending_tasks_count();
        bool settled = now == last && now >= floor;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return settled;
    });
}

TEST_F(Fake_Server, StopReleasesLookUpsBlockedOnServerThatStopsReading) {
    ASSERT_NO_FATAL_FAILURE(start_server("stop_reading"));
    constexpr uint64_t look_ups = 1000;  // many times what the pipe holds
    auto all_asked = std::make_shared<std::atomic<bool>>(false);
    std::thread host([all_asked, path = dir / "a.py"] {
        for (uint64_t i = 0; i < look_ups; ++i) ask_references(path, 0, 4, i);
        *all_asked = true;
    });
    ASSERT_TRUE(pending_count_settles());
    bool stopped = stop_returns();
    bool released =
        eventually([&all_asked] { return all_asked->load(); }, std::chrono::seconds(20));
    released ? host.join() : host.detach();
    ASSERT_TRUE(stopped) << "enqueue_stop waits for ever behind a blocked look-up";
    ASSERT_TRUE(released) << "a look-up stays blocked after the stop";
    std::vector<Answer> answers = wait_for_answers(look_ups);
    EXPECT_EQ(answers.size(), look_ups);
    for (const auto& [context, count] : answers_per_context(answers))
        EXPECT_EQ(count, 1) << context;
    expect_nothing_left();
}

TEST_F(Fake_Server, StopReturnsWhileWorkerIsBlockedAnnouncingToServerThatStopsReading) {
    ASSERT_NO_FATAL_FAILURE(start_server("stop_reading"));
    std::string big = python_file("big.py", std::string(256 * 1024, '#') + "\ndef f(): pass\n");
    g_vantrel.enqueue_scan_file(nullptr, 0, big.data(), static_cast<uint32_t>(big.size()),
                                VANTREL_PYTHON);
    // The scan stays counted while the worker is blocked writing to the
    // server; a client that queues the frame finishes the scan.
    ASSERT_TRUE(pending_count_settles(0));
    stop_and_expect_clean();
}

TEST_F(Fake_Server, StopDuringServerStartLeavesNoServerBehind) {
    use_server("slow_init");
    std::string path = python_file("a.py");
    g_vantrel.enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()),
                                VANTREL_PYTHON);
    ASSERT_TRUE(eventually([] { return !child_processes().empty(); }));
    stop_and_expect_clean();
}

TEST_F(Fake_Server, LookUpsRacingStopAreEachAnsweredOnce) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    std::atomic<bool> stopped{false};
    std::atomic<uint64_t> asked{0};
    std::vector<std::thread> hosts;
    for (uint64_t t = 0; t < 4; ++t) {
        hosts.emplace_back([&, t] {
            uint64_t after_stop = 0;
            for (uint64_t i = 0; after_stop < 20; ++i) {
                if (stopped) ++after_stop;
                ask_references(dir / "a.py", 0, 4, t * 1000000 + i);
                ++asked;
            }
        });
    }
    bool some_asked = eventually([&] { return asked >= 40; });
    bool stop_returned = stop_returns();
    stopped = true;
    for (std::thread& host : hosts) host.join();
    ASSERT_TRUE(some_asked);
    ASSERT_TRUE(stop_returned) << "enqueue_stop did not return";
    std::vector<Answer> answers = wait_for_answers(asked);
    EXPECT_EQ(answers.size(), asked.load());
    for (const auto& [context, count] : answers_per_context(answers))
        EXPECT_EQ(count, 1) << context;
    expect_nothing_left();
}

TEST_F(Fake_Server, ConcurrentLookUpsFromManyThreadsAreEachAnsweredOnce) {
    ASSERT_NO_FATAL_FAILURE(start_server("normal"));
    const uint64_t threads = 8, per_thread = 200;
    ask_from_threads(threads, per_thread, dir / "a.py");
    expect_each_its_own_answer(wait_for_answers(threads * per_thread), threads * per_thread);
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

}  // namespace
