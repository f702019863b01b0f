#include "lsp_process.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "main.h"

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Beyond these a stream is hostile or broken and is ended like end of file,
// so that the reader's memory stays bounded.
constexpr size_t max_header_line = 64 * 1024;
constexpr uint64_t max_content_length = uint64_t{1} << 30;

constinit Lsp_Limits g_lsp_limits;

void lsp_set_executable(const char* path) {
    std::lock_guard lock(g_lsp_executable_path_mutex);
    g_lsp_executable_path = path == nullptr ? "" : path;
}

static std::string lsp_executable() {
    std::lock_guard lock(g_lsp_executable_path_mutex);
    return g_lsp_executable_path;
}

// ---------------------------------------------------------------------------
// Waiting for the server's pipes

static int remaining_milliseconds(Deadline deadline) {
    if (!deadline) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

// Waits until fd is ready for events (or has an error or end to report).
// False when lsp_shutdown signalled the wake-up pipe, the deadline passed or
// poll failed.
static bool wait_ready(int fd, short events, const Lsp_Process& process, Deadline deadline) {
    if (fd < 0) return false;
    pollfd fds[2] = {{fd, events, 0}, {process.wake_pipe[0], POLLIN, 0}};
    for (;;) {
        int ready = poll(fds, 2, remaining_milliseconds(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

// ---------------------------------------------------------------------------
// Writing frames

// Writes all of data to the server's input, resuming after interrupted and
// partial writes; returns 0, or the errno of the write that failed.
static int write_all(const Lsp_Process& process, std::string_view data, Deadline deadline) {
    int fd = process.stdin_pipe[1];
    while (!data.empty()) {
        ssize_t written = write(fd, data.data(), data.size());
        if (written > 0) {
            data.remove_prefix(static_cast<size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(fd, POLLOUT, process, deadline)) return ETIMEDOUT;
        } else {
            return written < 0 ? errno : EIO;
        }
    }
    return 0;
}

static bool sigpipe_pending() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

// A write to a server that has exited raises SIGPIPE, whose default action
// would end the host. It is blocked in this thread for the writes, and the
// one our write raised is taken back before the mask is restored; one that
// was already pending belongs to the host and stays.
static int write_frame(const Lsp_Process& process, std::string_view header,
                       std::string_view body) {
    sigset_t sigpipe_only, previous_mask;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe_only, &previous_mask);
    bool was_pending = sigpipe_pending();
    Deadline deadline = Clock::now() + g_lsp_limits.write;
    int error = write_all(process, header, deadline);
    if (error == 0) error = write_all(process, body, deadline);
    if (error == EPIPE && !was_pending) {
        timespec no_wait{0, 0};
        while (sigtimedwait(&sigpipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    return error;
}

// Requires write_mutex.
static void close_input(Lsp_Process& process) {
    if (process.stdin_open) close(process.stdin_pipe[1]);
    process.stdin_open = false;
}

// Requires write_mutex, held across header and body so that frames of
// concurrent senders never interleave. After a failed write the input is
// closed: the server has gone, or a frame was cut short and every later one
// would be out of step.
static void write_message(Lsp_Process& process, const std::string& body) {
    if (!process.stdin_open) return;
    char header[48] = "Content-Length: ";
    char* end = header + std::strlen(header);
    end = std::to_chars(end, header + sizeof header, body.size()).ptr;
    std::memcpy(end, "\r\n\r\n", 4);
    end += 4;
    if (write_frame(process, std::string_view(header, end - header), body) != 0) {
        close_input(process);
    }
}

void lsp_send(Lsp_Process& process, const std::string& body) {
    std::lock_guard lock(process.write_mutex);
    write_message(process, body);
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

// Makes text a JSON string body. Besides the five short escapes, the other
// control bytes (a form feed, a NUL) become \u00XX: a JSON parser rejects
// them raw, and the server would drop the whole message. Every other byte,
// 0x7F and non-ASCII included, is copied unchanged.
static std::string escape_text(const std::string& text) {
    static const char hex_digits[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size() + 32);
    auto run_start = text.begin();
    for (auto it = text.begin(); it != text.end(); ++it) {
        const char* escape = text_escape(*it);
        unsigned char byte = static_cast<unsigned char>(*it);
        if (escape == nullptr && byte >= 0x20) continue;
        escaped.append(run_start, it);
        if (escape != nullptr) {
            escaped += escape;
        } else {
            escaped += "\\u00";
            escaped += hex_digits[byte >> 4];
            escaped += hex_digits[byte & 0x0F];
        }
        run_start = it + 1;
    }
    escaped.append(run_start, text.end());
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

static std::string shutdown_message(int32_t id) {
    std::string message = R"({"jsonrpc":"2.0","id":)";
    append_number(message, id);
    message += R"(,"method":"shutdown","params":null})";
    return message;
}

// ---------------------------------------------------------------------------
// Sending document notifications and requests

void lsp_did_open(const std::string& path, const std::string& text) {
    if (!g_lsp_started.load(std::memory_order_acquire)) return;
    lsp_send(g_lsp_state.process, did_open_message(path_to_uri(path), escape_text(text)));
}

void lsp_did_change(const std::string& path, const std::string& text, int32_t version) {
    if (!g_lsp_started.load(std::memory_order_acquire)) return;
    lsp_send(g_lsp_state.process,
             did_change_message(path_to_uri(path), escape_text(text), version));
}

static bool server_input_open(Lsp_Process& process) {
    std::lock_guard lock(process.write_mutex);
    return process.stdin_open;
}

// Enters the request in pending_requests, unless no reader will ever answer
// it (the server is not started, its output ended, or it is being shut
// down): then false, and the caller answers at once.
static bool register_request(Lsp_State& state, int32_t id, Lsp_Location_Callback callback,
                             uint64_t context) {
    if (!g_lsp_started.load(std::memory_order_acquire) || !server_input_open(state.process)) {
        return false;
    }
    std::lock_guard lock(state.pending_mutex);
    if (state.reader_done) return false;
    state.pending_requests[id] = {callback, context};
    return true;
}

// The message is built before the entry is made, so that a failure to build
// it leaves nothing registered; the entry is made before the first byte is
// written, so that the reader finds it however quickly the answer comes. A
// request that is not registered is answered at once with no locations.
static void send_request(std::string_view method, std::string_view tail, const std::string& path,
                         int32_t line, int32_t character, Lsp_Location_Callback callback,
                         uint64_t context) {
    int32_t id = g_lsp_state.next_request_id.fetch_add(1);
    std::string message;
    bool registered = false;
    try {
        message = position_request(id, method, path_to_uri(path), line, character, tail);
        registered = register_request(g_lsp_state, id, callback, context);
    } catch (...) {
        // Out of memory: not registered, so answered below.
    }
    if (registered) {
        lsp_send(g_lsp_state.process, message);
    } else if (callback != nullptr) {
        callback(context, nullptr, 0);
    }
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
// wait_ready gives up.
static size_t read_some(const Lsp_Process& process, Deadline deadline, uint8_t* data,
                        size_t size) {
    for (;;) {
        if (!wait_ready(process.stdout_pipe[0], POLLIN, process, deadline)) return 0;
        ssize_t count = read(process.stdout_pipe[0], data, size);
        if (count > 0) return static_cast<size_t>(count);
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

// Grows the buffer as the body arrives, doubling, rather than to the
// announced length at once: a header may claim far more than is ever sent.
static bool read_body(const Lsp_Process& process, Deadline deadline,
                      std::vector<uint8_t>& buffer, uint64_t length) {
    constexpr uint64_t FIRST_STEP = 64 * 1024;
    for (uint64_t received = 0; received < length;) {
        uint64_t goal = std::min(length, std::max(2 * received, FIRST_STEP));
        if (!grow_buffer(buffer, goal + simdjson::SIMDJSON_PADDING)) return false;
        size_t count = read_some(process, deadline, buffer.data() + received, goal - received);
        if (count == 0) return false;
        received += count;
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
// Parsing responses

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

static int32_t low_32_bits(int64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

int32_t parse_response_id(simdjson::ondemand::parser& parser, uint8_t* buffer, uint64_t length) {
    simdjson::ondemand::document document;
    simdjson::ondemand::object root;
    int64_t id = 0;
    if (start_document(parser, buffer, length, document, root) ||
        root.find_field_unordered("id").get_int64().get(id)) {
        return -1;
    }
    return low_32_bits(id);
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
    return low_32_bits(number);
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

static std::optional<std::pair<Lsp_Location_Callback, uint64_t>> take_pending_request(
    Lsp_State& state, int32_t id) {
    std::lock_guard lock(state.pending_mutex);
    auto entry = state.pending_requests.find(id);
    if (entry == state.pending_requests.end()) return std::nullopt;
    auto request = entry->second;
    state.pending_requests.erase(entry);
    return request;
}

// Ids below 2 are never those of a registered request: notifications and
// non-integer ids give -1, and 1 is the handshake's.
static void dispatch_response(Lsp_State& state, uint64_t length) {
    int32_t id = parse_response_id(state.json_parser, state.response_buffer.data(), length);
    if (id < 2) return;
    auto request = take_pending_request(state, id);
    if (!request || request->first == nullptr) return;
    std::vector<Lsp_Location> locations =
        parse_locations(state.json_parser, state.response_buffer.data(), length);
    request->first(request->second, locations.empty() ? nullptr : locations.data(),
                   static_cast<int32_t>(locations.size()));
}

// Once no answer can come, every request still waiting is answered with no
// locations, and later ones are answered at once (see register_request).
static void answer_pending_requests(Lsp_State& state) {
    std::unordered_map<int32_t, std::pair<Lsp_Location_Callback, uint64_t>> unanswered;
    {
        std::lock_guard lock(state.pending_mutex);
        unanswered.swap(state.pending_requests);
        state.reader_done = true;
    }
    state.reader_done_cv.notify_all();
    for (const auto& [id, request] : unanswered) {
        if (request.first != nullptr) request.first(request.second, nullptr, 0);
    }
}

void lsp_reader_loop(Lsp_State* state) {
    try {
        while (std::optional<uint64_t> length = lsp_read_message(*state)) {
            dispatch_response(*state, *length);
        }
    } catch (...) {
        // Nothing may escape a thread of ours: it would end the host.
    }
    answer_pending_requests(*state);
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

// A host that runs with descriptor 0 or 1 closed would get them back from
// pipe2; in the child dup2 onto the same number would then keep
// close-on-exec set, and closing the original would close the copy.
static bool move_above_standard_streams(int& fd) {
    if (fd > STDERR_FILENO) return true;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    fd = moved;
    return moved >= 0;
}

// Three pipes, all close-on-exec so that the child keeps none of our
// descriptors but the two it gets as 0 and 1: the server's input, its
// output, and the reader's wake-up pipe.
static bool create_pipes(int (&fds)[6]) {
    std::fill(std::begin(fds), std::end(fds), -1);
    bool created = pipe2(fds, O_CLOEXEC) == 0 && pipe2(fds + 2, O_CLOEXEC) == 0 &&
                   pipe2(fds + 4, O_CLOEXEC) == 0;
    for (int& fd : fds) {
        if (created && !move_above_standard_streams(fd)) created = false;
    }
    if (!created) {
        for (int& fd : fds) close_descriptor(fd);
    }
    return created;
}

// Runs in the forked child of a process that may have many threads: only
// async-signal-safe calls until exec.
[[noreturn]] static void exec_server(const char* executable, int stdin_read, int stdin_write,
                                     int stdout_read, int stdout_write,
                                     const sigset_t& no_signals) {
    sigprocmask(SIG_SETMASK, &no_signals, nullptr);
    dup2(stdin_read, STDIN_FILENO);
    dup2(stdout_write, STDOUT_FILENO);
    close(stdin_read);
    close(stdin_write);
    close(stdout_read);
    close(stdout_write);
    execlp(executable, executable, "server", static_cast<char*>(nullptr));
    _exit(1);
}

// Starts the child with the two pipes as its standard input and output and
// records it in process. The child inherits the host's standard error,
// environment and working directory.
static bool spawn_server(const std::string& executable, Lsp_Process& process) {
    int fds[6];
    if (!create_pipes(fds)) return false;
    auto [stdin_read, stdin_write, stdout_read, stdout_write, wake_read, wake_write] = fds;
    const char* file = executable.c_str();
    sigset_t no_signals;
    sigemptyset(&no_signals);
    pid_t pid = fork();
    if (pid == 0) exec_server(file, stdin_read, stdin_write, stdout_read, stdout_write, no_signals);
    close(stdin_read);
    close(stdout_write);
    if (pid < 0) {
        for (int fd : {stdin_write, stdout_read, wake_read, wake_write}) close(fd);
        return false;
    }
    // Only our end: a sender waits in poll, where lsp_shutdown can end the
    // wait, rather than in a write to a server that does not read.
    fcntl(stdin_write, F_SETFL, fcntl(stdin_write, F_GETFL) | O_NONBLOCK);
    process.pid = pid;
    process.stdout_pipe[0] = stdout_read;
    process.stdout_pipe[1] = -1;
    process.wake_pipe[0] = wake_read;
    process.wake_pipe[1] = wake_write;
    process.running.store(true, std::memory_order_release);
    std::lock_guard lock(process.write_mutex);
    process.stdin_pipe[0] = -1;
    process.stdin_pipe[1] = stdin_write;
    process.stdin_open = true;
    return true;
}

static void reap_child(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// True once the child has ended and been reaped (or was reaped by someone
// else, as a host that ignores SIGCHLD does).
static bool wait_for_child(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        pid_t result = waitpid(pid, nullptr, WNOHANG);
        if (result == pid || (result < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A child that has not ended by itself by exit_deadline gets SIGTERM, then
// SIGKILL; it is reaped in every case.
static void end_child(pid_t pid, Clock::time_point exit_deadline) {
    if (pid <= 0) return;
    if (wait_for_child(pid, exit_deadline)) return;
    kill(pid, SIGTERM);
    if (wait_for_child(pid, Clock::now() + g_lsp_limits.terminate_grace)) return;
    kill(pid, SIGKILL);
    reap_child(pid);
}

// The descriptor fields keep their numbers, which the next start replaces.
static void close_server_output(Lsp_Process& process) {
    int32_t fds[3] = {process.stdout_pipe[0], process.wake_pipe[0], process.wake_pipe[1]};
    for (int32_t& fd : fds) close_descriptor(fd);
}

static void release_server(Lsp_Process& process) {
    process.running.store(false, std::memory_order_release);
    {
        std::lock_guard lock(process.write_mutex);
        close_input(process);
    }
    end_child(process.pid, Clock::now());
    close_server_output(process);
}

// The reply to initialize (id 1) ends the wait, whatever it holds; anything
// else the server sends first is dropped.
static bool await_initialize_reply(Lsp_State& state) {
    Deadline deadline = Clock::now() + g_lsp_limits.handshake;
    while (std::optional<uint64_t> length = read_message(state, deadline)) {
        if (parse_response_id(state.json_parser, state.response_buffer.data(), *length) == 1) {
            return true;
        }
    }
    return false;
}

// After spawn_server: the handshake and the reader thread. False when the
// start is to be abandoned.
static bool bring_up_server(Lsp_State& state, const std::string& initialize) {
    lsp_send(state.process, initialize);
    if (!await_initialize_reply(state)) return false;
    lsp_send(state.process, R"({"jsonrpc":"2.0","method":"initialized","params":{}})");
    state.reader_thread = std::thread(lsp_reader_loop, &state);
    return true;
}

static void start_server(const std::string& executable, const std::string& path) {
    Lsp_State& state = g_lsp_state;
    std::string initialize = initialize_message(getpid(), path_to_uri(root_directory(path)));
    {
        std::lock_guard lock(state.pending_mutex);
        state.reader_done = false;
    }
    if (!spawn_server(executable, state.process)) return;
    bool started = false;
    try {
        started = bring_up_server(state, initialize);
    } catch (...) {
        // Out of memory or no thread to be had: the start is abandoned.
    }
    if (started) {
        g_lsp_started.store(true, std::memory_order_release);
    } else {
        release_server(state.process);
    }
}

void lsp_start_server(const std::string& path) {
    try {
        std::lock_guard lock(g_server_start_mutex);
        if (g_lsp_started.load(std::memory_order_acquire)) return;
        std::string executable = lsp_executable();
        if (!executable.empty()) start_server(executable, path);
    } catch (...) {
        // A start that cannot be made is tried again at the next Python scan.
    }
}

static void signal_wake_pipe(Lsp_Process& process) {
    char byte = 0;
    while (write(process.wake_pipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

static bool try_lock_until(std::mutex& mutex, Clock::time_point deadline) {
    while (!mutex.try_lock()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Sends shutdown and exit and closes the server's input. A sender stuck on a
// server that does not read its input holds the write lock; past the
// deadline it is woken, and the reader with it.
static void send_shutdown_and_exit(Lsp_State& state, Clock::time_point deadline) {
    Lsp_Process& process = state.process;
    if (!try_lock_until(process.write_mutex, deadline)) {
        signal_wake_pipe(process);
        process.write_mutex.lock();
    }
    std::lock_guard lock(process.write_mutex, std::adopt_lock);
    int32_t id = state.next_request_id.fetch_add(1);
    write_message(process, shutdown_message(id));
    write_message(process, R"({"jsonrpc":"2.0","method":"exit","params":null})");
    close_input(process);
}

// True once the reader has ended, by the deadline.
static bool wait_for_reader(Lsp_State& state, Clock::time_point deadline) {
    std::unique_lock lock(state.pending_mutex);
    return state.reader_done_cv.wait_until(lock, deadline, [&] { return state.reader_done; });
}

// Until the deadline the reader goes on draining the server's output, so
// that a server still answering earlier requests is not blocked on a full
// pipe and can take exit and end by itself. Then running is cleared, the
// child is ended if it has not, and the wake-up pipe ends a reader that still
// waits for output that a grandchild holding the pipe may never send. A
// references callback that calls enqueue_stop runs on the reader thread
// itself, which cannot wait for its own end: it is left to end by itself
// once the callback returns, as running is clear by then.
static void end_reader_and_child(Lsp_State& state, Clock::time_point deadline) {
    bool on_reader_thread = state.reader_thread.get_id() == std::this_thread::get_id();
    if (state.reader_thread.joinable() && !on_reader_thread) wait_for_reader(state, deadline);
    state.process.running.store(false, std::memory_order_release);
    end_child(state.process.pid, deadline);
    signal_wake_pipe(state.process);
    if (!state.reader_thread.joinable()) return;
    if (on_reader_thread) {
        state.reader_thread.detach();
    } else {
        state.reader_thread.join();
    }
}

void lsp_shutdown() {
    Lsp_State& state = g_lsp_state;
    std::lock_guard lock(state.shutdown_mutex);
    if (!g_lsp_started.load(std::memory_order_acquire)) return;
    Clock::time_point deadline = Clock::now() + g_lsp_limits.exit_grace;
    send_shutdown_and_exit(state, deadline);
    end_reader_and_child(state, deadline);
    close_server_output(state.process);
    g_lsp_started.store(false, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// The references look-up

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
    callback(context, records, count, strings);
    g_pending_tasks.fetch_sub(1);
}

extern "C" VANTREL_EXPORT void enqueue_lsp_find_references(References_Callback callback,
                                                           uint64_t context, const char* path,
                                                           uint32_t path_length, int32_t line,
                                                           int32_t character) {
    if (callback == nullptr) return;
    if (!g_lsp_started.load(std::memory_order_acquire)) {
        callback(context, nullptr, 0, nullptr);
        return;
    }
    std::string copy;
    References_Box* box = nullptr;
    try {
        copy = copy_bytes(path, path_length);
        replace_backslashes(copy);
        box = new References_Box{callback, context};
    } catch (...) {
        callback(context, nullptr, 0, nullptr);
        return;
    }
    g_pending_tasks.fetch_add(1);
    // Answered exactly once from here on: by the reader, or at once through
    // the trampoline when the server has stopped meanwhile.
    lsp_find_references(copy, line, character, lsp_refs_trampoline,
                        reinterpret_cast<uint64_t>(box));
}
