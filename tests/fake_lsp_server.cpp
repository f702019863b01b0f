// A scripted language server for the library's tests: it speaks the
// Content-Length framing of the Language Server Protocol on its standard input
// and output and shows the failures a real server rarely does.
//
// A SIGTERM ends it only after it has read and logged what was already sent
// (the library may signal it before it has read "exit").
//
// Environment (inherited from the test process through the library):
//   VANTREL_FAKE_MODE  how to behave, one of the modes below; "normal" if unset
//   VANTREL_FAKE_LATER_MODE
//                      the mode of every start after the first, told apart by
//                      the "start" lines already in VANTREL_FAKE_INFO; unset,
//                      every start takes VANTREL_FAKE_MODE
//   VANTREL_FAKE_LOG   file to which every frame received is appended, header
//                      and body byte for byte
//   VANTREL_FAKE_INFO  file to which facts about this process are appended at
//                      start: "start <pid>", "mode <mode>", "arg <argument>"
//                      per argument after the program name, "fd <n>
//                      <target>" per open descriptor, and "sigblk <mask>" and
//                      "sigign <mask>", the signals it was started with
//                      blocked and ignored (as /proc/<pid>/status gives them);
//                      later "helper <pid>" when leave_helper starts its
//                      helper, and "ended <ms>", on CLOCK_MONOTONIC (the
//                      tests' steady clock), when crash_on_references or
//                      leave_helper ends the server
//   VANTREL_FAKE_RESUME
//                      file whose existence ends a pause (see hold_init,
//                      pause_reading and leave_helper); unset, a pause ends by
//                      time alone
//   VANTREL_FAKE_PAUSE_MS
//                      how long a pause lasts at most, in milliseconds; unset,
//                      1000, or no limit when VANTREL_FAKE_RESUME is set
//   VANTREL_FAKE_CRASH_AFTER
//                      the number of references requests crash_on_references
//                      answers before it ends; 0 if unset
//   VANTREL_FAKE_ANSWERS
//                      the number of references requests the modes that answer
//                      normally answer; later ones are held for good; unset,
//                      every one is answered
//
// Modes:
//   normal             answers initialize, references (two locations: the asked
//                      position in the asked document, and line + 1 in a
//                      document whose URI needs JSON unescaping) and shutdown;
//                      ends on exit or at the end of its input
//   chatty             like normal, but first sends notifications, requests of
//                      its own and a stray response, in varied framing
//   slow_init          like normal, but waits 300 ms before answering initialize
//   hold_init          like normal, but answers initialize only once a pause
//                      has ended
//   init_error         answers initialize with an error response
//   huge_before_init   like normal, but sends a notification of 16 MiB before
//                      its reply to initialize
//   exit_on_initialize ends as soon as it has read initialize
//   exit_after_init    ends once initialized has come
//   crash_at_start     ends at once, before reading anything
//   crash_on_references
//                      like normal, but ends without an answer when a
//                      references request comes after VANTREL_FAKE_CRASH_AFTER
//                      answered ones
//   leave_helper       like normal, but when a references request comes it
//                      starts a helper process that holds the server's input
//                      and output open until a pause has ended, and ends
//                      without an answer
//   silent             never writes, ignores SIGTERM and outlives its input
//   hang               never reads and never writes; ends on SIGTERM
//   flood_bytes        never reads; writes "y\n" without end, as yes(1) does
//   flood_notifications
//                      never reads; writes well-formed notifications without
//                      end and never answers initialize
//   stop_reading       answers initialize, reads initialized, then reads
//                      nothing more until it is ended, so that the pipe to it
//                      fills up
//   pause_reading      like normal, but once initialized has come reads nothing
//                      until a pause has ended
//   ignore_shutdown    like normal, but ignores shutdown and exit, ignores
//                      SIGTERM and outlives its input
//   hold_references    never answers references
//   error_references   answers references with an error response
//   reverse_references holds references until three have come, then answers
//                      them newest first
//   shuffle_references holds references while more input is ready (up to 64),
//                      then answers them in a random order
//   wide_id            answers each references request first with a response
//                      whose id is the request's plus 2^32, holding one
//                      location at line 999, then as normal
//   request_with_pending_id
//                      answers each references request first with a
//                      notification and a request of its own
//                      (workspace/configuration) carrying the request's id,
//                      then as normal
//   invalid_utf8_references
//                      answers references with two locations: the asked
//                      position in a document whose URI holds the byte 0xE9
//                      (Latin-1 for e acute, not UTF-8), then line + 1 in the
//                      asked document
//   request_flood      once initialized has come, sends 20 000 requests of its
//                      own (workspace/configuration) and reads nothing more
//                      until it is ended
//   wide_positions     answers references with three locations in the asked
//                      document: line 2^31 character -1, line 4294967297
//                      character 5, line 7 character 2147483647
//   die_in_body        answers references with a frame cut short by its exit
//   long_header        answers references with a header line of 70 000 bytes
//   huge_length        answers references with Content-Length 2000000000
//   no_digits          answers references with "Content-Length: abc"
//   minus_length       answers references with "Content-Length: -5"
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_mode = "normal";

