// A host that closed descriptors 0, 1 and 2 before it loaded the library, as
// daemons do. The library keeps every descriptor of its own at 3 or above:
// it reads no file through 0 to 2 (a read of the scanned file shows as
// the offset of a descriptor that names it), and while its server runs, its pipes and pidfd leave 0 to 2 free for the
// host, the server still getting the pipes as its standard input and output.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "fake_server_support.h"
#include "fork_support.h"
#include "host_support.h"

namespace {

// Exit statuses of the child.
constexpr int NOT_SERVED = 1;
constexpr int READ_THROUGH_0 = 10;  // + the descriptor
constexpr int HELD_0 = 20;          // + the descriptor

TEST(Host_Standard_Descriptors, StayFreeWhileTheLibraryReadsFilesAndServesLookUps) {
    Temp_Dir dir;
    write_file(dir / "a.py", python_text_of_size(size_t{1} << 20));
    setenv("VANTREL_FAKE_MODE", "normal", 1);
    struct stat scanned;
    ASSERT_EQ(stat((dir / "a.py").c_str(), &scanned), 0);
    pid_t child = fork_child([&dir, &scanned] {
        for (int fd = 0; fd <= 2; ++fd) close(fd);
        load_vantrel();
        std::atomic<bool> done{false};
        std::atomic<int> read_through{-1};
        std::thread watcher([&] {
            while (!done) {
                // System calls of its own, which ThreadSanitizer does not
                // take for uses of the library's descriptors.
                for (int fd = 0; fd <= 2; ++fd) {
                    struct stat named;
                    if (syscall(SYS_fstat, fd, &named) == 0 && named.st_ino == scanned.st_ino &&
                        named.st_dev == scanned.st_dev && syscall(SYS_lseek, fd, 0, SEEK_CUR) > 0)
                        read_through = fd;
                }
            }
        });
        g_vantrel.lsp_set_executable_path(VANTREL_FAKE_SERVER);
        for (int i = 0; i < 10; ++i) scan(dir / "a.py");
        ask_references(dir / "a.py", 0, 4, 1);
        std::vector<Answer> answers = wait_for_answers(1);
        int held = -1;
        for (int fd = 0; fd <= 2; ++fd) {
            if (fcntl(fd, F_GETFD) != -1) held = fd;
        }
        g_vantrel.enqueue_stop();
        done = true;
        watcher.join();
        if (read_through != -1) return READ_THROUGH_0 + read_through;
        if (held != -1) return HELD_0 + held;
        return answers.size() == 1 && answers[0].count == 2 ? 0 : NOT_SERVED;
    });
    std::optional<int> status = status_of(child, std::chrono::seconds(60));
    EXPECT_TRUE(exited_with(status, 0)) << "the child's status: " << status.value_or(-1);
}

}  // namespace
