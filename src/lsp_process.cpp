#include "lsp_process.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utf8.h>

#include "descriptors.h"
#include "main.h"
#include "scanner.h"

using Deadline = std::optional<Lsp_Clock::time_point>;

// Beyond these a stream is hostile or broken and is ended like end of file,
// so that the reader's memory stays bounded.
constexpr size_t max_header_line = 64 * 1024;
constexpr uint64_t max_content_length = uint64_t{1} << 30;

constinit Lsp_Limits g_lsp_limits;

void lsp_set_executable(const char* path) {
    std::lock_guard lock(g_lsp_executable_path_mutex);
    g_lsp_executable_path = path == nullptr ? "" : path;
    g_lsp_state.backoff = std::chrono::milliseconds(0);
    g_lsp_state.retry_at = Lsp_Clock::time_point();
    ++g_lsp_state.executable_version;
}

// The executable to start now, and the version of its setting; the path is
// empty when none is set or a back-off after failed starts has not run out.
struct Lsp_Executable {
    std::string path;
    uint64_t version;
};

static Lsp_Executable executable_to_start() {
    std::lock_guard lock(g_lsp_executable_path_mutex);
    uint64_t version = g_lsp_state.executable_version;
    if (Lsp_Clock::now() < g_lsp_state.retry_at) return {{}, version};
    return {g_lsp_executable_path, version};
}

// A session that failed to start or ended soon after its start makes the
// next start wait, twice as long each time; one that lasted resets the wait.
// A session started before the executable was last set counts for nothing:
// setting it has reset the wait.
static void note_session_end(Lsp_State& state, Lsp_Clock::time_point ended_at, bool lasted,
                             uint64_t version) {
    std::lock_guard lock(g_lsp_executable_path_mutex);
    if (version != state.executable_version) return;
    if (lasted) {
        state.backoff = std::chrono::milliseconds(0);
        state.retry_at = Lsp_Clock::time_point();
        return;
    }
    state.backoff = state.backoff.count() == 0
                        ? g_lsp_limits.first_backoff
                        : std::min(2 * state.backoff, g_lsp_limits.max_backoff);
    state.retry_at = ended_at + state.backoff;
}

// ---------------------------------------------------------------------------
// Waiting for the server's pipes