void write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void append_to_file(const char* variable, const std::string& bytes) {
    const char* path = getenv(variable);
    if (path == nullptr || *path == '\0') return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    write_all(fd, bytes);
    close(fd);
}

std::string read_whole_file(const char* path) {
    std::string text;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Whether an earlier start has written its "start" line to the info file.
bool started_before() {
    const char* info = getenv("VANTREL_FAKE_INFO");
    if (info == nullptr || *info == '\0') return false;
    std::string text = read_whole_file(info);
    return text.starts_with("start ") || text.find("\nstart ") != std::string::npos;
}

std::string chosen_mode() {
    const char* later = getenv("VANTREL_FAKE_LATER_MODE");
    if (later != nullptr && *later != '\0' && started_before()) return later;
    const char* mode = getenv("VANTREL_FAKE_MODE");
    return mode != nullptr ? mode : "normal";
}

std::string descriptor_target(const std::string& name) {
    char target[4096];
    std::string link = "/proc/self/fd/" + name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n < 0 ? std::string("?") : std::string(target, static_cast<size_t>(n));
}

// Lists the descriptors this process was started with; the listing's own
// directory descriptor is left out.
std::string describe_descriptors() {
    std::string lines;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return lines;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir)) continue;
        lines += "fd " + std::string(entry->d_name) + " " + descriptor_target(entry->d_name) + "\n";
    }
    closedir(dir);
    return lines;
}

// The "SigBlk" and "SigIgn" lines of /proc/self/status, as "sigblk <mask>"
// and "sigign <mask>".
std::string describe_signals() {
    std::string lines;
    std::string status = read_whole_file("/proc/self/status");
    for (const char* field : {"SigBlk", "SigIgn"}) {
        size_t at = status.find(std::string("\n") + field + ":");
        if (at == std::string::npos) continue;
        size_t value = status.find_first_not_of(" \t", at + strlen(field) + 2);
        std::string key = field;
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        lines += key + " " + status.substr(value, status.find('\n', value) - value) + "\n";
    }
    return lines;
}

void record_start(int argc, char** argv) {
    std::string info = "start " + std::to_string(getpid()) + "\nmode " + g_mode + "\n";
    for (int i = 1; i < argc; ++i) info += "arg " + std::string(argv[i]) + "\n";
    info += describe_descriptors();
    info += describe_signals();
    append_to_file("VANTREL_FAKE_INFO", info);
}

void send_raw(const std::string& bytes) { write_all(1, bytes); }

