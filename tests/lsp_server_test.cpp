// The language-server client with a real server (pylsp, through
// pylsp_wrapper.sh), and the cases in which no server may be started at all.
#include <algorithm>

#include "lsp_test_host.h"

namespace {

using Language_Server = Lsp_Host_Test;

// Both files lie in the server's root directory, so the cross-file answer
// does not depend on how far the server's project scan has got.
const char* const k_greeting = "def greet(name):\n    return \"hi \" + name\n";
const char* const k_caller = "from greeting import greet\n\n\nprint(greet(\"x\"))\n";

TEST_F(Language_Server, PylspAnswersReferencesAcrossFiles) {
    g_vantrel.lsp_set_executable_path(VANTREL_PYLSP_WRAPPER);
    std::string greeting = python_file("greeting.py", k_greeting);
    std::string caller = python_file("caller.py", k_caller);
    ASSERT_NO_FATAL_FAILURE(scan(greeting));
    ASSERT_NO_FATAL_FAILURE(scan(caller));

    ask_references(greeting, 0, 4, 7);  // on "greet" in "def greet"
    std::vector<Answer> answers = wait_for_answers(1, std::chrono::seconds(60));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].context, 7u);
    std::vector<Location> locations = answers[0].locations;
    std::sort(locations.begin(), locations.end());
    EXPECT_EQ(locations, (std::vector<Location>{{file_uri(caller), 0, 21},
                                                {file_uri(caller), 3, 6},
                                                {file_uri(greeting), 0, 4}}));
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