static int remaining_milliseconds(Lsp_Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Lsp_Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Waits until fd is ready for events (or has an error or end to report).
// False when the wake-up pipe was signalled, poll failed, or the deadline has
// passed, also while the server keeps the pipe ready: a server that floods
// output must not hold off a deadline.
static bool wait_ready(int fd, short events, const Lsp_Process& process, Deadline deadline) {
    if (fd < 0) return false;
    pollfd fds[2] = {{fd, events, 0}, {process.wake_pipe[0], POLLIN, 0}};
    for (;;) {
        int timeout = deadline ? remaining_milliseconds(*deadline) : -1;
        if (timeout == 0) return false;
        int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

// Whether the child has exited, or is gone (a host that ignores SIGCHLD has
// it reaped at once). An exited child is left for end_child to reap.
static bool child_has_exited(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
        return info.si_pid == pid;
    return errno == ECHILD;
}

// From now on the reader takes only what the server left in its pipe.
static void note_child_exit(const Lsp_Process& process) {
    int unread = 0;
    if (ioctl(process.stdout_pipe[0], FIONREAD, &unread) != 0 || unread < 0) unread = 0;
    process.exit_watch.exited = true;
    process.exit_watch.bytes_left = static_cast<size_t>(unread);
}

// Where no pidfd tells of the child's exit, asks once per exit_poll.
static bool polls_child(const Lsp_Process& process) {
    return process.pidfd < 0 && process.pid > 0;
}

static void poll_child_exit(const Lsp_Process& process) {
    Lsp_Exit_Watch& watch = process.exit_watch;
    Lsp_Clock::time_point now = Lsp_Clock::now();
    if (!polls_child(process) || now < watch.next_poll) return;
    watch.next_poll = now + g_lsp_limits.exit_poll;
    if (child_has_exited(process.pid)) note_child_exit(process);
}

static int output_wait_timeout(const Lsp_Process& process, Deadline deadline) {
    int timeout = deadline ? remaining_milliseconds(*deadline) : -1;
    if (!polls_child(process)) return timeout;
    int until_poll = remaining_milliseconds(process.exit_watch.next_poll);
    return timeout < 0 ? until_poll : std::min(timeout, until_poll);
}

// The reader's wait: until the server's output has bytes (or its end) to
// report, as wait_ready, or the child has exited. Then the pipe may stay open
// (held by a helper of the server or a host child): what it holds is read
// without waiting, and then the output counts as ended.
static bool wait_for_output(const Lsp_Process& process, Deadline deadline) {
    const Lsp_Exit_Watch& watch = process.exit_watch;
    pollfd fds[3] = {{process.stdout_pipe[0], POLLIN, 0}, {process.wake_pipe[0], POLLIN, 0},
                     {process.pidfd, POLLIN, 0}};
    for (;;) {
        poll_child_exit(process);
        if (watch.exited) return watch.bytes_left > 0;
        if (deadline && remaining_milliseconds(*deadline) == 0) return false;
        int ready = poll(fds, 3, output_wait_timeout(process, deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[1].revents != 0) return false;
        if (fds[2].revents != 0) {
            note_child_exit(process);
        } else if (fds[0].revents != 0) {
            return true;
        }
    }
}

static void signal_wake_pipe(const Lsp_Process& process) {
    char byte = 0;
    while (write(process.wake_pipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

// Ends both threads' work on the server: the reader stops at the next header
// it seeks, the writer before its next byte, and every wait of theirs ends.
static void stop_reading_and_writing(Lsp_Process& process) {
    process.running.store(false, std::memory_order_release);
    signal_wake_pipe(process);
}

// ---------------------------------------------------------------------------
// The session's phases

static bool takes_frames(Lsp_Phase phase) {
    return phase == Lsp_Phase::starting || phase == Lsp_Phase::running;
}

static bool lsp_session_takes_frames(const Lsp_State& state) {
    return takes_frames(state.phase.load(std::memory_order_acquire));
}

// The session is over: the writer takes no frame and drops what is queued,
// both threads' waits on the server end, and look-ups made from now on are
// answered at once. Called by the session's own reader or writer (a shutdown
// ends a session through them), and when its threads cannot be created.
static void end_session(Lsp_State& state) {
    {
        std::lock_guard lock(state.session_mutex);
        Lsp_Phase phase = state.phase.load();
        if (phase == Lsp_Phase::idle || phase == Lsp_Phase::over) return;
        state.ended_at = Lsp_Clock::now();
        // A shutdown has set its own deadline for the child.
        if (phase != Lsp_Phase::closing) state.child_deadline = state.ended_at + g_lsp_limits.exit_grace;
        state.phase.store(Lsp_Phase::over, std::memory_order_release);
        state.outgoing.clear();
        state.outgoing_bytes = 0;
        state.unsent_did_opens.clear();
        g_lsp_started.store(false, std::memory_order_release);
    }
    state.session_changed.notify_all();
    signal_wake_pipe(state.process);
}

// ---------------------------------------------------------------------------
// The outgoing queue

// Whether bytes more would take the queue past the byte cap. Requires
// session_mutex.
static bool passes_cap(const Lsp_State& state, size_t bytes) {
    return state.outgoing_bytes + bytes > g_lsp_limits.outgoing_bytes;
}

// Takes an unsent didOpen out of the queue; the ones queued after it move
// one place up. Requires session_mutex.
static void remove_unsent_did_open(Lsp_State& state,
                                   std::unordered_map<std::string, uint64_t>::iterator unsent) {
    uint64_t sequence = unsent->second;
    state.unsent_did_opens.erase(unsent);
    auto queued = state.outgoing.begin() + static_cast<ptrdiff_t>(sequence - state.first_sequence);
    state.outgoing_bytes -= queued->body.size();
    state.outgoing.erase(queued);
    for (auto& [document, later] : state.unsent_did_opens) {
        if (later > sequence) --later;
    }
}

// A newer didOpen of a document whose didOpen is still unsent: the server
// must never analyse a text the host has replaced, so the older one goes in
// any case. The newer one takes its place when it fits under the byte cap
// there; else neither is sent. False when no didOpen of it waits; otherwise
// whether the newer one was queued.
static std::optional<bool> replace_unsent_did_open(Lsp_State& state, Lsp_Frame& frame) {
    auto unsent = state.unsent_did_opens.find(frame.document);
    if (unsent == state.unsent_did_opens.end()) return std::nullopt;
    Lsp_Frame& queued = state.outgoing[unsent->second - state.first_sequence];
    size_t bytes = state.outgoing_bytes - queued.body.size() + frame.body.size();
    if (bytes > g_lsp_limits.outgoing_bytes) {
        remove_unsent_did_open(state, unsent);
        return false;
    }
    state.outgoing_bytes = bytes;
    queued.body = std::move(frame.body);
    return true;
}

// Requires session_mutex. False when the frame was dropped.
static bool append_frame(Lsp_State& state, Lsp_Frame&& frame) {
    if (!frame.document.empty()) {
        if (std::optional<bool> replaced = replace_unsent_did_open(state, frame)) return *replaced;
    }
    if (frame.droppable && passes_cap(state, frame.body.size())) return false;
    uint64_t sequence = state.first_sequence + state.outgoing.size();
    state.outgoing.push_back(std::move(frame));
    const Lsp_Frame& queued = state.outgoing.back();
    state.outgoing_bytes += queued.body.size();
    if (!queued.document.empty()) {
        try {
            state.unsent_did_opens[queued.document] = sequence;
        } catch (const std::bad_alloc&) {
            // Queued all the same; only a newer didOpen cannot replace it.
        }
    }
    state.session_changed.notify_all();
    return true;
}

// A frame that no later one replaces and the byte cap never drops.
static Lsp_Frame plain_frame(std::string body, bool before_reply = false) {
    Lsp_Frame frame;
    frame.body = std::move(body);
    frame.before_reply = before_reply;
    return frame;
}

bool lsp_send(Lsp_State& state, Lsp_Frame frame) {
    std::lock_guard lock(state.session_mutex);
    if (!takes_frames(state.phase.load())) return false;
    return append_frame(state, std::move(frame));
}

// Queues a reply to a request of the server's own. A reply that would take
// the queue past the byte cap shows a server that sends requests faster than
// it reads: it is treated as one that does not read, and its session ends.
static void send_reply(Lsp_State& state, std::string body) {
    bool past_cap = false;
    {
        std::lock_guard lock(state.session_mutex);
        if (!takes_frames(state.phase.load())) return;
        past_cap = passes_cap(state, body.size());
        if (!past_cap) append_frame(state, plain_frame(std::move(body)));
    }
    if (past_cap) end_session(state);
}

// Requires session_mutex and a frame at the front.
static Lsp_Frame pop_frame(Lsp_State& state) {
    Lsp_Frame frame = std::move(state.outgoing.front());
    state.outgoing.pop_front();
    state.outgoing_bytes -= frame.body.size();
    if (!frame.document.empty()) {
        auto unsent = state.unsent_did_opens.find(frame.document);
        if (unsent != state.unsent_did_opens.end() && unsent->second == state.first_sequence)
            state.unsent_did_opens.erase(unsent);
    }
    ++state.first_sequence;
    return frame;
}

// The writer's next frame. Until the server has answered initialize only
// initialize itself goes out. None once the session is over, or once a
// shutdown's frames are written (or it came before the server answered).
static std::optional<Lsp_Frame> take_frame(Lsp_State& state) {
    std::unique_lock lock(state.session_mutex);
    for (;;) {
        Lsp_Phase phase = state.phase.load();
        if (phase == Lsp_Phase::over || phase == Lsp_Phase::idle) return std::nullopt;
        bool answered = state.initialize_answered;
        if (phase == Lsp_Phase::closing && (!answered || state.outgoing.empty())) return std::nullopt;
        if (!state.outgoing.empty() && (answered || state.outgoing.front().before_reply))
            return pop_frame(state);
        state.session_changed.wait(lock);
    }
}

// ---------------------------------------------------------------------------
// The writer thread

// Until this is set no byte is written: a shutdown's deadline or the end of
// the session stops a server that keeps taking bytes slowly too.
static bool writing_stopped(const Lsp_State& state) {
    return !state.process.running.load(std::memory_order_acquire) ||
           state.phase.load(std::memory_order_acquire) == Lsp_Phase::over;
}

// Writes all of data, resuming after interrupted and partial writes. The
// deadline moves on with every byte the server takes. False when the server
// has taken nothing until the deadline, its input is broken, or the writing
// is to stop.
static bool write_all(const Lsp_State& state, std::string_view data,
                      Lsp_Clock::time_point& deadline) {
    const Lsp_Process& process = state.process;
    int fd = process.stdin_pipe[1];
    while (!data.empty()) {
        if (writing_stopped(state)) return false;
        ssize_t written = write(fd, data.data(), data.size());
        if (written > 0) {
            data.remove_prefix(static_cast<size_t>(written));
            deadline = Lsp_Clock::now() + g_lsp_limits.write;
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(fd, POLLOUT, process, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

static bool write_frame(const Lsp_State& state, const std::string& body) {
    char header[48] = "Content-Length: ";
    char* end = header + std::strlen(header);
    end = std::to_chars(end, header + sizeof header, body.size()).ptr;
    std::memcpy(end, "\r\n\r\n", 4);
    end += 4;
    Lsp_Clock::time_point deadline = Lsp_Clock::now() + g_lsp_limits.write;
    return write_all(state, std::string_view(header, end - header), deadline) &&
           write_all(state, body, deadline);
}

// A write to a server that has exited raises SIGPIPE, whose default action
// would end the host. The signal is raised for the writing thread, so it is
// blocked in the writer alone, which leaves it pending until the thread ends
// and the system discards it.
static void block_sigpipe_in_this_thread() {
    sigset_t sigpipe_only;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe_only, nullptr);
}

// Notified on session_changed: an exit's stop may wait for it there.
static void mark_thread_finished(Lsp_State& state, bool Lsp_State::*finished) {
    {
        std::lock_guard lock(state.session_mutex);
        state.*finished = true;
    }
    state.session_changed.notify_all();
}

void lsp_writer_loop(Lsp_State* state) {
    block_sigpipe_in_this_thread();
    bool broken = false;
    try {
        while (std::optional<Lsp_Frame> frame = take_frame(*state)) {
            if (!write_frame(*state, frame->body)) {
                broken = true;
                break;
            }
        }
    } catch (...) {
        broken = true;
    }
    // The end of its input tells the server that nothing more comes.
    close(state->process.stdin_pipe[1]);
    if (broken) end_session(*state);
    mark_thread_finished(*state, &Lsp_State::writer_finished);
}

// ---------------------------------------------------------------------------
// Building messages

// Besides what a path may hold but a URI may not carry as itself (':', ' ',
// bytes from 0x80), the bytes that would change the URI's meaning ('%', '#',
// '?') or break the JSON string it is inserted into ('"', control bytes).
static bool needs_percent_encoding(unsigned char byte) {
    return byte < 0x21 || byte >= 0x7F || byte == ':' || byte == '%' || byte == '#' ||
           byte == '?' || byte == '"';
}

std::string path_to_uri(const std::string& path) {
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    // An absolute path brings its own third slash: file:///srv/a.py.
    std::string uri = path.starts_with('/') ? "file://" : "file:///";
    uri.reserve(uri.size() + path.size() + 16);
    for (unsigned char byte : path) {
        if (needs_percent_encoding(byte)) {
            uri += '%';
            uri += hex_digits[byte >> 4];
            uri += hex_digits[byte & 0x0F];
        } else {
            uri += static_cast<char>(byte);
        }
    }
    return uri;
}

// The short escapes of the five bytes source text commonly holds; null for
// every other byte.
static const char* text_escape(char byte) {
    switch (byte) {
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '"': return "\\\"";
    case '\\': return "\\\\";
    default: return nullptr;
    }
}

// The bytes that stand for one invalid UTF-8 sequence: U+FFFD.
constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence at p, or 0 when it is invalid.
static size_t valid_sequence_length(const unsigned char* p, const unsigned char* end) {
    const unsigned char* next = p;
    uint32_t code_point = 0;
    if (utf8::internal::validate_next(next, end, code_point) != utf8::internal::UTF8_OK) return 0;
    return static_cast<size_t>(next - p);
}

static void append_control_escape(std::string& escaped, unsigned char byte) {
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    const char* escape = text_escape(static_cast<char>(byte));
    if (escape != nullptr) {
        escaped += escape;
        return;
    }
    escaped += "\\u00";
    escaped += hex_digits[byte >> 4];
    escaped += hex_digits[byte & 0x0F];
}

// Makes text a JSON string body that any server accepts. Besides the five
// short escapes, the other control bytes (a form feed, a NUL) become \u00XX:
// a JSON parser rejects them raw. Each invalid UTF-8 sequence becomes U+FFFD,
// counted as the identifier search counts it, so that a Latin-1 file still
// reaches the server. Every other byte, 0x7F included, is copied unchanged.
static std::string escape_text(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size() + 32);
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = begin + text.size();
    const unsigned char* run_start = begin;
    for (const unsigned char* p = begin; p != end;) {
        size_t valid = *p < 0x80 ? 1 : valid_sequence_length(p, end);
        if (valid != 0 && (*p >= 0x20 && text_escape(static_cast<char>(*p)) == nullptr)) {
            p += valid;
            continue;
        }
        escaped.append(reinterpret_cast<const char*>(run_start), p - run_start);
        if (valid == 0) {
            escaped += replacement_character;
            p += invalid_sequence_length(p, end);
        } else {
            append_control_escape(escaped, *p++);
        }
        run_start = p;
    }
    escaped.append(reinterpret_cast<const char*>(run_start), end - run_start);
    return escaped;
}

static void append_number(std::string& out, int64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

static std::string did_open_message(const std::string& uri, const std::string& escaped_text) {
    std::string message;
    message.reserve(uri.size() + escaped_text.size() + 128);
    message += R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{)";
    message += R"("textDocument":{"uri":")";
    message += uri;
    message += R"(","languageId":"python","version":1,"text":")";
    message += escaped_text;
    message += R"("}}})";
    return message;
}

static std::string did_change_message(const std::string& uri, const std::string& escaped_text,
                                      int32_t version) {
    std::string message;
    message.reserve(uri.size() + escaped_text.size() + 128);
    message += R"({"jsonrpc":"2.0","method":"textDocument/didChange","params":{)";
    message += R"("textDocument":{"uri":")";
    message += uri;
    message += R"(","version":)";
    append_number(message, version);
    message += R"(},"contentChanges":[{"text":")";
    message += escaped_text;
    message += R"("}]}})";
    return message;
}

