// Hostile files through the loaded library: a source nested as deep as it is
// long is scanned and the host goes on, and the worker, on which scans and
// the host's callbacks run, has a stack of its own size whatever the host's
// threads get by default.
#include <pthread.h>

#include "host_support.h"

namespace {

using Host_Hostile_Files_Test = Host_Test;

// 300 KB of "([{": the release of the parse stack once recursed per level,
// past the end of the worker's stack.
TEST_F(Host_Hostile_Files_Test, FileNestedAsDeepAsItIsLongIsScannedAndTheHostGoesOn) {
    std::string deep = dir / "Deep.java";
    std::string text = "class Deep { Object x = ";
    for (int i = 0; i < 100000; ++i) text += "([{";
    write_file(deep, text);
    std::string later = dir / "Later.java";
    write_file(later, "class Later {}\n");

    scan(deep, VANTREL_JAVA);
    scan(later, VANTREL_JAVA);

    EXPECT_EQ(find_links("Deep Later").size(), 1u);
}

// The stack size of the thread a scan callback runs on.
void record_stack_size(uint64_t context) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    pthread_attr_getstacksize(&attributes, &object_of<size_t>(context));
    pthread_attr_destroy(&attributes);
}

TEST_F(Host_Hostile_Files_Test, WorkerStackDoesNotDependOnTheHostsDefaultForThreads) {
    pthread_attr_t host_default;
    ASSERT_EQ(pthread_getattr_default_np(&host_default), 0);
    pthread_attr_t small = host_default;
    ASSERT_EQ(pthread_attr_setstacksize(&small, 256 * 1024), 0);
    ASSERT_EQ(pthread_setattr_default_np(&small), 0);
    g_vantrel.start_workers();
    ASSERT_EQ(pthread_setattr_default_np(&host_default), 0);
    std::string path = dir / "a.py";
    write_file(path, "def a():\n    pass\n");

    size_t stack_size = 0;
    enqueue_scan(path, record_stack_size, context_of(&stack_size));
    ASSERT_TRUE(idle());

    EXPECT_GE(stack_size, size_t{8} << 20);
}

}  // namespace
