// What the host interface shares with the language-server client: the
// pending-task count and the scheme that hands results to host callbacks.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <span>
#include <string_view>

// Work accepted and not finished: queued and running requests plus
// references look-ups awaiting the server's reply.
extern std::atomic<uint64_t> g_pending_tasks;

// Set once a stop has ended the library's service: by enqueue_stop once a
// worker was started, or by the process's exit or the library's unload. From
// then on the calls return at once, before they read their arguments.
extern std::atomic<bool> g_stopped;

// Called first by every exported function that may touch the library's
// objects: the first call sets up their release at an unload.
void note_call();

// True in a process other than the one that started the worker: a child
// forked while the library was in use. The worker, the language server and
// the reader thread are the parent's; the child must neither wait for them
// nor write to or signal them. False while no worker was ever started, so
// that a child forked before then uses the library as its own.
bool in_forked_child();

// Copies length bytes the host passed; a null pointer reads as empty, whatever
// length came with it.
inline std::string copy_bytes(const char* data, uint32_t length) {
    if (data == nullptr) return {};
    return std::string(data, length);
}

// Paths from the host may spell their separators with backslashes.
inline void replace_backslashes(std::string& path) {
    std::replace(path.begin(), path.end(), '\\', '/');
}

// Turns items into the two malloc blocks a host callback receives: an array of
// records and one buffer holding every item's string followed by a NUL, each
// record pointing at its own copy. With no items, or when memory cannot be
// had, both pointers are null and false is returned: the callback then reports
// no records rather than a partial result.
template <typename Record, typename Item, typename String_Of, typename Fill>
bool marshal_records(std::span<const Item> items, String_Of string_of, Fill fill,
                     Record*& records, char*& strings) {
    records = nullptr;
    strings = nullptr;
    if (items.empty()) return false;
    size_t total = 0;
    for (const Item& item : items) total += std::string_view(string_of(item)).size() + 1;
    records = static_cast<Record*>(std::malloc(items.size() * sizeof(Record)));
    strings = static_cast<char*>(std::malloc(total));
    if (records == nullptr || strings == nullptr) {
        std::free(records);
        std::free(strings);
        records = nullptr;
        strings = nullptr;
        return false;
    }
    size_t offset = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        std::string_view text = string_of(items[i]);
        std::memcpy(strings + offset, text.data(), text.size());
        strings[offset + text.size()] = '\0';
        fill(records[i], items[i], strings + offset);
        offset += text.size() + 1;
    }
    return true;
}