void send(const std::string& body) {
    send_raw("Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

volatile sig_atomic_t g_terminated = 0;

void note_termination(int) { g_terminated = 1; }

// Once SIGTERM has come, the input is read without waiting: what was sent
// before the signal is still read and logged, then the server ends.
ssize_t read_input(void* buffer, size_t size) {
    for (;;) {
        if (g_terminated) fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        ssize_t n = read(0, buffer, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

bool input_ready() {
    pollfd input = {0, POLLIN, 0};
    return poll(&input, 1, 0) > 0;
}

// Reads one frame; its body, or nothing at the end of the input.
std::optional<std::string> read_frame() {
    std::string raw;
    std::string line;
    size_t length = 0;
    for (;;) {
        char byte;
        if (read_input(&byte, 1) != 1) return std::nullopt;
        raw += byte;
        if (byte == '\r') continue;
        if (byte != '\n') {
            line += byte;
            continue;
        }
        if (line.empty()) break;
        if (line.rfind("Content-Length:", 0) == 0)
            length = strtoull(line.c_str() + 15, nullptr, 10);
        line.clear();
    }
    std::string body(length, '\0');
    size_t done = 0;
    while (done < length) {
        ssize_t n = read_input(body.data() + done, length - done);
        if (n <= 0) return std::nullopt;
        done += static_cast<size_t>(n);
    }
    append_to_file("VANTREL_FAKE_LOG", raw + body);
    return body;
}

long environment_number(const char* variable, long fallback) {
    const char* value = getenv(variable);
    return value != nullptr && *value != '\0' ? strtol(value, nullptr, 10) : fallback;
}

// Waits until the file named by VANTREL_FAKE_RESUME exists, the pause time
// has passed, or SIGTERM has come.
void pause_until_resumed(long default_milliseconds) {
    const char* resume = getenv("VANTREL_FAKE_RESUME");
    bool by_file = resume != nullptr && *resume != '\0';
    long limit = environment_number("VANTREL_FAKE_PAUSE_MS", by_file ? -1 : default_milliseconds);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    while (!g_terminated && !(by_file && access(resume, F_OK) == 0)) {
        if (limit >= 0 && std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void wait_for_termination() {
    while (!g_terminated) pause();
}

// The library's messages have fixed shapes, so plain searches find their
// members; -1 stands for an absent number.
long number_after(const std::string& body, const std::string& key) {
    size_t at = body.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return strtol(body.c_str() + at + key.size() + 3, nullptr, 10);
}

std::string string_after(const std::string& body, const std::string& key) {
    std::string opening = "\"" + key + "\":\"";
    size_t at = body.find(opening);
    if (at == std::string::npos) return "";
    size_t start = at + opening.size();
    size_t end = start;
    while (end < body.size() && body[end] != '"') end += body[end] == '\\' ? 2 : 1;
    return body.substr(start, end - start);
}

struct Request {
    long id;
    std::string method;
    std::string uri;
    long line;
    long character;
};

Request parse_request(const std::string& body) {
    return {number_after(body, "id"), string_after(body, "method"), string_after(body, "uri"),
            number_after(body, "line"), number_after(body, "character")};
}

// line and character are written as given, so that any JSON number fits.
std::string location(const std::string& uri, const std::string& line,
                     const std::string& character) {
    std::string start = R"({"line":)" + line + R"(,"character":)" + character + "}";
    return R"({"uri":")" + uri + R"(","range":{"start":)" + start + R"(,"end":)" + start + "}}";
}

std::string location(const std::string& uri, long line, long character) {
    return location(uri, std::to_string(line), std::to_string(character));
}

std::string response(const std::string& id, const std::string& locations) {
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":[)" + locations + "]}";
}

// The second location's URI reads file:///elsewhere/café "q".py once unescaped.
void answer_references(const Request& request) {
    send(response(std::to_string(request.id),
                  location(request.uri, request.line, request.character) + "," +
                      location(R"(file:///elsewhere/caf\u00e9 \"q\".py)", request.line + 1, 0)));
}

// What a server may send before its reply to initialize: a notification, two
// requests of its own, a response to no request (carrying the id that the
// first references request will have) and a frame with further headers and
// bare line feeds.
void send_chatter() {
    send(R"({"jsonrpc":"2.0","method":"window/logMessage","params":{"type":3,"message":"hi"}})");
    send(R"({"jsonrpc":"2.0","id":"s1","method":"workspace/configuration","params":{}})");
    send(R"({"jsonrpc":"2.0","id":7,"method":"window/workDoneProgress/create","params":{}})");
    send(R"({"jsonrpc":"2.0","id":2,"result":[)" + location("file:///stray.py", 9, 9) + "]}");
    std::string odd = R"({"jsonrpc":"2.0","method":"$/progress","params":{"id":1}})";
    send_raw("X-Note: first\nContent-Length: " + std::to_string(odd.size()) +
             "\nContent-Type: application/vscode-jsonrpc; charset=utf-8\n\n" + odd);
}

void answer_initialize() {
    if (g_mode == "slow_init") std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (g_mode == "hold_init") pause_until_resumed(1000);
    if (g_mode == "init_error") {
        send(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"not today"}})");
        return;
    }
    if (g_mode == "chatty") send_chatter();
    if (g_mode == "huge_before_init") {
        send(R"({"jsonrpc":"2.0","method":"window/logMessage","params":{"type":3,"message":")" +
             std::string(16 << 20, 'x') + R"("}})");
    }
    send(R"({"jsonrpc":"2.0","id":1,"result":{"capabilities":{"referencesProvider":true}}})");
}

// Notes the moment of an end of its own, for the tests to measure from.
[[noreturn]] void end_now(int status) {
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    append_to_file("VANTREL_FAKE_INFO", "ended " + std::to_string(now.count()) + "\n");
    _exit(status);
}

// The helper inherits both pipes, so the end of the server's output is not
// seen while it lives.
[[noreturn]] void end_leaving_helper() {
    pid_t helper = fork();
    if (helper == 0) {
        pause_until_resumed(1000);
        _exit(0);
    }
    append_to_file("VANTREL_FAKE_INFO", "helper " + std::to_string(helper) + "\n");
    end_now(0);
}

void answer_references_badly(const Request& request) {
    std::string id = std::to_string(request.id);
    std::string empty_answer = R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":[]})";
    if (g_mode == "error_references") {
        send(R"({"jsonrpc":"2.0","id":)" + id + R"(,"error":{"code":-32601,"message":"no"}})");
    } else if (g_mode == "die_in_body") {
        send_raw("Content-Length: 100\r\n\r\n" + empty_answer.substr(0, empty_answer.size() - 2));
        _exit(0);
    } else if (g_mode == "long_header") {
        send_raw(std::string(70000, 'X'));
    } else if (g_mode == "huge_length") {
        send_raw("Content-Length: 2000000000\r\n\r\n" + empty_answer);
    } else if (g_mode == "no_digits") {
        send_raw("Content-Length: abc\r\n\r\n" + empty_answer);
    } else if (g_mode == "minus_length") {
        send_raw("Content-Length: -5\r\n\r\n" + empty_answer);
    }
}

// Messages that a client must not take for the answer to the request.
void answer_references_after_decoy(const Request& request) {
    if (g_mode == "wide_id") {
        send(response(std::to_string(request.id + (1L << 32)), location(request.uri, 999, 0)));
    } else {
        std::string id = std::to_string(request.id);
        send(R"({"jsonrpc":"2.0","method":"window/logMessage","params":{"type":3,"message":"hi"}})");
        send(R"({"jsonrpc":"2.0","id":)" + id +
             R"(,"method":"workspace/configuration","params":{"items":[{"section":"pylsp"}]}})");
    }
    answer_references(request);
}

void answer_with_invalid_utf8(const Request& request) {
    send(response(std::to_string(request.id),
                  location("file:///caf\xE9.py", request.line, request.character) + "," +
                      location(request.uri, request.line + 1, 0)));
}

void answer_with_wide_positions(const Request& request) {
    send(response(std::to_string(request.id),
                  location(request.uri, "2147483648", "-1") + "," +
                      location(request.uri, "4294967297", "5") + "," +
                      location(request.uri, "7", "2147483647")));
}

// Answers what was held in a random order once no further input waits.
void answer_shuffled(std::vector<Request>& held) {
    static std::mt19937 random(static_cast<unsigned>(getpid()));
    if (held.size() < 64 && input_ready()) return;
    std::shuffle(held.begin(), held.end(), random);
    for (const Request& request : held) answer_references(request);
    held.clear();
}

void answer_in_reverse(std::vector<Request>& held) {
    if (held.size() < 3) return;
    for (auto it = held.rbegin(); it != held.rend(); ++it) answer_references(*it);
    held.clear();
}

bool answers_references_normally() {
    return g_mode == "normal" || g_mode == "chatty" || g_mode == "slow_init" ||
           g_mode == "huge_before_init" ||
           g_mode == "hold_init" || g_mode == "init_error" || g_mode == "ignore_shutdown" ||
           g_mode == "pause_reading" || g_mode == "crash_on_references";
}

void serve_references(const Request& request, std::vector<Request>& held) {
    static long answered = 0;
    if (g_mode == "crash_on_references" &&
        answered == environment_number("VANTREL_FAKE_CRASH_AFTER", 0)) {
        end_now(3);
    }
    if (g_mode == "leave_helper") end_leaving_helper();
    if (answers_references_normally()) {
        if (answered < environment_number("VANTREL_FAKE_ANSWERS", LONG_MAX)) answer_references(request);
        ++answered;
    } else if (g_mode == "reverse_references") {
        held.push_back(request);
        answer_in_reverse(held);
    } else if (g_mode == "shuffle_references") {
        held.push_back(request);
        answer_shuffled(held);
    } else if (g_mode == "wide_id" || g_mode == "request_with_pending_id") {
        answer_references_after_decoy(request);
    } else if (g_mode == "wide_positions") {
        answer_with_wide_positions(request);
    } else if (g_mode == "invalid_utf8_references") {
        answer_with_invalid_utf8(request);
    } else {
        answer_references_badly(request);
    }
}

void send_own_requests(int count) {
    for (int id = 1; id <= count && !g_terminated; ++id) {
        send(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
             R"(,"method":"workspace/configuration","params":{"items":[]}})");
    }
}

// Returns false when the server is to read nothing more.
bool serve_initialized() {
    if (g_mode == "exit_after_init") _exit(0);
    if (g_mode == "pause_reading") pause_until_resumed(1000);
    if (g_mode == "request_flood") send_own_requests(20000);
    if (g_mode != "stop_reading" && g_mode != "request_flood") return true;
    wait_for_termination();
    return false;
}

void serve() {
    std::vector<Request> held;
    while (std::optional<std::string> body = read_frame()) {
        Request request = parse_request(*body);
        if (g_mode == "silent") continue;
        if (request.method == "initialize") {
            if (g_mode == "exit_on_initialize") _exit(0);
            answer_initialize();
        } else if (request.method == "initialized") {
            if (!serve_initialized()) return;
        } else if (request.method == "textDocument/references") {
            serve_references(request, held);
        } else if (g_mode == "ignore_shutdown") {
            continue;
        } else if (request.method == "shutdown") {
            send(R"({"jsonrpc":"2.0","id":)" + std::to_string(request.id) + R"(,"result":null})");
        } else if (request.method == "exit") {
            _exit(0);
        }
    }
}

// The modes that never read their input.
void flood_bytes() {
    std::string lines;
    for (int i = 0; i < 2048; ++i) lines += "y\n";
    while (!g_terminated) send_raw(lines);
}

void flood_notifications() {
    std::string notification =
        R"({"jsonrpc":"2.0","method":"window/logMessage","params":{"type":4,"message":"busy"}})";
    while (!g_terminated) send(notification);
}

}  // namespace

int main(int argc, char** argv) {
    g_mode = chosen_mode();
    record_start(argc, argv);
    if (g_mode == "crash_at_start") _exit(3);
    bool stubborn = g_mode == "silent" || g_mode == "ignore_shutdown";
    // Without SA_RESTART, a read, write or pause that waits returns when
    // SIGTERM comes.
    struct sigaction on_term = {};
    on_term.sa_handler = stubborn ? SIG_IGN : note_termination;
    sigaction(SIGTERM, &on_term, nullptr);
    if (g_mode == "hang") {
        wait_for_termination();
    } else if (g_mode == "flood_bytes") {
        flood_bytes();
    } else if (g_mode == "flood_notifications") {
        flood_notifications();
    } else {
        serve();
    }
    while (stubborn) pause();
    return 0;
}
