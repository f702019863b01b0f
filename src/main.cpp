// The host interface: the exported functions, the two request queues, the
// single worker thread that executes every scan, find and clear, and the
// library's global objects.
//
// Shape: host threads only copy their arguments into a Request and queue it;
// the worker alone touches the index and the parsers, so they need no lock.
// g_queue_mutex is held only for queue operations (and, once, to start the
// worker, and across a fork of the process), never while a request is
// executed, a callback runs or a thread is waited for.
#include "main.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "descriptors.h"
#include "lsp_process.h"
#include "scanner.h"
#include "vantrel.h"

// This library's own handle, from the C runtime's start files.
extern "C" __attribute__((visibility("hidden"))) void* __dso_handle;

namespace {

struct Scan_Request {
    Scan_Callback callback;  // may be null
    uint64_t context;
    std::string path;  // backslashes already replaced by '/'
    Language language;
};

// The last three fields point into the enqueuing call's frame and are used
// only when wait is set: with wait clear that frame may be gone.
struct Find_Request {
    Find_Callback callback;  // never null
    uint64_t context;
    std::string text;
    bool compound_only;
    bool wait;
    std::vector<std::string> preferred_paths;  // normalised by the worker
    std::mutex* done_mutex;
    std::condition_variable* done_cv;
    bool* done;
};

struct Clear_Request {};

using Request = std::variant<Scan_Request, Find_Request, Clear_Request>;

// The worker thread: joinable from its start until it is joined or detached.
struct Worker_Thread {
    pthread_t handle{};
    bool joinable = false;
};

}  // namespace

// Global objects, constructed at load in this order. The process's exit
// destroys none of them: host threads may still be inside calls while exit()
// runs, and the process's end releases the memory. Unloading destroys them in
// reverse order (destroy_globals), once the library's threads have ended.
Lsp_State& g_lsp_state = *new Lsp_State;
std::mutex& g_server_start_mutex = *new std::mutex;  // one session at a time is started or ended
std::mutex& g_lsp_executable_path_mutex = *new std::mutex;  // guards g_lsp_executable_path and the back-off
std::string& g_lsp_executable_path = *new std::string;
// Guards the queues, the path set, the stop's flags and g_worker_thread.
std::mutex& g_queue_mutex = *new std::mutex;
std::condition_variable& g_queue_cv = *new std::condition_variable;  // the worker waits on it for requests or a stop
// A stop waits on it for another under way, or for the worker's end.
std::condition_variable& g_stop_cv = *new std::condition_variable;
std::deque<Request>& g_request_queue = *new std::deque<Request>;  // finds and clears, served before every scan
std::deque<Request>& g_scan_queue = *new std::deque<Request>;
std::unordered_set<std::string>& g_queued_scan_paths = *new std::unordered_set<std::string>;  // the path of every queued scan
Worker_Thread& g_worker_thread = *new Worker_Thread;
Scanner& g_scanner = *new Scanner;  // used by the worker thread only

// Constant-initialised: valid before any constructor above has run.
std::atomic<bool> g_lsp_started{false};
std::atomic<uint64_t> g_pending_tasks{0};
std::atomic<bool> g_stopped{false};

