/*
 * A complete host of libvantrel.so, in C: it loads the library at run time,
 * indexes every source file under a directory, then prints the links found in
 * one file's text: each identifier that names an indexed definition, with the
 * definition's place. Optionally it names a Python language server and prints
 * the references at one position.
 *
 *   example_host [-l library] [-s server] [-r file:line:character] directory file
 *
 * -l  the library to load (default build/libvantrel.so)
 * -s  the language server executable, started as "<server> server" by the
 *     first Python scan (for example pylsp through a wrapper script)
 * -r  after indexing, ask the server for the references at this zero-based
 *     position of a Python file
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <ftw.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "vantrel.h"

/* The library's functions, resolved with dlsym. */
static struct {
  void (*lsp_set_executable_path)(const char *);
  void (*start_workers)(void);
  void (*enqueue_scan_file)(Scan_Callback, uint64_t, const char *, uint32_t, int64_t);
  void (*enqueue_find_symbols_in_text)(Find_Callback, uint64_t, const char *, uint32_t, bool, bool,
                                       const String_Ref *, uint32_t);
  void (*enqueue_lsp_find_references)(References_Callback, uint64_t, const char *, uint32_t,
                                      int32_t, int32_t);
  void (*enqueue_stop)(void);
  uint64_t (*get_pending_tasks_count)(void);
  void (*free_memory)(void *);
} vantrel;

static int resolve(void *library, const char *name, void *function_pointer) {
  void *symbol = dlsym(library, name);
  if (symbol == NULL) {
    fprintf(stderr, "example_host: %s\n", dlerror());
    return 0;
  }
  memcpy(function_pointer, &symbol, sizeof symbol);
  return 1;
}

static int resolve_all(void *library) {
  return resolve(library, "lsp_set_executable_path", &vantrel.lsp_set_executable_path) &&
         resolve(library, "start_workers", &vantrel.start_workers) &&
         resolve(library, "enqueue_scan_file", &vantrel.enqueue_scan_file) &&
         resolve(library, "enqueue_find_symbols_in_text", &vantrel.enqueue_find_symbols_in_text) &&
         resolve(library, "enqueue_lsp_find_references", &vantrel.enqueue_lsp_find_references) &&
         resolve(library, "enqueue_stop", &vantrel.enqueue_stop) &&
         resolve(library, "get_pending_tasks_count", &vantrel.get_pending_tasks_count) &&
         resolve(library, "free_memory", &vantrel.free_memory);
}

/* The language of a file, from its extension; 0 when it is not a source file. */
static int64_t language_of(const char *path) {
  static const struct { const char *extension; int64_t language; } table[] = {
    {".py", VANTREL_PYTHON}, {".pyi", VANTREL_PYTHON},
    {".js", VANTREL_JAVASCRIPT}, {".mjs", VANTREL_JAVASCRIPT}, {".cjs", VANTREL_JAVASCRIPT},
    {".jsx", VANTREL_JAVASCRIPT}, {".go", VANTREL_GO}, {".php", VANTREL_PHP},
    {".rs", VANTREL_RUST}, {".cpp", VANTREL_CPP}, {".cc", VANTREL_CPP}, {".cxx", VANTREL_CPP},
    {".hpp", VANTREL_CPP}, {".hh", VANTREL_CPP}, {".h", VANTREL_CPP},
    {".java", VANTREL_JAVA}, {".cs", VANTREL_CSHARP}, {".kt", VANTREL_KOTLIN},
    {".kts", VANTREL_KOTLIN}, {".swift", VANTREL_SWIFT}, {".dart", VANTREL_DART},
    {".r", VANTREL_R}, {".R", VANTREL_R}, {".rb", VANTREL_RUBY}, {".lua", VANTREL_LUA},
  };
  const char *dot = strrchr(path, '.');
  if (dot == NULL || strchr(dot, '/') != NULL) return 0;
  for (size_t i = 0; i < sizeof table / sizeof table[0]; ++i)
    if (strcmp(dot, table[i].extension) == 0) return table[i].language;
  return 0;
}

