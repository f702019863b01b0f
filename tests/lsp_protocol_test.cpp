// The language-server client's protocol layer, driven through pipes that the
// tests write and read themselves: file URIs, the bytes of every outgoing
// message, the reading of frames, response ids and locations, the reader's
// dispatch, the references look-up, and the server process's start and end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lsp_process.h"
#include "main.h"
#include "vantrel.h"

// Found by argument-dependent lookup, so beside Lsp_Location itself.
static bool operator==(const Lsp_Location& a, const Lsp_Location& b) {
    return a.uri == b.uri && a.line == b.line && a.character == b.character;
}

static void PrintTo(const Lsp_Location& location, std::ostream* out) {
    *out << "{\"" << location.uri << "\", " << location.line << ", " << location.character << "}";
}

namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// Helpers

struct Pipe {
    int read_end = -1;
    int write_end = -1;

    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            read_end = fds[0];
            write_end = fds[1];
        }
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() {
        if (read_end >= 0) close(read_end);
        read_end = -1;
    }
    void close_write() {
        if (write_end >= 0) close(write_end);
        write_end = -1;
    }
};

void write_bytes(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written <= 0) return;
        done += static_cast<size_t>(written);
    }
}

std::string read_to_end(int fd) {
    std::string bytes;
    char chunk[4096];
    ssize_t count;
    while ((count = read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, count);
    return bytes;
}

std::string frame(const std::string& body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Frame {
    std::string header;
    std::string body;
};

// Reads one frame as the library writes it: one header line, a blank line,
// the body.
Frame read_frame(int fd) {
    Frame result;
    char byte;
    while (!result.header.ends_with("\r\n\r\n") && read(fd, &byte, 1) == 1) {
        result.header += byte;
    }
    size_t length = std::strtoull(result.header.c_str() + 16, nullptr, 10);
    result.body.resize(length);
    size_t done = 0;
    while (done < length) {
        ssize_t count = read(fd, result.body.data() + done, length - done);
        if (count <= 0) break;
        done += static_cast<size_t>(count);
    }
    result.body.resize(done);
    return result;
}

// A message body followed by the 64 zero bytes the JSON parser reads past it.
struct Body {
    std::vector<uint8_t> bytes;
    uint64_t length;

    explicit Body(const std::string& text) : bytes(text.begin(), text.end()), length(text.size()) {
        bytes.resize(text.size() + 64, 0);
    }
};

// The id of a request the library sent, read as a server reads it.
int32_t request_id_of(const std::string& text) {
    simdjson::ondemand::parser parser;
    Body body(text);
    simdjson::ondemand::document document;
    int64_t id = -1;
    if (parser.iterate(body.bytes.data(), body.length, body.bytes.size()).get(document) ||
        document["id"].get_int64().get(id)) {
        return -1;
    }
    return static_cast<int32_t>(id);
}

int32_t id_of(const std::string& text) {
    simdjson::ondemand::parser parser;
    Body body(text);
    return parse_response_id(parser, body.bytes.data(), body.length);
}

std::vector<Lsp_Location> locations_of(const std::string& text) {
    simdjson::ondemand::parser parser;
    Body body(text);
    return parse_locations(parser, body.bytes.data(), body.length);
}

std::string response(const std::string& result) {
    return R"({"jsonrpc":"2.0","id":5,"result":)" + result + "}";
}

// Polls until condition holds. The bound only keeps a broken library from
// hanging the test; no result depends on how fast anything happens.
bool eventually(const std::function<bool()>& condition) {
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
        if (condition()) return true;
    }
    return condition();
}

// Answers that reach an Lsp_Location_Callback, whatever thread runs it.
struct Answer {
    uint64_t context;
    bool null_locations;
    std::vector<Lsp_Location> locations;
};

struct Answer_Log {
    std::mutex mutex;
    std::vector<Answer> answers;
};

Answer_Log g_answers;

void record_answer(uint64_t context, const Lsp_Location* locations, int32_t count) {
    std::lock_guard lock(g_answers.mutex);
    g_answers.answers.push_back(
        {context, locations == nullptr, std::vector<Lsp_Location>(locations, locations + count)});
}

// ---------------------------------------------------------------------------
// File URIs

TEST(Path_To_Uri, AbsolutePathGetsThreeSlashes) {
    EXPECT_EQ(path_to_uri("/srv/a.py"), "file:///srv/a.py");
}

TEST(Path_To_Uri, PathWithoutLeadingSlashKeepsThreeSlashesAndEncodesColon) {
    EXPECT_EQ(path_to_uri("C:/x"), "file:///C%3A/x");
}

TEST(Path_To_Uri, SpacesAndColonsAreEncoded) {
    EXPECT_EQ(path_to_uri("/srv/a b/c:d.py"), "file:///srv/a%20b/c%3Ad.py");
}

TEST(Path_To_Uri, BytesFrom0x80AreEncodedInUppercaseHex) {
    EXPECT_EQ(path_to_uri("\xC3\xA9"), "file:///%C3%A9");
    EXPECT_EQ(path_to_uri("/\xFF"), "file:///%FF");
}

TEST(Path_To_Uri, BytesThatChangeTheMeaningOfAUriAreEncoded) {
    EXPECT_EQ(path_to_uri("/a%20b#c?d"), "file:///a%2520b%23c%3Fd");
}

TEST(Path_To_Uri, BytesThatBreakJsonAreEncoded) {
    EXPECT_EQ(path_to_uri("/a\"b\tc\nd\x01\x7F"), "file:///a%22b%09c%0Ad%01%7F");
}

TEST(Path_To_Uri, OtherPunctuationIsKept) {
    EXPECT_EQ(path_to_uri("/a-b_c.d~e/f+g=h&i@j(k)!$,;'"), "file:///a-b_c.d~e/f+g=h&i@j(k)!$,;'");
}

TEST(Path_To_Uri, EmptyPathGivesTheRoot) { EXPECT_EQ(path_to_uri(""), "file:///"); }

// ---------------------------------------------------------------------------
// A session on pipes of the test's own: the library's writer writes to a
// pipe that stands for the server's input, and (for the references look-up)
// its reader reads one that stands for the server's output.

Lsp_Frame frame_of(std::string body) {
    Lsp_Frame frame;
    frame.body = std::move(body);
    return frame;
}

void set_phase(Lsp_Phase phase, bool initialize_answered = true) {
    std::lock_guard lock(g_lsp_state.session_mutex);
    g_lsp_state.phase = phase;
    g_lsp_state.initialize_answered = initialize_answered;
    g_lsp_state.session_changed.notify_all();
}

class Test_Session : public ::testing::Test {
protected:
    Pipe server_input;
    Pipe wake;

    // The writer owns the input's write end from here on and closes it as it
    // ends.
    void SetUp() override {
        ASSERT_GE(server_input.read_end, 0);
        ASSERT_GE(wake.read_end, 0);
        Lsp_Process& process = g_lsp_state.process;
        process.stdin_pipe[1] = server_input.write_end;
        server_input.write_end = -1;
        fcntl(process.stdin_pipe[1], F_SETFL, O_NONBLOCK);
        process.wake_pipe[0] = wake.read_end;
        process.wake_pipe[1] = wake.write_end;
        process.running = true;
        {
            std::lock_guard lock(g_lsp_state.pending_mutex);
            g_lsp_state.reader_done = false;
        }
        {
            std::lock_guard lock(g_lsp_state.session_mutex);
            g_lsp_state.writer_finished = false;
        }
        set_phase(Lsp_Phase::running);
        g_lsp_started = true;
        g_lsp_state.writer_thread = std::thread(lsp_writer_loop, &g_lsp_state);
    }

    void TearDown() override {
        set_phase(Lsp_Phase::over);
        write_bytes(wake.write_end, "w");
        if (g_lsp_state.writer_thread.joinable()) g_lsp_state.writer_thread.join();
        if (g_lsp_state.reader_thread.joinable()) g_lsp_state.reader_thread.join();
        g_lsp_started = false;
        g_lsp_limits = Lsp_Limits();
        Lsp_Process& process = g_lsp_state.process;
        process.running = false;
        process.wake_pipe[0] = process.wake_pipe[1] = -1;
        set_phase(Lsp_Phase::idle, false);
        std::lock_guard lock(g_lsp_state.session_mutex);
        g_lsp_state.outgoing.clear();
        g_lsp_state.outgoing_bytes = 0;
        g_lsp_state.unsent_did_opens.clear();
        std::lock_guard pending_lock(g_lsp_state.pending_mutex);
        g_lsp_state.pending_requests.clear();
    }

    std::string next_body() { return read_frame(server_input.read_end).body; }

    // Lets the writer write what is queued, then end; returns all it wrote.
    std::string all_written() {
        set_phase(Lsp_Phase::closing);
        g_lsp_state.writer_thread.join();
        return read_to_end(server_input.read_end);
    }

    static bool session_over() {
        return eventually([] {
            std::lock_guard lock(g_lsp_state.session_mutex);
            return g_lsp_state.phase == Lsp_Phase::over && g_lsp_state.writer_finished;
        });
    }
};

using Outgoing = Test_Session;

TEST_F(Outgoing, FrameHeaderGivesBodyLengthInBytes) {
    std::string body(123, 'x');
    ASSERT_TRUE(lsp_send(g_lsp_state, frame_of(body)));
    Frame sent = read_frame(server_input.read_end);
    EXPECT_EQ(sent.header, "Content-Length: 123\r\n\r\n");
    EXPECT_EQ(sent.header.size(), 23u);
    EXPECT_EQ(sent.body, body);
}

TEST_F(Outgoing, EmptyBodyGetsLengthZero) {
    lsp_send(g_lsp_state, frame_of(""));
    EXPECT_EQ(all_written(), "Content-Length: 0\r\n\r\n");
}

TEST_F(Outgoing, DidOpenNamesTheDocumentAndCarriesItsText) {
    lsp_did_open("/srv/a.py", "x = 1\n");
    EXPECT_EQ(next_body(),
              R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{)"
              R"("textDocument":{"uri":"file:///srv/a.py","languageId":"python",)"
              R"("version":1,"text":"x = 1\n"}}})");
}

std::string did_open_text(const std::string& body) {
    std::string before = R"("version":1,"text":")";
    size_t start = body.find(before) + before.size();
    return body.substr(start, body.size() - start - 4);
}

