/*
 * vantrel: an in-memory index of source definitions for code navigation.
 *
 * A host loads libvantrel.so (usually with dlopen), scans source files into
 * the index, searches texts for identifiers that name indexed definitions,
 * and may ask a Python language server for the references at a position.
 *
 * Threads. Every function may be called from any host thread, several at a
 * time. Scans, finds and clears are queued and executed one at a time on one
 * worker thread of the library, started by the first scan or find (or by
 * start_workers); finds and clears always go before queued scans, each queue
 * in its own order. Scan and find callbacks run on that worker thread. While
 * a language server runs, two more threads of the library serve it: one
 * writes the messages queued for it, one reads its output and runs the
 * references callbacks (which run at once on the calling thread when no
 * server runs). No host thread ever waits on the server: messages to it are
 * only queued. No lock of the library is held while a callback runs, or
 * while the library waits for one of its threads, so a callback may enqueue
 * further work, read the pending count and free results, and a references
 * callback may make a find with wait set, also while a stop is under way.
 * While a scan or find callback runs no other request is served, so keep
 * callbacks short. A callback should not call enqueue_stop; a find with wait
 * set queued from a worker callback does not wait (it could only run after
 * that callback has returned). A callback may call exit() (see Life). No
 * callback may unload the library (dlclose): the code it returns into would
 * be unmapped under it.
 *
 * Ownership. Every string passed in is copied before the call returns. Every
 * non-null record array and string buffer handed to a callback belongs to the
 * host from the moment the callback is entered; release each once with
 * free_memory. With no records both pointers are null.
 *
 * Life. Call enqueue_stop once, before unloading the library or exiting; after
 * it only get_pending_tasks_count and free_memory are meaningful: the other
 * functions return at once and do nothing, reading none of their arguments
 * (a references look-up is answered at once with no records). A host that
 * exits without enqueue_stop gets the same stop done for it, from whichever
 * thread calls exit(): a host thread, or a callback (scan and find callbacks
 * on the worker, references callbacks on the reader), also while another
 * thread is inside enqueue_stop. The exit goes on only once the library's
 * threads have ended (but the one that exits), every look-up has been
 * answered and the server has been ended; a find whose callback exits
 * releases its waiting caller. The exit frees nothing of the library, so
 * host threads that still call in meanwhile are safe: their calls return at
 * once. A host that unloads the library (dlclose) without enqueue_stop gets
 * the stop done too; unload only once every call into the library has
 * returned, and never from a callback. Unloading frees everything the
 * library allocated, so a host may load and unload it again and again.
 *
 * fork. A child forked after the library's worker was started (by a scan, a
 * find or start_workers) shares nothing live with it: the worker, the
 * language server and its reader belong to the parent. In such a child
 * every function but get_pending_tasks_count and free_memory returns at once
 * and does nothing (no callback is called, a find with wait does not wait;
 * a references look-up is answered at once with no records), and exit() or
 * dlclose neither waits for the parent's worker nor writes to or signals
 * the parent's server; the library's memory in the child is left as the
 * fork copied it. A child forked before any worker start uses the library
 * as its own: the library's fork handlers make fork() wait until no other
 * thread holds the locks that calls take before a worker start (for a few
 * queue operations or the executable path), so the child inherits none
 * held; dlclose removes the handlers. A child that execs is not concerned:
 * the library's descriptors are close-on-exec.
 *
 * Failures. No function returns a status, logs, raises a signal or lets a C++
 * exception out: failures show only as empty results. A file that cannot be
 * read (missing, not a regular file, 4 GiB or more, too large for memory) is
 * indexed as empty. So is a file whose parse would hold more memory than the
 * library allows a parse, its budget: a quarter of the machine's physical
 * memory, at most 4 GiB, and at most half of what RLIMIT_AS and RLIMIT_DATA
 * leave when the scan starts, once a reserve of an eighth of that (at most
 * 64 MiB, or an eighth of the budget when that is more: address space that
 * is not touched until it is needed) has been set aside. The parse is cut
 * short as soon as it passes its budget, having held at most a quarter more,
 * and an allocation that the system refuses during a parse only cuts the
 * parse short: the reserve serves the parse until it has ended. A file longer
 * than the budget is indexed as empty too, and read no further than the
 * budget. So is a file whose parse takes more than 10 s plus 1 s per
 * 256 KiB of its text of the worker's CPU time, which real sources (parsed at
 * a megabyte a second or more) never reach, but which input that drives the
 * parser into quadratic error recovery would pass by minutes. Time in which
 * the worker does not run (the process stopped by a debugger or by job
 * control, a frozen cgroup, other threads busy on its core) does not count.
 * No file, however deeply its code nests, overflows the worker's stack. A
 * search that runs out of memory reports no links; a call that cannot copy
 * its arguments does nothing. A NULL pointer passed with a non-zero length is
 * read as empty. Every descriptor the library opens (the files it reads, the
 * server's pipes and pidfd) is close-on-exec and numbered 3 or above, so a
 * host that closed its standard streams keeps 0, 1 and 2 for itself. An
 * exception thrown by a host callback ends that request only: it counts as
 * finished and the worker (or, for a references callback, the reader) goes
 * on.
 *
 * Cost. Enqueuing copies the arguments and takes a lock for a few queue
 * operations; it never waits for the worker, except a find with wait set. On
 * the worker, a scan costs its parse, plus for each definition it drops or
 * adds time logarithmic in the number of files that define the same name,
 * whatever the order in which files are scanned.
 */
