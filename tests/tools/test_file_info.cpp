// Whole-file reads refuse what is not a bounded regular file, without
// blocking on it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "tools/ovxFileInfo.h"

using ovxToolsLib::ReadRegularFile;

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
    fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(ReadRegularFile(fd, 100, text));
    close(fd);
    fd = open(dir.c_str(), O_RDONLY);
    EXPECT_FALSE(ReadRegularFile(fd, 100, text));
    close(fd);
}