// The definition and references requests differ only in their method and
// in what follows the position.
static std::string position_request(int32_t id, std::string_view method, const std::string& uri,
                                    int32_t line, int32_t character, std::string_view tail) {
    std::string message;
    message.reserve(uri.size() + 220);
    message += R"({"jsonrpc":"2.0","id":)";
    append_number(message, id);
    message += R"(,"method":")";
    message += method;
    message += R"(","params":{)";
    message += R"("textDocument":{"uri":")";
    message += uri;
    message += R"("},)";
    message += R"("position":{"line":)";
    append_number(message, line);
    message += R"(,"character":)";
    append_number(message, character);
    message += tail;
    return message;
}

static std::string initialize_message(int32_t process_id, const std::string& root_uri) {
    std::string message;
    message.reserve(root_uri.size() + 256);
    message += R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{)";
    message += R"("processId":)";
    append_number(message, process_id);
    message += ",";
    message += R"("rootUri":")";
    message += root_uri;
    message += R"(",)";
    message += R"("capabilities":{}}})";
    return message;
}

// The error a request of the server's own gets: the client provides no
// method. raw_id is the request's id as JSON text, echoed unchanged.
static std::string method_not_found_message(std::string_view raw_id) {
    std::string message = R"({"jsonrpc":"2.0","id":)";
    message += raw_id;
    message += R"(,"error":{"code":-32601,"message":"Method not found"}})";
    return message;
}

static std::string shutdown_message(int32_t id) {
    std::string message = R"({"jsonrpc":"2.0","id":)";
    append_number(message, id);
    message += R"(,"method":"shutdown","params":null})";
    return message;
}

// ---------------------------------------------------------------------------
// Sending document notifications and requests

void lsp_withdraw_did_open(const std::string& path) {
    std::lock_guard lock(g_lsp_state.session_mutex);
    auto unsent = g_lsp_state.unsent_did_opens.find(path);
    if (unsent != g_lsp_state.unsent_did_opens.end()) remove_unsent_did_open(g_lsp_state, unsent);
}

// Its escaped body can only be longer than the text: a text over the byte
// cap is never copied, only the older announcement withdrawn, as it is when
// memory for the body cannot be had.
void lsp_did_open(const std::string& path, const std::string& text) {
    if (!lsp_session_takes_frames(g_lsp_state)) return;
    try {
        if (text.size() <= g_lsp_limits.outgoing_bytes) {
            Lsp_Frame frame{did_open_message(path_to_uri(path), escape_text(text)), path, true};
            lsp_send(g_lsp_state, std::move(frame));
            return;
        }
    } catch (const std::bad_alloc&) {
    }
    lsp_withdraw_did_open(path);
}

void lsp_did_change(const std::string& path, const std::string& text, int32_t version) {
    if (!lsp_session_takes_frames(g_lsp_state)) return;
    Lsp_Frame frame{did_change_message(path_to_uri(path), escape_text(text), version), "", true};
    lsp_send(g_lsp_state, std::move(frame));
}

static std::optional<std::pair<Lsp_Location_Callback, uint64_t>> take_pending_request(
    Lsp_State& state, int32_t id) {
    std::lock_guard lock(state.pending_mutex);
    auto entry = state.pending_requests.find(id);
    if (entry == state.pending_requests.end()) return std::nullopt;
    auto request = entry->second;
    state.pending_requests.erase(entry);
    return request;
}

// Enters the request in pending_requests, unless no reader will ever answer
// it (no session takes frames, or its reader has ended): then false.
static bool register_request(Lsp_State& state, int32_t id, Lsp_Location_Callback callback,
                             uint64_t context) {
    if (!lsp_session_takes_frames(state)) return false;
    std::lock_guard lock(state.pending_mutex);
    if (state.reader_done) return false;
    state.pending_requests[id] = {callback, context};
    return true;
}

// The entry is made before the frame is queued, so that the reader finds it
// however quickly the answer comes. Whatever happens, the callback is called
// exactly once: by the reader with the answer, by the reader with none when
// the session ends first, or here at once when the request cannot be sent.
static void send_request(std::string_view method, std::string_view tail, const std::string& path,
                         int32_t line, int32_t character, Lsp_Location_Callback callback,
                         uint64_t context) {
    Lsp_State& state = g_lsp_state;
    int32_t id = state.next_request_id.fetch_add(1);
    bool registered = false;
    Lsp_Frame frame;
    try {
        frame.body = position_request(id, method, path_to_uri(path), line, character, tail);
        registered = register_request(state, id, callback, context);
    } catch (...) {
        // Out of memory: not registered, so answered below.
    }
    if (registered) {
        bool queued = false;
        try {
            queued = lsp_send(state, std::move(frame));
        } catch (...) {
        }
        // Not queued: answered here unless the reader has taken it meanwhile.
        if (queued || !take_pending_request(state, id)) return;
    }
    if (callback != nullptr) callback(context, nullptr, 0);
}

void lsp_goto_definition(const std::string& path, int32_t line, int32_t character,
                         Lsp_Location_Callback callback, uint64_t context) {
    send_request("textDocument/definition", "}}}", path, line, character, callback, context);
}

void lsp_find_references(const std::string& path, int32_t line, int32_t character,
                         Lsp_Location_Callback callback, uint64_t context) {
    send_request("textDocument/references", R"(},"context":{"includeDeclaration":true}}})", path,
                 line, character, callback, context);
}

// ---------------------------------------------------------------------------
// Reading frames

// One read of at most size bytes; 0 at end of stream, on an error, or when
// wait_for_output gives up.
static size_t read_some(const Lsp_Process& process, Deadline deadline, uint8_t* data,
                        size_t size) {
    Lsp_Exit_Watch& watch = process.exit_watch;
    for (;;) {
        if (!wait_for_output(process, deadline)) return 0;
        if (watch.exited) size = std::min(size, watch.bytes_left);
        ssize_t count = read(process.stdout_pipe[0], data, size);
        if (count > 0) {
            if (watch.exited) watch.bytes_left -= static_cast<size_t>(count);
            return static_cast<size_t>(count);
        }
        if (count < 0 && errno == EINTR) continue;
        return 0;
    }
}

// Reads one header line, one byte per read so that nothing beyond the header
// is taken from the pipe. Carriage returns are dropped wherever they stand.
static bool read_line(const Lsp_Process& process, Deadline deadline, std::string& line) {
    line.clear();
    for (;;) {
        uint8_t byte;
        if (read_some(process, deadline, &byte, 1) == 0) return false;
        if (byte == '\n') return true;
        if (byte == '\r') continue;
        if (line.size() == max_header_line) return false;
        line += static_cast<char>(byte);
    }
}