#ifndef VANTREL_H
#define VANTREL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VANTREL_EXPORT __attribute__((visibility("default")))

/* Language codes for enqueue_scan_file. Any other value is parsed as Python
 * but never involves the language server. */
enum {
  VANTREL_PYTHON = 1, VANTREL_JAVASCRIPT = 2, VANTREL_GO = 3, VANTREL_PHP = 4,
  VANTREL_RUST = 5, VANTREL_CPP = 6, VANTREL_JAVA = 7, VANTREL_CSHARP = 8,
  VANTREL_KOTLIN = 9, VANTREL_SWIFT = 10, VANTREL_DART = 11, VANTREL_R = 12,
  VANTREL_RUBY = 13, VANTREL_LUA = 14
};

/* One identifier found in a searched text that names an indexed definition.
 * start/end count Unicode code points from the start of the text (end is
 * exclusive); row/column are the zero-based position of the definition's
 * name in its file, the column counted in bytes. path points into the
 * string buffer handed with the records. */
typedef struct Host_Definition_Link {
  uint32_t start;
  uint32_t end;
  const char *path;
  uint32_t row;
  uint32_t column;
} Host_Definition_Link;

/* One location from the language server. uri is the server's URI text (JSON
 * escapes resolved, each sequence that is not UTF-8 replaced by U+FFFD, not
 * turned into a path); line/character are as the server sent them, 0 where it
 * gave no usable value. */
typedef struct Host_Location {
  const char *uri;
  int32_t line;
  int32_t character;
} Host_Location;

/* A preferred definition file for a find: length bytes at data, no
 * terminator needed; data may be null when length is 0. */
typedef struct String_Ref {
  const char *data;
  uint32_t length;
} String_Ref;

#ifdef __cplusplus
static_assert(sizeof(Host_Definition_Link) == 24, "Host_Definition_Link is 24 bytes");
static_assert(offsetof(Host_Definition_Link, path) == 8, "path at offset 8");
static_assert(offsetof(Host_Definition_Link, row) == 16, "row at offset 16");
static_assert(offsetof(Host_Definition_Link, column) == 20, "column at offset 20");
static_assert(sizeof(Host_Location) == 16, "Host_Location is 16 bytes");
static_assert(offsetof(Host_Location, line) == 8, "line at offset 8");
static_assert(offsetof(Host_Location, character) == 12, "character at offset 12");
static_assert(sizeof(String_Ref) == 16, "String_Ref is 16 bytes");
static_assert(offsetof(String_Ref, length) == 8, "length at offset 8");
#else
_Static_assert(sizeof(Host_Definition_Link) == 24, "Host_Definition_Link is 24 bytes");
_Static_assert(offsetof(Host_Definition_Link, path) == 8, "path at offset 8");
_Static_assert(offsetof(Host_Definition_Link, row) == 16, "row at offset 16");
_Static_assert(offsetof(Host_Definition_Link, column) == 20, "column at offset 20");
_Static_assert(sizeof(Host_Location) == 16, "Host_Location is 16 bytes");
_Static_assert(offsetof(Host_Location, line) == 8, "line at offset 8");
_Static_assert(offsetof(Host_Location, character) == 12, "character at offset 12");
_Static_assert(sizeof(String_Ref) == 16, "String_Ref is 16 bytes");
_Static_assert(offsetof(String_Ref, length) == 8, "length at offset 8");
#endif

