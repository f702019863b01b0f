// What the tests against the scripted server (fake_lsp_server.cpp) share: the
// frames the server logged, the facts it recorded at each start, fixtures that
// name it as the library's server, and, for the linked core library, short
// time limits.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "lsp_process.h"
#include "lsp_test_host.h"

struct Frame {
    std::string header;
    std::string body;
};

// Splits what the server logged into frames; each header is kept whole.
inline std::vector<Frame> frames_in(const std::string& log) {
    std::vector<Frame> frames;
    size_t at = 0;
    while (at < log.size()) {
        size_t header_end = log.find("\r\n\r\n", at);
        if (header_end == std::string::npos) break;
        Frame frame;
        frame.header = log.substr(at, header_end + 4 - at);
        size_t length_at = frame.header.find("Content-Length: ");
        size_t length =
            length_at == std::string::npos ? 0 : std::stoul(frame.header.substr(length_at + 16));
        frame.body = log.substr(header_end + 4, length);
        frames.push_back(frame);
        at = header_end + 4 + length;
    }
    return frames;
}

inline std::vector<std::string> bodies_of(const std::vector<Frame>& frames) {
    std::vector<std::string> bodies;
    for (const Frame& frame : frames) bodies.push_back(frame.body);
    return bodies;
}

inline bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

inline const std::string k_initialized = R"({"jsonrpc":"2.0","method":"initialized","params":{}})";
inline const std::string k_exit = R"({"jsonrpc":"2.0","method":"exit","params":null})";
inline const std::string k_did_open_start = R"({"jsonrpc":"2.0","method":"textDocument/didOpen")";
inline const std::string k_elsewhere_uri = "file:///elsewhere/caf\xC3\xA9 \"q\".py";

inline bool is_did_open(const std::string& body) { return starts_with(body, k_did_open_start); }

// The didOpen the client sends for path, whose text is escaped_text once
// escaped for JSON.
inline std::string did_open_body(const std::string& path, const std::string& escaped_text) {
    return k_did_open_start + R"(,"params":{"textDocument":{"uri":")" + file_uri(path) +
           R"(","languageId":"python","version":1,"text":")" + escaped_text + R"("}}})";
}

inline bool is_did_open_of(const std::string& body, const std::string& path) {
    return is_did_open(body) &&
           body.find(R"("uri":")" + file_uri(path) + R"(")") != std::string::npos;
}

// A Python file of about size bytes: comment lines, then one definition.
inline std::string python_text_of_size(size_t size) {
    std::string text;
    std::string line = "# " + std::string(77, 'x') + "\n";
    while (text.size() + line.size() < size) text += line;
    return text + "def f():\n    pass\n";
}

// Whether answer is what the fake server answers a look-up at line and
// character in path with: two locations, the first the position asked.
inline ::testing::AssertionResult answers_position(const Answer& answer, const std::string& path,
                                                   int32_t line, int32_t character) {
    Location asked{file_uri(path), line, character};
    if (answer.count == 2 && answer.locations.size() == 2 && answer.locations[0] == asked)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "count " << answer.count;
    for (const Location& location : answer.locations) failure << ", " << location;
    return failure;
}

// Whether answer came with no records: count 0 and both blocks null.
inline ::testing::AssertionResult has_no_records(const Answer& answer) {
    if (answer.count == 0 && answer.records_null && answer.strings_null)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "count " << answer.count << ", records "
                                         << (answer.records_null ? "null" : "set") << ", strings "
                                         << (answer.strings_null ? "null" : "set");
}

// Asks per_thread look-ups about path from each of threads host threads at
// once. Each asks at the line equal to its context, so that the first
// location of its answer shows whose answer it is.
inline void ask_from_threads(uint64_t threads, uint64_t per_thread, const std::string& path) {
    std::vector<std::thread> hosts;
    for (uint64_t t = 0; t < threads; ++t) {
        hosts.emplace_back([t, per_thread, &path] {
            for (uint64_t i = 0; i < per_thread; ++i) {
                uint64_t context = t * per_thread + i;
                ask_references(path, static_cast<int32_t>(context), 1, context);
            }
        });
    }
    for (std::thread& host : hosts) host.join();
}

// Checks that each of count look-ups asked by ask_from_threads got its own
// answer, once.
inline void expect_each_its_own_answer(const std::vector<Answer>& answers, uint64_t count) {
    ASSERT_EQ(answers.size(), count);
    EXPECT_EQ(answers_per_context(answers).size(), count);
    for (const Answer& answer : answers) {
        ASSERT_EQ(answer.count, 2);
        EXPECT_EQ(static_cast<uint64_t>(answer.locations[0].line), answer.context);
    }
}

