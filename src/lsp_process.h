// The language-server client: one child process at a time speaking the
// Language Server Protocol over two pipes, started lazily for Python files.
//
// A session is one server process and two threads of the client's own: the
// writer, which alone writes the server's input from the outgoing queue, and
// the reader, which alone reads its output, completes the initialize
// handshake and delivers answers. No other thread ever waits on the server:
// senders only queue a frame, and a session that breaks ends by itself,
// answering what it still owed, to be replaced at the next Python scan.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <simdjson.h>

#include "vantrel.h"

using Lsp_Clock = std::chrono::steady_clock;

// One place in a document, as a server's response gave it.
struct Lsp_Location {
    std::string uri;
    int32_t line = 0;
    int32_t character = 0;
};

using Lsp_Location_Callback = void (*)(uint64_t context, const Lsp_Location* locations,
                                       int32_t count);

// What the reader knows of the child's end. Once the child has exited, only
// the bytes its output pipe held at that moment are read, without waiting: a
// helper process of the server, or a host child forked while the pipe was
// being set up, may hold the pipe open long after.
struct Lsp_Exit_Watch {
    bool exited = false;
    size_t bytes_left = 0;            // once exited: what the pipe still holds
    Lsp_Clock::time_point next_poll;  // without a pidfd: when to ask next
};

// The server child and the descriptors the client keeps of it. Written by a
// server start before the session's threads exist and read by them; the
// descriptors are closed once both have been joined (the input by the writer
// as it ends, so that the server sees the end of its input at once).
struct Lsp_Process {
    int32_t pid = -1;
    int32_t stdin_pipe[2] = {-1, -1};   // the client keeps only the write end
    int32_t stdout_pipe[2] = {-1, -1};  // the client keeps only the read end
    // Readable once the child has exited; -1 where the system gives none,
    // and the reader asks waitid instead.
    int32_t pidfd = -1;
    // Set once the child is forked; the reader stops at the next header when
    // a shutdown clears it.
    std::atomic<bool> running{false};
    // Ours alone (not the child's): a byte written to it ends every wait of
    // the session's threads on the server's pipes, for good.
    int32_t wake_pipe[2] = {-1, -1};
    // The reader's alone, changed through the process its reads are given.
    mutable Lsp_Exit_Watch exit_watch;
};

// Where a session stands. idle: none (never started, or cleaned up).
// starting: the server is spawned and initialize not yet answered; frames
// queue behind initialize. running: answered. closing: a shutdown is under
// way and takes no new frames. over: the reader or the writer has ended; the
// session only waits to be cleaned up.
enum class Lsp_Phase : uint8_t { idle, starting, running, closing, over };

// One frame waiting for the writer.
struct Lsp_Frame {
    std::string body;
    // For a didOpen, the document's path: while this one is unsent, a newer
    // didOpen of the document withdraws it, and takes its place when it fits
    // under the byte cap there. Empty for every other frame.
    std::string document;
    // A document's text, dropped rather than queued past the byte cap;
    // requests and the protocol's own messages never are. (Replies to the
    // server's own requests are queued by the reader, and one past the cap
    // ends the session.)
    bool droppable = false;
    // initialize: the one frame written before the server has answered it.
    bool before_reply = false;
};

// Time limits of the client and its outgoing byte cap. These values are the
// library's; only tests of the core library change them, before any server
// is started.
struct Lsp_Limits {
    // A server that has not answered initialize within this time, whatever
    // it sends meanwhile, is given up.
    std::chrono::milliseconds handshake{30000};
    // A server that takes no byte of its input for this long while frames
    // wait for it is hung.
    std::chrono::milliseconds write{30000};
    // From the start of a shutdown, or from the end of a session, the time
    // the server has to end by itself before it gets SIGTERM.
    std::chrono::milliseconds exit_grace{2000};
    // How long a child has after SIGTERM before it gets SIGKILL.
    std::chrono::milliseconds terminate_grace{1000};
    // After a failed start, or a session that ended before it had lasted
    // healthy_session, no start is tried for a back-off that begins at
    // first_backoff and doubles up to max_backoff.
    std::chrono::milliseconds first_backoff{1000};
    std::chrono::milliseconds max_backoff{300000};
    std::chrono::milliseconds healthy_session{60000};
    // Frames waiting for the server beyond this many bytes: document texts
    // are dropped, requests never; a reply to a request of the server's own
    // ends the session instead, as the server does not read what it asks.
    size_t outgoing_bytes = size_t{64} << 20;
    // The server's exit is seen through a pidfd; where the system has none
    // (or use_pidfd is cleared, as tests do), by asking this often.
    bool use_pidfd = true;
    std::chrono::milliseconds exit_poll{100};
};