/* Called on the worker thread once a scan has been handled, the file's new
 * definitions already in the index; also when the file could not be read. */
typedef void (*Scan_Callback)(uint64_t context);

/* Called on the worker thread exactly once per handled find, also when
 * nothing was found (then links and strings are null and count is 0). */
typedef void (*Find_Callback)(uint64_t context, Host_Definition_Link *links,
                              uint64_t count, char *strings);

/* Called once per references look-up: on the reader thread with the server's
 * answer, or at once on the calling thread when no server runs. */
typedef void (*References_Callback)(uint64_t context, Host_Location *locations,
                                    int32_t count, char *strings);

/* Sets the language server's executable (found through PATH when it holds
 * no '/'); it is started as "<path> server" by the next scan of a Python file.
 * An empty string or NULL means no server. A running server is not affected.
 *
 * The server's process. It is started with posix_spawn, which copies nothing
 * of the host's memory, so a start stalls none of the host's threads however
 * much the host holds. It gets the library's pipes as its standard input and
 * output and no other descriptor of the library; the host's standard error,
 * environment and working directory; no blocked signal; and SIGCHLD, SIGPIPE
 * and SIGTERM at their default actions (other signals the host ignores stay
 * ignored). A script without a "#!" line runs under /bin/sh, as a shell
 * runs it. An executable that cannot be run (missing, not executable) is a
 * failed start.
 *
 * The server's life. The scan that starts the server does not wait for it:
 * the initialize handshake runs on the library's own threads, and files
 * scanned and look-ups made meanwhile are sent once the server has answered.
 * A server that has not answered within 30 s, whatever it sends meanwhile,
 * is given up. A server that exits, closes its output, or takes no byte of
 * its input for 30 s while messages wait for it is lost: it is ended and
 * reaped, the look-ups it owed are answered with no records, and the next
 * scan of a Python file starts a new one. Its exit is seen by watching the
 * process itself (through a pidfd, or where the system has none by asking
 * every 100 ms), also while its output stays open, held by a process it
 * started or by a child the host forked meanwhile: what it wrote before it
 * ended is still read, and what it owed is answered at once after. After a
 * start that failed, or a server lost within a minute of its start (counted
 * from the start, not from its answer to initialize), no start is tried for
 * 1 s, doubling with each further failure up to 5 minutes; a server that
 * lasted, or a call of this function, resets that wait, and a server started
 * before the call counts for nothing, however late it is lost. Files scanned
 * before a restart are not announced to the new server again. Messages
 * waiting for a server are capped at 64 MiB: a file text that would pass the
 * cap is dropped, a look-up never is; a reply to a request of the server's
 * own that would pass it shows a server that does not read, and the server
 * is lost as above.
 *
 * Only the library's own server is ever signalled or reaped. A host may reap
 * its own children (a SIGCHLD handler that loops on waitpid(-1), or SIGCHLD
 * ignored) and so reap the server, and its next child may get the server's
 * pid: the library signals, waits for and reaps the server through a pidfd
 * only, which names that one process and no other, so the host's child is
 * never touched. Where the system gives no pidfd (Linux before 5.3), the
 * library never signals a server once a wait has seen it end; but a host
 * that reaps the server between two of the library's checks, and whose own
 * child gets its pid, may have that child signalled, or its status taken. On
 * such a system, keep SIGCHLD at its default and reap only the pids you
 * started. */
VANTREL_EXPORT void lsp_set_executable_path(const char *path);

/* Starts the worker thread if none runs. Enqueuing a scan or a find does the
 * same, so calling this is optional. Once enqueue_stop has ended a worker, no
 * worker is started again. */
VANTREL_EXPORT void start_workers(void);