/* Absolute paths give the language server usable file URIs; a path that
 * does not resolve is kept as given and fails later with its own message. */
static char *absolute(const char *path) {
  char *resolved = realpath(path, NULL);
  return resolved ? resolved : strdup(path);
}

static unsigned long g_files_queued;

static int queue_scan(const char *path, const struct stat *status, int type, struct FTW *walk) {
  (void)status;
  const char *name = path + walk->base;
  if (type == FTW_D && walk->level > 0 && (name[0] == '.' || strcmp(name, "node_modules") == 0))
    return FTW_SKIP_SUBTREE;
  int64_t language = type == FTW_F ? language_of(path) : 0;
  if (language != 0) {
    vantrel.enqueue_scan_file(NULL, 0, path, (uint32_t)strlen(path), language);
    ++g_files_queued;
  }
  return FTW_CONTINUE;
}

static void sleep_milliseconds(long milliseconds) {
  struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

/* Scans run one at a time on the library's worker; the count falls to 0
 * once every queued scan has been handled. */
static void wait_until_idle(void) {
  while (vantrel.get_pending_tasks_count() != 0) sleep_milliseconds(5);
}

static char *read_whole_file(const char *path, size_t *length) {
  FILE *file = fopen(path, "rb");
  if (file == NULL) return NULL;
  char *text = NULL;
  size_t capacity = 0;
  *length = 0;
  for (;;) {
    if (*length == capacity) {
      capacity = capacity ? capacity * 2 : 65536;
      char *grown = realloc(text, capacity);
      if (grown == NULL) break;
      text = grown;
    }
    size_t got = fread(text + *length, 1, capacity - *length, file);
    if (got == 0) break;
    *length += got;
  }
  fclose(file);
  return text;
}

/* Byte offset of the code point at index code_point of text (UTF-8): every
 * byte that does not continue a sequence starts one. */
static size_t byte_offset(const char *text, size_t length, uint32_t code_point) {
  size_t offset = 0;
  for (uint32_t seen = 0; offset < length; ++offset) {
    if (((unsigned char)text[offset] & 0xC0) == 0x80) continue;
    if (seen++ == code_point) return offset;
  }
  return length;
}

typedef struct Searched_Text {
  const char *bytes;
  size_t length;
} Searched_Text;

/* Runs on the library's worker thread, before the waiting find returns. */
static void print_links(uint64_t context, Host_Definition_Link *links, uint64_t count,
                        char *strings) {
  const Searched_Text *text = (const Searched_Text *)(uintptr_t)context;
  printf("%llu links\n", (unsigned long long)count);
  for (uint64_t i = 0; i < count; ++i) {
    size_t begin = byte_offset(text->bytes, text->length, links[i].start);
    size_t end = byte_offset(text->bytes, text->length, links[i].end);
    printf("  %u-%u %.*s -> %s:%u:%u\n", links[i].start, links[i].end, (int)(end - begin),
           text->bytes + begin, links[i].path, links[i].row + 1, links[i].column + 1);
  }
  vantrel.free_memory(links);
  vantrel.free_memory(strings);
}

static int print_links_of(const char *path) {
  Searched_Text text;
  char *bytes = read_whole_file(path, &text.length);
  if (bytes == NULL) {
    fprintf(stderr, "example_host: cannot read %s\n", path);
    return 0;
  }
  text.bytes = bytes;
  /* Definitions in the searched file itself are preferred to same-named ones elsewhere. */
  String_Ref self = {path, (uint32_t)strlen(path)};
  printf("links in %s (definition positions 1-based)\n", path);
  vantrel.enqueue_find_symbols_in_text(print_links, (uint64_t)(uintptr_t)&text, bytes,
                                       (uint32_t)text.length, false, true, &self, 1);
  free(bytes);
  return 1;
}

/* The references callback runs on the language server's reader thread, or at
 * once on this thread when no server runs. */
static struct {
  pthread_mutex_t mutex;
  pthread_cond_t arrived;
  int done;
} g_answer = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0};