TEST_F(Outgoing, TextEscapeKeepsTheMessageValidJson) {
    std::string text = "a\tb\r\nc\"d\\e\f\x7F\xC3\xA9\x1F";
    text += '\0';
    lsp_did_open("/a.py", text);
    EXPECT_EQ(did_open_text(next_body()),
              "a\\tb\\r\\nc\\\"d\\\\e\\u000C\x7F\xC3\xA9\\u001F\\u0000");
}

TEST_F(Outgoing, InvalidUtf8IsSentAsReplacementCharacters) {
    lsp_did_open("/latin1.py", "caf\xE9 = 1\n");
    std::string body = next_body();
    EXPECT_EQ(did_open_text(body), "caf\xEF\xBF\xBD = 1\\n");
    simdjson::ondemand::parser parser;
    Body padded(body);
    simdjson::ondemand::document document;
    std::string_view text;
    EXPECT_EQ(parser.iterate(padded.bytes.data(), padded.length, padded.bytes.size())
                  .get(document),
              simdjson::SUCCESS);
    EXPECT_EQ(document["params"]["textDocument"]["text"].get_string().get(text),
              simdjson::SUCCESS);
}

// As the identifier search counts them: a byte that cannot begin a sequence
// alone, a broken sequence with the continuation bytes right after its first.
TEST_F(Outgoing, EachInvalidSequenceBecomesOneReplacementCharacter) {
    lsp_did_open("/a.py", "\x80\x80|\xE2\x82|\xF0\x9F\x98|\xC0\xAF|\xED\xA0\x80|\xE2\x82\xAC");
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(did_open_text(next_body()),
              r + r + "|" + r + "|" + r + "|" + r + "|" + r + "|\xE2\x82\xAC");
}

TEST_F(Outgoing, DidOpenOfAnEmptyTextIsStillSent) {
    lsp_did_open("/a.py", "");
    EXPECT_EQ(next_body(),
              R"({"jsonrpc":"2.0","method":"textDocument/didOpen","params":{)"
              R"("textDocument":{"uri":"file:///a.py","languageId":"python",)"
              R"("version":1,"text":""}}})");
}

TEST_F(Outgoing, DidChangeCarriesVersionAndWholeText) {
    lsp_did_change("/srv/a b.py", "y\n", -3);
    EXPECT_EQ(next_body(),
              R"({"jsonrpc":"2.0","method":"textDocument/didChange","params":{)"
              R"("textDocument":{"uri":"file:///srv/a%20b.py","version":-3},)"
              R"("contentChanges":[{"text":"y\n"}]}})");
}

TEST_F(Outgoing, NothingIsQueuedWhileNoSessionTakesFrames) {
    for (Lsp_Phase phase : {Lsp_Phase::idle, Lsp_Phase::closing, Lsp_Phase::over}) {
        set_phase(phase);
        lsp_did_open("/a.py", "x");
        lsp_did_change("/a.py", "x", 2);
        EXPECT_FALSE(lsp_send(g_lsp_state, frame_of("{}")));
        std::lock_guard lock(g_lsp_state.session_mutex);
        EXPECT_TRUE(g_lsp_state.outgoing.empty());
    }
    g_lsp_state.writer_thread.join();
    EXPECT_EQ(read_to_end(server_input.read_end), "");
}

TEST_F(Outgoing, DefinitionRequestCarriesIdAndPosition) {
    int32_t id = g_lsp_state.next_request_id.load();
    lsp_goto_definition("/srv/a.py", 3, 14, record_answer, 0);
    EXPECT_EQ(next_body(), R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                               R"(,"method":"textDocument/definition","params":{)"
                               R"("textDocument":{"uri":"file:///srv/a.py"},)"
                               R"("position":{"line":3,"character":14}}})");
}

TEST_F(Outgoing, ReferencesRequestAsksToIncludeTheDeclaration) {
    int32_t id = g_lsp_state.next_request_id.load();
    lsp_find_references("/srv/a.py", -1, -2147483648, record_answer, 0);
    EXPECT_EQ(next_body(), R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                               R"(,"method":"textDocument/references","params":{)"
                               R"("textDocument":{"uri":"file:///srv/a.py"},)"
                               R"("position":{"line":-1,"character":-2147483648},)"
                               R"("context":{"includeDeclaration":true}}})");
}

TEST_F(Outgoing, RequestsTakeRisingIdsAndAreRegisteredUnderThem) {
    int32_t first = g_lsp_state.next_request_id.load();
    lsp_find_references("/a.py", 0, 0, record_answer, 41);
    lsp_goto_definition("/a.py", 0, 0, record_answer, 42);
    EXPECT_EQ(request_id_of(next_body()), first);
    EXPECT_EQ(request_id_of(next_body()), first + 1);
    std::lock_guard lock(g_lsp_state.pending_mutex);
    ASSERT_EQ(g_lsp_state.pending_requests.size(), 2u);
    EXPECT_EQ(g_lsp_state.pending_requests.at(first).second, 41u);
    EXPECT_EQ(g_lsp_state.pending_requests.at(first + 1).second, 42u);
}

TEST_F(Outgoing, RequestIsAnsweredAtOnceWhenTheSessionIsOver) {
    g_answers.answers.clear();
    set_phase(Lsp_Phase::over);
    lsp_find_references("/a.py", 0, 0, record_answer, 7);
    ASSERT_EQ(g_answers.answers.size(), 1u);
    EXPECT_EQ(g_answers.answers[0].context, 7u);
    EXPECT_TRUE(g_answers.answers[0].null_locations);
    std::lock_guard lock(g_lsp_state.pending_mutex);
    EXPECT_TRUE(g_lsp_state.pending_requests.empty());
}

TEST_F(Outgoing, RequestIsAnsweredAtOnceOnceTheReaderHasEnded) {
    g_answers.answers.clear();
    {
        std::lock_guard lock(g_lsp_state.pending_mutex);
        g_lsp_state.reader_done = true;
    }
    lsp_find_references("/a.py", 0, 0, record_answer, 8);
    ASSERT_EQ(g_answers.answers.size(), 1u);
    EXPECT_EQ(g_answers.answers[0].context, 8u);
    EXPECT_EQ(all_written(), "");
}

TEST_F(Outgoing, FramesOfConcurrentSendersDoNotInterleave) {
    constexpr int senders = 4, frames_each = 200;
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([s] {
            std::string body(5000, static_cast<char>('a' + s));
            for (int i = 0; i < frames_each; ++i) lsp_send(g_lsp_state, frame_of(body));
        });
    }
    int intact_frames = 0;
    for (int i = 0; i < senders * frames_each; ++i) {
        std::string body = next_body();
        if (body.size() != 5000 || body.find_first_not_of(body[0]) != std::string::npos) break;
        ++intact_frames;
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(intact_frames, senders * frames_each);
}

// The frames stay in the order they were queued; only initialize may go
// before the server has answered it.
TEST_F(Outgoing, FramesWaitBehindInitializeUntilTheServerAnswersIt) {
    set_phase(Lsp_Phase::starting, false);
    Lsp_Frame initialize = frame_of("initialize");
    initialize.before_reply = true;
    lsp_send(g_lsp_state, std::move(initialize));
    lsp_send(g_lsp_state, frame_of("after"));
    EXPECT_EQ(next_body(), "initialize");
    {
        std::lock_guard lock(g_lsp_state.session_mutex);
        EXPECT_EQ(g_lsp_state.outgoing.size(), 1u);
    }
    set_phase(Lsp_Phase::running);
    EXPECT_EQ(next_body(), "after");
}

TEST_F(Outgoing, UnsentDidOpenIsReplacedInPlaceByANewerOne) {
    set_phase(Lsp_Phase::starting, false);
    lsp_did_open("/a.py", "old");
    lsp_did_open("/b.py", "b");
    lsp_did_open("/a.py", "new");
    set_phase(Lsp_Phase::running);
    EXPECT_EQ(did_open_text(next_body()), "new");
    EXPECT_EQ(did_open_text(next_body()), "b");
    EXPECT_EQ(all_written(), "");
}

