// The language-server client with a real server (pylsp, through
// pylsp_wrapper.sh), and the cases in which no server may be started at all.
#include <algorithm>

#include "lsp_test_host.h"

namespace {

// Both files lie in the server's root directory, so the cross-file answer
// does not depend on how far the server's project scan has got.
const char* const k_greeting = "def greet(name):\n    return \"hi \" + name\n";
const char* const k_caller = "from greeting import greet\n\n\nprint(greet(\"x\"))\n";

// The library's default back-off after a session that ended young.
constexpr std::chrono::milliseconds k_first_backoff{1000};

std::vector<Location> sorted_locations(const Answer& answer) {
    std::vector<Location> locations = answer.locations;
    std::sort(locations.begin(), locations.end());
    return locations;
}

class Language_Server : public Lsp_Host_Test {
protected:
    std::string greeting;
    std::string caller;

    // Scans the two files with pylsp as the server.
    void start_pylsp() {
        g_vantrel.lsp_set_executable_path(VANTREL_PYLSP_WRAPPER);
        greeting = python_file("greeting.py", k_greeting);
        caller = python_file("caller.py", k_caller);
        ASSERT_NO_FATAL_FAILURE(scan(greeting));
        ASSERT_NO_FATAL_FAILURE(scan(caller));
    }

    // Asks for the references of "greet" in "def greet" and waits for the
    // answer; a failure when none comes.
    Answer references_of_greet(uint64_t context) {
        size_t before = answers_so_far().size();
        ask_references(greeting, 0, 4, context);
        std::vector<Answer> answers = wait_for_answers(before + 1, std::chrono::seconds(60));
        if (answers.size() > before) return answers[before];
        ADD_FAILURE() << "look-up " << context << " was never answered";
        return Answer{};
    }

    std::vector<Location> references_expected() {
        return {{file_uri(caller), 0, 21}, {file_uri(caller), 3, 6}, {file_uri(greeting), 0, 4}};
    }

