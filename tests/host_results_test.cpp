// What the host receives: the record array and string buffer of a find, what
// a scan does to the index, and which odd arguments are accepted.
#include <sys/stat.h>

#include "host_support.h"

namespace {

using Host_Results_Test = Host_Test;

// The blocks of one find callback, kept as received.
struct Raw_Result {
    Host_Definition_Link* links = nullptr;
    uint64_t count = 0;
    char* strings = nullptr;
};

void keep_blocks(uint64_t context, Host_Definition_Link* links, uint64_t count, char* strings) {
    object_of<Raw_Result>(context) = {links, count, strings};
}

TEST_F(Host_Results_Test, LinksIntoOneFileEachGetTheirOwnCopyOfThePath) {
    std::string path = dir / "shapes.py";
    write_file(path, "import os\n\nclass Beta:\n    def alpha(self):\n        pass\n");
    scan(path);
    std::string text = "alpha Beta alpha";
    Raw_Result result;
    g_vantrel.enqueue_find_symbols_in_text(keep_blocks, context_of(&result), text.data(),
                                           static_cast<uint32_t>(text.size()), false, true, nullptr, 0);
    ASSERT_EQ(result.count, 3u);
    const char* expected = result.strings;
    for (uint64_t i = 0; i < result.count; ++i) {
        EXPECT_EQ(result.links[i].path, expected) << "record " << i;
        EXPECT_STREQ(result.links[i].path, path.c_str());
        expected += path.size() + 1;
    }
    Host_Definition_Link* links = result.links;
    EXPECT_EQ(std::tie(links[0].start, links[0].end, links[0].row, links[0].column),
              std::make_tuple(0u, 5u, 3u, 8u));
    EXPECT_EQ(std::tie(links[1].start, links[1].end, links[1].row, links[1].column),
              std::make_tuple(6u, 10u, 2u, 6u));
    EXPECT_EQ(std::tie(links[2].start, links[2].end, links[2].row, links[2].column),
              std::make_tuple(11u, 16u, 3u, 8u));
    g_vantrel.free_memory(result.links);
    g_vantrel.free_memory(result.strings);
}

TEST_F(Host_Results_Test, FindWithoutMatchesCallsBackOnceWithNoBlocks) {
    Raw_Result result{reinterpret_cast<Host_Definition_Link*>(1), 99, reinterpret_cast<char*>(1)};
    g_vantrel.enqueue_find_symbols_in_text(keep_blocks, context_of(&result), "nothing here", 12,
                                           false, true, nullptr, 0);
    EXPECT_EQ(result.links, nullptr);
    EXPECT_EQ(result.count, 0u);
    EXPECT_EQ(result.strings, nullptr);
}

TEST_F(Host_Results_Test, PreferredPathsWithBackslashesSelectTheirDefinition) {
    std::string first = dir / "a.py";
    std::string second = dir / "b.py";
    write_file(first, "def alpha():\n    pass\n");
    write_file(second, "\ndef alpha():\n    pass\n");
    scan(first);
    scan(second);
    std::string backslashed = second;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    EXPECT_EQ(find_links("alpha"), (std::vector<Link>{{0, 5, first, 0, 4}}));
    EXPECT_EQ(find_links("alpha", {backslashed}), (std::vector<Link>{{0, 5, second, 1, 4}}));
}

TEST_F(Host_Results_Test, ScanOfAMissingFileCallsBackAndRemovesItsDefinitions) {
    std::string path = dir / "gone.py";
    write_file(path, "def alpha():\n    pass\n");
    scan(path);
    ASSERT_EQ(find_links("alpha").size(), 1u);
    std::filesystem::remove(path);
    enqueue_scan(path, log_scan, 7);
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{7}));
    EXPECT_TRUE(find_links("alpha").empty());
}

TEST_F(Host_Results_Test, RescanReplacesTheDefinitionsOfAFile) {
    std::string path = dir / "m.py";
    write_file(path, "def alpha():\n    pass\n");
    scan(path);
    write_file(path, "def beta():\n    pass\n");
    scan(path);
    EXPECT_EQ(find_links("alpha beta"), (std::vector<Link>{{6, 10, path, 0, 4}}));
}

TEST_F(Host_Results_Test, ScanWithoutCallbackIsHandledInFull) {
    std::string path = dir / "quiet.py";
    write_file(path, "def alpha():\n    pass\n");
    enqueue_scan(path);
    ASSERT_TRUE(idle());
    EXPECT_EQ(find_links("alpha").size(), 1u);
}

TEST_F(Host_Results_Test, DirectoryIsIndexedAsAnEmptyFile) {
    enqueue_scan(dir.path, log_scan, 7);
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{7}));
}

TEST_F(Host_Results_Test, FifoIsNotReadSoTheWorkerNeverBlocksOnIt) {
    std::string fifo = dir / "pipe.py";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    enqueue_scan(fifo, log_scan, 7);
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{7}));
}

TEST_F(Host_Results_Test, PathWithANulByteNamesNoFile) {
    std::string path = dir / "a.py";
    write_file(path, "def alpha():\n    pass\n");
    std::string with_nul = path + std::string(1, '\0') + "tail";
    g_vantrel.enqueue_scan_file(nullptr, 0, with_nul.data(), static_cast<uint32_t>(with_nul.size()),
                                VANTREL_PYTHON);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(find_links("alpha").empty());
}

TEST_F(Host_Results_Test, FindWithNullCallbackHasNoEffect) {
    size_t threads = thread_count();
    g_vantrel.enqueue_find_symbols_in_text(nullptr, 0, "alpha", 5, false, true, nullptr, 0);
    EXPECT_EQ(g_vantrel.get_pending_tasks_count(), 0u);
    EXPECT_EQ(thread_count(), threads);
}

TEST_F(Host_Results_Test, EmptyTextAndNoPreferredPathsMayBeNull) {
    Find_Result result;
    g_vantrel.enqueue_find_symbols_in_text(collect_links, context_of(&result), nullptr, 0, false,
                                           true, nullptr, 0);
    EXPECT_EQ(result.calls, 1);
}

TEST_F(Host_Results_Test, EmptyPathIsScannedLikeAMissingFile) {
    g_vantrel.enqueue_scan_file(log_scan, 7, nullptr, 0, VANTREL_PYTHON);
    ASSERT_TRUE(idle());
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{7}));
}

TEST_F(Host_Results_Test, NullPointersWithNonZeroLengthsAreReadAsEmpty) {
    Find_Result result;
    String_Ref null_path{nullptr, 10};
    g_vantrel.enqueue_find_symbols_in_text(collect_links, context_of(&result), nullptr, 10, false,
                                           true, &null_path, 1);
    g_vantrel.enqueue_scan_file(log_scan, 7, nullptr, 10, VANTREL_PYTHON);
    ASSERT_TRUE(idle());
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(logged_calls(), (std::vector<uint64_t>{7}));
}

TEST_F(Host_Results_Test, LanguageOutsideTheTableIsParsedAsPython) {
    std::string path = dir / "script";
    write_file(path, "def alpha():\n    pass\n");
    enqueue_scan(path, nullptr, 0, 99);
    ASSERT_TRUE(idle());
    EXPECT_EQ(find_links("alpha").size(), 1u);
}

}  // namespace
