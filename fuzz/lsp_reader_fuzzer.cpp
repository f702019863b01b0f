// Feeds arbitrary bytes to the reader thread's loop as the output of a
// language server, with a few look-ups waiting for their answers, and checks
// that every look-up is answered exactly once, with arguments that agree, and
// that every reply to a request of the server's own is valid JSON carrying an
// id and the method-not-found error.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "lsp_process.h"

namespace {

constexpr int32_t k_first_id = 2;  // ids below 2 are never dispatched
constexpr uint64_t k_waiting = 8;
int g_answers[k_waiting];

void check_answer(uint64_t context, const Lsp_Location* locations, int32_t count) {
    if (context >= k_waiting || count < 0 || (count == 0) != (locations == nullptr)) abort();
    size_t uri_bytes = 0;
    for (int32_t i = 0; i < count; ++i) {
        uri_bytes += locations[i].uri.size();
        if (locations[i].line < 0 || locations[i].character < 0) abort();
    }
    if (uri_bytes > (1u << 30)) abort();
    ++g_answers[context];
}

// The pipe is made large enough for the whole input, so that writing it
// before the loop starts cannot block; longer inputs are cut to its size.
int server_output(const uint8_t* data, size_t size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) abort();
    int capacity = fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    size = std::min(size, static_cast<size_t>(capacity > 0 ? capacity : 1 << 16));
    for (size_t done = 0; done < size;) {
        ssize_t n = write(ends[1], data + done, size - done);
        if (n <= 0) abort();
        done += static_cast<size_t>(n);
    }
    close(ends[1]);
    return ends[0];
}

void check_reply(simdjson::ondemand::parser& parser, const std::string& body) {
    simdjson::padded_string padded(body);
    simdjson::ondemand::document document;
    simdjson::ondemand::value id;
    int64_t code = 0;
    if (parser.iterate(padded).get(document) || document["id"].get(id) ||
        document["error"]["code"].get_int64().get(code) || code != -32601) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Lsp_State state;
    state.process.stdout_pipe[0] = server_output(data, size);
    state.process.running = true;
    // A running session with no writer: replies stay queued for the checks.
    state.phase = Lsp_Phase::running;
    std::fill(std::begin(g_answers), std::end(g_answers), 0);
    for (uint64_t i = 0; i < k_waiting; ++i) {
        state.pending_requests[k_first_id + static_cast<int32_t>(i)] = {check_answer, i};
    }
    lsp_reader_loop(&state);
    close(state.process.stdout_pipe[0]);
    for (int answers : g_answers) {
        if (answers != 1) abort();
    }
    simdjson::ondemand::parser parser;
    for (const Lsp_Frame& reply : state.outgoing) check_reply(parser, reply.body);
    return 0;
}