TEST_F(Outgoing, DidOpenAfterTheFirstWasSentIsSentAgain) {
    lsp_did_open("/a.py", "first");
    EXPECT_EQ(did_open_text(next_body()), "first");
    lsp_did_open("/a.py", "second");
    EXPECT_EQ(did_open_text(next_body()), "second");
}

TEST_F(Outgoing, PastTheByteCapDidOpensAreDroppedButRequestsAreNot) {
    g_lsp_limits.outgoing_bytes = 1000;
    set_phase(Lsp_Phase::starting, false);
    lsp_did_open("/small.py", "x");
    lsp_did_open("/big.py", std::string(1000, 'x'));
    int32_t id = g_lsp_state.next_request_id.load();
    lsp_find_references("/big.py", 0, 0, record_answer, 0);
    set_phase(Lsp_Phase::running);
    EXPECT_EQ(did_open_text(next_body()), "x");
    EXPECT_EQ(request_id_of(next_body()), id);
    EXPECT_EQ(all_written(), "");
}

// Each didOpen carries 142 bytes besides its text: the two older ones
// fit under the cap, the newer text of x.py fits neither beside them nor in
// the older one's place. The server never gets a text the host has replaced.
TEST_F(Outgoing, NewerDidOpenThatDoesNotFitRemovesTheUnsentOlderOne) {
    g_lsp_limits.outgoing_bytes = 1000;
    set_phase(Lsp_Phase::starting, false);
    lsp_did_open("/x.py", std::string(300, 'a'));
    lsp_did_open("/y.py", std::string(300, 'y'));
    lsp_did_open("/x.py", std::string(450, 'b'));
    set_phase(Lsp_Phase::running);
    EXPECT_EQ(did_open_text(next_body()), std::string(300, 'y'));
    EXPECT_EQ(all_written(), "");
}

TEST_F(Outgoing, WriteToAServerThatHasGoneEndsTheSessionWithoutSignal) {
    server_input.close_read();
    lsp_send(g_lsp_state, frame_of("{}"));
    ASSERT_TRUE(session_over());
    sigset_t pending, mask;
    sigpending(&pending);
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
    EXPECT_FALSE(sigismember(&mask, SIGPIPE));
    g_answers.answers.clear();
    lsp_find_references("/a.py", 0, 0, record_answer, 3);
    ASSERT_EQ(g_answers.answers.size(), 1u);  // answered at once
}

TEST_F(Outgoing, SendingNeverWaitsForAServerThatDoesNotRead) {
    // Far more than a pipe holds, and nobody reads it.
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(lsp_send(g_lsp_state, frame_of(std::string(1 << 20, 'x'))));
    lsp_did_open("/a.py", std::string(1 << 20, 'y'));
    std::lock_guard lock(g_lsp_state.session_mutex);
    EXPECT_FALSE(g_lsp_state.outgoing.empty());
}

TEST_F(Outgoing, ServerThatTakesNothingForTheWriteLimitEndsTheSession) {
    g_lsp_limits.write = std::chrono::milliseconds(100);
    lsp_send(g_lsp_state, frame_of(std::string(1 << 20, 'x')));
    EXPECT_TRUE(session_over());
}

TEST_F(Outgoing, WakeUpPipeEndsAWriteThatTheServerWouldNeverTake) {
    lsp_send(g_lsp_state, frame_of(std::string(1 << 20, 'x')));
    write_bytes(wake.write_end, "w");
    EXPECT_TRUE(session_over());
}

TEST_F(Outgoing, SigpipeAlreadyPendingForTheHostStaysPending) {
    sigset_t sigpipe_only, previous;
    sigemptyset(&sigpipe_only);
    sigaddset(&sigpipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &sigpipe_only, &previous);
    pthread_kill(pthread_self(), SIGPIPE);
    server_input.close_read();
    lsp_send(g_lsp_state, frame_of("{}"));
    ASSERT_TRUE(session_over());
    sigset_t pending;
    sigpending(&pending);
    EXPECT_TRUE(sigismember(&pending, SIGPIPE));
    timespec no_wait{0, 0};
    sigtimedwait(&sigpipe_only, nullptr, &no_wait);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// ---------------------------------------------------------------------------
// Reading frames: the test writes what a server would, from a thread of its
// own so that a pipe's capacity never blocks it.

class Reading : public ::testing::Test {
protected:
    Lsp_State state;
    Pipe server_output;
    std::thread feeder;

    void SetUp() override {
        ASSERT_GE(server_output.read_end, 0);
        state.process.stdout_pipe[0] = server_output.read_end;
        state.process.running = true;
    }

    void TearDown() override {
        if (!feeder.joinable()) return;
        read_to_end(server_output.read_end);
        feeder.join();
    }

    // Writes the bytes, then ends the stream.
    void serve(std::string bytes) {
        feeder = std::thread([this, bytes = std::move(bytes)] {
            write_bytes(server_output.write_end, bytes);
            server_output.close_write();
        });
    }

    std::optional<std::string> next_body() {
        std::optional<uint64_t> length = lsp_read_message(state);
        if (!length) return std::nullopt;
        return std::string(state.response_buffer.begin(), state.response_buffer.begin() + *length);
    }
};

TEST_F(Reading, FramesAsTheLibraryWritesThemAreReadOneAfterAnother) {
    serve(frame(R"({"id":2})") + frame(R"({"id":3,"x":[]})"));
    EXPECT_EQ(next_body(), R"({"id":2})");
    EXPECT_EQ(next_body(), R"({"id":3,"x":[]})");
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, FurtherHeaderLinesDoNotShiftTheBody) {
    serve("Content-Type: application/vscode-jsonrpc; charset=utf-8\r\n"
          "Content-Length: 4\r\n"
          "X-Other: 1\r\n\r\nabcd" +
          frame("ef"));
    EXPECT_EQ(next_body(), "abcd");
    EXPECT_EQ(next_body(), "ef");
}

TEST_F(Reading, LinesEndedByLineFeedAloneAreReadAlike) {
    serve("Content-Length: 3\n\nabc" + frame("d"));
    EXPECT_EQ(next_body(), "abc");
    EXPECT_EQ(next_body(), "d");
}

TEST_F(Reading, CarriageReturnsAreDroppedWhereverTheyStand) {
    serve("Content-\rLength: 3\r\r\n\r\nabc");
    EXPECT_EQ(next_body(), "abc");
}

TEST_F(Reading, StrayLinesBeforeTheLengthAreSkipped) {
    serve("\r\nnoise\r\n\r\n" + frame("abc"));
    EXPECT_EQ(next_body(), "abc");
}

TEST_F(Reading, FieldNameInAnotherCaseIsNotALengthLine) {
    serve("content-length: 2\r\n\r\n" + frame("ok"));
    EXPECT_EQ(next_body(), "ok");
}

TEST_F(Reading, TwoBlanksBeforeTheDigitsAreAccepted) {
    serve("Content-Length:  3\r\n\r\nabc");
    EXPECT_EQ(next_body(), "abc");
}

TEST_F(Reading, TextAfterTheDigitsIsIgnored) {
    serve("Content-Length: 3 bytes\r\n\r\nabc");
    EXPECT_EQ(next_body(), "abc");
}

TEST_F(Reading, PlusSignBeforeTheDigitsIsAccepted) {
    serve("Content-Length: +3\r\n\r\nabc");
    EXPECT_EQ(next_body(), "abc");
}

TEST_F(Reading, NoBlankAfterTheColonLosesTheFirstDigit) {
    serve("Content-Length:12\r\n\r\nab");
    EXPECT_EQ(next_body(), "ab");
}

TEST_F(Reading, LengthZeroGivesAnEmptyBody) {
    serve("Content-Length: 0\r\n\r\n" + frame("x"));
    EXPECT_EQ(next_body(), "");
    EXPECT_EQ(next_body(), "x");
}

TEST_F(Reading, BodyIsFollowedBy64ZeroBytesAndTheBufferNeverShrinks) {
    serve(frame(std::string(300, 'a')) + frame("bc"));
    ASSERT_TRUE(next_body());
    ASSERT_EQ(next_body(), "bc");
    EXPECT_GE(state.response_buffer.size(), 364u);
    EXPECT_TRUE(std::all_of(state.response_buffer.begin() + 2, state.response_buffer.begin() + 66,
                            [](uint8_t byte) { return byte == 0; }));
}

// As outgoing texts count them: a byte that cannot begin a sequence alone,
// a sequence cut short once.
TEST_F(Reading, BodyThatIsNotUtf8IsReadWithEachInvalidSequenceReplaced) {
    serve(frame("a\xE9" "b\xF0\x9F|\x80\x80") + frame("ok"));
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(next_body(), "a" + r + "b" + r + "|" + r + r);
    EXPECT_EQ(next_body(), "ok");
}

TEST_F(Reading, EndOfStreamInsideABodyGivesNoMessage) {
    serve("Content-Length: 10\r\n\r\nabc");
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, BufferGrowsWithWhatArrivesNotWithTheAnnouncedLength) {
    serve("Content-Length: 1000000000\r\n\r\n" + std::string(100000, 'a'));
    EXPECT_EQ(next_body(), std::nullopt);
    EXPECT_LT(state.response_buffer.size(), 1000000u);
}

TEST_F(Reading, LongBodyArrivingInPiecesIsReadWhole) {
    std::string body = "[" + std::string(300000, ' ') + "]";
    serve(frame(body));
    EXPECT_EQ(next_body(), body);
}

TEST_F(Reading, EndOfStreamInsideTheHeaderGivesNoMessage) {
    serve("Content-Length: 3\r\n");
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, NothingIsReadOnceRunningIsCleared) {
    serve(frame("abc"));
    state.process.running = false;
    EXPECT_EQ(next_body(), std::nullopt);
    state.process.running = true;
    EXPECT_EQ(next_body(), "abc");
}

TEST_F(Reading, HeaderLineOver64KiBEndsTheStream) {
    serve(std::string(64 * 1024 + 1, 'x') + "\r\n" + frame("abc"));
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, HeaderLineOf64KiBIsStillSkipped) {
    serve(std::string(64 * 1024, 'x') + "\r\n" + frame("abc"));
    EXPECT_EQ(next_body(), "abc");
}

TEST_F(Reading, LengthOverOneGibibyteEndsTheStream) {
    serve("Content-Length: 1073741825\r\n\r\n" + frame("abc"));
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, LengthBeyond64BitsEndsTheStream) {
    serve("Content-Length: 18446744073709551619\r\n\r\n" + frame("abc"));
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, NegativeLengthEndsTheStream) {
    serve("Content-Length: -3\r\n\r\n" + frame("abc"));
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, LengthWithoutDigitsEndsTheStream) {
    serve("Content-Length: abc\r\n\r\n" + frame("abc"));
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, LengthLineEndingAtItsColonEndsTheStream) {
    serve("Content-Length:\r\n\r\n" + frame("abc"));
    EXPECT_EQ(next_body(), std::nullopt);
}

TEST_F(Reading, WakeUpPipeEndsAWaitThatNoOutputWouldEnd) {
    Pipe wake;
    state.process.wake_pipe[0] = wake.read_end;
    std::thread waker([&] {
        std::this_thread::sleep_for(20ms);
        write_bytes(wake.write_end, "w");
    });
    EXPECT_EQ(lsp_read_message(state), std::nullopt);  // the write end stays open
    waker.join();
}

// ---------------------------------------------------------------------------
// Response ids

TEST(Response_Id, IntegerIdIsRead) {
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":7,"result":[]})"), 7);
}