class Fake_Server_Test : public Lsp_Host_Test {
protected:
    // Names the fake server as the executable; it starts at the next scan of
    // a Python file and behaves as mode says.
    void use_server(const char* mode) {
        setenv("VANTREL_FAKE_MODE", mode, 1);
        setenv("VANTREL_FAKE_LOG", (dir / "received.log").c_str(), 1);
        setenv("VANTREL_FAKE_INFO", (dir / "server.info").c_str(), 1);
        g_vantrel.lsp_set_executable_path(VANTREL_FAKE_SERVER);
    }

    // Scans a.py and waits until the server it started has the handshake
    // behind it.
    void start_server(const char* mode) {
        use_server(mode);
        ASSERT_NO_FATAL_FAILURE(scan(python_file("a.py")));
        ASSERT_TRUE(handshakes_reach(1)) << "the scan of a.py started no server that came up";
        ASSERT_EQ(server_starts(), 1u);
    }

    std::vector<Frame> frames_received() { return frames_in(read_file(dir / "received.log")); }

    std::vector<std::string> bodies_received() { return bodies_of(frames_received()); }

    // Waits until the server's log holds at least count frames.
    bool frames_reach(size_t count) {
        return eventually([&] { return frames_received().size() >= count; });
    }

    // Waits until count initialized notifications have reached servers: the
    // client sends each once the server has answered initialize.
    bool handshakes_reach(size_t count) {
        return eventually([&] {
            std::vector<std::string> bodies = bodies_received();
            return static_cast<size_t>(std::count(bodies.begin(), bodies.end(), k_initialized)) >=
                   count;
        });
    }

    std::vector<std::string> server_info(const std::string& key) {
        std::vector<std::string> values;
        std::istringstream lines(read_file(dir / "server.info"));
        for (std::string line; std::getline(lines, line);) {
            if (starts_with(line, key + " ")) values.push_back(line.substr(key.size() + 1));
        }
        return values;
    }

    size_t server_starts() { return server_info("start").size(); }

    // Whether the server of the last start has ended (reaped or not).
    bool last_server_ended() {
        std::vector<std::string> pids = server_info("start");
        if (pids.empty()) return false;
        std::optional<Process_Status> status = process_status(std::stoi(pids.back()));
        return !status || status->state == 'Z';
    }

    // Scans fresh Python files until one of them has started a server for
    // the count-th time; false when none has within the limit (the back-off
    // never ends, or nothing starts a server again).
    bool scans_start_server(size_t count) {
        size_t scanned = 0;
        return eventually(
            [&] {
                scan(python_file("s" + std::to_string(scanned++) + ".py"));
                return server_starts() >= count;
            },
            std::chrono::seconds(10));
    }

    // The one answer to a look-up asked now, waited for.
    Answer answer_to(const std::string& path, int32_t line, int32_t character) {
        size_t before = answers_so_far().size();
        ask_references(path, line, character, before + 1);
        std::vector<Answer> answers = wait_for_answers(before + 1);
        if (answers.size() > before) return answers[before];
        ADD_FAILURE() << "the look-up was never answered";
        return Answer{};
    }
};

// Limits that keep the tests of failing servers quick: a working fake server
// answers in milliseconds, so the handshake and write limits stay wide. A test
// that needs other values sets them before its first scan.
inline void shorten_limits() {
    using namespace std::chrono_literals;
    g_lsp_limits.handshake = 5s;
    g_lsp_limits.write = 5s;
    g_lsp_limits.exit_grace = 300ms;
    g_lsp_limits.terminate_grace = 300ms;
    g_lsp_limits.first_backoff = 100ms;
    g_lsp_limits.max_backoff = 400ms;
    g_lsp_limits.healthy_session = 60s;
}

// Against the linked core library with shortened limits. A library that
// hangs would hang the process's exit as well, where the same stop runs
// again: the process is then ended, so that the failure shows at once.
class Linked_Fake_Server_Test : public Fake_Server_Test {
protected:
    Linked_Fake_Server_Test() { linked_core = true; }

    void SetUp() override {
        shorten_limits();
        Fake_Server_Test::SetUp();
    }

    void TearDown() override {
        if (stop_returns()) return;
        ADD_FAILURE() << "enqueue_stop hangs; ending the test process";
        std::error_code ignored;
        std::filesystem::remove_all(dir.path, ignored);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(1);
    }
};