/* Queues a re-index of one file, read from disk by path (path_length bytes,
 * no terminator needed; backslashes count as '/') to its end, also when the
 * file grows while it is read or shows size 0 (as /proc files do); a file
 * that is or grows to 4 GiB or more, or longer than the parse budget (see
 * Failures above), is indexed as empty and read no further. The text of a
 * file over 4 MiB is not kept once the file is scanned. A scan of a path
 * that already waits in the queue is dropped: no count, no callback; a path
 * the worker has already taken is queued again. callback may be NULL; it runs
 * once, on the worker thread, after the scan. A file that cannot be read, or
 * a path that is not a regular file (directory, FIFO, device) or holds a NUL
 * byte, is indexed as empty, which removes its earlier definitions. language
 * 1 (Python) also starts the language server if a path was set (see
 * lsp_set_executable_path) and announces the file to it, its text made valid
 * UTF-8 (each invalid sequence becomes U+FFFD). The newest text of a file
 * wins: a newer scan of the same file withdraws its announcement not yet
 * sent, and takes its place unless the newer text does not fit under the cap
 * (see lsp_set_executable_path) or memory for it cannot be had; then neither
 * is sent. A newer scan that reads no text (the file emptied, gone,
 * unreadable or too large to be held) announces nothing and withdraws it
 * too. */
VANTREL_EXPORT void enqueue_scan_file(Scan_Callback callback, uint64_t context,
                                      const char *path, uint32_t path_length,
                                      int64_t language);

/* Queues a search of text (text_length bytes of UTF-8; invalid sequences count
 * as separators) ahead of every queued scan. Each identifier that names an
 * indexed definition gives one link, in text order; the definition is taken
 * from the first of the path_count preferred paths that holds the name
 * (backslashes count as '/'), else from the smallest path in byte order. With
 * compound_only, only identifiers starting with '_' or holding a later '_' or
 * uppercase letter are reported. The callback runs once, on the worker thread.
 * With wait, the call returns once the callback has returned, or at once when
 * the request is discarded by enqueue_clear or left unserved by a stop (then
 * the callback is never called). A NULL callback makes the call do nothing. */
VANTREL_EXPORT void enqueue_find_symbols_in_text(Find_Callback callback, uint64_t context,
                                                 const char *text, uint32_t text_length,
                                                 bool compound_only, bool wait,
                                                 const String_Ref *paths, uint32_t path_count);

/* Asks the language server for the references at a zero-based position in a
 * Python file. Only queues the question: the answer comes on the reader
 * thread. While the server is starting up, the question waits for it. With
 * no server running (none set, none started yet, in a back-off, or lost) the
 * callback is called at once, on the calling thread, with no records.
 * Look-ups still unanswered when the server stops or is lost are answered
 * with no records. Each look-up is answered exactly once. A location's line
 * or character that is not within 0..INT32_MAX is given as 0. A NULL callback
 * does nothing. */
VANTREL_EXPORT void enqueue_lsp_find_references(References_Callback callback, uint64_t context,
                                                const char *path, uint32_t path_length,
                                                int32_t line, int32_t character);

/* Discards every queued scan, find and clear (their callbacks are never
 * called; a waiting caller is released) and queues one request that empties
 * the index. The request in progress, if any, completes. The pending count
 * falls by the number discarded and rises by one. Does not start the worker:
 * before the first scan or find the index is emptied once one starts it. */
VANTREL_EXPORT void enqueue_clear(void);

/* Ends the worker and the language server: the request in progress completes,
 * its callback included, except that a scan in progress is cut short (its
 * file is left with no definitions; its callback is still called); queued
 * requests are never served and stay in the pending count; then the server
 * is shut down, and look-ups still unanswered are answered with no records.
 * Callers waiting for queued finds are released first, before the stop waits
 * for anything; a find with wait made after that returns at once. Blocks
 * until all of this is done: well under a second for a scan cut short,
 * whatever it is reading, plus about 0.3 s per gigabyte its parse held,
 * which is given back first; a few seconds at most for the server. It holds
 * no lock of the library while it waits for the worker and the server's
 * reader, so callbacks that run meanwhile may call the library as ever. A
 * second call made on another host thread meanwhile returns when the first
 * is done. Call once, last: once it has ended a worker, the other functions
 * return at once and read none of their arguments. Before any worker was
 * started it only shuts the server down, and the library stays usable. */
VANTREL_EXPORT void enqueue_stop(void);

/* Work accepted and not finished: queued and running requests plus unanswered
 * references look-ups. A request is counted until its callback has returned,
 * so the count may lag a returned waiting find for a moment. 0 once every
 * accepted request has been handled. */
VANTREL_EXPORT uint64_t get_pending_tasks_count(void);

/* Releases a record array or string buffer handed to a callback; NULL is
 * accepted. */
VANTREL_EXPORT void free_memory(void *pointer);

#ifdef __cplusplus
}
#endif

#endif