    // Starts pylsp and waits until it answers; returns its process.
    pid_t running_pylsp() {
        start_pylsp();
        EXPECT_EQ(sorted_locations(references_of_greet(0)), references_expected());
        std::vector<pid_t> servers = child_processes();
        EXPECT_EQ(servers.size(), 1u);
        return servers.empty() ? 0 : servers[0];
    }
};

TEST_F(Language_Server, PylspAnswersReferencesAcrossFiles) {
    ASSERT_NO_FATAL_FAILURE(start_pylsp());
    Answer answer = references_of_greet(7);
    EXPECT_EQ(answer.context, 7u);
    EXPECT_EQ(sorted_locations(answer), references_expected());
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

TEST_F(Language_Server, SecondPythonScanStartsNoSecondServer) {
    g_vantrel.lsp_set_executable_path(VANTREL_PYLSP_WRAPPER);
    ASSERT_NO_FATAL_FAILURE(scan(python_file("greeting.py", k_greeting)));
    std::vector<pid_t> servers = child_processes();
    ASSERT_EQ(servers.size(), 1u);
    ASSERT_NO_FATAL_FAILURE(scan(python_file("caller.py", k_caller)));
    EXPECT_EQ(child_processes(), servers);
    stop_and_expect_clean();
}

TEST_F(Language_Server, StopEndsAndReapsTheServer) {
    g_vantrel.lsp_set_executable_path(VANTREL_PYLSP_WRAPPER);
    ASSERT_NO_FATAL_FAILURE(scan(python_file("greeting.py", k_greeting)));
    ASSERT_EQ(child_processes().size(), 1u);
    stop_and_expect_clean();
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// ---- a server that is lost

TEST_F(Language_Server, LookUpsInFlightWhenPylspIsKilledAreAnsweredWithNoRecords) {
    pid_t server = running_pylsp();
    ASSERT_GT(server, 0);
    // Stopped first, the server can answer none of the look-ups.
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    for (uint64_t context = 1; context <= 3; ++context) ask_references(greeting, 0, 4, context);
    ASSERT_EQ(kill(server, SIGKILL), 0);
    std::vector<Answer> answers = wait_for_answers(4);
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers_per_context(answers),
              (std::map<uint64_t, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
    for (size_t i = 1; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i].count, 0);
        EXPECT_TRUE(answers[i].records_null);
        EXPECT_TRUE(answers[i].strings_null);
    }
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

TEST_F(Language_Server, KilledPylspIsReapedWithoutFurtherCalls) {
    pid_t server = running_pylsp();
    ASSERT_GT(server, 0);
    ASSERT_EQ(kill(server, SIGKILL), 0);
    EXPECT_TRUE(eventually([] { return child_processes().empty(); }, std::chrono::seconds(10)))
        << "the killed server is left a zombie";
    stop_and_expect_clean();
}

// A server process of the library other than the one given, and not one
// that has ended.
bool other_server_runs(pid_t ended) {
    for (pid_t pid : child_processes()) {
        std::optional<Process_Status> status = process_status(pid);
        if (pid != ended && status && status->state != 'Z') return true;
    }
    return false;
}

TEST_F(Language_Server, PythonScanAfterTheBackOffReplacesKilledPylsp) {
    pid_t killed = running_pylsp();
    ASSERT_GT(killed, 0);
    ASSERT_EQ(kill(killed, SIGKILL), 0);
    std::this_thread::sleep_for(k_first_backoff + std::chrono::milliseconds(500));
    // The first scan should do; more are allowed while the client notices
    // the loss, up to a hang detector's bound.
    bool replaced = eventually(
        [&] {
            scan(greeting);
            return other_server_runs(killed);
        },
        std::chrono::seconds(10));
    ASSERT_TRUE(replaced) << "no Python scan started a new server";
    ASSERT_NO_FATAL_FAILURE(scan(caller));
    EXPECT_EQ(sorted_locations(references_of_greet(1)), references_expected());
    stop_and_expect_clean();
}

// ---- the host's threads

std::atomic<uint64_t> g_finds_done{0};
// Waiting finds that took longer than a hang detector allows for what takes
// milliseconds.
std::atomic<uint64_t> g_stalled_finds{0};
constexpr std::chrono::seconds k_stall{10};

void count_find(uint64_t, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
    ++g_finds_done;
}

// A references callback that makes a waiting find before it records the
// answer, as a host that looks up what it was just shown.
void find_then_record(uint64_t context, Host_Location* records, int32_t count, char* strings) {
    const std::string text = "print(greet(name))";
    auto start = std::chrono::steady_clock::now();
    g_vantrel.enqueue_find_symbols_in_text(count_find, context, text.data(),
                                           static_cast<uint32_t>(text.size()), false, true,
                                           nullptr, 0);
    if (std::chrono::steady_clock::now() - start > k_stall) ++g_stalled_finds;
    record_answer(context, records, count, strings);
}

// Every callback waits for the worker while files several times larger than
// the pipe to the server are being announced, and the server has more
// answers for the reader than its own pipe holds: the finds must complete
// all the same, and every look-up must get its answer.
TEST_F(Language_Server, WaitingFindsInsideReferencesCallbacksComplete) {
    ASSERT_NE(running_pylsp(), 0);
    // Eight files of 260 KB each, outside the project that the server
    // searches for references.
    Temp_Dir elsewhere;
    std::string text;
    for (int line = 0; line < 3300; ++line) text += "# " + std::string(76, 'x') + "\n";
    text += "def f(): pass\n";
    for (int i = 0; i < 8; ++i) {
        std::string path = elsewhere / ("bulk" + std::to_string(i) + ".py");
        write_file(path, text);
        g_vantrel.enqueue_scan_file(nullptr, 0, path.data(), static_cast<uint32_t>(path.size()),
                                    VANTREL_PYTHON);
    }
    constexpr uint64_t look_ups = 300;
    for (uint64_t context = 1; context <= look_ups; ++context) {
        g_vantrel.enqueue_lsp_find_references(find_then_record, context, greeting.data(),
                                              static_cast<uint32_t>(greeting.size()), 0, 4);
    }
    std::vector<Answer> answers = wait_for_answers(look_ups + 1, std::chrono::seconds(60));
    ASSERT_EQ(answers.size(), look_ups + 1);
    std::map<uint64_t, int> per_context = answers_per_context(answers);
    EXPECT_EQ(per_context.size(), look_ups + 1);
    size_t empty = std::count_if(answers.begin(), answers.end(),
                                 [](const Answer& answer) { return answer.count == 0; });
    EXPECT_EQ(empty, 0u);
    EXPECT_EQ(g_finds_done, look_ups);
    EXPECT_EQ(g_stalled_finds, 0u);
    EXPECT_TRUE(idle());
    stop_and_expect_clean();
}

// ---- text the server can read

TEST_F(Language_Server, PylspFindsReferencesInLatinOneFile) {
    g_vantrel.lsp_set_executable_path(VANTREL_PYLSP_WRAPPER);
    // Not UTF-8: \xE9 is "é" in Latin-1.
    std::string path = python_file(
        "latin.py", "# caf\xE9\ndef greet(name):\n    return name\n\n\nprint(greet(\"x\"))\n");
    ASSERT_NO_FATAL_FAILURE(scan(path));
    ask_references(path, 1, 4, 1);
    std::vector<Answer> answers = wait_for_answers(1, std::chrono::seconds(60));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(sorted_locations(answers[0]),
              (std::vector<Location>{{file_uri(path), 1, 4}, {file_uri(path), 5, 6}}));
    stop_and_expect_clean();
}

// ---- no server

TEST_F(Language_Server, EmptyExecutablePathStartsNoServer) {
    g_vantrel.lsp_set_executable_path("");
    ASSERT_NO_FATAL_FAILURE(scan(python_file("greeting.py", k_greeting)));
    EXPECT_TRUE(child_processes().empty());
    stop_and_expect_clean();
}

TEST_F(Language_Server, PathClearedAfterAFailedStartPreventsTheRetry) {
    g_vantrel.lsp_set_executable_path((dir / "no-such-server").c_str());
    ASSERT_NO_FATAL_FAILURE(scan(python_file("greeting.py", k_greeting)));
    EXPECT_TRUE(eventually([] { return child_processes().empty(); }))
        << "the failed child was not reaped";
    g_vantrel.lsp_set_executable_path("");
    ASSERT_NO_FATAL_FAILURE(scan(python_file("caller.py", k_caller)));
    EXPECT_TRUE(child_processes().empty());
    stop_and_expect_clean();
}

class Non_Python_Scan : public Language_Server, public ::testing::WithParamInterface<int64_t> {};

TEST_P(Non_Python_Scan, StartsNoServer) {
    g_vantrel.lsp_set_executable_path(VANTREL_PYLSP_WRAPPER);
    ASSERT_NO_FATAL_FAILURE(scan(python_file("greeting.py", k_greeting), GetParam()));
    EXPECT_TRUE(child_processes().empty());
    stop_and_expect_clean();
}

// 0 and 15 are indexed with the Python grammar, yet only 1 means Python to
// the language server.
INSTANTIATE_TEST_SUITE_P(Language_Server, Non_Python_Scan,
                         ::testing::Values(VANTREL_JAVASCRIPT, 0, 15));

TEST_F(Language_Server, LookUpWithoutServerIsAnsweredAtOnceOnTheCallingThread) {
    ask_references(dir / "greeting.py", 0, 4, 5);
    std::vector<Answer> answers = answers_so_far();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].context, 5u);
    EXPECT_EQ(answers[0].thread, std::this_thread::get_id());
    EXPECT_EQ(answers[0].count, 0);
    EXPECT_TRUE(answers[0].records_null);
    EXPECT_TRUE(answers[0].strings_null);
    EXPECT_EQ(answers[0].pending_during_callback, 0u);
    stop_and_expect_clean();
}

TEST_F(Language_Server, LookUpWithNullCallbackDoesNothing) {
    std::string path = dir / "greeting.py";
    g_vantrel.enqueue_lsp_find_references(nullptr, 1, path.data(),
                                          static_cast<uint32_t>(path.size()), 0, 0);
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 0u);
    stop_and_expect_clean();
}

}  // namespace
