// A server whose output outlives it: a helper process of its own, or a child
// that the host forked while the server was being started, holds the pipe
// open. The client watches the server process itself, through a pidfd or,
// where the system has none, by asking now and then: the look-ups the server
// owed are answered and it is reaped while the pipe is still held, and a
// later Python scan starts a new server.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "fake_server_support.h"
#include "host_support.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs in a child forked from a host thread: only async-signal-safe calls.
// Holds what it inherited until the file exists, 60 s at most.
[[noreturn]] void hold_until(const char* release) {
    for (int i = 0; i < 6000 && access(release, F_OK) != 0; ++i) {
        timespec pause = {0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    _exit(0);
}

// Whether process pid holds the write end of the pipe whose read end is fd.
bool holds_write_end(pid_t pid, int fd) {
    struct stat pipe_status;
    if (fstat(fd, &pipe_status) != 0) return false;
    std::string target = "pipe:[" + std::to_string(pipe_status.st_ino) + "]";
    std::string proc = "/proc/" + std::to_string(pid);
    std::error_code error;
    for (auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
        if (std::filesystem::read_symlink(entry.path(), error).string() != target) continue;
        std::string info = read_file(proc + "/fdinfo/" + entry.path().filename().string());
        size_t flags = info.find("flags:");
        if (flags != std::string::npos && (std::stoul(info.substr(flags + 6), nullptr, 8) & O_WRONLY))
            return true;
    }
    return false;
}

void print_delay(Clock::time_point ended, Clock::time_point answered, bool pidfd) {
    auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(answered - ended);
    std::printf("look-up answered %lld ms after the server's end (%s)\n",
                static_cast<long long>(delay.count()), pidfd ? "pidfd" : "polling");
}

class Server_Exit : public Linked_Fake_Server_Test, public ::testing::WithParamInterface<bool> {
protected:
    std::string release;
    std::vector<pid_t> host_children;

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Linked_Fake_Server_Test::SetUp());
        g_lsp_limits.use_pidfd = GetParam();
        release = dir / "release";
        setenv("VANTREL_FAKE_RESUME", release.c_str(), 1);
        setenv("VANTREL_FAKE_PAUSE_MS", "60000", 1);
    }

    void TearDown() override {
        release_holders();
        Linked_Fake_Server_Test::TearDown();
    }

    void release_holders() {
        write_file(release, "");
        for (pid_t child : host_children) waitpid(child, nullptr, 0);
        host_children.clear();
    }

    pid_t last_server() { return std::stoi(server_info("start").back()); }

    static bool reaped(pid_t pid) { return !process_status(pid).has_value(); }

    // Host threads fork children, which hold what they inherit, while Python
    // scans start the count-th server and it answers initialize.
    bool start_server_while_host_forks(size_t count) {
        std::atomic<bool> starting{true};
        std::mutex children_mutex;
        std::vector<std::thread> forkers;
        for (int t = 0; t < 4; ++t) {
            forkers.emplace_back([&] {
                while (starting) {
                    pid_t child = fork();
                    if (child == 0) hold_until(release.c_str());
                    std::lock_guard lock(children_mutex);
                    host_children.push_back(child);
                }
            });
        }
        bool started = scans_start_server(count) && handshakes_reach(count);
        starting = false;
        for (std::thread& forker : forkers) forker.join();
        return started;
    }

    bool some_host_child_holds_server_output() {
        int output = g_lsp_state.process.stdout_pipe[0];
        return std::any_of(host_children.begin(), host_children.end(),
                           [output](pid_t child) { return holds_write_end(child, output); });
    }

    // Starts servers, killing each that no host child forked during its start
    // holds the output of, until one is held; its number of starts.
    size_t start_server_held_by_host_child() {
        for (size_t starts = 1; starts <= 20; ++starts) {
            if (!start_server_while_host_forks(starts)) return 0;
            if (some_host_child_holds_server_output()) return starts;
            pid_t server = last_server();
            kill(server, SIGKILL);
            if (!eventually([server] { return reaped(server); })) return 0;
            release_holders();
            std::filesystem::remove(release);
        }
        return 0;
    }

    // Waits for the answer to the one look-up in flight; checks that it came
    // with no records while the server's output was still held, and that the
    // server is reaped all the same.
    Clock::time_point expect_answered_while_output_held(pid_t server,
                                                        const std::function<bool()>& held) {
        std::vector<Answer> answers = wait_for_answers(1);
        Clock::time_point answered = Clock::now();
        EXPECT_EQ(answers.size(), 1u) << "the look-up the server owed was never answered";
        if (!answers.empty()) {
            EXPECT_TRUE(has_no_records(answers[0]));
        }
        EXPECT_TRUE(held()) << "the server's output is no longer held: the test shows nothing";
        EXPECT_TRUE(eventually([server] { return reaped(server); }, 10s))
            << "the server stays a zombie";
        return answered;
    }
};

TEST_P(Server_Exit, LookUpIsAnsweredWhileAHelperOfTheServerHoldsItsOutput) {
    setenv("VANTREL_FAKE_LATER_MODE", "normal", 1);
    ASSERT_NO_FATAL_FAILURE(start_server("leave_helper"));
    pid_t server = last_server();
    ask_references(dir / "a.py", 0, 4, 1);
    Clock::time_point answered = expect_answered_while_output_held(server, [this] {
        std::vector<std::string> helpers = server_info("helper");
        return helpers.size() == 1 && process_status(std::stoi(helpers[0])).has_value();
    });
    std::vector<std::string> ended = server_info("ended");
    ASSERT_EQ(ended.size(), 1u);
    print_delay(Clock::time_point(std::chrono::milliseconds(std::stoll(ended[0]))), answered,
                GetParam());
    ASSERT_TRUE(scans_start_server(2)) << "no Python scan started a server again";
    ASSERT_TRUE(handshakes_reach(2));
    EXPECT_TRUE(answers_position(answer_to(dir / "a.py", 3, 4), dir / "a.py", 3, 4));
    release_holders();
    stop_and_expect_clean();
}

TEST_P(Server_Exit, LookUpIsAnsweredWhileAHostChildForkedDuringTheStartHoldsItsOutput) {
    use_server("hold_references");
    size_t starts = start_server_held_by_host_child();
    ASSERT_NE(starts, 0u) << "no host child was forked during a server's start";
    pid_t server = last_server();
    ask_references(dir / "a.py", 0, 4, 1);
    Clock::time_point killed = Clock::now();
    kill(server, SIGKILL);
    Clock::time_point answered = expect_answered_while_output_held(
        server, [this] { return some_host_child_holds_server_output(); });
    print_delay(killed, answered, GetParam());
    release_holders();
    ASSERT_TRUE(scans_start_server(starts + 1)) << "no Python scan started a server again";
    EXPECT_TRUE(handshakes_reach(starts + 1));
    stop_and_expect_clean();
}

INSTANTIATE_TEST_SUITE_P(Server_Exit, Server_Exit, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Pidfd" : "Polling");
                         });

}  // namespace
