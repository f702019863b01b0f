// The end of a host's process at any moment: exit() from a callback of any
// kind, exit() while another thread is inside enqueue_stop, and calls that
// race the exit or come after a stop. Each case runs in a child that ends
// through exit() as a host does, with a server that ignores shutdown, exit
// and SIGTERM and answers only the first look-up. The child reports every
// references answer through a pipe, so that the test sees what the exit
// itself answered; the exit must end the child cleanly (a crash, or a
// sanitizer's report, shows in its status) and leave no server running.
#include <fcntl.h>
#include <sys/mman.h>

#include "fake_server_support.h"
#include "fork_support.h"
#include "host_support.h"

// Asked by ThreadSanitizer, when the program runs under it. An exit beside a
// stop under way on another thread waits for the library's threads to end,
// not for that stop to join them: the stop may be waiting for the very thread
// that exits. A thread that ended unjoined as the process ends is no fault.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
    return "report_thread_leaks=0";
}

namespace {

using namespace std::chrono_literals;

enum class Exiting { references_callback, scan_callback, find_callback };
enum class Race { none, stop_first, exit_first };

struct Answer_Report {
    uint64_t context;
    int32_t count;
};

// The child's side: where answers are reported, and what its callbacks do.
struct Child_Plan {
    int report_fd = -1;
    Race race = Race::none;
    std::atomic<bool> first_answered{false};
    std::atomic<bool> held_asked{false};        // the held look-ups are pending
    std::atomic<bool> callback_entered{false};  // the callback that exits runs
    std::atomic<bool> stop_begun{false};        // a host thread is entering enqueue_stop
    std::atomic<bool> exit_begun{false};        // the callback is calling exit()
};

Child_Plan g_plan;

constexpr uint64_t FIRST_LOOK_UP = 100;
constexpr uint64_t HELD_LOOK_UPS = 5;

void report_answer(uint64_t context, Host_Location* records, int32_t count, char* strings) {
    g_vantrel.free_memory(records);
    g_vantrel.free_memory(strings);
    Answer_Report report{context, count};
    (void)!write(g_plan.report_fd, &report, sizeof report);
    if (context == FIRST_LOOK_UP) g_plan.first_answered = true;
}

// Ends the process from a callback, after or before a host thread's stop as
// the race says.
[[noreturn]] void exit_from_callback() {
    g_plan.callback_entered = true;
    if (g_plan.race == Race::stop_first) {
        eventually([] { return g_plan.stop_begun.load(); });
        std::this_thread::sleep_for(50ms);
    }
    g_plan.exit_begun = true;
    std::exit(0);
}

void exit_in_references_callback(uint64_t context, Host_Location* records, int32_t count,
                                 char* strings) {
    report_answer(context, records, count, strings);
    eventually([] { return g_plan.held_asked.load(); });
    exit_from_callback();
}

void exit_in_scan_callback(uint64_t) { exit_from_callback(); }

void exit_in_find_callback(uint64_t, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
    exit_from_callback();
}

// A references callback whose waiting find exits: the exit must release the
// reader waiting for the find, which it then waits for in turn.
void exit_in_a_find_it_waits_for(uint64_t context, Host_Location* records, int32_t count,
                                 char* strings) {
    report_answer(context, records, count, strings);
    eventually([] { return g_plan.held_asked.load(); });
    g_vantrel.enqueue_find_symbols_in_text(exit_in_find_callback, 0, "f", 1, false, true, nullptr, 0);
}

// A host thread that stops the library, before or after the callback's exit.
void race_the_exit_with_a_stop(Race race) {
    if (race == Race::none) return;
    std::thread([race] {
        std::atomic<bool>& after = race == Race::exit_first ? g_plan.exit_begun
                                                            : g_plan.callback_entered;
        eventually([&after] { return after.load(); });
        g_plan.stop_begun = true;
        g_vantrel.enqueue_stop();
    }).detach();
}

// The child's core library has the fixture's short limits.
class Host_Exit : public Linked_Fake_Server_Test {
protected:
    int report_pipe[2] = {-1, -1};