// The value starts after "Content-Length:" and the one character that should
// be a blank; leading white space and a '+' are accepted, and anything after
// the digits is ignored. No digits, a '-' sign or a value over the cap give
// nothing.
static std::optional<uint64_t> parse_content_length(std::string_view line) {
    constexpr size_t value_start = 16;
    if (line.size() <= value_start) return std::nullopt;
    std::string_view value = line.substr(value_start);
    size_t digits_start = value.find_first_not_of(" \t\n\v\f\r");
    if (digits_start == std::string_view::npos) return std::nullopt;
    if (value[digits_start] == '+') ++digits_start;
    uint64_t length = 0;
    size_t position = digits_start;
    for (; position < value.size() && value[position] >= '0' && value[position] <= '9';
         ++position) {
        length = length * 10 + static_cast<uint64_t>(value[position] - '0');
        if (length > max_content_length) return std::nullopt;
    }
    if (position == digits_start) return std::nullopt;
    return length;
}

// Skips lines up to the Content-Length line and reads its value. running is
// tested before each line, so the reader stops at a message boundary once
// lsp_shutdown has cleared it.
static std::optional<uint64_t> read_content_length(const Lsp_Process& process, Deadline deadline,
                                                   std::string& line) {
    for (;;) {
        if (!process.running.load(std::memory_order_acquire)) return std::nullopt;
        if (!read_line(process, deadline, line)) return std::nullopt;
        if (line.starts_with("Content-Length:")) return parse_content_length(line);
    }
}

static bool skip_rest_of_header(const Lsp_Process& process, Deadline deadline,
                                std::string& line) {
    do {
        if (!read_line(process, deadline, line)) return false;
    } while (!line.empty());
    return true;
}

