// Scans too large for memory or too long to wait for, through the loaded
// library: a file whose parse would take more memory than the process may
// have is indexed as empty and the host goes on; a stop cuts the scan in
// progress short, whatever is being scanned.
#include <sys/resource.h>

#include <random>

#include "host_support.h"

namespace {

constexpr size_t MEGABYTE = size_t{1} << 20;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

size_t address_space_in_use() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Lowers the soft RLIMIT_AS for the test, and puts it back after.
class Address_Space_Limit {
public:
    explicit Address_Space_Limit(rlim_t bytes) {
        getrlimit(RLIMIT_AS, &before_);
        rlimit limit = before_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_AS, &limit);
    }
    ~Address_Space_Limit() { setrlimit(RLIMIT_AS, &before_); }

private:
    rlimit before_;
};

// Each "([" opens two levels: a parse holds about 250 bytes per byte of it.
std::string deeply_nested(size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += "([";
    return text;
}

// Bytes that are no language: tree-sitter takes a second or more per
// megabyte, going from error to error.
std::string random_bytes(size_t bytes) {
    std::mt19937 random(11);
    std::string text(bytes, '\0');
    for (char& byte : text) byte = static_cast<char>(random());
    return text;
}

using Host_Long_Scan_Test = Host_Test;

// Parsing the 4 MB file needs about a gigabyte; the process may have 768 MB
// more than it holds.
TEST_F(Host_Long_Scan_Test, FileTooLargeToParseUnderTheAddressSpaceLimitIsIndexedAsEmpty) {
    if (SANITIZED) GTEST_SKIP() << "RLIMIT_AS cannot be lowered under a sanitizer's shadow memory";
    std::string big = dir / "big.py";
    write_file(big, "def big():\n    pass\n" + deeply_nested(4 * MEGABYTE));
    std::string first = dir / "first.py";
    write_file(first, "def first():\n    pass\n");
    scan(first);
    {
        Address_Space_Limit limit(address_space_in_use() + 768 * MEGABYTE);
        enqueue_scan(big, log_scan, 1);
        ASSERT_TRUE(idle());
        std::string later = dir / "later.py";
        write_file(later, "def later():\n    pass\n");
        scan(later);
        EXPECT_EQ(find_links("big first later").size(), 2u);
    }
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{1}));
}

// The parse of 16 MB of random bytes as C++ takes half a minute or more.
TEST_F(Host_Long_Scan_Test, StopDuringALongParseEndsTheScanAndCallsItsCallback) {
    std::string path = dir / "random.cpp";
    write_file(path, random_bytes(16 * MEGABYTE));
    enqueue_scan(path, log_scan, 1, VANTREL_CPP);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(stop_returns(std::chrono::seconds(5)));
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{1}));
}

}  // namespace
