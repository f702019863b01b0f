// A host that reaps its own children, as event loops do on SIGCHLD with a
// loop on waitpid(-1), reaps the library's server too, and its next child of
// its own may get the server's pid. The library must never
// signal or reap that child: it watches its server through a pidfd. Each
// case runs in a host that is the first process of a new pid namespace,
// where the host's handler can give the freed pid to a child of its own at
// once, before the library looks at it.
#include <linux/sched.h>
#include <sched.h>
#include <sys/syscall.h>

#include "fake_server_support.h"
#include "fork_support.h"

namespace {

using namespace std::chrono_literals;

// The server is lost at a stop (it ends on exit, as asked) or by itself
// (it crashes at the first look-up).
enum class Loss { at_a_stop, by_a_crash };

std::atomic<pid_t> g_own_child{0};
std::atomic<int> g_own_child_status{-1};

// A child of the host's own with the given pid, which waits for signals.
pid_t clone_with_pid(pid_t pid) {
    clone_args args{};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<uint64_t>(&pid);
    args.set_tid_size = 1;
    long child = syscall(SYS_clone3, &args, sizeof args);
    if (child == 0) {
        for (;;) syscall(SYS_pause);
    }
    return static_cast<pid_t>(child);
}

// The host's reaper thread: on each SIGCHLD (which every other thread
// blocks) it reaps every child that has ended, and hands the server's pid to
// a child of its own at once.
[[noreturn]] void reap_children() {
    sigset_t child_ended;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    for (;;) {
        int signal;
        sigwait(&child_ended, &signal);
        int status;
        for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
            if (pid == g_own_child) {
                g_own_child_status = status;
            } else {
                g_own_child = clone_with_pid(pid);
            }
        }
    }
}

// Answered as the server is lost, once the host has reaped the server and
// given its pid away: only then does the library turn to the server.
void answer_once_the_pid_is_reused(uint64_t context, Host_Location* records, int32_t count,
                                   char* strings) {
    eventually([] { return g_own_child != 0; }, 10s);
    record_answer(context, records, count, strings);
}

bool session_ended() {
    std::lock_guard lock(g_lsp_state.session_mutex);
    return g_lsp_state.reader_finished;
}

// The child of the test that runs body as the first process of a new pid
// namespace: 77 when the system gives none.
template <typename Body>
int in_new_pid_namespace(Body body) {
    if (unshare(CLONE_NEWPID) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) return 77;
    pid_t first = fork_child(body);
    std::optional<int> status = status_of(first, 30s);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : 1;
}

// The core library with the fixture's short limits.
class Reaped_Server : public Linked_Fake_Server_Test, public testing::WithParamInterface<Loss> {
protected:
    // The host, as the first process of its pid namespace. 0 when its own child
    // got the server's pid, and only the host's own SIGKILL ended it. The server
    // holds the look-up (or crashes at it), which is answered as it is lost.
    int host(Loss loss) {
        sigset_t child_ended;
        sigemptyset(&child_ended);
        sigaddset(&child_ended, SIGCHLD);
        pthread_sigmask(SIG_BLOCK, &child_ended, nullptr);
        std::thread(reap_children).detach();
        g_lsp_limits.exit_grace = 5s;  // the server ends on exit, however slow the build
        setenv("VANTREL_FAKE_ANSWERS", "0", 1);
        use_server(loss == Loss::at_a_stop ? "normal" : "crash_on_references");
        scan(python_file("a.py"));
        g_vantrel.enqueue_lsp_find_references(answer_once_the_pid_is_reused, 1, "/a.py", 5, 0, 4);
        if (loss == Loss::at_a_stop) g_vantrel.enqueue_stop();
        if (wait_for_answers(1).size() != 1) return 2;
        if (g_own_child < 0) return 77;  // no pid can be chosen for a child here
        if (!eventually(session_ended) || g_own_child == 0) return 3;
        if (g_own_child_status != -1) return 4;  // ended, or reaped, by the library
        kill(g_own_child, SIGKILL);
        eventually([] { return g_own_child_status != -1; }, 5s);
        return WIFSIGNALED(g_own_child_status) && WTERMSIG(g_own_child_status) == SIGKILL ? 0 : 5;
    }
};

TEST_P(Reaped_Server, PidThatTheHostGaveToItsOwnChildIsNeverSignalled) {
    Loss loss = GetParam();
    for (int round = 0; round < 3 && !HasFailure(); ++round) {
        pid_t child = fork_child([this, loss] {
            return in_new_pid_namespace([this, loss] { return host(loss); });
        });
        std::optional<int> status = status_of(child, 40s);
        if (exited_with(status, 77)) GTEST_SKIP() << "no pid namespace, or no chosen pid, here";
        EXPECT_TRUE(exited_with(status, 0)) << "the host's status: " << status.value_or(-1);
    }
}

const char* name_of(Loss loss) { return loss == Loss::at_a_stop ? "AtAStop" : "ByACrash"; }

void PrintTo(Loss loss, std::ostream* out) { *out << name_of(loss); }

INSTANTIATE_TEST_SUITE_P(Reaped_Server, Reaped_Server, testing::Values(Loss::at_a_stop, Loss::by_a_crash),
                         [](const auto& info) { return std::string(name_of(info.param)); });

}  // namespace