// Makes the buffer at least size bytes long; it never shrinks.
static bool grow_buffer(std::vector<uint8_t>& buffer, uint64_t size) {
    try {
        if (buffer.size() < size) buffer.resize(size);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Copies the body into valid with each invalid UTF-8 sequence replaced by
// U+FFFD, sequences counted as in the texts sent to the server; false when
// the copy would pass the length cap of a body.
static bool copy_as_valid_utf8(const uint8_t* begin, const uint8_t* end,
                               std::vector<uint8_t>& valid) {
    valid.reserve(static_cast<size_t>(end - begin) + replacement_character.size() +
                  simdjson::SIMDJSON_PADDING);
    const uint8_t* run_start = begin;
    for (const uint8_t* p = begin; p != end;) {
        size_t sequence = *p < 0x80 ? 1 : valid_sequence_length(p, end);
        if (sequence != 0) {
            p += sequence;
            continue;
        }
        valid.insert(valid.end(), run_start, p);
        if (valid.size() + replacement_character.size() > max_content_length) return false;
        valid.insert(valid.end(), replacement_character.begin(), replacement_character.end());
        p += invalid_sequence_length(p, end);
        run_start = p;
    }
    valid.insert(valid.end(), run_start, end);
    return valid.size() <= max_content_length;
}

// The parser rejects a document that is not valid UTF-8 as a whole, which
// would leave the look-up it answers unanswered: such a body is read with
// each invalid sequence replaced, as the texts sent to the server are.
// (Not simdjson's validator: it runs on an object simdjson creates at its
// first use, which exit() therefore destroys before the reader is stopped.)
static bool make_valid_utf8(std::vector<uint8_t>& buffer, uint64_t& length) {
    if (utf8::find_invalid(buffer.data(), buffer.data() + length) == buffer.data() + length)
        return true;
    std::vector<uint8_t> valid;
    if (!copy_as_valid_utf8(buffer.data(), buffer.data() + length, valid)) return false;
    length = valid.size();
    valid.resize(length + simdjson::SIMDJSON_PADDING);
    buffer.swap(valid);
    return true;
}

// Grows the buffer as the body arrives, doubling, rather than to the
// announced length at once: a header may claim far more than is ever sent.
// The body is left as valid UTF-8 (its length may change) followed by the
// parser's padding of zero bytes.
static bool read_body(const Lsp_Process& process, Deadline deadline,
                      std::vector<uint8_t>& buffer, uint64_t& length) {
    constexpr uint64_t FIRST_STEP = 64 * 1024;
    for (uint64_t received = 0; received < length;) {
        uint64_t goal = std::min(length, std::max(2 * received, FIRST_STEP));
        if (!grow_buffer(buffer, goal + simdjson::SIMDJSON_PADDING)) return false;
        size_t count = read_some(process, deadline, buffer.data() + received, goal - received);
        if (count == 0) return false;
        received += count;
    }
    try {
        if (!make_valid_utf8(buffer, length)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!grow_buffer(buffer, length + simdjson::SIMDJSON_PADDING)) return false;
    std::memset(buffer.data() + length, 0, simdjson::SIMDJSON_PADDING);
    return true;
}

static std::optional<uint64_t> read_message(Lsp_State& state, Deadline deadline) {
    const Lsp_Process& process = state.process;
    std::string line;
    std::optional<uint64_t> length = read_content_length(process, deadline, line);
    if (!length || !skip_rest_of_header(process, deadline, line)) return std::nullopt;
    if (!read_body(process, deadline, state.response_buffer, *length)) return std::nullopt;
    return length;
}

std::optional<uint64_t> lsp_read_message(Lsp_State& state) {
    return read_message(state, std::nullopt);
}

// ---------------------------------------------------------------------------
// Parsing messages

// simdjson does not skip a UTF-8 byte-order mark by itself.
static void skip_byte_order_mark(const uint8_t*& buffer, uint64_t& length) {
    if (length >= 3 && buffer[0] == 0xEF && buffer[1] == 0xBB && buffer[2] == 0xBF) {
        buffer += 3;
        length -= 3;
    }
}

// The root object iterates within document, which must outlive it.
static simdjson::error_code start_document(simdjson::ondemand::parser& parser,
                                           const uint8_t* buffer, uint64_t length,
                                           simdjson::ondemand::document& document,
                                           simdjson::ondemand::object& root) {
    skip_byte_order_mark(buffer, length);
    simdjson::error_code error =
        parser.iterate(buffer, length, length + simdjson::SIMDJSON_PADDING).get(document);
    if (error) return error;
    return document.get_object().get(root);
}

// Ids and positions that the host can use: 0..INT32_MAX for positions, the
// int32 range for ids; anything else is no usable value.
static std::optional<int32_t> as_int32(int64_t value, int64_t lowest) {
    if (value < lowest || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

// A message with a "method" member is a request or a notification, whatever
// else it holds. A broken message counts as a response as far as its id was
// read, so that a malformed answer still answers its look-up.
static bool has_method(simdjson::ondemand::object& root) {
    simdjson::ondemand::value method;
    return root.find_field_unordered("method").get(method) == simdjson::SUCCESS;
}

int32_t parse_response_id(simdjson::ondemand::parser& parser, uint8_t* buffer, uint64_t length) {
    simdjson::ondemand::document document;
    simdjson::ondemand::object root;
    int64_t id = 0;
    if (start_document(parser, buffer, length, document, root) ||
        root.find_field_unordered("id").get_int64().get(id)) {
        return -1;
    }
    std::optional<int32_t> usable = as_int32(id, INT32_MIN);
    if (!usable || has_method(root)) return -1;
    return *usable;
}

// The id of a request of the server's own (a message with a "method" and an
// "id" that is a string or a number), as the JSON text it was written as.
static std::optional<std::string> server_request_id(simdjson::ondemand::parser& parser,
                                                    uint8_t* buffer, uint64_t length) {
    simdjson::ondemand::document document;
    simdjson::ondemand::object root;
    simdjson::ondemand::value id;
    simdjson::ondemand::json_type type;
    if (start_document(parser, buffer, length, document, root) || !has_method(root) ||
        root.find_field_unordered("id").get(id) || id.type().get(type)) {
        return std::nullopt;
    }
    if (type != simdjson::ondemand::json_type::string &&
        type != simdjson::ondemand::json_type::number) {
        return std::nullopt;
    }
    std::string_view raw = id.raw_json_token();
    return std::string(raw.substr(0, raw.find_last_not_of(" \t\n\r") + 1));
}

// The first malformed piece of structure ends every later look-up in the
// message: json_error latches it, so simdjson is not asked to go on from a
// position it has given up.
static std::optional<simdjson::ondemand::value> find_member(simdjson::ondemand::object& object,
                                                            std::string_view name,
                                                            bool& json_error) {
    if (json_error) return std::nullopt;
    simdjson::ondemand::value value;
    simdjson::error_code error = object.find_field_unordered(name).get(value);
    if (error && error != simdjson::NO_SUCH_FIELD) json_error = true;
    if (error) return std::nullopt;
    return value;
}

static std::optional<std::string> string_member(simdjson::ondemand::object& object,
                                                std::string_view name, bool& json_error) {
    std::optional<simdjson::ondemand::value> value = find_member(object, name, json_error);
    std::string_view text;
    if (!value || value->get_string().get(text)) return std::nullopt;
    return std::string(text);
}

static std::optional<simdjson::ondemand::object> object_member(
    simdjson::ondemand::object& object, std::string_view name, bool& json_error) {
    std::optional<simdjson::ondemand::value> value = find_member(object, name, json_error);
    simdjson::ondemand::object member;
    if (!value || value->get_object().get(member)) return std::nullopt;
    return member;
}

static int32_t integer_member(simdjson::ondemand::object& object, std::string_view name,
                              bool& json_error) {
    std::optional<simdjson::ondemand::value> value = find_member(object, name, json_error);
    int64_t number = 0;
    if (!value || value->get_int64().get(number)) return 0;
    return as_int32(number, 0).value_or(0);
}

// A LocationLink names its document and place in "targetUri" and
// "targetSelectionRange", a Location in "uri" and "range"; of the range only
// the start is read. Every object gives one location, however little of it
// could be read.
static Lsp_Location read_location(simdjson::ondemand::object& object, bool& json_error) {
    Lsp_Location location;
    std::optional<std::string> uri = string_member(object, "targetUri", json_error);
    if (!uri) uri = string_member(object, "uri", json_error);
    if (uri) location.uri = std::move(*uri);
    auto range = object_member(object, "targetSelectionRange", json_error);
    if (!range) range = object_member(object, "range", json_error);
    if (!range) return location;
    auto start = object_member(*range, "start", json_error);
    if (!start) return location;
    location.line = integer_member(*start, "line", json_error);
    location.character = integer_member(*start, "character", json_error);
    return location;
}

// Objects among the elements give locations; other elements are passed over.
// The walk ends at the first malformed piece of structure.
static void read_location_array(simdjson::ondemand::array& array,
                                std::vector<Lsp_Location>& locations, bool& json_error) {
    for (auto element : array) {
        simdjson::ondemand::value value;
        simdjson::ondemand::object object;
        if (element.get(value)) break;
        if (value.get_object().get(object) == simdjson::SUCCESS) {
            locations.push_back(read_location(object, json_error));
        }
        if (json_error) break;
    }
}

static void read_result(simdjson::ondemand::value& result, std::vector<Lsp_Location>& locations,
                        bool& json_error) {
    simdjson::ondemand::json_type type;
    if (result.type().get(type)) return;
    if (type == simdjson::ondemand::json_type::object) {
        simdjson::ondemand::object object;
        if (result.get_object().get(object) == simdjson::SUCCESS) {
            locations.push_back(read_location(object, json_error));
        }
    } else if (type == simdjson::ondemand::json_type::array) {
        simdjson::ondemand::array array;
        if (result.get_array().get(array) == simdjson::SUCCESS) {
            read_location_array(array, locations, json_error);
        }
    }
}

std::vector<Lsp_Location> parse_locations(simdjson::ondemand::parser& parser,
                                          const uint8_t* buffer, uint64_t length) {
    std::vector<Lsp_Location> locations;
    simdjson::ondemand::document document;
    simdjson::ondemand::object root;
    if (start_document(parser, buffer, length, document, root)) return locations;
    bool json_error = false;
    // "id" is looked up first, as the reader did, so that "result" is sought
    // from the same place.
    std::optional<simdjson::ondemand::value> id = find_member(root, "id", json_error);
    std::optional<simdjson::ondemand::value> result = find_member(root, "result", json_error);
    if (!id || !result) return locations;
    try {
        read_result(*result, locations, json_error);
    } catch (const std::bad_alloc&) {
        // The callback is still owed its one call: with what was gathered.
    }
    return locations;
}

// ---------------------------------------------------------------------------
// The reader thread

// No exception of a host callback may end the reader: the look-up counts as
// answered and the reader goes on.
static void call_answering(Lsp_Location_Callback callback, uint64_t context,
                           const Lsp_Location* locations, int32_t count) {
    try {
        callback(context, locations, count);
    } catch (...) {
    }
}

static void deliver_response(Lsp_State& state, int32_t id, uint64_t length) {
    auto request = take_pending_request(state, id);
    if (!request || request->first == nullptr) return;
    std::vector<Lsp_Location> locations;
    try {
        locations = parse_locations(state.json_parser, state.response_buffer.data(), length);
    } catch (const std::bad_alloc&) {
        locations.clear();
    }
    call_answering(request->first, request->second,
                   locations.empty() ? nullptr : locations.data(),
                   static_cast<int32_t>(locations.size()));
}

// A request of the server's own gets the error for a method the client does
// not provide, so that no server waits for a reply; notifications and
// messages with no usable id are dropped.
static void answer_server_request(Lsp_State& state, uint64_t length) {
    std::optional<std::string> id =
        server_request_id(state.json_parser, state.response_buffer.data(), length);
    if (id) send_reply(state, method_not_found_message(*id));
}

// The body's buffer and the parser's working memory grow with the largest
// message read; past this, both are given back once the message is handled,
// so that one huge answer does not hold its memory for the session's life.
constexpr size_t max_kept_buffer = size_t{4} << 20;

static void release_large_buffers(Lsp_State& state) {
    if (state.response_buffer.capacity() > max_kept_buffer)
        std::vector<uint8_t>().swap(state.response_buffer);
    if (state.json_parser.capacity() > max_kept_buffer)
        state.json_parser = simdjson::ondemand::parser();
}

// Ids below 2 are never those of a registered request: 1 is the handshake's,
// and -1 stands for every message that is no response with an int32 id.
static void dispatch_message(Lsp_State& state, uint64_t length) {
    int32_t id = parse_response_id(state.json_parser, state.response_buffer.data(), length);
    if (id >= 2) {
        deliver_response(state, id, length);
    } else if (id == -1) {
        answer_server_request(state, length);
    }
    release_large_buffers(state);
}

// Once no answer can come, every request still waiting is answered with no
// locations, and later ones are answered at once (see register_request).
// Each leaves the table only as it is answered: a callback that calls exit()
// leaves the rest to the exit's stop, which answers them.
static void answer_pending_requests(Lsp_State& state) {
    {
        std::lock_guard lock(state.pending_mutex);
        state.reader_done = true;
    }
    state.reader_done_cv.notify_all();
    for (;;) {
        std::pair<Lsp_Location_Callback, uint64_t> request;
        {
            std::lock_guard lock(state.pending_mutex);
            if (state.pending_requests.empty()) return;
            auto entry = state.pending_requests.begin();
            request = entry->second;
            state.pending_requests.erase(entry);
        }
        if (request.first != nullptr) call_answering(request.first, request.second, nullptr, 0);
    }
}

void lsp_reader_loop(Lsp_State* state) {
    try {
        while (std::optional<uint64_t> length = lsp_read_message(*state)) {
            dispatch_message(*state, *length);
        }
    } catch (...) {
        // Nothing may escape a thread of ours: it would end the host.
    }
    // A message never dispatched (cut short, or the loop left by a failure)
    // may have grown them too.
    release_large_buffers(*state);
    answer_pending_requests(*state);
}

// Reads until the server answers initialize, within the handshake limit
// whatever it sends meanwhile; what comes before the reply is dropped
// unanswered. Only a response can be the reply. The buffers of a huge
// message, or of one cut short, are released after each read.
static bool await_initialize_reply(Lsp_State& state) {
    Deadline deadline = Lsp_Clock::now() + g_lsp_limits.handshake;
    for (;;) {
        std::optional<uint64_t> length = read_message(state, deadline);
        bool reply = length &&
                     parse_response_id(state.json_parser, state.response_buffer.data(), *length) == 1;
        release_large_buffers(state);
        if (!length || reply) return reply;
    }
}

// The writer may go past initialize; look-ups and didOpens queued meanwhile
// follow initialized. A shutdown that came first keeps the session closing.
static void mark_initialize_answered(Lsp_State& state) {
    {
        std::lock_guard lock(state.session_mutex);
        if (state.phase.load() != Lsp_Phase::starting) return;
        state.initialize_answered = true;
        state.phase.store(Lsp_Phase::running, std::memory_order_release);
        g_lsp_started.store(true, std::memory_order_release);
    }
    state.session_changed.notify_all();
}

// P_PIDFD, which the C library's headers may lack.
constexpr idtype_t wait_on_pidfd = static_cast<idtype_t>(3);

// True once the child has ended and been reaped, by us or by the host (which
// may reap its own children, or ignore SIGCHLD). Through the pidfd, only our
// own child can be reaped, even once the host has reaped it and its pid names
// a child of the host's own.
static bool reap_child(const Lsp_Process& process) {
    siginfo_t info{};
    int result = process.pidfd >= 0
                     ? waitid(wait_on_pidfd, static_cast<id_t>(process.pidfd), &info, WEXITED | WNOHANG)
                     : waitid(P_PID, static_cast<id_t>(process.pid), &info, WEXITED | WNOHANG);
    if (result == 0) return info.si_pid != 0;
    return errno != EINTR;
}

// True once the child has been reaped, by the deadline.
static bool wait_for_child(const Lsp_Process& process, Lsp_Clock::time_point deadline) {
    for (;;) {
        if (reap_child(process)) return true;
        int left = remaining_milliseconds(deadline);
        if (left == 0) return false;
        if (process.pidfd >= 0) {
            pollfd exit = {process.pidfd, POLLIN, 0};
            poll(&exit, 1, left);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 5)));
        }
    }
}

// Through the pidfd, a signal reaches our own child or nobody.
static void signal_child(const Lsp_Process& process, int signal) {
    if (process.pidfd >= 0) {
        syscall(SYS_pidfd_send_signal, process.pidfd, signal, nullptr, 0);
    } else {
        kill(process.pid, signal);
    }
}

// A child that has not ended by itself by exit_deadline gets SIGTERM, then
// SIGKILL, and is reaped. Without a pidfd, a child that a wait has seen end
// is never signalled: the host may have reaped it and its pid been reused.
// The last wait is bounded too: such a pid may name a process that never ends.
static void end_child(const Lsp_Process& process, Lsp_Clock::time_point exit_deadline) {
    if (process.pid <= 0) return;
    bool seen_ending = process.exit_watch.exited && process.pidfd < 0;
    if (wait_for_child(process, exit_deadline) || seen_ending) return;
    signal_child(process, SIGTERM);
    if (wait_for_child(process, Lsp_Clock::now() + g_lsp_limits.terminate_grace)) return;
    signal_child(process, SIGKILL);
    wait_for_child(process, Lsp_Clock::now() + g_lsp_limits.terminate_grace);
}

static Lsp_Clock::time_point child_exit_deadline(Lsp_State& state) {
    std::lock_guard lock(state.session_mutex);
    return state.child_deadline;
}

// The body of a session's reader thread: the handshake, then every answer
// until the server's output ends or the session is ended otherwise. Then the
// session is over: what it still owed is answered, and its child ended and
// reaped, here rather than by whoever replaces or shuts it down, so that no
// other thread waits for a server to exit.
static void lsp_session_reader(Lsp_State* state) {
    state->reader_id = std::this_thread::get_id();
    bool answered = false;
    try {
        answered = await_initialize_reply(*state);
    } catch (...) {
        release_large_buffers(*state);
    }
    if (answered) {
        mark_initialize_answered(*state);
        lsp_reader_loop(state);  // answers what is still pending as it ends
    }
    end_session(*state);
    // Look-ups queued behind an initialize that was never answered.
    if (!answered) answer_pending_requests(*state);
    end_child(state->process, child_exit_deadline(*state));
    // Cleared before the session can be cleaned up and replaced.
    state->reader_id = std::thread::id();
    mark_thread_finished(*state, &Lsp_State::reader_finished);
}

// ---------------------------------------------------------------------------
// The server process

// The directory of the scanned file: everything before its last '/'.
static std::string root_directory(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(0, slash);
}

static void close_descriptor(int32_t& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Three pipes, all close-on-exec so that the child keeps none of our
// descriptors but the two it gets as 0 and 1: the server's input, its
// output, and the reader's wake-up pipe. A host that runs with descriptor 0
// or 1 closed would get them back from pipe2; in the child dup2 onto the
// same number would then keep close-on-exec set, and closing the original
// would close the copy: they are moved above the standard streams.
static bool create_pipes(int (&fds)[6]) {
    std::fill(std::begin(fds), std::end(fds), -1);
    bool created = pipe2(fds, O_CLOEXEC) == 0 && pipe2(fds + 2, O_CLOEXEC) == 0 &&
                   pipe2(fds + 4, O_CLOEXEC) == 0;
    for (int& fd : fds) {
        if (!created) break;
        fd = above_standard_streams(fd);
        created = fd >= 0;
    }
    if (!created) {
        for (int& fd : fds) close_descriptor(fd);
    }
    return created;
}

// The child's descriptors: the two pipe ends as its standard input and
// output, and none of ours besides (all are close-on-exec; the pipe ends
// are closed here as well). Its standard error is the host's.
static bool add_child_descriptors(posix_spawn_file_actions_t& actions, int stdin_read,
                                  int stdin_write, int stdout_read, int stdout_write) {
    return posix_spawn_file_actions_adddup2(&actions, stdin_read, STDIN_FILENO) == 0 &&
           posix_spawn_file_actions_adddup2(&actions, stdout_write, STDOUT_FILENO) == 0 &&
           posix_spawn_file_actions_addclose(&actions, stdin_read) == 0 &&
           posix_spawn_file_actions_addclose(&actions, stdin_write) == 0 &&
           posix_spawn_file_actions_addclose(&actions, stdout_read) == 0 &&
           posix_spawn_file_actions_addclose(&actions, stdout_write) == 0;
}

// The child starts with no signal blocked, whatever the worker blocks. A
// host may ignore SIGCHLD, SIGPIPE or SIGTERM for its own sake; the server
// gets them at their default actions, so that it can wait for its own
// children and the library's SIGTERM ends it. Other signals the host
// ignores stay ignored, as exec leaves them (a host under nohup, or a
// background job, passes that on).
static bool set_child_signals(posix_spawnattr_t& attributes) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGCHLD, SIGPIPE, SIGTERM}) sigaddset(&defaults, signal);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    return posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
           posix_spawnattr_setflags(&attributes, flags) == 0;
}