static void print_references(uint64_t context, Host_Location *locations, int32_t count,
                             char *strings) {
  (void)context;
  printf("%d references\n", count);
  for (int32_t i = 0; i < count; ++i)
    printf("  %s:%d:%d\n", locations[i].uri, locations[i].line, locations[i].character);
  vantrel.free_memory(locations);
  vantrel.free_memory(strings);
  pthread_mutex_lock(&g_answer.mutex);
  g_answer.done = 1;
  pthread_cond_signal(&g_answer.arrived);
  pthread_mutex_unlock(&g_answer.mutex);
}

static int print_references_at(const char *query) {
  char path[4096];
  int line, character;
  const char *colon = strrchr(query, ':');
  const char *first = colon ? memrchr(query, ':', (size_t)(colon - query)) : NULL;
  if (first == NULL || (size_t)(first - query) >= sizeof path ||
      sscanf(first, ":%d:%d", &line, &character) != 2) {
    fprintf(stderr, "example_host: -r wants file:line:character\n");
    return 0;
  }
  memcpy(path, query, (size_t)(first - query));
  path[first - query] = '\0';
  char *file = absolute(path);
  snprintf(path, sizeof path, "%s", file);
  free(file);
  printf("references at %s:%d:%d (0-based)\n", path, line, character);
  vantrel.enqueue_lsp_find_references(print_references, 0, path, (uint32_t)strlen(path), line,
                                      character);
  /* The answer can come late, or only when the server is shut down: the
   * callback's state is static so that it never outlives it. */
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 30;
  pthread_mutex_lock(&g_answer.mutex);
  while (!g_answer.done &&
         pthread_cond_timedwait(&g_answer.arrived, &g_answer.mutex, &deadline) == 0) {
  }
  int done = g_answer.done;
  pthread_mutex_unlock(&g_answer.mutex);
  if (!done) fprintf(stderr, "example_host: no answer from the language server\n");
  return done;
}

static void usage(void) {
  fprintf(stderr, "usage: example_host [-l library] [-s server] [-r file:line:character] "
                  "directory file\n");
}

int main(int argc, char **argv) {
  const char *library_path = "build/libvantrel.so";
  const char *server = NULL;
  const char *query = NULL;
  int option;
  while ((option = getopt(argc, argv, "l:s:r:")) != -1) {
    if (option == 'l') library_path = optarg;
    else if (option == 's') server = optarg;
    else if (option == 'r') query = optarg;
    else return usage(), 2;
  }
  if (argc - optind != 2) return usage(), 2;
  char *directory = absolute(argv[optind]);
  char *searched_file = absolute(argv[optind + 1]);

  /* A path without '/' would make dlopen search the system's directories. */
  char library_file[4096];
  snprintf(library_file, sizeof library_file, "%s%s", strchr(library_path, '/') ? "" : "./",
           library_path);
  void *library = dlopen(library_file, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "example_host: %s\n", dlerror());
    return 1;
  }
  if (!resolve_all(library)) return 1;

  if (server != NULL) vantrel.lsp_set_executable_path(server);
  vantrel.start_workers();
  if (nftw(directory, queue_scan, 32, FTW_PHYS | FTW_ACTIONRETVAL) != 0)
    fprintf(stderr, "example_host: cannot walk all of %s\n", directory);
  wait_until_idle();
  printf("indexed %lu files under %s\n", g_files_queued, directory);

  int ok = print_links_of(searched_file);
  if (query != NULL) ok = print_references_at(query) && ok;

  vantrel.enqueue_stop();
  dlclose(library);
  free(directory);
  free(searched_file);
  return ok ? 0 : 1;
}