TEST(Response_Id, MemberOrderDoesNotMatter) {
    EXPECT_EQ(id_of(R"({"result":[],"jsonrpc":"2.0","id":7})"), 7);
}

TEST(Response_Id, IdThatIsNotAPlainIntegerGivesMinusOne) {
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":"7","result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":7.0,"result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":7e0,"result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":null,"result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":07,"result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":true,"result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":99999999999999999999,"result":[]})"), -1);
}

TEST(Response_Id, NegativeIdIsReadAsItIs) {
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":-7,"result":[]})"), -7);
}

// Cut to 32 bits, 4294967298 would answer the look-up with id 2.
TEST(Response_Id, IdOutsideInt32IsNoId) {
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":4294967298,"result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":2147483648,"result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":-2147483649,"result":[]})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":2147483647,"result":[]})"), INT32_MAX);
}

TEST(Response_Id, MessageWithAMethodIsNoResponseWhateverItsId) {
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":2,"method":"workspace/configuration"})"), -1);
    EXPECT_EQ(id_of(R"({"method":"client/registerCapability","jsonrpc":"2.0","id":2})"), -1);
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":2,"result":[],"method":"x"})"), -1);
}

// A response broken after its id still answers its look-up (with what can be
// read of it).
TEST(Response_Id, ResponseBrokenAfterItsIdKeepsTheId) {
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","id":2,"result":[{"uri" "a"}]})"), 2);
}

TEST(Response_Id, IdInsideParamsIsNotTheMessagesId) {
    EXPECT_EQ(id_of(R"({"jsonrpc":"2.0","method":"x","params":{"id":7}})"), -1);
}

TEST(Response_Id, ArrayOfMessagesGivesMinusOne) {
    EXPECT_EQ(id_of(R"([{"jsonrpc":"2.0","id":7,"result":[]}])"), -1);
}

TEST(Response_Id, ByteOrderMarkIsSkipped) {
    EXPECT_EQ(id_of("\xEF\xBB\xBF{\"jsonrpc\":\"2.0\",\"id\":7,\"result\":[]}"), 7);
}

TEST(Response_Id, EmptyOrBrokenBodyGivesMinusOne) {
    EXPECT_EQ(id_of(""), -1);
    EXPECT_EQ(id_of("not json"), -1);
    EXPECT_EQ(id_of("{\"id\":7,\"s\":\"\xFF\"}"), -1);  // invalid UTF-8
}

// ---------------------------------------------------------------------------
// Locations

TEST(Locations, ResultWithoutLocationsGivesNone) {
    for (const char* result : {"null", "\"x\"", "3", "true", "false", "[]"}) {
        EXPECT_TRUE(locations_of(response(result)).empty()) << result;
    }
    EXPECT_TRUE(locations_of(R"({"jsonrpc":"2.0","id":5,"error":{"code":-32603,"message":"x"}})")
                    .empty());
}

TEST(Locations, SingleLocationObject) {
    EXPECT_EQ(locations_of(response(
                  R"({"uri":"file:///a.py","range":{"start":{"line":3,"character":4},)"
                  R"("end":{"line":3,"character":9}}})")),
              (std::vector<Lsp_Location>{{"file:///a.py", 3, 4}}));
}

TEST(Locations, EmptyObjectGivesOneEmptyLocation) {
    EXPECT_EQ(locations_of(response("{}")), (std::vector<Lsp_Location>{{"", 0, 0}}));
}