// The file that a search through PATH finds for name: the first executable
// regular file of that name in PATH's directories (an empty one is the
// working directory). Empty when there is none.
static std::string find_in_path(std::string_view name) {
    const char* path = getenv("PATH");
    std::string_view directories = path != nullptr ? path : "/bin:/usr/bin";
    for (;;) {
        size_t colon = directories.find(':');
        std::string_view directory = directories.substr(0, colon);
        std::string file = std::string(directory.empty() ? "." : directory) + "/";
        file += name;
        struct stat status;
        if (access(file.c_str(), X_OK) == 0 && stat(file.c_str(), &status) == 0 &&
            S_ISREG(status.st_mode))
            return file;
        if (colon == std::string_view::npos) return {};
        directories.remove_prefix(colon + 1);
    }
}

// An executable without a "#!" line is a shell script to execlp, which runs
// it with /bin/sh; posix_spawnp refuses it. Running it the same way keeps
// such servers (a wrapper script, say) working.
static int spawn_script(const char* executable, const posix_spawn_file_actions_t& actions,
                        const posix_spawnattr_t& attributes, pid_t& pid) {
    std::string script = std::strchr(executable, '/') ? executable : find_in_path(executable);
    if (script.empty()) return ENOEXEC;
    char* const arguments[] = {const_cast<char*>("/bin/sh"), script.data(),
                               const_cast<char*>("server"), nullptr};
    return posix_spawn(&pid, "/bin/sh", &actions, &attributes, arguments, environ);
}

// Starts "executable server", through PATH when executable holds no '/',
// with the host's environment and working directory. posix_spawn copies
// nothing of the host (glibc's runs the child on the host's memory until it
// execs, as vfork does): a fork would copy the page tables of a host with
// gigabytes resident and hold the allocator's locks meanwhile, stalling the
// host's threads. An executable that cannot run fails here: glibc reports
// the exec's error, and has reaped the child; one that is a script without
// a "#!" line runs under /bin/sh. The child's id, or -1.
static pid_t spawn_child(const char* executable, int stdin_read, int stdin_write,
                         int stdout_read, int stdout_write) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    char* const arguments[] = {const_cast<char*>(executable), const_cast<char*>("server"),
                               nullptr};
    pid_t pid = -1;
    int error = EINVAL;
    if (add_child_descriptors(actions, stdin_read, stdin_write, stdout_read, stdout_write) &&
        set_child_signals(attributes)) {
        error = posix_spawnp(&pid, executable, &actions, &attributes, arguments, environ);
        if (error == ENOEXEC) error = spawn_script(executable, actions, attributes, pid);
    }
    if (error != 0) pid = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Starts the child with the two pipes as its standard input and output and