    // In the child: a server that has answered the first look-up and holds
    // HELD_LOOK_UPS more.
    void start_holding_server(Exiting exiting) {
        g_plan.report_fd = report_pipe[1];
        setenv("VANTREL_FAKE_ANSWERS", "1", 1);
        use_server("ignore_shutdown");
        scan(python_file("a.py"));
        References_Callback first = exiting == Exiting::references_callback ? exit_in_references_callback
                                    : exiting == Exiting::find_callback     ? exit_in_a_find_it_waits_for
                                                                            : report_answer;
        g_vantrel.enqueue_lsp_find_references(first, FIRST_LOOK_UP, "/a.py", 5, 0, 4);
        for (uint64_t held = 1; held <= HELD_LOOK_UPS; ++held)
            g_vantrel.enqueue_lsp_find_references(report_answer, held, "/a.py", 5, 0, 4);
        g_plan.held_asked = true;
    }

    // The child's body: the exit comes from a callback of the given kind,
    // with Python scans queued behind it.
    [[noreturn]] void run_child(Exiting exiting, Race race) {
        g_plan.race = race;
        start_holding_server(exiting);
        race_the_exit_with_a_stop(race);
        if (exiting == Exiting::scan_callback) {
            eventually([] { return g_plan.first_answered.load(); });
            enqueue_scan(dir / "a.py", exit_in_scan_callback);
        }
        for (int i = 0; i < 20; ++i) enqueue_scan(dir / ("queued" + std::to_string(i) + ".py"));
        for (;;) pause();
    }

    std::map<uint64_t, std::vector<int32_t>> reported_answers() {
        close(report_pipe[1]);
        std::map<uint64_t, std::vector<int32_t>> answers;
        Answer_Report report;
        while (read(report_pipe[0], &report, sizeof report) == sizeof report)
            answers[report.context].push_back(report.count);
        close(report_pipe[0]);
        return answers;
    }

    // Every look-up was answered once, the held ones with no records, and
    // the server that ignored everything but SIGKILL is gone.
    void expect_clean_exit(pid_t child) {
        std::optional<int> status = status_of(child, 20s);
        EXPECT_TRUE(exited_with(status, 0)) << "the child's status: " << status.value_or(-1);
        std::map<uint64_t, std::vector<int32_t>> answers = reported_answers();
        EXPECT_EQ(answers[FIRST_LOOK_UP], std::vector<int32_t>{2});
        for (uint64_t held = 1; held <= HELD_LOOK_UPS; ++held)
            EXPECT_EQ(answers[held], std::vector<int32_t>{0}) << "held look-up " << held;
        EXPECT_TRUE(last_server_ended()) << "the server outlives its host";
        for (const std::string& server : server_info("start")) kill(std::stoi(server), SIGKILL);
    }

