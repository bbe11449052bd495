// The diagnostic log lives in a folder everyone can write to: it must stay the owner's alone.
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <filesystem>
#include <future>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/linux/common/PosixFacilities.h"

namespace {

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

mode_t permissions(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(LogFileTest, TheLogIsTheOwnersAloneAndNeverWrittenThroughALinkOrIntoAnotherUsersFile) {
    char pattern[] = "/tmp/ws-logfile.XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string log = dir + "/agent.log";
    linuxplatform::PosixFiles files(dir);

    const mode_t oldMask = ::umask(0);
    EXPECT_TRUE(files.appendLog(log, "one\n"));
    ::umask(oldMask);
    EXPECT_EQ(permissions(log), 0600u);

    // A log of ours that others could read (an older run, a hand-made file) is closed to them first.
    ASSERT_EQ(::chmod(log.c_str(), 0644), 0);
    EXPECT_TRUE(files.appendLog(log, "two\n"));
    EXPECT_EQ(permissions(log), 0600u);
    EXPECT_EQ(contents(log), "one\ntwo\n");

    // A link planted in the log's place is never followed.
    const std::string link = dir + "/link.log";
    fs::create_symlink(log, link);
    EXPECT_FALSE(files.appendLog(link, "three\n"));
    EXPECT_EQ(contents(log), "one\ntwo\n");

    if (::getuid() == 0) {
        const std::string theirs = dir + "/theirs.log";
        std::ofstream(theirs) << "theirs\n";
        ASSERT_EQ(::chmod(theirs.c_str(), 0644), 0);
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(files.appendLog(theirs, "ours\n"));
        EXPECT_EQ(contents(theirs), "theirs\n");
        EXPECT_EQ(permissions(theirs), 0644u);
    }
    fs::remove_all(dir);
}

TEST(LogFileTest, AShortWriteLeavesNoPartOfTheLine) {
    char pattern[] = "/tmp/ws-logfile.XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string log = dir + "/agent.log";
    linuxplatform::PosixFiles files(dir);
    ASSERT_TRUE(files.appendLog(log, "one\n"));

    // A file size limit stands in for a full disk: the next write stops after 6 of its bytes.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit tight = old;
    tight.rlim_cur = 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool written = files.appendLog(log, "a line too long to fit\n");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(written);
    EXPECT_EQ(contents(log), "one\n");
    EXPECT_TRUE(files.appendLog(log, "two\n"));
    EXPECT_EQ(contents(log), "one\ntwo\n");
    fs::remove_all(dir);
}

TEST(LogFileTest, ReadingAFifoOrAFolderNeverBlocks) {
    char pattern[] = "/tmp/ws-readfile.XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    const std::string fifo = dir + "/backend.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    linuxplatform::PosixFiles files(dir);
    auto read = std::async(std::launch::async, [&] { return files.readFile(fifo); });
    const bool finished = read.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    if (!finished) {
        // Let the stuck reader go, so that the test ends.
        const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (unblock >= 0) ::close(unblock);
    }
    EXPECT_TRUE(finished);
    EXPECT_FALSE(read.get());
    EXPECT_FALSE(files.readFile(dir));
    std::ofstream(dir + "/plain.txt") << "http://127.0.0.1:5055\n";
    EXPECT_EQ(files.readFile(dir + "/plain.txt"), "http://127.0.0.1:5055\n");
    fs::remove_all(dir);
}

}  // namespace
