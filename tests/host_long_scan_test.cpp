// Scans too large for memory or too long to wait for, through the loaded
// library: a file whose parse would take more memory than the process may
// have is indexed as empty and the host goes on; a stop cuts the scan in
// progress short, whatever is being scanned.
#include "host_support.h"
#include "memory_support.h"

namespace {

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