TEST(Locations, ArrayOfLocations) {
    EXPECT_EQ(locations_of(response(
                  R"([{"uri":"file:///a.py","range":{"start":{"line":1,"character":2}}},)"
                  R"({"uri":"file:///b.py","range":{"start":{"line":3,"character":4}}}])")),
              (std::vector<Lsp_Location>{{"file:///a.py", 1, 2}, {"file:///b.py", 3, 4}}));
}

TEST(Locations, LocationLinksGiveTargetUriAndTargetSelectionStart) {
    EXPECT_EQ(locations_of(response(
                  R"([{"originSelectionRange":{"start":{"line":9,"character":9}},)"
                  R"("targetUri":"file:///a.py",)"
                  R"("targetRange":{"start":{"line":8,"character":8}},)"
                  R"("targetSelectionRange":{"start":{"line":1,"character":2}}}])")),
              (std::vector<Lsp_Location>{{"file:///a.py", 1, 2}}));
}

TEST(Locations, TargetUriThatIsNotAStringGivesWayToUri) {
    EXPECT_EQ(locations_of(response(R"([{"targetUri":null,"uri":"file:///u.py"}])")),
              (std::vector<Lsp_Location>{{"file:///u.py", 0, 0}}));
}

TEST(Locations, TargetUriStringWinsOverUriEvenWhenEmpty) {
    EXPECT_EQ(locations_of(response(R"([{"uri":"file:///u.py","targetUri":"file:///t.py"},)"
                                    R"({"uri":"file:///u.py","targetUri":""}])")),
              (std::vector<Lsp_Location>{{"file:///t.py", 0, 0}, {"", 0, 0}}));
}

TEST(Locations, TargetSelectionRangeWithoutStartHidesRange) {
    EXPECT_EQ(locations_of(response(
                  R"({"uri":"a","targetSelectionRange":{"end":{"line":5,"character":5}},)"
                  R"("range":{"start":{"line":1,"character":2}}})")),
              (std::vector<Lsp_Location>{{"a", 0, 0}}));
}

TEST(Locations, TargetSelectionRangeThatIsNotAnObjectGivesWayToRange) {
    EXPECT_EQ(locations_of(response(R"({"uri":"a","targetSelectionRange":null,)"
                                    R"("range":{"start":{"line":1,"character":2}}})")),
              (std::vector<Lsp_Location>{{"a", 1, 2}}));
}

TEST(Locations, MemberOrderDoesNotMatter) {
    EXPECT_EQ(locations_of(response(
                  R"({"range":{"end":{},"start":{"character":4,"line":3}},"uri":"file:///a.py"})")),
              (std::vector<Lsp_Location>{{"file:///a.py", 3, 4}}));
}

TEST(Locations, ElementsThatAreNotObjectsArePassedOver) {
    EXPECT_EQ(locations_of(response(R"([1,{"uri":"a"},"s",[{"uri":"x"}],null,{"uri":"b"}])")),
              (std::vector<Lsp_Location>{{"a", 0, 0}, {"b", 0, 0}}));
}

TEST(Locations, UnusableLineIsZeroAndCharacterIsStillRead) {
    for (const char* line : {"3.0", "\"3\"", "03", "12345678901234567890", "3e0", "null"}) {
        std::string body = response(std::string(R"({"range":{"start":{"line":)") + line +
                                    R"(,"character":4}}})");
        EXPECT_EQ(locations_of(body), (std::vector<Lsp_Location>{{"", 0, 4}})) << line;
    }
}

// The host's records hold int32 positions: a value that does not fit, or
// that no document has, is no usable value.
TEST(Locations, PositionsOutsideZeroToInt32MaxAreZero) {
    EXPECT_EQ(locations_of(response(
                  R"({"range":{"start":{"line":4294967297,"character":-1}}})")),
              (std::vector<Lsp_Location>{{"", 0, 0}}));
    EXPECT_EQ(locations_of(response(R"({"range":{"start":{"line":2147483648,"character":5}}})")),
              (std::vector<Lsp_Location>{{"", 0, 5}}));
    EXPECT_EQ(locations_of(response(
                  R"({"range":{"start":{"line":2147483647,"character":0}}})")),
              (std::vector<Lsp_Location>{{"", INT32_MAX, 0}}));
}

TEST(Locations, UriEscapesAreResolved) {
    EXPECT_EQ(locations_of(response(R"({"uri":"file:///a\u00e9\"b\\c\/d%20e"})")),
              (std::vector<Lsp_Location>{{"file:///a\xC3\xA9\"b\\c/d%20e", 0, 0}}));
}

TEST(Locations, UriWithAnInvalidEscapeCountsAsAbsent) {
    EXPECT_EQ(locations_of(response(R"([{"uri":"a\qb"},{"uri":"\ud800"},{"uri":"ok"}])")),
              (std::vector<Lsp_Location>{{"", 0, 0}, {"", 0, 0}, {"ok", 0, 0}}));
}

TEST(Locations, NameWrittenWithAnEscapeIsNotRecognised) {
    EXPECT_EQ(locations_of(response(R"({"\u0075ri":"a","range":{"start":{"line":1}}})")),
              (std::vector<Lsp_Location>{{"", 1, 0}}));
}

TEST(Locations, FirstLookupTakesTheFirstOfTwoEqualNames) {
    EXPECT_EQ(locations_of(response(R"({"uri":"first","uri":"second"})")),
              (std::vector<Lsp_Location>{{"first", 0, 0}}));
}

TEST(Locations, JsonErrorEndsTheWalkAfterTheObjectItIsIn) {
    EXPECT_EQ(locations_of(response(
                  R"([{"uri":"a","range":{"start":{"line":1,"character":2}}},)"
                  R"({"uri":"b","range":{"start":{"line":3 "character":4}}},)"
                  R"({"uri":"c"}])")),
              (std::vector<Lsp_Location>{{"a", 1, 2}, {"b", 3, 0}}));
}

TEST(Locations, MissingCommaAfterUriLosesTheUri) {
    EXPECT_EQ(locations_of(response(R"([{"uri":"a" "range":{}},{"uri":"b"}])")),
              (std::vector<Lsp_Location>{{"", 0, 0}}));
}

TEST(Locations, MissingCommaBetweenElementsEndsTheWalk) {
    EXPECT_EQ(locations_of(response(R"([{"uri":"a"} {"uri":"b"}])")),
              (std::vector<Lsp_Location>{{"a", 0, 0}}));
}

TEST(Locations, ByteOrderMarkIsSkipped) {
    EXPECT_EQ(locations_of("\xEF\xBB\xBF" + response(R"({"uri":"a"})")),
              (std::vector<Lsp_Location>{{"a", 0, 0}}));
}

TEST(Locations, BrokenMessagesGiveNone) {
    EXPECT_TRUE(locations_of(R"({"id":5 "result":{"uri":"a"}})").empty());
    EXPECT_TRUE(locations_of(R"([{"id":5,"result":{"uri":"a"}}])").empty());
    EXPECT_TRUE(locations_of(R"({"result":{"uri":"a"}})").empty());
    EXPECT_TRUE(locations_of(R"({"id":5,"result":[{"uri":"a"}])").empty());
    EXPECT_TRUE(locations_of("").empty());
}

// ---------------------------------------------------------------------------
// The reader: dispatch of responses to registered requests

class Reader : public Reading {
protected:
    void SetUp() override {
        Reading::SetUp();
        g_answers.answers.clear();
    }

    void TearDown() override {
        g_lsp_limits = Lsp_Limits();
        Reading::TearDown();
    }

    void register_request(int32_t id, uint64_t context,
                          Lsp_Location_Callback callback = record_answer) {
        state.pending_requests[id] = {callback, context};
    }

    std::vector<Answer> run_reader() {
        lsp_reader_loop(&state);
        std::lock_guard lock(g_answers.mutex);
        return g_answers.answers;
    }
};

std::string answer_frame(int id, const std::string& result) {
    return frame(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)" + result +
                 "}");
}

TEST_F(Reader, ResponseReachesItsCallbackOnceWithItsLocations) {
    register_request(2, 20);
    serve(answer_frame(2, R"([{"uri":"a","range":{"start":{"line":1,"character":2}}}])") +
          answer_frame(2, R"([{"uri":"again"}])"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].context, 20u);
    EXPECT_EQ(answers[0].locations, (std::vector<Lsp_Location>{{"a", 1, 2}}));
    EXPECT_TRUE(state.pending_requests.empty());
}

TEST_F(Reader, ResponsesAreMatchedByIdInTheOrderTheyArrive) {
    register_request(2, 20);
    register_request(3, 30);
    serve(answer_frame(3, R"({"uri":"c"})") + answer_frame(2, R"({"uri":"b"})"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].context, 30u);
    EXPECT_EQ(answers[1].context, 20u);
    EXPECT_EQ(answers[1].locations, (std::vector<Lsp_Location>{{"b", 0, 0}}));
}

TEST_F(Reader, ErrorResponseAnswersWithNoLocations) {
    register_request(2, 20);
    serve(frame(R"({"jsonrpc":"2.0","id":2,"error":{"code":-32603,"message":"x"}})"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].null_locations);
    EXPECT_TRUE(answers[0].locations.empty());
}

TEST_F(Reader, UnknownIdsNotificationsAndServerRequestsAreDropped) {
    register_request(2, 20);
    serve(answer_frame(9, R"({"uri":"x"})") +
          frame(R"({"jsonrpc":"2.0","method":"window/logMessage","params":{"id":2}})") +
          frame("not json") + frame("") + answer_frame(2, R"({"uri":"b"})"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].locations, (std::vector<Lsp_Location>{{"b", 0, 0}}));
}

TEST_F(Reader, ResponseWhoseIdIsBeyondInt32AnswersNoLookUp) {
    register_request(2, 20);
    serve(frame(R"({"jsonrpc":"2.0","id":4294967298,"result":{"uri":"wrong"}})") +
          answer_frame(2, R"({"uri":"right"})"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].locations, (std::vector<Lsp_Location>{{"right", 0, 0}}));
}

TEST_F(Reader, ServerRequestCarryingAPendingIdDoesNotAnswerIt) {
    register_request(2, 20);
    serve(frame(R"({"jsonrpc":"2.0","id":2,"method":"workspace/configuration","params":{}})") +
          answer_frame(2, R"({"uri":"answer"})"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].locations, (std::vector<Lsp_Location>{{"answer", 0, 0}}));
}

// Queued for the session's writer: the state here has none, so the replies
// stay in its queue.
TEST_F(Reader, ServerRequestsAreAnsweredWithMethodNotFound) {
    state.phase = Lsp_Phase::running;
    serve(frame(R"({"jsonrpc":"2.0","id":7,"method":"window/workDoneProgress/create"})") +
          frame(R"({"jsonrpc":"2.0","method":"$/progress","params":{"token":1}})") +
          frame(R"({"jsonrpc":"2.0","id":"s\"1" ,"method":"client/registerCapability"})") +
          frame(R"({"jsonrpc":"2.0","id":null,"method":"odd"})"));
    run_reader();
    ASSERT_EQ(state.outgoing.size(), 2u);
    EXPECT_EQ(state.outgoing[0].body,
              R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"Method not found"}})");
    EXPECT_EQ(state.outgoing[1].body,
              R"({"jsonrpc":"2.0","id":"s\"1","error":{"code":-32601,"message":"Method not found"}})");
}

// Each reply takes 77 bytes: two fit under the cap, the third would pass it.
// A server whose requests outrun what it reads is one that does not read.
TEST_F(Reader, ReplyThatWouldPassTheByteCapEndsTheSession) {
    g_lsp_limits.outgoing_bytes = 200;
    state.phase = Lsp_Phase::running;
    std::string request = R"({"jsonrpc":"2.0","id":7,"method":"workspace/configuration"})";
    serve(frame(request) + frame(request) + frame(request));
    run_reader();
    EXPECT_EQ(state.phase, Lsp_Phase::over);
    EXPECT_TRUE(state.outgoing.empty());
}

void throw_from_callback(uint64_t context, const Lsp_Location* locations, int32_t count) {
    record_answer(context, locations, count);
    throw std::runtime_error("host callback failed");
}

TEST_F(Reader, CallbackThatThrowsCountsAsAnsweredAndTheReaderGoesOn) {
    register_request(2, 20, throw_from_callback);
    register_request(3, 30, throw_from_callback);
    register_request(4, 40);
    serve(answer_frame(2, "[]") + answer_frame(4, R"({"uri":"d"})"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 3u);  // 3 at the end of the stream, with none
    EXPECT_EQ(answers[0].context, 20u);
    EXPECT_EQ(answers[1].context, 40u);
    EXPECT_EQ(answers[2].context, 30u);
    EXPECT_TRUE(state.pending_requests.empty());
}

TEST_F(Reader, IdsBelowTwoAreNeverLookedUp) {
    register_request(1, 10);
    register_request(0, 0);
    register_request(-5, 50);
    serve(answer_frame(1, R"({"uri":"x"})") + answer_frame(0, R"({"uri":"x"})") +
          answer_frame(-5, R"({"uri":"x"})"));
    std::vector<Answer> answers = run_reader();
    // Each is answered once, by the end of the stream, with no locations.
    ASSERT_EQ(answers.size(), 3u);
    for (const Answer& answer : answers) EXPECT_TRUE(answer.null_locations);
}

TEST_F(Reader, EntryWithoutCallbackIsRemovedSilently) {
    register_request(2, 20, nullptr);
    serve(answer_frame(2, R"({"uri":"x"})"));
    EXPECT_TRUE(run_reader().empty());
    EXPECT_TRUE(state.pending_requests.empty());
}

TEST_F(Reader, ResponseHoldingInvalidUtf8AnswersItsRequestWithItsLocations) {
    register_request(2, 20);
    serve(answer_frame(2, "[{\"uri\":\"file:///caf\xE9.py\"},{\"uri\":\"b\"}]"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].locations,
              (std::vector<Lsp_Location>{{"file:///caf\xEF\xBF\xBD.py", 0, 0}, {"b", 0, 0}}));
}

// The body's buffer and the parser's working memory grow with the largest
// message; past a few MiB both are given back once the message is handled.
TEST_F(Reader, BuffersOfAHugeMessageAreReleasedOnceItIsHandled) {
    register_request(2, 20);
    serve(frame(R"({"jsonrpc":"2.0","id":2,"result":{"uri":"a"},"note":")" +
                std::string(16 << 20, 'x') + R"("})"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].locations, (std::vector<Lsp_Location>{{"a", 0, 0}}));
    EXPECT_LT(state.response_buffer.capacity(), size_t{4} << 20);
    EXPECT_LT(state.json_parser.capacity(), size_t{4} << 20);
}

// A huge body that the stream ends inside is never dispatched: its buffer is
// given back as the reader ends all the same.
TEST_F(Reader, BufferOfAHugeMessageCutShortIsReleased) {
    register_request(2, 20);
    serve("Content-Length: " + std::to_string(16 << 20) + "\r\n\r\n" +
          R"({"jsonrpc":"2.0","id":2,"result":{"uri":"a"},"note":")" + std::string(8 << 20, 'x'));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].null_locations);
    EXPECT_LT(state.response_buffer.capacity(), size_t{4} << 20);
}

TEST_F(Reader, EndOfStreamAnswersEveryPendingRequestOnceWithNoLocations) {
    register_request(2, 20);
    register_request(3, 30);
    serve("Content-Length: 100\r\n\r\n" R"({"jsonrpc":"2.0","id":2,"result":[)");
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 2u);
    std::sort(answers.begin(), answers.end(),
              [](const Answer& a, const Answer& b) { return a.context < b.context; });
    EXPECT_EQ(answers[0].context, 20u);
    EXPECT_EQ(answers[1].context, 30u);
    EXPECT_TRUE(answers[0].null_locations && answers[1].null_locations);
    EXPECT_TRUE(state.pending_requests.empty());
    EXPECT_TRUE(state.reader_done);
}

// A callback runs with no lock held, so it may register a further request.
void register_follow_up(uint64_t context, const Lsp_Location*, int32_t) {
    auto* state = reinterpret_cast<Lsp_State*>(context);
    std::lock_guard lock(state->pending_mutex);
    state->pending_requests[3] = {record_answer, 30};
}

TEST_F(Reader, CallbackMayRegisterAFurtherRequest) {
    register_request(2, reinterpret_cast<uint64_t>(&state), register_follow_up);
    serve(answer_frame(2, "[]") + answer_frame(3, R"({"uri":"c"})"));
    std::vector<Answer> answers = run_reader();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].context, 30u);
    EXPECT_EQ(answers[0].locations, (std::vector<Lsp_Location>{{"c", 0, 0}}));
}

// ---------------------------------------------------------------------------
// The references look-up, with the test playing the server on both pipes and
// the reader running on the library's state.

struct Host_Answer {
    uint64_t context = 0;
    int32_t count = -1;
    bool null_records = false;
    bool null_strings = false;
    std::vector<Lsp_Location> locations;
    bool uris_packed = true;  // each uri just past the NUL of the one before
    std::thread::id thread;
};

std::mutex g_host_mutex;
std::vector<Host_Answer> g_host_answers;

void host_references_callback(uint64_t context, Host_Location* records, int32_t count,
                              char* strings) {
    Host_Answer answer{context, count, records == nullptr, strings == nullptr, {}, true,
                       std::this_thread::get_id()};
    const char* expected_uri = strings;
    for (int32_t i = 0; i < count; ++i) {
        answer.locations.push_back({records[i].uri, records[i].line, records[i].character});
        answer.uris_packed = answer.uris_packed && records[i].uri == expected_uri;
        expected_uri = records[i].uri + std::strlen(records[i].uri) + 1;
    }
    free_memory(records);
    free_memory(strings);
    std::lock_guard lock(g_host_mutex);
    g_host_answers.push_back(std::move(answer));
}

std::vector<Host_Answer> wait_for_host_answers(size_t count) {
    eventually([&] {
        std::lock_guard lock(g_host_mutex);
        return g_host_answers.size() >= count;
    });
    std::lock_guard lock(g_host_mutex);
    return g_host_answers;
}

class References : public Test_Session {
protected:
    Pipe server_output;

    void SetUp() override {
        g_host_answers.clear();
        ASSERT_GE(server_output.read_end, 0);
        Test_Session::SetUp();
        g_lsp_state.process.stdout_pipe[0] = server_output.read_end;
        g_lsp_state.reader_thread = std::thread(lsp_reader_loop, &g_lsp_state);
    }

    void TearDown() override {
        end_server_output();
        Test_Session::TearDown();
        g_lsp_state.process.stdout_pipe[0] = -1;
    }

    void end_server_output() {
        server_output.close_write();
        if (g_lsp_state.reader_thread.joinable()) g_lsp_state.reader_thread.join();
    }

    // Reads the request the library sent and answers it with result.
    void answer_next_request(const std::string& result) {
        int32_t id = request_id_of(read_frame(server_input.read_end).body);
        write_bytes(server_output.write_end, answer_frame(id, result));
    }
};

TEST_F(References, NullCallbackDoesNothing) {
    enqueue_lsp_find_references(nullptr, 1, "/a.py", 5, 0, 0);
    EXPECT_EQ(get_pending_tasks_count(), 0u);
    std::lock_guard lock(g_lsp_state.pending_mutex);
    EXPECT_TRUE(g_lsp_state.pending_requests.empty());
}

TEST_F(References, WithoutServerTheCallbackRunsAtOnceOnTheCallingThread) {
    set_phase(Lsp_Phase::idle);
    enqueue_lsp_find_references(host_references_callback, 3, "/a.py", 5, 0, 0);
    ASSERT_EQ(g_host_answers.size(), 1u);
    const Host_Answer& answer = g_host_answers[0];
    EXPECT_EQ(answer.context, 3u);
    EXPECT_EQ(answer.count, 0);
    EXPECT_TRUE(answer.null_records && answer.null_strings);
    EXPECT_EQ(answer.thread, std::this_thread::get_id());
    EXPECT_EQ(get_pending_tasks_count(), 0u);
}

TEST_F(References, RequestNamesTheDocumentWithBackslashesTurnedToSlashes) {
    std::string path = "\\srv\\a.py";
    enqueue_lsp_find_references(host_references_callback, 1, path.data(), path.size(), -4, 7);
    std::string body = read_frame(server_input.read_end).body;
    EXPECT_NE(body.find(R"("uri":"file:///srv/a.py")"), std::string::npos) << body;
    EXPECT_NE(body.find(R"("position":{"line":-4,"character":7})"), std::string::npos) << body;
}

TEST_F(References, EmptyPathLengthAsksAboutTheEmptyPath) {
    enqueue_lsp_find_references(host_references_callback, 1, nullptr, 0, 0, 0);
    std::string body = read_frame(server_input.read_end).body;
    EXPECT_NE(body.find(R"("uri":"file:///")"), std::string::npos) << body;
}

TEST_F(References, AnswerArrivesOnTheReaderAsHostRecords) {
    enqueue_lsp_find_references(host_references_callback, 9, "/a.py", 5, 0, 4);
    EXPECT_EQ(get_pending_tasks_count(), 1u);
    answer_next_request(R"([{"uri":"file:///a.py","range":{"start":{"line":0,"character":4}}},)"
                        R"({"uri":"file:///a.py","range":{"start":{"line":7,"character":1}}}])");
    std::vector<Host_Answer> answers = wait_for_host_answers(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].context, 9u);
    EXPECT_EQ(answers[0].count, 2);
    EXPECT_EQ(answers[0].locations,
              (std::vector<Lsp_Location>{{"file:///a.py", 0, 4}, {"file:///a.py", 7, 1}}));
    EXPECT_TRUE(answers[0].uris_packed);
    EXPECT_NE(answers[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(eventually([] { return get_pending_tasks_count() == 0; }));
}

TEST_F(References, AnswerWithoutLocationsGivesNullRecords) {
    enqueue_lsp_find_references(host_references_callback, 9, "/a.py", 5, 0, 4);
    answer_next_request("null");
    std::vector<Host_Answer> answers = wait_for_host_answers(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].count, 0);
    EXPECT_TRUE(answers[0].null_records && answers[0].null_strings);
    EXPECT_TRUE(eventually([] { return get_pending_tasks_count() == 0; }));
}

TEST_F(References, LookUpsInFlightWhenTheOutputEndsAreAnsweredOnce) {
    for (uint64_t context = 1; context <= 3; ++context) {
        enqueue_lsp_find_references(host_references_callback, context, "/a.py", 5, 0, 0);
    }
    EXPECT_EQ(get_pending_tasks_count(), 3u);
    end_server_output();
    std::vector<Host_Answer> answers = wait_for_host_answers(3);
    ASSERT_EQ(answers.size(), 3u);
    for (const Host_Answer& answer : answers) EXPECT_TRUE(answer.null_records);
    EXPECT_EQ(get_pending_tasks_count(), 0u);
}

void throw_from_host_callback(uint64_t context, Host_Location* records, int32_t count,
                              char* strings) {
    host_references_callback(context, records, count, strings);
    throw std::runtime_error("host callback failed");
}

TEST_F(References, CallbackThatThrowsStillTakesItsLookUpOutOfTheCount) {
    enqueue_lsp_find_references(throw_from_host_callback, 9, "/a.py", 5, 0, 4);
    answer_next_request("[]");
    ASSERT_EQ(wait_for_host_answers(1).size(), 1u);
    EXPECT_TRUE(eventually([] { return get_pending_tasks_count() == 0; }));
    enqueue_lsp_find_references(host_references_callback, 10, "/a.py", 5, 0, 4);
    answer_next_request(R"({"uri":"file:///a.py"})");
    std::vector<Host_Answer> answers = wait_for_host_answers(2);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1].count, 1);
}

TEST_F(References, CallbackThatThrowsAtOnceDoesNotReachTheCaller) {
    set_phase(Lsp_Phase::idle);
    EXPECT_NO_THROW(enqueue_lsp_find_references(throw_from_host_callback, 3, "/a.py", 5, 0, 0));
    EXPECT_EQ(g_host_answers.size(), 1u);
}

TEST_F(References, LookUpMadeWhileTheSessionStartsIsSentOnceTheServerAnswersInitialize) {
    set_phase(Lsp_Phase::starting, false);
    enqueue_lsp_find_references(host_references_callback, 11, "/a.py", 5, 0, 4);
    EXPECT_EQ(get_pending_tasks_count(), 1u);
    set_phase(Lsp_Phase::running);
    answer_next_request(R"({"uri":"file:///a.py"})");
    std::vector<Host_Answer> answers = wait_for_host_answers(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].count, 1);
}

TEST_F(References, LookUpAfterTheServerOutputEndedIsAnsweredAtOnce) {
    end_server_output();
    enqueue_lsp_find_references(host_references_callback, 4, "/a.py", 5, 0, 0);
    ASSERT_EQ(g_host_answers.size(), 1u);
    EXPECT_EQ(g_host_answers[0].thread, std::this_thread::get_id());
    EXPECT_EQ(get_pending_tasks_count(), 0u);
}

// ---------------------------------------------------------------------------
// The server process: small shell scripts stand in for a server.

class Server_Process : public ::testing::Test {
protected:
    std::filesystem::path dir;

    void SetUp() override {
        std::string name = std::filesystem::temp_directory_path() / "lsp_protocol_test_XXXXXX";
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        dir = name;
    }

    void TearDown() override {
        lsp_shutdown();
        lsp_set_executable("");
        g_lsp_limits = Lsp_Limits();
        std::filesystem::remove_all(dir);
    }

    std::string script(const std::string& name, const std::string& body) {
        std::filesystem::path path = dir / name;
        std::ofstream(path) << "#!/bin/sh\n" << body;
        chmod(path.c_str(), 0700);
        return path;
    }

    void start(const std::string& server_script) {
        lsp_set_executable(script("server", server_script).c_str());
        lsp_start_server(dir / "a.py");
    }

    static std::string initialize_reply() {
        return R"(printf 'Content-Length: 38\r\n\r\n{"jsonrpc":"2.0","id":1,"result":null}')"
               "\n";
    }

    static bool started() { return eventually([] { return g_lsp_started.load(); }); }

    // The session is over and its threads have done all they do.
    static bool session_ended() {
        return eventually([] {
            std::lock_guard lock(g_lsp_state.session_mutex);
            return g_lsp_state.phase == Lsp_Phase::over && g_lsp_state.reader_finished &&
                   g_lsp_state.writer_finished;
        });
    }

    static size_t open_descriptors() {
        std::filesystem::directory_iterator descriptors("/proc/self/fd");
        return static_cast<size_t>(
            std::distance(descriptors, std::filesystem::directory_iterator()));
    }

    static bool no_child_left() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }
};

TEST_F(Server_Process, NoExecutableStartsNothing) {
    lsp_start_server(dir / "a.py");
    EXPECT_EQ(g_lsp_state.phase, Lsp_Phase::idle);
    EXPECT_TRUE(no_child_left());
}

TEST_F(Server_Process, ShutdownWithoutServerDoesNothingAndCanBeRepeated) {
    int32_t next_id = g_lsp_state.next_request_id.load();
    lsp_shutdown();
    lsp_shutdown();
    EXPECT_EQ(g_lsp_state.next_request_id.load(), next_id);
    EXPECT_FALSE(g_lsp_started);
}

// The handshake is the session's own business: the worker does not wait
// for it.
TEST_F(Server_Process, StartReturnsBeforeTheServerAnswers) {
    start("sleep 1\n" + initialize_reply() + "cat > /dev/null\n");
    EXPECT_FALSE(g_lsp_started);
    EXPECT_EQ(g_lsp_state.phase, Lsp_Phase::starting);
    EXPECT_TRUE(started());
}

// The spawn itself reports that the executable cannot run: no session
// begins, and the start counts as failed for the back-off.
TEST_F(Server_Process, ExecutableThatCannotRunIsAFailedStartThatLeavesNothing) {
    size_t descriptors = open_descriptors();
    lsp_set_executable((dir / "missing").c_str());
    lsp_start_server(dir / "a.py");
    EXPECT_EQ(g_lsp_state.phase, Lsp_Phase::idle);
    EXPECT_FALSE(g_lsp_started);
    EXPECT_TRUE(no_child_left());
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(g_lsp_state.backoff, g_lsp_limits.first_backoff);
}

TEST_F(Server_Process, ServerIsStartedWithTheArgumentServerAndGetsInitializeAndInitialized) {
    std::string log = dir / "input";
    start("[ \"$1\" = server ] || exit 3\n" + initialize_reply() + "cat > '" + log + "'\n");
    ASSERT_TRUE(started());
    lsp_shutdown();
    // cat, the server's child, may still be writing what it read.
    std::string exit_frame = frame(R"({"jsonrpc":"2.0","method":"exit","params":null})");
    std::string written;
    eventually([&] {
        std::ifstream input(log);
        written.assign(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
        return written.ends_with(exit_frame);
    });
    std::string root = "file://" + dir.string();
    EXPECT_TRUE(written.starts_with(
        frame(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"processId":)" +
              std::to_string(getpid()) + R"(,"rootUri":")" + root +
              R"(","capabilities":{}}})") +
        frame(R"({"jsonrpc":"2.0","method":"initialized","params":{}})")))
        << written;
    EXPECT_NE(written.find(R"(,"method":"shutdown","params":null})"), std::string::npos);
    EXPECT_TRUE(written.ends_with(exit_frame));
}

TEST_F(Server_Process, ShutdownEndsReaderReapsChildAndKeepsTheNumbers) {
    start(initialize_reply() + "cat > /dev/null\n");
    ASSERT_TRUE(started());
    pid_t pid = g_lsp_state.process.pid;
    int32_t output = g_lsp_state.process.stdout_pipe[0];
    lsp_shutdown();
    EXPECT_FALSE(g_lsp_started);
    EXPECT_EQ(g_lsp_state.phase, Lsp_Phase::idle);
    EXPECT_FALSE(g_lsp_state.process.running);
    EXPECT_FALSE(g_lsp_state.reader_thread.joinable());
    EXPECT_FALSE(g_lsp_state.writer_thread.joinable());
    EXPECT_EQ(g_lsp_state.process.pid, pid);
    EXPECT_EQ(g_lsp_state.process.stdout_pipe[0], output);
    EXPECT_TRUE(no_child_left());
}

// The server closes its output before it has read its input to the end, so
// the reader ends first and the session is over; the server still gets the
// time to end by itself once its input is closed.
TEST_F(Server_Process, ServerThatClosesItsOutputGetsTheTimeToEndByItself) {
    std::string marker = dir / "terminated";
    start("trap 'echo > \"" + marker + "\"' TERM\n" + initialize_reply() +
          "exec >&-\ncat > /dev/null\n");
    ASSERT_TRUE(session_ended());
    EXPECT_TRUE(no_child_left());
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(Server_Process, ServerThatDiesAfterStartAnswersLookUpsAtOnce) {
    start(initialize_reply());
    ASSERT_TRUE(session_ended());
    EXPECT_FALSE(g_lsp_started);
    EXPECT_TRUE(no_child_left());
    g_host_answers.clear();
    enqueue_lsp_find_references(host_references_callback, 5, "/a.py", 5, 0, 0);
    ASSERT_EQ(g_host_answers.size(), 1u);
    EXPECT_EQ(g_host_answers[0].thread, std::this_thread::get_id());
    EXPECT_EQ(get_pending_tasks_count(), 0u);
}

TEST_F(Server_Process, LookUpInFlightWhenTheServerDiesIsAnsweredEmpty) {
    std::string go = dir / "go";
    start(initialize_reply() + "while [ ! -e '" + go + "' ]; do sleep 0.01; done\n");
    ASSERT_TRUE(started());
    g_host_answers.clear();
    enqueue_lsp_find_references(host_references_callback, 5, "/a.py", 5, 0, 0);
    std::ofstream(go).put('\n');
    std::vector<Host_Answer> answers = wait_for_host_answers(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].null_records);
    EXPECT_TRUE(eventually([] { return get_pending_tasks_count() == 0; }));
}

TEST_F(Server_Process, SessionThatIsOverIsReplacedAtTheNextStart) {
    g_lsp_limits.first_backoff = std::chrono::milliseconds(0);
    start(initialize_reply());
    ASSERT_TRUE(session_ended());
    pid_t first = g_lsp_state.process.pid;
    lsp_start_server(dir / "a.py");
    EXPECT_NE(g_lsp_state.process.pid, first);
    EXPECT_NE(g_lsp_state.phase, Lsp_Phase::idle);
}

// The child of a session that is over has a few seconds to end by itself;
// a start meanwhile does not wait for it.
TEST_F(Server_Process, StartDoesNotWaitForTheChildOfAnEndedSession) {
    g_lsp_limits.first_backoff = std::chrono::milliseconds(0);
    start(initialize_reply() + "exec >&-\ntrap '' TERM\nexec sleep 60\n");
    ASSERT_TRUE(eventually([] { return g_lsp_state.phase == Lsp_Phase::over; }));
    pid_t first = g_lsp_state.process.pid;
    lsp_start_server(dir / "a.py");
    EXPECT_EQ(g_lsp_state.process.pid, first);
    EXPECT_EQ(g_lsp_state.phase, Lsp_Phase::over);
}

TEST_F(Server_Process, FailedStartsBackOffDoublingUpToTheMaximum) {
    g_lsp_limits.first_backoff = std::chrono::milliseconds(50);
    g_lsp_limits.max_backoff = std::chrono::milliseconds(200);
    lsp_set_executable((dir / "missing").c_str());
    std::vector<long> backoffs;
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::this_thread::sleep_until(g_lsp_state.retry_at);
        lsp_start_server(dir / "a.py");
        backoffs.push_back(static_cast<long>(g_lsp_state.backoff.count()));
    }
    EXPECT_EQ(backoffs, (std::vector<long>{50, 100, 200, 200, 200}));
}

// The script cannot run at first, then can, which a start would show.
TEST_F(Server_Process, SettingTheExecutableForgetsTheBackOff) {
    g_lsp_limits.first_backoff = std::chrono::hours(1);
    std::string server = script("server", initialize_reply() + "cat > /dev/null\n");
    chmod(server.c_str(), 0600);
    lsp_set_executable(server.c_str());
    lsp_start_server(dir / "a.py");
    ASSERT_EQ(g_lsp_state.phase, Lsp_Phase::idle);
    chmod(server.c_str(), 0700);
    lsp_start_server(dir / "a.py");
    ASSERT_EQ(g_lsp_state.phase, Lsp_Phase::idle) << "started during the back-off";
    lsp_set_executable(server.c_str());
    lsp_start_server(dir / "a.py");
    EXPECT_NE(g_lsp_state.phase, Lsp_Phase::idle) << "no start once the executable was set again";
}

TEST_F(Server_Process, SessionThatLastedLeavesNoBackOff) {
    g_lsp_limits.first_backoff = std::chrono::hours(1);
    g_lsp_limits.healthy_session = std::chrono::milliseconds(0);
    start(initialize_reply() + "sleep 0.3\n");
    ASSERT_TRUE(session_ended());
    pid_t first = g_lsp_state.process.pid;
    lsp_start_server(dir / "a.py");
    EXPECT_EQ(g_lsp_state.backoff.count(), 0);
    EXPECT_NE(g_lsp_state.process.pid, first);
}

// The server takes longer than a healthy session to answer initialize and
// ends right after: it lasted, counted from its start.
TEST_F(Server_Process, SessionThatLastedFromItsStartLeavesNoBackOff) {
    g_lsp_limits.first_backoff = std::chrono::hours(1);
    g_lsp_limits.healthy_session = std::chrono::milliseconds(300);
    start("sleep 0.6\n" + initialize_reply());
    ASSERT_TRUE(session_ended());
    ASSERT_TRUE(g_lsp_state.initialize_answered);
    pid_t first = g_lsp_state.process.pid;
    lsp_start_server(dir / "a.py");
    EXPECT_EQ(g_lsp_state.backoff.count(), 0);
    EXPECT_NE(g_lsp_state.process.pid, first);
}

TEST_F(Server_Process, ServerThatNeverAnswersIsGivenUpAfterTheHandshakeLimit) {
    g_lsp_limits.handshake = std::chrono::milliseconds(200);
    g_lsp_limits.exit_grace = std::chrono::milliseconds(100);
    start("exec sleep 60\n");
    ASSERT_TRUE(session_ended());
    EXPECT_FALSE(g_lsp_started);
    EXPECT_TRUE(no_child_left());
}

// A server that writes without end never lets a wait for bytes time out:
// the limit holds for the whole handshake.
TEST_F(Server_Process, HandshakeLimitHoldsWhileTheServerFloodsItsOutput) {
    g_lsp_limits.handshake = std::chrono::milliseconds(200);
    g_lsp_limits.exit_grace = std::chrono::milliseconds(100);
    start("exec yes\n");
    ASSERT_TRUE(session_ended());
    EXPECT_TRUE(no_child_left());
}

TEST_F(Server_Process, ShutdownEndsAWriterWaitingForAServerThatDoesNotRead) {
    start(initialize_reply() + "exec sleep 60\n");
    ASSERT_TRUE(started());
    lsp_did_open("/a.py", std::string(1 << 22, 'x'));
    lsp_shutdown();
    EXPECT_FALSE(g_lsp_started);
    EXPECT_TRUE(no_child_left());
}

// The server ignores exit and SIGTERM, leaves the reader inside a message,
// and its own child keeps the server's output open long after the server.
TEST_F(Server_Process, ShutdownEndsAServerThatIgnoresExitAndSigterm) {
    std::string holder = dir / "holder.pid";
    start("trap '' TERM\n" + initialize_reply() +
          "printf 'Content-Length: 5\\r\\n'\n"
          "sleep 60 &\necho $! > '" +
          holder + ".new'\nmv '" + holder + ".new' '" + holder + "'\nwhile :; do sleep 1; done\n");
    ASSERT_TRUE(started());
    g_host_answers.clear();
    enqueue_lsp_find_references(host_references_callback, 6, "/a.py", 5, 0, 0);
    // Once the partial header has been written and read, the reader waits
    // inside the message, where clearing running does not reach it.
    ASSERT_TRUE(eventually([&] {
        int unread = -1;
        ioctl(g_lsp_state.process.stdout_pipe[0], FIONREAD, &unread);
        return std::filesystem::exists(holder) && unread == 0;
    }));
    lsp_shutdown();
    EXPECT_FALSE(g_lsp_started);
    EXPECT_TRUE(no_child_left());
    ASSERT_EQ(g_host_answers.size(), 1u);
    EXPECT_TRUE(g_host_answers[0].null_records);
    EXPECT_EQ(get_pending_tasks_count(), 0u);
    pid_t grandchild = 0;
    std::ifstream(holder) >> grandchild;
    if (grandchild > 0) kill(grandchild, SIGKILL);
}

}  // namespace