namespace {

// Set once a stop has ended the worker; never cleared. Guarded by g_queue_mutex.
bool g_stop_requested = false;

// Guarded by g_queue_mutex.
bool g_stop_at_unload_registered = false;

// Set while a stop is under way, so that every enqueue_stop on a host thread
// returns only after the worker has been joined and the language server shut
// down. Guarded by g_queue_mutex; no lock is held while a stop waits.
bool g_stopping = false;

// Whether a worker thread runs, from its start until worker_loop has
// returned, whoever holds its handle. Guarded by g_queue_mutex; g_stop_cv is
// notified when it is cleared.
bool g_worker_running = false;

// The request the worker is executing, if any; the worker's alone.
Request* g_current_request = nullptr;

// Set when the library is being unloaded, before its exit handlers run; at
// the process's exit they run first, with this still clear. So they tell an
// unload, after which nobody may call in, from an exit, during which host
// threads may.
bool g_unloading = false;

// Set when an unload could not end the library's threads (it was made from
// a callback): the global objects are then left in place.
bool g_keep_globals = false;

// The worker's id while it runs: a callback running on the worker must
// neither wait for it nor join it. (Not a thread_local: dynamic TLS of an
// unloadable library trips up leak checkers that scan live threads at exit.)
std::atomic<std::thread::id> g_worker_id;

// The process that started the worker; 0 before any start.
std::atomic<pid_t> g_worker_process{0};

bool on_worker_thread() { return g_worker_id.load() == std::this_thread::get_id(); }

void worker_loop();
void stop_at_unload(void*);

// The worker's stack, whatever the host's threads get by default (from its
// RLIMIT_STACK at start, or as the host set it), which may be small. The
// scans need little: nothing they run takes stack in proportion to the
// source, as tree-sitter's recursions over the parse stack are patched into
// loops and the walk of a tree keeps its path on the heap. The size is the
// one Linux gives a process's main thread by default, for the host's scan
// and find callbacks, which run on the worker.
constexpr size_t WORKER_STACK_SIZE = size_t{8} << 20;

void* run_worker(void*) noexcept {
    worker_loop();
    return nullptr;
}

// False, with the handle not joinable, when the system refuses the thread.
bool start_worker_thread(Worker_Thread& worker) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    worker.joinable = pthread_attr_setstacksize(&attributes, WORKER_STACK_SIZE) == 0 &&
                      pthread_create(&worker.handle, &attributes, run_worker, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    return worker.joinable;
}

// Runs an exported function's body: no exception may reach the host's
// frames, so a failure (memory, thread creation) ends the call without effect.
template <typename Body>
void guarded(Body body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

// Runs an exported function's body in the process that owns the library,
// unless a stop has ended its service: then the call does nothing, reads
// none of its arguments and touches none of the library's objects. In a
// child forked after the worker's start the call does nothing either: the
// worker it would wait for is not there, nor the server's threads, which may
// have held the client's locks at the fork.
template <typename Body>
void host_call(Body body) noexcept {
    note_call();
    if (!in_forked_child() && !g_stopped.load(std::memory_order_acquire)) guarded(body);
}

// Starts the worker unless one is held; false once a stop has ended the
// worker, or when no thread can be started, so that no request is accepted
// that nobody would ever serve.
// Caller holds g_queue_mutex, which makes the test and the start one step.
// No worker runs unless it is sure to be stopped before the library's
// objects are destroyed. Registering with this library's handle makes the
// stop run at dlclose as well as at exit; plain atexit can be rerouted (by a
// sanitizer's runtime) to the process's exit alone.
bool start_worker_locked() {
    if (g_stop_requested) return false;
    if (g_worker_thread.joinable) return true;
    if (!g_stop_at_unload_registered) {
        if (abi::__cxa_atexit(stop_at_unload, nullptr, &__dso_handle) != 0) return false;
        g_stop_at_unload_registered = true;
    }
    g_worker_process = getpid();
    g_worker_running = start_worker_thread(g_worker_thread);
    return g_worker_running;
}

// Releases the caller waiting for this find, if any. The notification is
// sent with the caller's mutex held: once it is released the caller may
// return and destroy the three objects.
void release_waiter(Request& request) {
    Find_Request* find = std::get_if<Find_Request>(&request);
    if (find == nullptr || !find->wait) return;
    std::lock_guard lock(*find->done_mutex);
    *find->done = true;
    find->done_cv->notify_one();
}

void release_waiters(std::deque<Request>& requests) {
    for (Request& request : requests) release_waiter(request);
}

// Closes the descriptor however the read ends, a failed allocation included.
struct Open_File {
    int descriptor;
    ~Open_File() {
        if (descriptor >= 0) close(descriptor);
    }
};

// Longer texts are not read: tree-sitter's offsets are 32-bit.
constexpr size_t MAX_TEXT_SIZE = UINT32_MAX;

// Bytes read at a time, between checks for a stop.
constexpr size_t READ_CHUNK = size_t{16} << 20;

// Reads to end of file, whatever size the file showed when it was opened: it
// may grow meanwhile, and a /proc file shows 0. False, with the buffer
// partly filled, when the text passes limit or the worker stops. The buffer
// grows by whole pages to a byte past the limit at least: /proc files take
// reads of whole records only.
bool read_to_end(int descriptor, size_t size_shown, size_t limit, std::string& buffer) {
    size_t most = (limit / 4096 + 1) * 4096;
    buffer.resize(std::min(std::max(size_shown + 1, size_t{4096}), most));
    size_t got = 0;
    while (got <= limit) {
        if (got == buffer.size()) buffer.resize(std::min(2 * got, most));
        if (g_scans_cancelled) return false;
        ssize_t count = read(descriptor, buffer.data() + got, std::min(buffer.size() - got, READ_CHUNK));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            buffer.resize(got);
            return true;
        }
        got += static_cast<size_t>(count);
    }
    return false;
}

// Reads the whole file into buffer, reusing its storage. Anything but a
// readable regular file whose text the scan's parse budget could hold beside
// its parse leaves it empty: a FIFO or a device could block the worker or
// never end (opening without blocking and checking the open file leaves no
// gap for a swap), a path holding a NUL byte names no file, and reading
// stops as soon as a file that grows, or a /proc file, passes the budget. A
// read cut short gives its storage back. Close-on-exec keeps the descriptor
// out of processes the host starts meanwhile, and it is never one of the
// host's standard streams, even when the host has closed them.
void read_file(const std::string& path, std::string& buffer) {
    buffer.clear();
    if (path.find('\0') != std::string::npos) return;
    Open_File file{above_standard_streams(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))};
    struct stat status;
    size_t limit = std::min(scan_memory_budget(), MAX_TEXT_SIZE);
    if (file.descriptor < 0 || fstat(file.descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<uint64_t>(status.st_size) > limit)
        return;
    if (!read_to_end(file.descriptor, static_cast<size_t>(status.st_size), limit, buffer))
        std::string().swap(buffer);
}

// The scan buffer's storage is kept for the next file up to this size; a
// larger one goes back to the system once its file has been scanned.
constexpr size_t KEPT_BUFFER_SIZE = size_t{4} << 20;

void release_large_buffer(std::string& buffer) {
    if (buffer.capacity() > KEPT_BUFFER_SIZE) std::string().swap(buffer);
}

// Re-indexes one file from disk. A file too large to be held in memory is
// indexed as one that cannot be read: it loses its earlier definitions.
void index_file(const std::string& path, Language language) {
    try {
        read_file(path, g_scanner.file_buffer);
        scan_file(path, g_scanner.file_buffer, g_scanner, language);
    } catch (const std::exception&) {
        g_scanner.file_buffer.clear();
        scan_file(path, g_scanner.file_buffer, g_scanner, language);
    }
}

// An empty text (the file emptied, gone, unreadable or too large) is not
// announced, but still withdraws the file's older announcement not yet sent.
void announce_python_file(const std::string& path, const std::string& text) {
    if (text.empty()) {
        lsp_withdraw_did_open(path);
    } else {
        lsp_did_open(path, text);
    }
}

// Whatever fails on the way, the scan's large buffer is given back and its
// callback runs once.
void handle_scan(Scan_Request& scan) {
    try {
        if (scan.language == VANTREL_PYTHON) lsp_start_server(scan.path);
        index_file(scan.path, scan.language);
        if (scan.language == VANTREL_PYTHON) announce_python_file(scan.path, g_scanner.file_buffer);
    } catch (...) {
    }
    release_large_buffer(g_scanner.file_buffer);
    if (scan.callback != nullptr) scan.callback(scan.context);
}

// Hands the links to the callback as one record array and one string buffer.
// When memory for them cannot be had the callback reports no links.
void report_links(const Find_Request& find, const std::vector<Definition_Link>& links) {
    Host_Definition_Link* records;
    char* strings;
    bool marshalled = marshal_records<Host_Definition_Link, Definition_Link>(
        links,
        [](const Definition_Link& link) { return std::string_view(link.path.data(), link.path.size()); },
        [](Host_Definition_Link& record, const Definition_Link& link, const char* path) {
            record = {link.start, link.end, path, link.position.row, link.position.column};
        },
        records, strings);
    find.callback(find.context, records, marshalled ? links.size() : 0, strings);
}

// A search that runs out of memory reports no links: the callback is still
// called once.
void handle_find(Find_Request& find) {
    for (std::string& path : find.preferred_paths) replace_backslashes(path);
    std::vector<Definition_Link> links;
    try {
        links = get_definitions_from_text(find.text, g_scanner, find.preferred_paths, find.compound_only);
    } catch (const std::exception&) {
        links.clear();
    }
    report_links(find, links);
}

// Executes one request on the worker thread. A failure part-way (memory, or
// an exception thrown by a host callback) ends the request there; it is
// finished all the same: a waiting caller is released and the count falls
// once, as the last step, after the callback has returned.
void handle_request(Request& request) {
    try {
        if (auto* scan = std::get_if<Scan_Request>(&request)) handle_scan(*scan);
        if (auto* find = std::get_if<Find_Request>(&request)) handle_find(*find);
        if (std::holds_alternative<Clear_Request>(request)) clear(g_scanner);
    } catch (...) {
    }
    release_waiter(request);
    g_pending_tasks.fetch_sub(1);
}

// Waits for the next request, finds and clears before scans; none once a
// stop is requested, even with requests queued.
std::optional<Request> take_request() {
    std::unique_lock lock(g_queue_mutex);
    g_queue_cv.wait(lock, [] {
        return g_stop_requested || !g_request_queue.empty() || !g_scan_queue.empty();
    });
    if (g_stop_requested) return std::nullopt;
    std::deque<Request>& queue = g_request_queue.empty() ? g_scan_queue : g_request_queue;
    if (auto* scan = std::get_if<Scan_Request>(&queue.front())) g_queued_scan_paths.erase(scan->path);
    Request request = std::move(queue.front());
    queue.pop_front();
    return request;
}

void note_worker_ended() {
    {
        std::lock_guard lock(g_queue_mutex);
        g_worker_running = false;
    }
    g_stop_cv.notify_all();
}

void worker_loop() {
    g_worker_id = std::this_thread::get_id();
    while (std::optional<Request> request = take_request()) {
        g_current_request = &*request;
        handle_request(*request);
        g_current_request = nullptr;
    }
    g_worker_id = std::thread::id();
    note_worker_ended();
}

// Queues a scan unless its path already waits or a stop has ended the worker.
// The worker is woken with the lock held: woken after, it could finish the
// request and the process exit (from a callback) under the notification.
void append_scan(Scan_Request&& scan) {
    std::lock_guard lock(g_queue_mutex);
    if (!start_worker_locked()) return;
    auto [entry, inserted] = g_queued_scan_paths.insert(scan.path);
    if (!inserted) return;
    try {
        g_scan_queue.push_back(std::move(scan));
    } catch (...) {
        g_queued_scan_paths.erase(entry);
        throw;
    }
    g_pending_tasks.fetch_add(1);
    g_queue_cv.notify_one();
}

// Queues a find; false when a stop has ended the worker and nothing was queued.
bool append_find(Find_Request&& find) {
    std::lock_guard lock(g_queue_mutex);
    if (!start_worker_locked()) return false;
    g_request_queue.push_back(std::move(find));
    g_pending_tasks.fetch_add(1);
    g_queue_cv.notify_one();
    return true;
}

// Ends the worker's service: it finishes the request in progress (a scan is
// cut short, its file left with no definitions) and then ends; queued
// requests are never served and stay counted. Callers waiting for queued
// finds are released here, before the stop waits for any thread: one may be
// a references callback that the reader runs. Nothing is queued after the
// stop, so taking the finds out of the queue changes nothing else. Returns
// the thread for the caller to join, or none when no worker is held or this
// is the worker itself (a callback that stops its own worker; the handle
// stays for a later stop or the unload to join).
Worker_Thread request_worker_stop() {
    Worker_Thread worker;
    std::deque<Request> abandoned;
    {
        std::lock_guard lock(g_queue_mutex);
        if (!g_worker_thread.joinable) return worker;
        g_stop_requested = true;
        g_stopped = true;
        g_scans_cancelled = true;
        abandoned.swap(g_request_queue);
        if (!on_worker_thread()) worker = std::exchange(g_worker_thread, Worker_Thread{});
    }
    g_queue_cv.notify_one();
    release_waiters(abandoned);
    return worker;
}

// The first shutdown also wakes a worker blocked writing to the server; the
// second, once the worker is joined, ends a server that a scan in progress
// started after the first, so that none is left behind.
void stop_worker_and_server() {
    Worker_Thread worker = request_worker_stop();
    guarded(lsp_shutdown);
    if (!worker.joinable) return;
    pthread_join(worker.handle, nullptr);
    guarded(lsp_shutdown);
}

enum class Stop_Claim : uint8_t { claimed, ended_elsewhere, under_way_elsewhere };

// Makes the calling thread the one that stops, or waits until a stop under
// way on another thread has ended. On the worker, or in a references
// callback, the call does not wait: the stop under way may be waiting for
// that thread.
Stop_Claim claim_stop() {
    bool may_wait = !on_worker_thread() && !lsp_on_reader_thread();
    std::unique_lock lock(g_queue_mutex);
    if (!g_stopping) {
        g_stopping = true;
        return Stop_Claim::claimed;
    }
    if (!may_wait) return Stop_Claim::under_way_elsewhere;
    g_stop_cv.wait(lock, [] { return !g_stopping; });
    return Stop_Claim::ended_elsewhere;
}

void end_stop() {
    {
        std::lock_guard lock(g_queue_mutex);
        g_stopping = false;
    }
    g_stop_cv.notify_all();
}

// Holds no lock of the library while it waits for the worker or the
// reader, whose callbacks may call into the library. False when another
// thread's stop is still under way: it may not have joined the threads yet.
bool stop_all() {
    Stop_Claim claim = claim_stop();
    if (claim == Stop_Claim::claimed) {
        guarded(stop_worker_and_server);
        end_stop();
    }
    return claim != Stop_Claim::under_way_elsewhere;
}

// Waits until the worker has returned, whichever thread joins it.
void wait_for_worker_end() {
    std::unique_lock lock(g_queue_mutex);
    g_stop_cv.wait(lock, [] { return !g_worker_running; });
}

// The worker that calls exit() never returns to be joined: its handle is let
// go, so that no stop made meanwhile (from a references callback, say) waits
// to join it, and the caller waiting for the find whose callback exits is
// released.
void let_go_of_the_exiting_worker() {
    if (g_current_request != nullptr) release_waiter(*g_current_request);
    std::lock_guard lock(g_queue_mutex);
    if (!g_worker_thread.joinable) return;
    pthread_detach(g_worker_thread.handle);
    g_worker_thread = Worker_Thread{};
}

// The stop at the process's exit, on whichever thread calls exit(): a host
// thread, or a callback on the worker or on the server's reader. It does the
// stop's work itself, beside any stop under way on another thread, which may
// be waiting for this very thread; it waits only for threads that cannot be
// waiting for it. When it returns no thread of the library runs but this one
// (and a host thread blocked in that other stop). Nothing is freed: other
// host threads may still be inside calls, which see the stop and return.
void stop_at_exit() {
    g_stopped = true;
    Worker_Thread worker = request_worker_stop();
    if (on_worker_thread()) let_go_of_the_exiting_worker();
    guarded(lsp_shutdown_at_exit);
    if (worker.joinable) {
        pthread_join(worker.handle, nullptr);
    } else if (!on_worker_thread()) {
        wait_for_worker_end();
    }
}

// A forked child holds copies of thread handles whose threads it does not
// have, of condition variables those threads wait on, and of objects they may
// have been changing at the fork. Destroying them would end the child
// (std::terminate for a joinable handle), block it for ever (destroying a
// condition variable waits for its waiters) or crash it. The child gives each
// a fresh value instead, and leaves the old ones' memory to the end of the
// process.
void forget_inherited_state() {
    auto renew = [](auto&... objects) { (std::construct_at(&objects), ...); };
    renew(g_lsp_state, g_lsp_executable_path, g_queue_cv, g_stop_cv, g_request_queue,
          g_scan_queue, g_queued_scan_paths, g_worker_thread, g_scanner);
}

// Registered at the first worker start, after every global object was made,
// so that it runs before any object the host made earlier is destroyed: the
// callbacks may use them. At the process's exit it stops the library from
// whichever thread exits. At an unload, which the host makes once it has no
// call in flight, it does what enqueue_stop does; an unload from a callback
// cannot end the thread it runs on, and leaves the objects in place. A forked
// child leaves the parent's worker and server alone.
void stop_at_unload(void*) {
    if (in_forked_child()) return;
    if (!g_unloading) {
        stop_at_exit();
        return;
    }
    bool stopped = false;
    guarded([&stopped] { stopped = stop_all(); });
    g_keep_globals = !stopped || on_worker_thread() || lsp_on_reader_thread();
}

// Reverse order of construction.
void destroy_globals() {
    delete &g_scanner;
    delete &g_worker_thread;
    delete &g_queued_scan_paths;
    delete &g_scan_queue;
    delete &g_request_queue;
    delete &g_stop_cv;
    delete &g_queue_cv;
    delete &g_queue_mutex;
    delete &g_lsp_executable_path;
    delete &g_lsp_executable_path_mutex;
    delete &g_server_start_mutex;
    delete &g_lsp_state;
}

// Registered at the first call, before stop_at_unload, so that an unload
// runs it last: with the library's threads ended, nothing uses the parsers or
// the global objects, and they are freed, so that a library loaded and
// unloaded again and again leaves nothing behind. At the process's exit it
// frees nothing. (Registered at load, it would run after the exit's own
// finalisers in a host that loads the library before main, which would take
// the exit for an unload.)
void free_at_unload(void*) {
    if (!g_unloading || g_keep_globals) return;
    if (in_forked_child()) {
        forget_inherited_state();
    } else {
        release_parsers();
    }
    destroy_globals();
}

std::atomic<bool> g_called{false};

// Runs from the library's own finalisers: at an unload before the exit
// handlers registered under its handle, at the process's exit after them.
// A library never called holds nothing that a thread could still use.
__attribute__((destructor)) void note_unloading() {
    g_unloading = true;
    if (!g_called) destroy_globals();
}

// A child forked while another thread holds a lock that calls take before
// any worker start (the executable path's, the queues') would inherit it
// locked and hang at its first call: the fork waits until both are free.
// Every other lock of the library is taken only once a worker has started,
// after which a child's calls do nothing. No other code holds both of these
// at once, so this order is free to choose.
void lock_before_fork() {
    g_lsp_executable_path_mutex.lock();
    g_queue_mutex.lock();
}

void unlock_in_parent() {
    g_queue_mutex.unlock();
    g_lsp_executable_path_mutex.unlock();
}

// A stop under way in the parent runs on a thread the child does not have.
void unlock_in_child() {
    g_stopping = false;
    unlock_in_parent();
}

// Registered under this library's handle: dlclose removes the handlers with
// the code.
[[maybe_unused]] const int g_fork_handlers =
    pthread_atfork(lock_before_fork, unlock_in_parent, unlock_in_child);

}  // namespace

