// What the host-interface tests share on top of the test host: a way to hold
// the worker busy for as long as a test wants, a log of the callbacks in the
// order they ran, and finds whose links are copied out of the host blocks.
#pragma once

#include "lsp_test_host.h"

inline uint64_t context_of(const void* object) { return reinterpret_cast<uint64_t>(object); }

template <typename Object>
Object& object_of(uint64_t context) {
    return *reinterpret_cast<Object*>(context);
}

inline void enqueue_scan(const std::string& path, Scan_Callback callback = nullptr,
                         uint64_t context = 0, int64_t language = VANTREL_PYTHON) {
    g_vantrel.enqueue_scan_file(callback, context, path.data(), static_cast<uint32_t>(path.size()),
                                language);
}

// Holds the worker inside a scan callback until the test releases it, so that
// whatever the test queues meanwhile waits in the queues.
struct Worker_Latch {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;

    static void hold(uint64_t context) {
        Worker_Latch& latch = object_of<Worker_Latch>(context);
        std::unique_lock lock(latch.mutex);
        latch.entered = true;
        latch.changed.notify_all();
        latch.changed.wait(lock, [&latch] { return latch.released; });
    }

    // Queues a scan of path whose callback holds the worker; returns once the
    // worker is inside it.
    void occupy_worker(const std::string& path) {
        enqueue_scan(path, hold, context_of(this));
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return entered; });
    }

    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

// The contexts of the scan and find callbacks, in the order they ran.
struct Call_Log {
    std::mutex mutex;
    std::vector<uint64_t> contexts;
};

inline Call_Log g_calls;

inline void log_call(uint64_t context) {
    std::lock_guard lock(g_calls.mutex);
    g_calls.contexts.push_back(context);
}

inline void log_scan(uint64_t context) { log_call(context); }

inline void log_find(uint64_t context, Host_Definition_Link* links, uint64_t, char* strings) {
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
    log_call(context);
}

inline std::vector<uint64_t> logged_calls() {
    std::lock_guard lock(g_calls.mutex);
    return g_calls.contexts;
}

inline void enqueue_logged_find(uint64_t context, bool wait = false, const std::string& text = "") {
    g_vantrel.enqueue_find_symbols_in_text(log_find, context, text.data(),
                                           static_cast<uint32_t>(text.size()), false, wait, nullptr, 0);
}

// One link as the host received it.
struct Link {
    uint32_t start;
    uint32_t end;
    std::string path;
    uint32_t row;
    uint32_t column;
    bool operator==(const Link& other) const {
        return std::tie(start, end, path, row, column) ==
               std::tie(other.start, other.end, other.path, other.row, other.column);
    }
};

inline std::ostream& operator<<(std::ostream& out, const Link& link) {
    return out << link.start << "-" << link.end << " " << link.path << ":" << link.row << ":"
               << link.column;
}

struct Find_Result {
    int calls = 0;
    std::vector<Link> links;
};

inline void collect_links(uint64_t context, Host_Definition_Link* links, uint64_t count, char* strings) {
    Find_Result& result = object_of<Find_Result>(context);
    ++result.calls;
    for (uint64_t i = 0; i < count; ++i)
        result.links.push_back({links[i].start, links[i].end, links[i].path, links[i].row, links[i].column});
    g_vantrel.free_memory(links);
    g_vantrel.free_memory(strings);
}

// A waiting find: returns the links once its callback has run.
inline std::vector<Link> find_links(const std::string& text, const std::vector<std::string>& preferred = {}) {
    std::vector<String_Ref> paths;
    for (const std::string& path : preferred) paths.push_back({path.data(), static_cast<uint32_t>(path.size())});
    Find_Result result;
    g_vantrel.enqueue_find_symbols_in_text(collect_links, context_of(&result), text.data(),
                                           static_cast<uint32_t>(text.size()), false, true,
                                           paths.data(), static_cast<uint32_t>(paths.size()));
    EXPECT_EQ(result.calls, 1);
    return result.links;
}

// A call made on a thread of its own, so that the test can act while it
// blocks, and fails rather than hangs when it never returns.
class Background_Call {
public:
    explicit Background_Call(std::function<void()> call)
        : thread_([finished = finished_, call = std::move(call)] {
              call();
              *finished = true;
          }) {}

    ~Background_Call() {
        if (thread_.joinable()) thread_.detach();
    }

    bool returns(std::chrono::seconds limit = std::chrono::seconds(20)) {
        if (!eventually([this] { return finished_->load(); }, limit)) return false;
        thread_.join();
        return true;
    }

private:
    std::shared_ptr<std::atomic<bool>> finished_ = std::make_shared<std::atomic<bool>>(false);
    std::thread thread_;
};

// A freshly loaded library, a scratch directory and a latch that can hold the
// worker; the latch is opened and the library stopped after each test.
class Host_Test : public testing::Test {
protected:
    Temp_Dir dir;
    Worker_Latch latch;

    void SetUp() override { ASSERT_NO_FATAL_FAILURE(load_vantrel()); }

    void TearDown() override {
        latch.release();
        EXPECT_TRUE(stop_returns());
    }
};

// Adds scans of fresh paths until one is refused, which shows that a stop
// running on another thread has ended the worker's service. Returns how many
// were accepted (and stay queued, never served).
inline uint64_t probe_until_refused(const Temp_Dir& dir) {
    for (uint64_t accepted = 0;; ++accepted) {
        uint64_t before = g_vantrel.get_pending_tasks_count();
        enqueue_scan(dir / ("probe" + std::to_string(accepted) + ".py"));
        if (g_vantrel.get_pending_tasks_count() == before) return accepted;
        std::this_thread::yield();
    }
}
