// The language-server client: one child process speaking the Language Server
// Protocol over two pipes, started lazily for Python files.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <simdjson.h>

#include "vantrel.h"

// One place in a document, as a server's response gave it.
struct Lsp_Location {
    std::string uri;
    int32_t line = 0;
    int32_t character = 0;
};

using Lsp_Location_Callback = void (*)(uint64_t context, const Lsp_Location* locations,
                                       int32_t count);

struct Lsp_Process {
    int32_t pid = -1;
    int32_t stdin_pipe[2] = {-1, -1};   // the client keeps only the write end
    int32_t stdout_pipe[2] = {-1, -1};  // the client keeps only the read end
    // Set once the child is forked; the reader stops at the next header when
    // another thread clears it.
    std::atomic<bool> running{false};
    // Serialises frames so that header and body of two messages never
    // interleave, and orders writes against the close in lsp_shutdown, which
    // waits for it only for a bounded time.
    std::mutex write_mutex;
    // Guarded by write_mutex: false once the write end is closed (by
    // lsp_shutdown, or after a write failed and left the stream out of step),
    // so that no byte goes to a descriptor number that may since belong to
    // the host.
    bool stdin_open = false;
    // Ours alone (not the child's): lsp_shutdown writes to the write end to end
    // the waits that the server may never end, the reader's for output that a
    // grandchild holds open and a sender's for a server that does not read.
    int32_t wake_pipe[2] = {-1, -1};
};

struct Lsp_State {
    Lsp_Process process;
    std::atomic<int32_t> next_request_id{2};  // 1 is reserved for initialize
    std::mutex pending_mutex;                 // guards pending_requests and reader_done
    std::unordered_map<int32_t, std::pair<Lsp_Location_Callback, uint64_t>> pending_requests;
    std::thread reader_thread;
    simdjson::ondemand::parser json_parser;
    std::vector<uint8_t> response_buffer;
    // Guarded by pending_mutex: set when the reader has ended and answered
    // every request still pending; later requests are answered at once.
    bool reader_done = false;
    std::condition_variable reader_done_cv;  // notified once reader_done is set
    std::mutex shutdown_mutex;               // one lsp_shutdown at a time
};

// The client's time limits and its outgoing byte cap. These values are the
// library's; only tests of the core library change them, before any server
// is started.
struct Lsp_Limits {
    // A server that has not answered initialize within this time, whatever
    // it sends meanwhile, is given up.
    std::chrono::milliseconds handshake{30000};
    // A server that takes no byte of its input for this long while frames
    // wait for it is hung.
    std::chrono::milliseconds write{30000};
    // From the start of a shutdown, the time the server has to take shutdown
    // and exit and end by itself before it gets SIGTERM.
    std::chrono::milliseconds exit_grace{2000};
    // How long a child has after SIGTERM before it gets SIGKILL.
    std::chrono::milliseconds terminate_grace{1000};
    // After a failed start, or a session that ended before it had lasted
    // healthy_session, no start is tried for a back-off that begins at
    // first_backoff and doubles up to max_backoff.
    std::chrono::milliseconds first_backoff{1000};
    std::chrono::milliseconds max_backoff{300000};
    std::chrono::milliseconds healthy_session{60000};
    // Frames waiting for the server beyond this many bytes: document
    // notifications are dropped, requests never.
    size_t outgoing_bytes = size_t{64} << 20;
};

extern Lsp_Limits g_lsp_limits;

extern Lsp_State g_lsp_state;
extern std::atomic<bool> g_lsp_started;
extern std::mutex g_server_start_mutex;
extern std::mutex g_lsp_executable_path_mutex;  // guards g_lsp_executable_path
extern std::string g_lsp_executable_path;

// Stores a copy of path as the server executable; null or empty means none.
void lsp_set_executable(const char* path);

// Framing and outgoing messages. lsp_send writes one Content-Length frame
// whole, or nothing once the server's input is closed; a server that has
// exited makes it return without a signal, and one that takes no input for
// 30 s has its input closed. The notifications send nothing while no server
// is started.
void lsp_send(Lsp_Process& process, const std::string& body);
std::string path_to_uri(const std::string& path);
void lsp_did_open(const std::string& path, const std::string& text);
void lsp_did_change(const std::string& path, const std::string& text, int32_t version);
// Requests: callback is called exactly once, on the reader thread with the
// locations of the response, or with none when the server's output ends
// first; at once, on the calling thread, when no reader could answer.
void lsp_goto_definition(const std::string& path, int32_t line, int32_t character,
                         Lsp_Location_Callback callback, uint64_t context);
void lsp_find_references(const std::string& path, int32_t line, int32_t character,
                         Lsp_Location_Callback callback, uint64_t context);

// Reading: one framed message into state.response_buffer; its length, or
// nothing at end of stream, on a read error, once running is cleared, when
// lsp_shutdown signals the wake-up pipe, or when the stream cannot be a
// frame any more (a header line over 64 KiB, a Content-Length without digits,
// negative, or over 1 GiB).
std::optional<uint64_t> lsp_read_message(Lsp_State& state);
int32_t parse_response_id(simdjson::ondemand::parser& parser, uint8_t* buffer, uint64_t length);
void lsp_reader_loop(Lsp_State* state);
std::vector<Lsp_Location> parse_locations(simdjson::ondemand::parser& parser,
                                          const uint8_t* buffer, uint64_t length);

// Server process. lsp_start_server runs on the worker thread and returns once
// the server has answered initialize, or after 30 s without an answer, when
// the start is abandoned and its child ended. lsp_shutdown is bounded too (a
// few seconds at worst), answers every request still pending with no
// locations, and reaps the child.
void lsp_start_server(const std::string& path);
void lsp_shutdown();

// One references look-up in flight: the host's callback and context, owned by
// the pending entry whose context is the box's address.
struct References_Box {
    References_Callback callback;
    uint64_t context;
};

// The Lsp_Location_Callback of every references look-up: hands the locations
// to the host as Host_Location records, releases the box and takes the
// look-up out of g_pending_tasks.
void lsp_refs_trampoline(uint64_t box, const Lsp_Location* locations, int32_t count);
