// Load, work, stop cycles against the scripted server. While Python scans
// are queued and references callbacks make waiting finds (the manual allows
// it), the library is ended by enqueue_stop, by dlclose without a stop, or by
// exit() in a child process, from a host thread or from a scan callback while
// a references callback waits for its find. Every ending returns, each
// look-up is answered exactly once and no server is left. VANTREL_STOP_CYCLES
// sets the number of cycles of each ending (thousands for a long run); the
// default keeps the test quick.
#include <cstdio>

#include "fork_support.h"
#include "host_support.h"

// Asked by ThreadSanitizer, when the program runs under it. A child that
// exits from a scan callback leaves its main thread running, and at such an
// exit the sanitizer would wait a second for races of the threads left.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
    return "atexit_sleep_ms=0";
}

namespace {

using namespace std::chrono_literals;

enum class Ending { stop, unload, exit, exit_from_callback };

// Look-ups asked and answered in one cycle; a look-up is counted as asked
// before it is made, so that answered never passes asked.
struct Work {
    std::atomic<uint64_t> asked{0};
    std::atomic<uint64_t> answered{0};
    std::atomic<uint64_t> served{0};  // answered with the server's locations
    std::atomic<int> finding{0};  // references callbacks inside their waiting find
    std::atomic<bool> done{false};
    std::vector<std::thread> hosts;
};

void drop_links(uint64_t, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
}

void answer_with_waiting_find(uint64_t context, Host_Location* records, int32_t count,
                              char* strings) {
    g_vantrel.free_memory(records);
    g_vantrel.free_memory(strings);
    Work& work = object_of<Work>(context);
    if (count > 0) ++work.served;
    ++work.finding;
    g_vantrel.enqueue_find_symbols_in_text(drop_links, 0, "f", 1, false, true, nullptr, 0);
    --work.finding;
    ++work.answered;
}

void ask(Work& work, const std::string& path) {
    ++work.asked;
    g_vantrel.enqueue_lsp_find_references(answer_with_waiting_find, context_of(&work), path.data(),
                                          static_cast<uint32_t>(path.size()), 0, 4);
}

void finish_work(Work& work) {
    work.done = true;
    for (std::thread& host : work.hosts) host.join();
}

// A scan callback that ends the process once a references callback waits
// for a find, which the worker running this callback would serve.
void exit_once_a_callback_waits(uint64_t context) {
    Work& work = object_of<Work>(context);
    ask(work, "/a.py");
    eventually([&work] { return work.finding > 0; }, 20s);
    std::exit(0);
}

// A hang leaves threads inside the library, which the process cannot unload
// or exit past: it is ended, so that the failure shows at once.
[[noreturn]] void fail_hung(int cycle, const char* ending) {
    ADD_FAILURE() << ending << " of cycle " << cycle << " never returned";
    std::fflush(stdout);
    _exit(1);
}

class Host_Stop_Cycles_Test : public testing::TestWithParam<Ending> {
protected:
    Temp_Dir dir;
    std::vector<std::string> paths;

    void SetUp() override {
        setenv("VANTREL_FAKE_MODE", "normal", 1);
        unsetenv("VANTREL_FAKE_LOG");
        unsetenv("VANTREL_FAKE_INFO");
        for (int i = 0; i < 16; ++i) {
            paths.push_back(dir / ("m" + std::to_string(i) + ".py"));
            write_file(paths.back(), "def f" + std::to_string(i) + "():\n    pass\n");
        }
    }

    static int cycles() {
        const char* value = getenv("VANTREL_STOP_CYCLES");
        return value != nullptr && *value != '\0' ? atoi(value) : 100;
    }

    // Loads the library and starts host threads that queue Python scans and
    // ask look-ups until done is set; true once the server answers and its
    // answers make waiting finds.
    bool load_and_work(Work& work) {
        load_vantrel();
        g_vantrel.lsp_set_executable_path(VANTREL_FAKE_SERVER);
        work.hosts.emplace_back([this, &work] {
            for (size_t i = 0; !work.done; ++i) enqueue_scan(paths[i % paths.size()]);
        });
        work.hosts.emplace_back([this, &work] {
            while (!work.done) {
                ask(work, paths[0]);
                std::this_thread::sleep_for(100us);
            }
        });
        return eventually([&work] { return work.served >= 3; }, 20s);
    }

    // One cycle ended by enqueue_stop (the host threads go on calling
    // meanwhile) or by dlclose.
    void cycle_in_process(int cycle, Ending ending) {
        Work work;
        EXPECT_TRUE(load_and_work(work)) << "no answer came";
        if (ending == Ending::stop && !stop_returns()) fail_hung(cycle, "enqueue_stop");
        finish_work(work);
        if (!Background_Call([] { dlclose(g_vantrel.handle); }).returns()) fail_hung(cycle, "dlclose");
        EXPECT_EQ(work.answered, work.asked);
        EXPECT_TRUE(child_processes().empty()) << "a server outlives the library";
    }

    // One cycle in a child that ends by exit() with the work under way.
    void cycle_in_child(int cycle, Ending ending) {
        pid_t child = fork_child([this, ending] {
            // Outlives the body: the stop that exit() runs still answers
            // look-ups into it.
            Work& work = *new Work;
            bool worked = load_and_work(work);
            finish_work(work);
            if (worked && ending == Ending::exit_from_callback) {
                enqueue_scan("", exit_once_a_callback_waits, context_of(&work), VANTREL_LUA);
                for (;;) pause();
            }
            return worked ? 0 : 1;
        });
        std::optional<int> status = status_of(child, 20s);
        EXPECT_TRUE(!status || exited_with(status, 0)) << "the child's work failed";
        if (!status) fail_hung(cycle, "exit");
    }
};

TEST_P(Host_Stop_Cycles_Test, EveryEndingReturnsWhileCallbacksWaitForFinds) {
    Ending ending = GetParam();
    bool in_process = ending == Ending::stop || ending == Ending::unload;
    for (int cycle = 0, count = cycles(); cycle < count && !HasFailure(); ++cycle)
        in_process ? cycle_in_process(cycle, ending) : cycle_in_child(cycle, ending);
}

const char* name_of(Ending ending) {
    switch (ending) {
    case Ending::stop: return "EnqueueStop";
    case Ending::unload: return "Dlclose";
    case Ending::exit: return "Exit";
    case Ending::exit_from_callback: return "ExitFromScanCallback";
    }
    return "";
}

// Names the cases, and the parameter in ctest's listing.
std::string ending_name(const testing::TestParamInfo<Ending>& info) { return name_of(info.param); }

void PrintTo(Ending ending, std::ostream* out) { *out << name_of(ending); }

INSTANTIATE_TEST_SUITE_P(Host_Stop_Cycles, Host_Stop_Cycles_Test,
                         testing::Values(Ending::stop, Ending::unload, Ending::exit,
                                         Ending::exit_from_callback),
                         ending_name);

}  // namespace
