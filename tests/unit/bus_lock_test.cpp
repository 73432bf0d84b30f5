// The Super I/O claim on Linux, against another process that holds the
// lock file: real processes and real time, hence an integration test.
#include "platform/bus_lock_posix.h"
#include "platform/export_lock.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace cashdrawer {
namespace {

std::string LockPath() {
    return (std::filesystem::temp_directory_path() / ("cashdrawer-bus-" + std::to_string(::getpid()))).string();
}

TEST(SuperIoBusLock, TakesTurnsWithAnotherProcessAndGivesUpAfterTheWait) {
    const std::string path = LockPath();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        // A sensor tool that takes the lock and keeps it for 1.5 s.
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0666);
        ::flock(fd, LOCK_EX);
        (void)!::write(ready[1], "x", 1);
        ::usleep(1500 * 1000);
        std::_Exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    FlockBusLock ours(path);
    EXPECT_FALSE(ours.Acquire()) << "held elsewhere beyond the 500 ms wait";
    EXPECT_EQ(ours.WhyNotHeld(), "held by another program (a lock on " + path + ") for more than 500 ms");
    int status = 0;
    ::waitpid(holder, &status, 0);
    EXPECT_TRUE(ours.Acquire()) << "free once the holder has gone";
    // While we hold it, another claimant waits in vain.
    FlockBusLock theirs(path);
    EXPECT_FALSE(theirs.Acquire());
    ours.Release();
    EXPECT_TRUE(theirs.Acquire());
    // A second release gives back nothing more: the descriptor number it
    // had is likely theirs now, and closing it would free their claim.
    ours.Release();
    FlockBusLock third(path);
    EXPECT_FALSE(third.Acquire()) << "still held by theirs";
    theirs.Release();
    ::close(ready[0]);
    ::close(ready[1]);
    std::filesystem::remove(path);
}

// An application that forks while it holds the claim (a helper process
// inherits the lock's descriptor) still frees the claim when it releases.
TEST(SuperIoBusLock, AReleaseFreesTheClaimThoughAForkedHelperSharesItsDescriptor) {
    const std::string path = LockPath() + "-fork";
    FlockBusLock ours(path);
    ASSERT_TRUE(ours.Acquire());
    int done[2];
    ASSERT_EQ(::pipe(done), 0);
    const pid_t helper = ::fork();
    if (helper == 0) {
        char byte = 0;
        (void)!::read(done[0], &byte, 1); // keeps the inherited descriptor until told
        std::_Exit(0);
    }
    ours.Release();
    FlockBusLock theirs(path);
    EXPECT_TRUE(theirs.Acquire()) << theirs.WhyNotHeld();
    (void)!::write(done[1], "x", 1);
    ::waitpid(helper, nullptr, 0);
    theirs.Release();
    ::close(done[0]);
    ::close(done[1]);
    std::filesystem::remove(path);
}

// A service started without standard input opens the lock file as
// descriptor 0: a claim like any other, and given back like any other.
TEST(SuperIoBusLock, ALockOnDescriptorZeroIsAClaimAndIsGivenBack) {
    const std::string path = LockPath() + "-fd0";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(STDIN_FILENO);
        FlockBusLock first(path);
        const bool taken = first.Acquire();
        first.Release();
        // Another open of the file, now made: refused if the first still
        // held it, and again on descriptor 0, which it gives back too.
        FlockBusLock next(path);
        const bool retaken = next.Acquire();
        next.Release();
        const bool givenBack = ::fcntl(STDIN_FILENO, F_GETFD) == -1 && errno == EBADF;
        std::_Exit(taken && retaken ? (givenBack ? 0 : 2) : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a claim refused; 2: descriptor 0 left open after the release";
    std::filesystem::remove(path);
}

// The first claimant (root, with a strict umask) makes the file; a plain
// account, which may only read it, still takes the lock and is refused
// while root holds it.
TEST(SuperIoBusLock, AnyAccountTakesTheLockOnAFileAnotherMade) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make the file as one account and claim it as another";
    }
    const std::string folder = LockPath() + "-dir";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0); // as /run/lock is
    const std::string path = folder + "/cashdrawer-superio.lock";
    const mode_t previous = ::umask(077);
    FlockBusLock root(path);
    ASSERT_TRUE(root.Acquire());
    ::umask(previous);
    struct stat made {};
    ASSERT_EQ(::stat(path.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 0777, 0644u);

    // As nobody: refused while root holds the lock (so it did reach the
    // lock), then granted once root lets go.
    const auto claimAsNobody = [&](int expectHeld) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                std::_Exit(3);
            }
            FlockBusLock nobody(path);
            const bool held = nobody.Acquire();
            std::_Exit(held == (expectHeld != 0) ? 0 : (nobody.WhyNotHeld().find("cannot be opened") != std::string::npos ? 4 : 5));
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(claimAsNobody(0), 0) << "4: the file could not be opened";
    root.Release();
    EXPECT_EQ(claimAsNobody(1), 0) << "4: the file could not be opened";
    std::filesystem::remove_all(folder);
}

TEST(SuperIoBusLock, ALockFileThatCannotBeMadeIsNoClaimAndNoWait) {
    FlockBusLock nowhere("/nonexistent-folder/cashdrawer-superio.lock");
    EXPECT_FALSE(nowhere.Acquire());
    // Not "held by another program": nobody holds it, it cannot be made.
    EXPECT_EQ(nowhere.WhyNotHeld(), "the lock file /nonexistent-folder/cashdrawer-superio.lock cannot be opened "
                                    "(No such file or directory), so the sequences run without the claim");
    nowhere.Release(); // harmless
}

// A caller whose call ends and who calls again at once (back-to-back
// kicks) must not overtake callers already waiting: they are served in the
// order they came.
TEST(ExportLock, ACallerThatComesBackAtOnceDoesNotOvertakeThoseWaiting) {
    std::mutex guard;
    std::string order;
    const auto served = [&](char who) {
        std::lock_guard<std::mutex> hold(guard);
        order += who;
    };
    // Up to 10 s for a thread to come to the lock, however loaded the machine.
    const auto waitForWaiting = [](int count) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ExportLock::CallersWaiting() < count && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return ExportLock::CallersWaiting() == count;
    };
    std::optional<ExportLock> first(std::in_place);
    served('A');
    std::thread b([&] {
        ExportLock lock;
        served('B');
    });
    ASSERT_TRUE(waitForWaiting(1));
    std::thread c([&] {
        ExportLock lock;
        served('C');
    });
    ASSERT_TRUE(waitForWaiting(2));
    first.reset();
    {
        ExportLock again;
        served('A');
    }
    b.join();
    c.join();
    EXPECT_EQ(order, "ABCA");
    EXPECT_EQ(ExportLock::CallersWaiting(), 0);
}

} // namespace
} // namespace cashdrawer
