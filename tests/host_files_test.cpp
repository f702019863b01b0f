// How a scan reads its file: to the end, whatever size the file showed when it
// was opened (a /proc file shows 0; a file may grow while it is read), and
// not at all when the file is 4 GiB or more; no further than the parse budget,
// past which the file is indexed as empty; and what the scan buffer keeps
// afterwards.
//
// This program calls the library linked into it rather than a loaded copy, so
// that its own fstat, below, is the one the library calls: it can make the
// file grow right after the library has taken its size.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "host_support.h"
#include "memory_support.h"
#include "scanner.h"

// The worker's index, in the library linked into this program. Looked at only
// while the worker is idle.
extern Scanner& g_scanner;

namespace {

// The file (device and inode) to which fstat appends g_growth first.
std::atomic<dev_t> g_growing_device = 0;
std::atomic<ino_t> g_growing_inode = 0;
std::string g_growth;
std::string g_growing_path;

bool is_growing_file(const struct stat& status) {
    return g_growing_inode != 0 && status.st_ino == g_growing_inode && status.st_dev == g_growing_device;
}

}  // namespace

extern "C" int fstat(int descriptor, struct stat* status) noexcept {
    int result = static_cast<int>(syscall(SYS_fstat, descriptor, status));
    if (result == 0 && is_growing_file(*status)) {
        g_growing_inode = 0;
        std::ofstream(g_growing_path, std::ios::binary | std::ios::app) << g_growth;
    }
    return result;
}

namespace {

// Binds the test host's calls to the library linked into this program.
void use_linked_library() {
    g_vantrel.lsp_set_executable_path = ::lsp_set_executable_path;
    g_vantrel.start_workers = ::start_workers;
    g_vantrel.enqueue_scan_file = ::enqueue_scan_file;
    g_vantrel.enqueue_find_symbols_in_text = ::enqueue_find_symbols_in_text;
    g_vantrel.enqueue_lsp_find_references = ::enqueue_lsp_find_references;
    g_vantrel.enqueue_clear = ::enqueue_clear;
    g_vantrel.enqueue_stop = ::enqueue_stop;
    g_vantrel.get_pending_tasks_count = ::get_pending_tasks_count;
    g_vantrel.free_memory = ::free_memory;
}

// Bytes this process has read so far, from /proc/self/io.
uint64_t bytes_read() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") return value;
    }
    return 0;
}

class Host_Files_Test : public testing::Test {
protected:
    Temp_Dir dir;
    Parse_Limits limits = g_parse_limits;

    void SetUp() override { use_linked_library(); }
    void TearDown() override {
        EXPECT_TRUE(stop_returns());
        g_parse_limits = limits;
    }

    // Makes a file grow by growth once the scan has taken its size.
    void grow_when_scanned(const std::string& path, const std::string& growth) {
        g_growing_path = path;
        g_growth = growth;
        struct stat status;
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        g_growing_device = status.st_dev;
        g_growing_inode = status.st_ino;
    }
};

// A statement of one string, megabytes long, that parses into a few nodes.
std::string long_string(size_t megabytes) {
    return "text = '" + std::string(megabytes * MEGABYTE, 'x') + "'\n";
}

TEST_F(Host_Files_Test, FileThatGrowsAfterItsSizeWasTakenIsReadToItsEnd) {
    std::string path = dir / "growing.py";
    write_file(path, "def first():\n    pass\n");
    grow_when_scanned(path, "def appended():\n    pass\n");
    scan(path);
    EXPECT_EQ(g_growing_inode, 0u) << "the scan took no size of the file";
    EXPECT_EQ(find_links("first appended").size(), 2u);
}

// The kernel shows a size of 0 for the files of /proc; the process's name is
// one that a test can set.
TEST_F(Host_Files_Test, ProcFileThatShowsSizeZeroIsReadToItsEnd) {
    ASSERT_EQ(pthread_setname_np(pthread_self(), "class Q: pass"), 0);
    scan("/proc/self/comm");
    std::vector<Link> links = find_links("Q");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0], (Link{0, 1, "/proc/self/comm", 0, 6}));
}

// A sparse file: 5 GiB long, holding blocks only for its first line.
TEST_F(Host_Files_Test, FileOf4GiBOrMoreIsNotReadAndIsIndexedAsEmpty) {
    std::string path = dir / "huge.py";
    write_file(path, "def huge():\n    pass\n");
    ASSERT_EQ(truncate(path.c_str(), off_t{5} << 30), 0);
    uint64_t read_before = bytes_read();
    scan(path);
    EXPECT_LT(bytes_read() - read_before, uint64_t{1} << 20);
    EXPECT_TRUE(find_links("huge").empty());
}

TEST_F(Host_Files_Test, ScanBufferOfALargeFileIsGivenBackOnceTheFileIsScanned) {
    std::string path = dir / "large.py";
    write_file(path, "def large():\n    pass\n" + long_string(6));
    scan(path);
    EXPECT_EQ(find_links("large").size(), 1u);
    EXPECT_LE(g_scanner.file_buffer.capacity(), 4 * MEGABYTE);
}

// How a file turns out longer than the budget: its size says so when it is
// opened, it grows once its size was taken, or it shows size 0 and reads on
// for hundreds of gigabytes (/proc/self/pagemap, eight bytes a page of the
// address space).
struct Long_File {
    const char* name;
    bool grows;
    bool endless;
};

std::ostream& operator<<(std::ostream& out, const Long_File& file) { return out << file.name; }

class Longer_Than_The_Budget : public Host_Files_Test, public testing::WithParamInterface<Long_File> {
protected:
    std::string write_long_file() {
        if (GetParam().endless) return "/proc/self/pagemap";
        std::string path = dir / "long.py";
        std::string start = "def long():\n    pass\n";
        write_file(path, GetParam().grows ? start : start + long_string(3));
        if (GetParam().grows) grow_when_scanned(path, long_string(3));
        return path;
    }
};

// The budget leaves a megabyte to the parse, whose tree for the file written
// would hold a few kilobytes.
TEST_P(Longer_Than_The_Budget, FileIsIndexedAsEmptyWithoutBeingReadThrough) {
    scan(dir / "missing.py");
    g_parse_limits.memory_budget = parse_memory_held() + MEGABYTE;
    std::string path = write_long_file();
    uint64_t read_before = bytes_read();
    scan(path);
    EXPECT_LT(bytes_read() - read_before, 2 * MEGABYTE);
    EXPECT_TRUE(find_links("long").empty());
}

INSTANTIATE_TEST_SUITE_P(Host_Files, Longer_Than_The_Budget,
                         testing::Values(Long_File{"WhenOpened", false, false},
                                         Long_File{"OnceItsSizeWasTaken", true, false},
                                         Long_File{"ReadingOnForEver", false, true}),
                         [](const testing::TestParamInfo<Long_File>& info) { return std::string(info.param.name); });

}  // namespace