    void run_rounds(Exiting exiting, Race race) {
        for (int round = 0; round < 3 && !HasFailure(); ++round) {
            std::filesystem::remove(dir / "server.info");
            ASSERT_EQ(pipe2(report_pipe, O_CLOEXEC), 0);
            pid_t child = fork_child([&]() -> int { run_child(exiting, race); });
            expect_clean_exit(child);
        }
    }
};

// One case: the callback that exits, and the stop that races it, if any.
struct Exit_Case {
    const char* name;
    Exiting exiting;
    Race race;
};

void PrintTo(const Exit_Case& exit_case, std::ostream* out) { *out << exit_case.name; }

class Exit_From_Callback : public Host_Exit, public testing::WithParamInterface<Exit_Case> {};

// exit() from a callback on the worker or on the reader does the stop a host
// thread's exit does: the held look-ups are answered, the server is ended,
// and no thread of the library is left on memory the exit frees. So does
// one made while a host thread is inside enqueue_stop, or just before it
// enters: that stop may be waiting for the very thread that exits, and
// neither may leave the other's work half done.
TEST_P(Exit_From_Callback, AnswersEveryLookUpAndEndsTheServer) {
    run_rounds(GetParam().exiting, GetParam().race);
}

INSTANTIATE_TEST_SUITE_P(
    Host_Exit, Exit_From_Callback,
    testing::Values(Exit_Case{"ReferencesCallback", Exiting::references_callback, Race::none},
                    Exit_Case{"ScanCallback", Exiting::scan_callback, Race::none},
                    Exit_Case{"FindCallbackAReferencesCallbackWaitsFor", Exiting::find_callback, Race::none},
                    Exit_Case{"ReferencesCallbackDuringAStop", Exiting::references_callback, Race::stop_first},
                    Exit_Case{"ReferencesCallbackBeforeAStop", Exiting::references_callback, Race::exit_first},
                    Exit_Case{"ScanCallbackDuringAStop", Exiting::scan_callback, Race::stop_first},
                    Exit_Case{"ScanCallbackBeforeAStop", Exiting::scan_callback, Race::exit_first}),
    [](const auto& info) { return std::string(info.param.name); });

// The calls a host may still make as the process ends, each given one
// argument block of length bytes; a find's preferred paths are an array of
// String_Refs there only when it cannot be read.
enum class Call { set_executable_path, start_workers, scan, find, references, clear };

std::atomic<int> g_callbacks{0};

void make_call(Call call, const char* block, uint32_t length, bool unreadable) {
    auto scanned = [](uint64_t) { ++g_callbacks; };
    auto found = [](uint64_t, Host_Definition_Link*, uint64_t, char*) { ++g_callbacks; };
    auto answered = [](uint64_t, Host_Location*, int32_t count, char*) { g_callbacks += 1 + count; };
    auto paths = unreadable ? reinterpret_cast<const String_Ref*>(block) : nullptr;
    uint32_t path_count = unreadable ? length / sizeof(String_Ref) : 0;
    switch (call) {
    case Call::set_executable_path: return g_vantrel.lsp_set_executable_path(block);
    case Call::start_workers: return g_vantrel.start_workers();
    case Call::scan: return g_vantrel.enqueue_scan_file(scanned, 0, block, length, VANTREL_PYTHON);
    case Call::find:
        return g_vantrel.enqueue_find_symbols_in_text(found, 0, block, length, false, true, paths, path_count);
    case Call::references: return g_vantrel.enqueue_lsp_find_references(answered, 0, block, length, 0, 0);
    case Call::clear: return g_vantrel.enqueue_clear();
    }
}

const char* name_of(Call call) {
    const char* names[] = {"SetExecutablePath", "StartWorkers", "Scan", "Find", "References", "Clear"};
    return names[static_cast<int>(call)];
}

void PrintTo(Call call, std::ostream* out) { *out << name_of(call); }

std::string call_name(const testing::TestParamInfo<Call>& info) { return name_of(info.param); }

class Calls_At_The_End : public testing::TestWithParam<Call> {};

// After a stop every call returns at once and reads none of its arguments
// (here a gigabyte that cannot be read); only a look-up is answered, at
// once, with no records. Calls that race the exit touch nothing it freed.
TEST_P(Calls_At_The_End, ReadNothingAfterAStopAndRaceTheExitSafely) {
    Call call = GetParam();
    pid_t after_stop = fork_child([call] {
        link_vantrel();
        g_vantrel.start_workers();
        g_vantrel.enqueue_stop();
        constexpr uint32_t size = 1u << 30;
        void* unreadable = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        make_call(call, static_cast<const char*>(unreadable), size, true);
        bool answered_at_once = call == Call::references ? g_callbacks == 1 : g_callbacks == 0;
        return answered_at_once && g_vantrel.get_pending_tasks_count() == 0 ? 0 : 1;
    });
    EXPECT_TRUE(exited_with(status_of(after_stop), 0));
    pid_t racing_exit = fork_child([call] {
        link_vantrel();
        g_vantrel.start_workers();
        for (int i = 0; i < 4; ++i) {
            std::thread([call] {
                for (;;) make_call(call, "/nowhere/to/be/found/a.py", 25, false);
            }).detach();
        }
        std::this_thread::sleep_for(50ms);
        return 0;
    });
    EXPECT_TRUE(exited_with(status_of(racing_exit), 0));
}

INSTANTIATE_TEST_SUITE_P(Host_Exit, Calls_At_The_End,
                         testing::Values(Call::set_executable_path, Call::start_workers, Call::scan,
                                         Call::find, Call::references, Call::clear),
                         call_name);

// A host that names the library at build time, whose exit finalises the
// library only after the host's own exit handlers, exits from a scan
// callback while two threads wait inside enqueue_stop (see linked_host.c).
TEST(Host_Exit_Linked, FreesNothingThatThreadsInsideAStopWaitOn) {
    for (int round = 0; round < 3 && !HasFailure(); ++round) {
        pid_t host = fork();
        if (host == 0) {
            execl(VANTREL_LINKED_HOST, VANTREL_LINKED_HOST, nullptr);
            _exit(127);
        }
        EXPECT_TRUE(exited_with(status_of(host), 0));
    }
}

}  // namespace
