// The room that RLIMIT_AS leaves a process: the parse budget and the reserve
// are both taken from it, so that a parse that fits is indexed however
// little room there is, and the budget is kept within it when /proc cannot
// be read. Each case runs in a forked child, whose limit binds only itself.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <cstdio>
#include <string>

#include "memory_support.h"
#include "scanner.h"

namespace {

constexpr Language PYTHON = 1;

// A child's exit code when /proc cannot be hidden from it.
constexpr int NO_USER_NAMESPACE = 77;

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

class Memory_Room : public testing::TestWithParam<size_t> {
protected:
    void SetUp() override {
        if (SANITIZED) GTEST_SKIP() << "RLIMIT_AS cannot be lowered under a sanitizer's shadow memory";
    }
};

// A process that starts under the limit: nothing set aside yet. 36 KB of
// Python functions take a parse of about 2.2 MB.
TEST_P(Memory_Room, leaves_a_parse_that_fits_its_budget_and_every_scan_keeps_its_definitions) {
    size_t room = GetParam();
    std::string text = python_functions(36 * 1024);
    int status = wait_status_of_child([&] {
        release_parsers();
        Address_Space_Limit limit(address_space_in_use() + room);
        Scanner scanner;
        int kept = 0;
        for (int i = 0; i < 20; ++i) {
            scan_file("functions.py", text, scanner, PYTHON);
            kept += scanner.definitions.contains("f0") ? 1 : 0;
        }
        return kept;
    });
    EXPECT_EQ(exit_code(status), 20) << "scans of 20 that kept their definitions, with "
                                     << room / MEGABYTE << " MiB of room";
}

INSTANTIATE_TEST_SUITE_P(Tight_Address_Space, Memory_Room,
                         testing::Values(66 * MEGABYTE, 68 * MEGABYTE, 70 * MEGABYTE, 80 * MEGABYTE),
                         [](const testing::TestParamInfo<size_t>& info) {
                             return std::to_string(info.param / MEGABYTE) + "_MiB";
                         });

// Mounts an empty file system over /proc in a mount namespace of the child's
// own; false when the system allows no user namespace.
bool hide_proc() {
    return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && mount("none", "/proc", "tmpfs", 0, nullptr) == 0 &&
           std::fopen("/proc/self/statm", "r") == nullptr;
}

// The child exits with the budget in MiB.
TEST(Memory_Budget, is_kept_within_half_the_room_when_proc_cannot_be_read) {
    if (SANITIZED) GTEST_SKIP() << "RLIMIT_AS cannot be lowered under a sanitizer's shadow memory";
    Scanner scanner;
    scan_file("warm-up.py", "x = 1\n", scanner, PYTHON);
    int status = wait_status_of_child([] {
        size_t in_use = address_space_in_use();
        if (!hide_proc()) return NO_USER_NAMESPACE;
        Address_Space_Limit limit(in_use + 64 * MEGABYTE);
        return static_cast<int>(std::min<size_t>(scan_memory_budget() / MEGABYTE, 255));
    });
    if (exit_code(status) == NO_USER_NAMESPACE)
        GTEST_SKIP() << "no user namespace: /proc cannot be hidden from a child";
    EXPECT_GE(exit_code(status), 24);
    EXPECT_LE(exit_code(status), 32) << "budget in MiB with 64 MiB of room";
}

TEST(Room_By_Mapping, is_what_proc_shows) {
    if (SANITIZED) GTEST_SKIP() << "RLIMIT_AS cannot be lowered under a sanitizer's shadow memory";
    int status = wait_status_of_child([] {
        size_t limit = address_space_in_use() + 100 * MEGABYTE;
        Address_Space_Limit lowered(limit);
        size_t found = mappable_bytes(limit);
        size_t shown = limit - address_space_in_use();
        return found <= shown && shown - found < 2 * MEGABYTE ? 0 : 1;
    });
    EXPECT_EQ(exit_code(status), 0);
}

}  // namespace