// records it in process.
static bool spawn_server(const std::string& executable, Lsp_Process& process) {
    int fds[6];
    if (!create_pipes(fds)) return false;
    auto [stdin_read, stdin_write, stdout_read, stdout_write, wake_read, wake_write] = fds;
    pid_t pid = spawn_child(executable.c_str(), stdin_read, stdin_write, stdout_read, stdout_write);
    close(stdin_read);
    close(stdout_write);
    if (pid < 0) {
        for (int fd : {stdin_write, stdout_read, wake_read, wake_write}) close(fd);
        return false;
    }
    // Only our end: the writer waits in poll, where the session's end or a
    // shutdown ends the wait, rather than in a write to a server that does
    // not read.
    fcntl(stdin_write, F_SETFL, fcntl(stdin_write, F_GETFL) | O_NONBLOCK);
    process.pid = pid;
    process.stdin_pipe[0] = -1;
    process.stdin_pipe[1] = stdin_write;
    process.stdout_pipe[0] = stdout_read;
    process.stdout_pipe[1] = -1;
    process.wake_pipe[0] = wake_read;
    process.wake_pipe[1] = wake_write;
    process.running.store(true, std::memory_order_release);
    return true;
}

// A pidfd of the child, close-on-exec and above the standard streams, or -1
// where the system gives none, or cannot wait on one (Linux 5.3): the reader
// then asks waitid whether the child has exited. Made by the system call
// itself, which older C libraries do not wrap. A child already gone (the
// host reaped it) is noted as ended, so that its pid is never signalled.
static int32_t open_pidfd(const Lsp_Process& process) {
    if (!g_lsp_limits.use_pidfd) return -1;
    int fd = static_cast<int>(syscall(SYS_pidfd_open, process.pid, 0));
    if (fd < 0 && errno == ESRCH) note_child_exit(process);
    fd = above_standard_streams(fd);
    if (fd < 0) return -1;
    siginfo_t info{};
    if (waitid(wait_on_pidfd, static_cast<id_t>(fd), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
        errno == EINVAL) {
        close(fd);
        return -1;
    }
    return fd;
}

// The descriptors the client still holds once the session's threads have
// ended (the writer has closed the server's input). The fields keep their
// numbers, which the next start replaces.
static void close_server_output(Lsp_Process& process) {
    int32_t fds[4] = {process.stdout_pipe[0], process.wake_pipe[0], process.wake_pipe[1],
                      process.pidfd};
    for (int32_t& fd : fds) close_descriptor(fd);
}

// A session's two threads, taken out of the state under
// g_server_start_mutex and joined after it is released: the reader runs the
// host's callbacks, which may wait for the worker, and the worker takes that
// lock at every Python scan.
struct Lsp_Session_Threads {
    std::thread reader;
    std::thread writer;
};

static Lsp_Session_Threads take_session_threads(Lsp_State& state) {
    return {std::move(state.reader_thread), std::move(state.writer_thread)};
}

static void join_session_threads(Lsp_Session_Threads& threads) {
    if (threads.reader.joinable()) threads.reader.join();
    if (threads.writer.joinable()) threads.writer.join();
}

static void set_phase(Lsp_State& state, Lsp_Phase phase) {
    std::lock_guard lock(state.session_mutex);
    state.phase.store(phase, std::memory_order_release);
}

// True when no session is alive: none was, or the one that is over has just
// been cleaned up, as a shutdown would, and its outcome noted for the
// back-off; its finished threads are left in ended to be joined. A session
// whose threads are still ending (its child has a few seconds to exit), or
// that a shutdown is ending, is left alone rather than waited for. A session
// lasted when its server answered initialize and was lost a healthy session
// or more after its start. Requires g_server_start_mutex.
static bool clean_up_ended_session(Lsp_State& state, Lsp_Session_Threads& ended) {
    if (state.shutdown_under_way) return false;
    bool lasted = false;
    Lsp_Clock::time_point ended_at;
    {
        std::lock_guard lock(state.session_mutex);
        Lsp_Phase phase = state.phase.load();
        if (phase == Lsp_Phase::idle) return true;
        if (phase != Lsp_Phase::over || !state.reader_finished || !state.writer_finished)
            return false;
        ended_at = state.ended_at;
        lasted = state.initialize_answered &&
                 ended_at - state.started_at >= g_lsp_limits.healthy_session;
    }
    ended = take_session_threads(state);
    close_server_output(state.process);
    note_session_end(state, ended_at, lasted, state.session_version);
    set_phase(state, Lsp_Phase::idle);
    return true;
}

// initialize goes first, initialized waits behind it for the reply, and
// everything queued later follows.
static std::deque<Lsp_Frame> handshake_frames(const std::string& path) {
    std::deque<Lsp_Frame> frames;
    std::string initialize = initialize_message(getpid(), path_to_uri(root_directory(path)));
    frames.push_back(plain_frame(std::move(initialize), true));
    frames.push_back(plain_frame(R"({"jsonrpc":"2.0","method":"initialized","params":{}})"));
    return frames;
}

// A new session, starting with first_frames queued.
static void open_session(Lsp_State& state, std::deque<Lsp_Frame>& first_frames) {
    {
        std::lock_guard lock(state.pending_mutex);
        state.reader_done = false;
    }
    std::lock_guard lock(state.session_mutex);
    state.outgoing.swap(first_frames);
    state.outgoing_bytes = state.outgoing[0].body.size() + state.outgoing[1].body.size();
    state.unsent_did_opens.clear();
    state.initialize_answered = false;
    state.reader_finished = false;
    state.writer_finished = false;
    state.started_at = Lsp_Clock::now();
    state.phase.store(Lsp_Phase::starting, std::memory_order_release);
}

// The session's threads could not both be created: it ends here and now,
// and is held as a shutdown holds it until finish_abandoned_session, so that
// no start, clean-up or shutdown touches it meanwhile. Requires
// g_server_start_mutex.
static Lsp_Session_Threads abandon_session(Lsp_State& state) {
    end_session(state);
    state.shutdown_under_way = true;
    state.abandoned_by = std::this_thread::get_id();
    return take_session_threads(state);
}

// With no lock held: the look-ups it owed run host callbacks (one may call
// exit(), whose stop takes g_server_start_mutex), and the child may take
// seconds to end. Only the writer can exist, and it runs no callback. The
// next clean-up counts the session as a failed start.
static void finish_abandoned_session(Lsp_State& state, Lsp_Session_Threads& threads) {
    join_session_threads(threads);
    if (!state.writer_finished) close(state.process.stdin_pipe[1]);
    answer_pending_requests(state);
    end_child(state.process, Lsp_Clock::now());
    std::lock_guard lock(g_server_start_mutex);
    mark_thread_finished(state, &Lsp_State::reader_finished);
    mark_thread_finished(state, &Lsp_State::writer_finished);
    state.abandoned_by = std::thread::id();
    state.shutdown_under_way = false;
}

// The threads of the session when they could not both be created.
static std::optional<Lsp_Session_Threads> start_session(Lsp_State& state,
                                                        const Lsp_Executable& executable,
                                                        const std::string& path) {
    std::deque<Lsp_Frame> first_frames = handshake_frames(path);
    state.session_version = executable.version;
    if (!spawn_server(executable.path, state.process)) {
        note_session_end(state, Lsp_Clock::now(), false, executable.version);
        return std::nullopt;
    }
    state.process.exit_watch = Lsp_Exit_Watch();
    state.process.pidfd = open_pidfd(state.process);
    open_session(state, first_frames);
    try {
        state.writer_thread = std::thread(lsp_writer_loop, &state);
        state.reader_thread = std::thread(lsp_session_reader, &state);
    } catch (...) {
        return abandon_session(state);
    }
    return std::nullopt;
}

void lsp_start_server(const std::string& path) {
    Lsp_Session_Threads ended;
    std::optional<Lsp_Session_Threads> abandoned;
    try {
        std::lock_guard lock(g_server_start_mutex);
        if (!g_stopped.load() && clean_up_ended_session(g_lsp_state, ended)) {
            Lsp_Executable executable = executable_to_start();
            if (!executable.path.empty()) abandoned = start_session(g_lsp_state, executable, path);
        }
    } catch (...) {
        // A start that cannot be made is tried again at the next Python scan.
    }
    join_session_threads(ended);
    if (abandoned) finish_abandoned_session(g_lsp_state, *abandoned);
}

// ---------------------------------------------------------------------------
// Shutdown

// A running session gets shutdown and exit after what is queued; a starting
// one nothing more, as its server has not answered initialize. Either takes
// no new frames from now on. False when there is no session.
static bool begin_closing(Lsp_State& state, Lsp_Clock::time_point deadline) {
    std::deque<Lsp_Frame> last_frames;
    if (state.phase.load() == Lsp_Phase::running) {
        last_frames.push_back(plain_frame(shutdown_message(state.next_request_id.fetch_add(1))));
        last_frames.push_back(plain_frame(R"({"jsonrpc":"2.0","method":"exit","params":null})"));
    }
    std::lock_guard lock(state.session_mutex);
    Lsp_Phase phase = state.phase.load();
    if (phase == Lsp_Phase::idle) return false;
    if (!takes_frames(phase)) {
        state.child_deadline = std::min(state.child_deadline, deadline);
        return true;
    }
    state.child_deadline = deadline;
    if (phase == Lsp_Phase::running) {
        for (Lsp_Frame& frame : last_frames) append_frame(state, std::move(frame));
    }
    state.phase.store(Lsp_Phase::closing, std::memory_order_release);
    state.session_changed.notify_all();
    return true;
}

// True once the reader has answered what was pending, by the deadline.
static bool wait_for_reader(Lsp_State& state, Lsp_Clock::time_point deadline) {
    std::unique_lock lock(state.pending_mutex);
    return state.reader_done_cv.wait_until(lock, deadline, [&] { return state.reader_done; });
}

// Waits on session_changed until the thread has finished, or the deadline.
static bool wait_until_finished(Lsp_State& state, bool Lsp_State::*finished, Deadline deadline) {
    std::unique_lock lock(state.session_mutex);
    auto done = [&] { return state.*finished; };
    if (!deadline) {
        state.session_changed.wait(lock, done);
        return true;
    }
    return state.session_changed.wait_until(lock, *deadline, done);
}

// Until the deadline the reader goes on draining the server's output, so
// that a server still answering earlier requests is not blocked on a full
// pipe and can take exit and end by itself. Then both threads' waits end; the
// reader answers what is left and ends the child, by SIGTERM if it is still
// there. The threads this shutdown holds are joined; the others are waited
// for by their flags: threads that a stop from a references callback left to
// end by themselves, or held by a shutdown under way on another thread,
// which may be waiting for the thread that exits. No lock is held while this
// waits: the reader's callbacks may wait for the worker, which takes
// g_server_start_mutex at every Python scan.
static void end_session_threads(Lsp_State& state, Lsp_Session_Threads& threads,
                                Lsp_Clock::time_point deadline) {
    wait_for_reader(state, deadline);
    {
        // Unless the shutdown holding the session has closed its descriptors.
        std::lock_guard lock(g_server_start_mutex);
        if (state.phase.load() != Lsp_Phase::idle) stop_reading_and_writing(state.process);
    }
    join_session_threads(threads);
    wait_until_finished(state, &Lsp_State::writer_finished, std::nullopt);
    wait_until_finished(state, &Lsp_State::reader_finished, std::nullopt);
}

// A references callback that calls enqueue_stop runs on the reader thread,
// which cannot wait for its own end: the session is made to end once the
// callback returns, and its threads end by themselves.
static void end_session_from_its_reader(Lsp_State& state) {
    stop_reading_and_writing(state.process);
    if (state.reader_thread.joinable()) state.reader_thread.detach();
    if (state.writer_thread.joinable()) state.writer_thread.detach();
}

bool lsp_on_reader_thread() { return g_lsp_state.reader_id.load() == std::this_thread::get_id(); }

// Takes the session for this shutdown: false when there is none, another
// shutdown has it, or the caller is its reader (then it ends by itself).
static bool take_session_to_shut_down(Lsp_State& state, Lsp_Clock::time_point deadline,
                                      Lsp_Session_Threads& threads) {
    std::lock_guard lock(g_server_start_mutex);
    if (state.shutdown_under_way || !begin_closing(state, deadline)) return false;
    if (lsp_on_reader_thread()) {
        end_session_from_its_reader(state);
        return false;
    }
    state.shutdown_under_way = true;
    threads = take_session_threads(state);
    return true;
}

// No session is alive before the first start: a host's shutdown then takes
// no lock at all. Descriptors are closed only once the session's threads are
// done with them.
void lsp_shutdown() {
    Lsp_State& state = g_lsp_state;
    if (state.phase.load(std::memory_order_acquire) == Lsp_Phase::idle) return;
    Lsp_Clock::time_point deadline = Lsp_Clock::now() + g_lsp_limits.exit_grace;
    Lsp_Session_Threads threads;
    if (!take_session_to_shut_down(state, deadline, threads)) return;
    end_session_threads(state, threads, deadline);
    std::lock_guard lock(g_server_start_mutex);
    close_server_output(state.process);
    set_phase(state, Lsp_Phase::idle);
    state.shutdown_under_way = false;
}

// The reader's last work, done by the reader itself when a references
// callback calls exit(): no other thread will. The writer has until the
// deadline to send shutdown and exit.
static void finish_reading_at_exit(Lsp_State& state, Lsp_Clock::time_point deadline) {
    wait_until_finished(state, &Lsp_State::writer_finished, deadline);
    stop_reading_and_writing(state.process);
    wait_until_finished(state, &Lsp_State::writer_finished, std::nullopt);
    end_session(state);
    answer_pending_requests(state);
    end_child(state.process, child_exit_deadline(state));
    mark_thread_finished(state, &Lsp_State::reader_finished);
}

// The session is looked at under g_server_start_mutex: a start under way on
// the worker either completes before, and its session is ended here, or
// sees the stop and starts nothing.
void lsp_shutdown_at_exit() {
    Lsp_State& state = g_lsp_state;
    if (state.abandoned_by.load() == std::this_thread::get_id()) {
        // A callback of a look-up that a session whose threads could not be
        // created owed: the rest of that session's end falls to this thread.
        answer_pending_requests(state);
        end_child(state.process, Lsp_Clock::now());
        return;
    }
    Lsp_Clock::time_point deadline = Lsp_Clock::now() + g_lsp_limits.exit_grace;
    bool on_reader = lsp_on_reader_thread();
    Lsp_Session_Threads threads;
    {
        std::lock_guard lock(g_server_start_mutex);
        if (!begin_closing(state, deadline)) return;
        if (!state.shutdown_under_way) {
            state.shutdown_under_way = true;
            threads.writer = std::move(state.writer_thread);
            if (!on_reader) threads.reader = std::move(state.reader_thread);
        }
    }
    if (on_reader) {
        finish_reading_at_exit(state, deadline);
        join_session_threads(threads);
    } else {
        end_session_threads(state, threads, deadline);
    }
}

// ---------------------------------------------------------------------------
// The references look-up

// No exception of the host's callback may end the reader or reach the
// caller's frames: the look-up counts as answered all the same.
static void call_host(References_Callback callback, uint64_t context, Host_Location* records,
                      int32_t count, char* strings) {
    try {
        callback(context, records, count, strings);
    } catch (...) {
    }
}

void lsp_refs_trampoline(uint64_t box_address, const Lsp_Location* locations, int32_t count) {
    auto* box = reinterpret_cast<References_Box*>(box_address);
    References_Callback callback = box->callback;
    uint64_t context = box->context;
    delete box;
    Host_Location* records = nullptr;
    char* strings = nullptr;
    if (count > 0) {
        bool marshalled = marshal_records(
            std::span<const Lsp_Location>(locations, static_cast<size_t>(count)),
            [](const Lsp_Location& location) -> std::string_view { return location.uri; },
            [](Host_Location& record, const Lsp_Location& location, const char* uri) {
                record.uri = uri;
                record.line = location.line;
                record.character = location.character;
            },
            records, strings);
        if (!marshalled) count = 0;
    }
    call_host(callback, context, records, count, strings);
    g_pending_tasks.fetch_sub(1);
}

extern "C" VANTREL_EXPORT void enqueue_lsp_find_references(References_Callback callback,
                                                           uint64_t context, const char* path,
                                                           uint32_t path_length, int32_t line,
                                                           int32_t character) {
    if (callback == nullptr) return;
    note_call();
    std::string copy;
    References_Box* box = nullptr;
    try {
        // A forked child has no reader: the session belongs to the parent.
        if (!in_forked_child() && !g_stopped.load() && lsp_session_takes_frames(g_lsp_state)) {
            copy = copy_bytes(path, path_length);
            replace_backslashes(copy);
            box = new References_Box{callback, context};
        }
    } catch (...) {
        delete box;
        box = nullptr;
    }
    if (box == nullptr) {
        call_host(callback, context, nullptr, 0, nullptr);
        return;
    }
    g_pending_tasks.fetch_add(1);
    // Answered exactly once from here on: by the reader, or at once through
    // the trampoline when the session has ended meanwhile.
    lsp_find_references(copy, line, character, lsp_refs_trampoline,
                        reinterpret_cast<uint64_t>(box));
}