extern Lsp_Limits g_lsp_limits;

struct Lsp_State {
    Lsp_Process process;
    std::atomic<int32_t> next_request_id{2};  // 1 is reserved for initialize
    std::mutex pending_mutex;                 // guards pending_requests and reader_done
    std::unordered_map<int32_t, std::pair<Lsp_Location_Callback, uint64_t>> pending_requests;
    std::thread reader_thread;
    std::thread writer_thread;
    // Set by the reader while it runs: a stop made from one of its callbacks
    // must neither wait for it nor for a stop that does.
    std::atomic<std::thread::id> reader_id;
    // The reader's alone; both are released after a message over a few MiB.
    simdjson::ondemand::parser json_parser;
    std::vector<uint8_t> response_buffer;
    // Guarded by pending_mutex: set when the reader has answered every
    // request still pending as it ended; later requests are answered at once.
    bool reader_done = false;
    std::condition_variable reader_done_cv;  // notified once reader_done is set

    // The session. phase is written under session_mutex and may be read
    // without it as a hint; every other field below is guarded by it.
    std::mutex session_mutex;
    std::condition_variable session_changed;  // the writer waits on it for frames
    std::atomic<Lsp_Phase> phase{Lsp_Phase::idle};
    bool initialize_answered = false;
    std::deque<Lsp_Frame> outgoing;
    size_t outgoing_bytes = 0;
    uint64_t first_sequence = 0;  // sequence number of outgoing.front()
    std::unordered_map<std::string, uint64_t> unsent_did_opens;  // path -> sequence number
    bool reader_finished = false;  // the reader has answered, ended the child and returns
    bool writer_finished = false;
    Lsp_Clock::time_point started_at;  // the server's spawn
    Lsp_Clock::time_point ended_at;
    // When the child, once the session is over, gets SIGTERM if it has not
    // ended by itself; a shutdown brings it forward to its own deadline.
    Lsp_Clock::time_point child_deadline;

    // Guarded by g_server_start_mutex: a shutdown (or the end of a session
    // whose threads could not be created) has taken the session's threads to
    // join them, and no start, clean-up or other shutdown touches the session
    // (the exit's shutdown only ends it beside that one, see
    // lsp_shutdown_at_exit); the version of the executable setting the
    // session was started under.
    bool shutdown_under_way = false;
    uint64_t session_version = 0;
    // The thread finishing a session whose threads could not be created: the
    // callbacks it runs for the look-ups that session owed may call exit().
    std::atomic<std::thread::id> abandoned_by;

    // Back-off of failed starts, guarded by g_lsp_executable_path_mutex, with
    // the number of settings of the executable: the end of a session started
    // under an earlier setting does not count.
    std::chrono::milliseconds backoff{0};  // 0: the last session was sound
    Lsp_Clock::time_point retry_at;
    uint64_t executable_version = 0;
};

extern Lsp_State& g_lsp_state;
// Set while a session is running (its server has answered initialize).
extern std::atomic<bool> g_lsp_started;
// Held by a session's start and clean-up on the worker and by a shutdown, so
// that one session at a time is started or ended.
extern std::mutex& g_server_start_mutex;
extern std::mutex& g_lsp_executable_path_mutex;  // guards g_lsp_executable_path and the back-off
extern std::string& g_lsp_executable_path;

// Stores a copy of path as the server executable; null or empty means none.
// Also forgets the back-off of earlier failed starts, and the failure of
// every session started before, whether it has ended yet or not.
void lsp_set_executable(const char* path);