bool in_forked_child() {
    pid_t owner = g_worker_process.load();
    return owner != 0 && owner != getpid();
}

void note_call() {
    if (!g_called.load(std::memory_order_acquire) && !g_called.exchange(true))
        abi::__cxa_atexit(free_at_unload, nullptr, &__dso_handle);
}

extern "C" VANTREL_EXPORT void lsp_set_executable_path(const char* path) {
    host_call([path] { lsp_set_executable(path); });
}

extern "C" VANTREL_EXPORT void start_workers(void) {
    host_call([] {
        std::lock_guard lock(g_queue_mutex);
        start_worker_locked();
    });
}

extern "C" VANTREL_EXPORT void enqueue_scan_file(Scan_Callback callback, uint64_t context,
                                                 const char* path, uint32_t path_length,
                                                 int64_t language) {
    host_call([&] {
        std::string normalised = copy_bytes(path, path_length);
        replace_backslashes(normalised);
        append_scan({callback, context, std::move(normalised), language});
    });
}

extern "C" VANTREL_EXPORT void enqueue_find_symbols_in_text(Find_Callback callback, uint64_t context,
                                                            const char* text, uint32_t text_length,
                                                            bool compound_only, bool wait,
                                                            const String_Ref* paths, uint32_t path_count) {
    if (callback == nullptr) return;
    host_call([&] {
        std::vector<std::string> preferred_paths;
        if (paths != nullptr) {
            preferred_paths.reserve(path_count);
            for (uint32_t i = 0; i < path_count; ++i)
                preferred_paths.push_back(copy_bytes(paths[i].data, paths[i].length));
        }
        std::mutex done_mutex;
        std::condition_variable done_cv;
        bool done = false;
        // On the worker thread the find could only run after this call returns.
        bool waits = wait && !on_worker_thread();
        Find_Request find{callback, context, copy_bytes(text, text_length), compound_only, waits,
                          std::move(preferred_paths), &done_mutex, &done_cv, &done};
        if (!append_find(std::move(find)) || !waits) return;
        std::unique_lock lock(done_mutex);
        done_cv.wait(lock, [&done] { return done; });
    });
}

extern "C" VANTREL_EXPORT void enqueue_clear(void) {
    host_call([] {
        // Allocated before the lock so that the swaps below cannot fail.
        std::deque<Request> discarded;
        discarded.emplace_back(Clear_Request{});
        std::deque<Request> discarded_scans;
        {
            std::lock_guard lock(g_queue_mutex);
            if (g_stop_requested) return;
            uint64_t count = g_request_queue.size() + g_scan_queue.size();
            g_request_queue.swap(discarded);
            g_scan_queue.swap(discarded_scans);
            g_queued_scan_paths.clear();
            g_pending_tasks.fetch_add(1 - count);
            g_queue_cv.notify_one();
        }
        release_waiters(discarded);
    });
}

// Not a host_call: a stop made while another is under way waits for it.
extern "C" VANTREL_EXPORT void enqueue_stop(void) {
    note_call();
    if (!in_forked_child()) guarded(stop_all);
}

extern "C" VANTREL_EXPORT uint64_t get_pending_tasks_count(void) {
    return g_pending_tasks.load();
}

extern "C" VANTREL_EXPORT void free_memory(void* pointer) {
    std::free(pointer);
}
