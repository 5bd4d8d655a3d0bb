// Whole-file reads refuse what is not a bounded regular file, without
// blocking on it; whole-file writes are all or nothing.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <iterator>

#include "support/Checks.h"
#include "support/TestFiles.h"
#include "tools/ovxFileInfo.h"

using namespace ovxToolsLib;
using ovxTest::Joined;
using ovxTest::ReadText;

TEST(FileInfo, OnlyABoundedRegularFileIsRead) {
    ovxTest::TempDir temp("ovx-file");
    const std::string dir = temp.path(), file = temp / "f", fifo = temp / "p";
    int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    std::string text;
    EXPECT_EQ("1 ", Joined({ReadRegularFile(fd, 0, text), text}));  // empty
    ASSERT_EQ(5, write(fd, "a\0bcd", 5));                           // the read starts at 0, wherever the offset is
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(ReadRegularFile(fd, 5, bytes));
    EXPECT_EQ((std::vector<unsigned char>{'a', 0, 'b', 'c', 'd'}), bytes);
    // One byte over the limit; no file.
    EXPECT_EQ("0 0", Joined({ReadRegularFile(fd, 4, text), ReadRegularFile(-1, 100, text)}));
    close(fd);

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
    EXPECT_EQ("0 " + std::string(100000, 'x') + "second",
              Joined({WriteFileAtomically(file, std::string(100000, 'x') + "second"), ReadText(file)}));
    using std::filesystem::perms;
    EXPECT_EQ(perms::owner_read | perms::owner_write, std::filesystem::status(file).permissions());
    EXPECT_EQ("0 ", Joined({WriteFileAtomically(file, ""), ReadText(file)}));

    EXPECT_EQ(Joined({EINVAL, ENOENT}),
              Joined({WriteFileAtomically("", "x"), WriteFileAtomically(temp / "missing/settings.ini", "x")}));
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
    EXPECT_EQ("h", ReadText(temp / "here.ini"));
}