// Framing and outgoing messages. lsp_send queues one frame and returns at
// once; false when no session takes frames (none, or it is closing or over),
// and the frame is dropped. The session's writer writes it, with its
// Content-Length header, after every frame queued before it.
bool lsp_send(Lsp_State& state, Lsp_Frame frame);
std::string path_to_uri(const std::string& path);
// The document notifications queue nothing while no session takes frames.
// A didOpen that cannot be queued (over the byte cap, or no memory for it)
// withdraws the older one of the same document still unsent.
void lsp_did_open(const std::string& path, const std::string& text);
// Withdraws the didOpen of path still unsent, if any: the server must never
// analyse a text the host has replaced, also when the newer one is empty.
void lsp_withdraw_did_open(const std::string& path);
void lsp_did_change(const std::string& path, const std::string& text, int32_t version);
// Requests: callback is called exactly once, on the reader thread with the
// locations of the response, or with none when the session ends first; at
// once, on the calling thread, when no session takes the request.
void lsp_goto_definition(const std::string& path, int32_t line, int32_t character,
                         Lsp_Location_Callback callback, uint64_t context);
void lsp_find_references(const std::string& path, int32_t line, int32_t character,
                         Lsp_Location_Callback callback, uint64_t context);
// The writer thread's body: writes initialize, then, once the server has
// answered it, every frame in order. Ends when the session is over, when a
// shutdown's frames are written, or when the server takes no byte for the
// write limit or its input breaks (then the session is over); closes the
// server's input as it ends.
void lsp_writer_loop(Lsp_State* state);

// Reading: one framed message into state.response_buffer; its length, or
// nothing at end of stream, on a read error, once running is cleared, when
// the wake-up pipe is signalled, or when the stream cannot be a frame any
// more (a header line over 64 KiB, a Content-Length without digits,
// negative, or over 1 GiB). A body that is not valid UTF-8 is stored with
// each invalid sequence replaced by U+FFFD, and the length is the stored
// one.
std::optional<uint64_t> lsp_read_message(Lsp_State& state);
// The id of a response: an integer within int32, else -1. A message with a
// "method" member is a request or a notification, never a response: -1.
int32_t parse_response_id(simdjson::ondemand::parser& parser, uint8_t* buffer, uint64_t length);
// Reads and dispatches messages until the stream ends, answering requests of
// the server's own with an error; then answers every request still pending
// with no locations.
void lsp_reader_loop(Lsp_State* state);
std::vector<Lsp_Location> parse_locations(simdjson::ondemand::parser& parser,
                                          const uint8_t* buffer, uint64_t length);

// Server process. lsp_start_server runs on the worker thread and never waits
// on a server: it cleans up a session that is over, and unless one is alive,
// a shutdown is under way or a back-off is pending, spawns a new server and
// returns; the session's threads do the handshake. lsp_shutdown is bounded (a
// few seconds at worst), answers every request still pending with no
// locations, and reaps the child; it holds no lock while it waits for the
// reader, whose callbacks may wait for the worker. A second shutdown while
// one is under way returns at once.
void lsp_start_server(const std::string& path);
void lsp_shutdown();
// The shutdown at the process's exit, from whichever thread exits, the
// session's reader included: it ends the session beside any shutdown under
// way on another thread (which may be waiting for the exiting thread), waits
// for the session's threads to be done, and on the reader does the reader's
// last work itself. Bounded as lsp_shutdown is.
void lsp_shutdown_at_exit();
// Whether the calling thread is the reader of a session.
bool lsp_on_reader_thread();

// One references look-up in flight: the host's callback and context, owned by
// the pending entry whose context is the box's address.
struct References_Box {
    References_Callback callback;
    uint64_t context;
};

// The Lsp_Location_Callback of every references look-up: hands the locations
// to the host as Host_Location records, releases the box and takes the
// look-up out of g_pending_tasks, also when the host's callback throws.
void lsp_refs_trampoline(uint64_t box, const Lsp_Location* locations, int32_t count);
