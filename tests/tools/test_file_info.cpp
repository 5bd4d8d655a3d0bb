// Whole-file reads refuse what is not a bounded regular file, without
// blocking on it; whole-file writes are all or nothing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "tools/ovxFileInfo.h"

using namespace ovxToolsLib;

TEST(FileInfo, OnlyABoundedRegularFileIsRead) {
    ovxTest::TempDir temp("ovx-file");
    const std::string dir = temp.path(), file = temp / "f", fifo = temp / "p";
    int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    std::string text;
    EXPECT_TRUE(ReadRegularFile(fd, 0, text));  // empty
    EXPECT_EQ("", text);
    ASSERT_EQ(5, write(fd, "a\0bcd", 5));  // the read starts at 0, wherever the offset is
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(ReadRegularFile(fd, 5, bytes));
    EXPECT_EQ((std::vector<unsigned char>{'a', 0, 'b', 'c', 'd'}), bytes);
    EXPECT_FALSE(ReadRegularFile(fd, 4, text));  // one byte over the limit
    close(fd);
    EXPECT_FALSE(ReadRegularFile(-1, 100, text));

    // A FIFO with no writer and a folder are refused at once.
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    for (const std::string& path : {fifo, dir}) {
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << path;
        EXPECT_FALSE(ReadRegularFile(fd, 100, text)) << path;
        close(fd);
    }
}

// A whole-file write replaces the file or leaves it as it was, with no
// temporary file left behind either way.
TEST(FileInfo, AWholeFileWriteReplacesTheFileOrLeavesItAlone) {
    ovxTest::TempDir temp("ovx-write");
    const std::string file = temp / "settings.ini";
    ASSERT_EQ(0, WriteFileAtomically(file, "first"));
    ASSERT_EQ(0, WriteFileAtomically(file, std::string(100000, 'x') + "second"));
    EXPECT_EQ(std::string(100000, 'x') + "second", ovxTest::ReadText(file));
    using std::filesystem::perms;
    EXPECT_EQ(perms::owner_read | perms::owner_write, std::filesystem::status(file).permissions());
    ASSERT_EQ(0, WriteFileAtomically(file, ""));
    EXPECT_EQ("", ovxTest::ReadText(file));

    EXPECT_EQ(EINVAL, WriteFileAtomically("", "x"));
    EXPECT_EQ(ENOENT, WriteFileAtomically(temp / "missing/settings.ini", "x"));
    // A folder in the way: the rename fails and the temporary file goes.
    ASSERT_EQ(0, mkdir((temp / "taken").c_str(), 0700));
    EXPECT_EQ(EISDIR, WriteFileAtomically(temp / "taken", "x"));
    // settings.ini and the folder
    EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(temp.path()), {}));

    // A name without a folder is written where we are.
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(temp.path());
    EXPECT_EQ(0, WriteFileAtomically("here.ini", "h"));
    std::filesystem::current_path(cwd);
    EXPECT_EQ("h", ovxTest::ReadText(temp / "here.ini"));
}
