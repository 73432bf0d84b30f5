// The Linux hardware backends: port I/O through iopl and the in/out
// instructions, board I/O through /dev/mem. The privilege calls are handed
// in where a test needs a refusal; the mapping code runs on a regular file
// that stands for physical memory. Only the POST diagnostic port 0x80 is
// ever touched for real, and only where the kernel grants the privilege.
#include "cli/backend_native.h"
#include "cli/cli_app.h"
#include "hardware/board_io_devmem.h"
#include "hardware/memory_gpio.h"
#include "hardware/port_io_linux.h"
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/io.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cashdrawer {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// --- Port I/O -------------------------------------------------------------

// Every level asked for, and the errno the stand-in answers with (0: grant).
std::vector<int> g_levelsAsked;
int g_refusal = 0;

int StandInIopl(int level) {
    g_levelsAsked.push_back(level);
    if (g_refusal != 0) {
        errno = g_refusal;
        return -1;
    }
    return 0;
}

class LinuxPorts : public ::testing::Test {
protected:
    void SetUp() override {
        g_levelsAsked.clear();
        g_refusal = 0;
        folder_ = std::filesystem::temp_directory_path() / ("cashdrawer-linuxhw-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string WriteFile(const char* name, const std::string& text) {
        const std::filesystem::path path = folder_ / name;
        std::ofstream(path) << text;
        return path.string();
    }

    std::filesystem::path folder_;
};

TEST_F(LinuxPorts, TheBracketRaisesTheLevelToThreeAndDropsItToZero) {
    LinuxPortIo io(&StandInIopl, (folder_ / "no-lockdown").string());
    {
        PortIoBracket bracket(io);
        EXPECT_TRUE(bracket.Ready());
        EXPECT_EQ(g_levelsAsked, (std::vector<int>{3}));
    }
    EXPECT_EQ(g_levelsAsked, (std::vector<int>{3, 0}));
}

TEST_F(LinuxPorts, ARefusalOpensNoBracketAndSaysWhatIsMissing) {
    struct Case {
        int error;
        const char* lockdown; // the lockdown file's text; null: no such file
        const char* says;
    };
    const Case cases[] = {
        {EPERM, nullptr, "needs root or the CAP_SYS_RAWIO capability"},
        {ENOSYS, nullptr, "built without CONFIG_X86_IOPL_IOPERM"},
        {EPERM, "none integrity [confidentiality]\n", "locked down (confidentiality)"},
        {EPERM, "[none] integrity confidentiality\n", "needs root"},
        {EINVAL, nullptr, "iopl(3) was refused (Invalid argument)"},
    };
    for (const Case& c : cases) {
        g_levelsAsked.clear();
        g_refusal = c.error;
        const std::string lockdown =
            c.lockdown != nullptr ? WriteFile("lockdown", c.lockdown) : (folder_ / "absent").string();
        LinuxPortIo io(&StandInIopl, lockdown);
        {
            PortIoBracket bracket(io);
            EXPECT_FALSE(bracket.Ready());
            EXPECT_EQ(bracket.Start(), Result::LibraryMissing);
        }
        // Nothing was granted, so nothing is given back.
        EXPECT_EQ(g_levelsAsked, (std::vector<int>{3})) << c.says;
        EXPECT_TRUE(Contains(io.Diagnosis(), "iopl(3) was refused")) << io.Diagnosis();
        EXPECT_TRUE(Contains(io.Diagnosis(), c.says)) << io.Diagnosis();
    }
}

// The one real port access of the suite: the POST code port, which the
// kernel itself writes for I/O delays. Needs root (or CAP_SYS_RAWIO) and a
// kernel that grants iopl.
TEST_F(LinuxPorts, WithThePrivilegeThePostPortIsReachedAndGivenBackAfter) {
    LinuxPortIo io;
    if (io.Initialize() != Result::Ok) {
        GTEST_SKIP() << "no port I/O privilege here: " << io.Diagnosis();
    }
    io.Write(0x80, 0x5A, PortWidth::Byte);
    const uint32_t read = io.Read(0x80, PortWidth::Byte);
    EXPECT_LE(read, 0xFFu);
    io.Shutdown();
    // With the level back at 0, an in instruction faults.
    EXPECT_DEATH(static_cast<void>(::inb(0x80)), "");
}

// --- Board I/O ------------------------------------------------------------

constexpr uint32_t kStatusA = 0xFDAE0500;
constexpr uint32_t kOutputA = 0xFDAE0670;
constexpr uint32_t kStatusB = 0xFDAE04F8;

// A sparse file as large as the registers' page needs: physical memory in
// a file, read and written at the registers' offsets.
class PhysicalMemoryFile {
public:
    PhysicalMemoryFile(const std::filesystem::path& path, uint64_t size) : path_(path.string()) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(::ftruncate(fd_, static_cast<off_t>(size)), 0);
    }
    ~PhysicalMemoryFile() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    void Poke(uint32_t address, uint32_t value) {
        EXPECT_EQ(::pwrite(fd_, &value, sizeof value, address), static_cast<ssize_t>(sizeof value));
    }
    uint32_t Peek(uint32_t address) const {
        uint32_t value = 0;
        EXPECT_EQ(::pread(fd_, &value, sizeof value, address), static_cast<ssize_t>(sizeof value));
        return value;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

class DevMem : public LinuxPorts {
protected:
    sim::AccessLog log_;
    sim::VirtualClock clock_{log_};
    MemoryGpioState state_;
};

TEST_F(DevMem, AKickDrivesTheMappedRegistersAndLeavesTheOtherBitsAlone) {
    PhysicalMemoryFile memory(folder_ / "mem", 0xFDAE1000);
    memory.Poke(kStatusA, 0x12345670);
    memory.Poke(kOutputA, 0xFFFFFFFE);
    DevMemBoardIo board(memory.Path());
    MemoryGpioDrawers drawers(board, clock_, state_);

    ASSERT_EQ(drawers.KickMemoryGpio(DrawerLetter::A), Result::Ok) << board.Diagnosis();
    EXPECT_EQ(memory.Peek(kStatusA), 0x12345671u); // sense line enabled
    EXPECT_EQ(memory.Peek(kOutputA), 0xFFFFFFFFu); // pulsed, and back high
    EXPECT_EQ(state_.boardIoHandle, 0u);
}

TEST_F(DevMem, TheStatusIsTheSenseBitOfTheMappedRegister) {
    PhysicalMemoryFile memory(folder_ / "mem", 0xFDAE1000);
    DevMemBoardIo board(memory.Path());
    MemoryGpioDrawers drawers(board, clock_, state_);
    memory.Poke(kStatusB, 0x2);
    EXPECT_EQ(drawers.ReadMemoryGpioStatus(DrawerLetter::B), Result::StateBit0);
    memory.Poke(kStatusB, 0xFFFFFFFD);
    EXPECT_EQ(drawers.ReadMemoryGpioStatus(DrawerLetter::B), Result::StateBit1);
    EXPECT_EQ(memory.Peek(kStatusB), 0xFFFFFFFDu); // set B's status read writes nothing
}

// A service started with its standard input closed gets descriptor 0 for
// the first file it opens: that is a memory device like any other.
TEST_F(DevMem, DescriptorZeroIsAnOpenedDevice) {
    PhysicalMemoryFile memory(folder_ / "mem", 0xFDAE1000);
    memory.Poke(kStatusB, 0xFFFFFFFD);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(STDIN_FILENO);
        DevMemBoardIo board(memory.Path());
        MemoryGpioState state;
        MemoryGpioDrawers drawers(board, clock_, state);
        const bool read = drawers.ReadMemoryGpioStatus(DrawerLetter::B) == Result::StateBit1;
        // The read's session is over: descriptor 0 was given back.
        const bool closed = ::fcntl(STDIN_FILENO, F_GETFD) == -1 && errno == EBADF;
        ::_exit(read ? (closed ? 0 : 2) : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not read through descriptor 0; 2: read, but the descriptor left open";
}

TEST_F(DevMem, MemoryOutOfReachGivesNoHandleOrNoAccessAndSaysWhy) {
    // Missing device: no handle at all.
    DevMemBoardIo missing((folder_ / "no-such-mem").string());
    EXPECT_EQ(missing.Open(), 0u);
    EXPECT_TRUE(Contains(missing.Diagnosis(), "cannot open " + (folder_ / "no-such-mem").string())) << missing.Diagnosis();
    EXPECT_TRUE(Contains(missing.Diagnosis(), "No such file")) << missing.Diagnosis();
    MemoryGpioDrawers drawersOnMissing(missing, clock_, state_);
    EXPECT_EQ(drawersOnMissing.KickMemoryGpio(DrawerLetter::A), Result::BoardIoUnavailable);

    // Memory that ends before the registers: opened, but the page is never
    // mapped (a file would fault past its end) and nothing is written.
    PhysicalMemoryFile shortMemory(folder_ / "short-mem", 0x10000);
    DevMemBoardIo board(shortMemory.Path());
    MemoryGpioDrawers drawers(board, clock_, state_);
    EXPECT_EQ(drawers.KickMemoryGpio(DrawerLetter::A), Result::BoardIoUnavailable);
    EXPECT_TRUE(Contains(board.Diagnosis(), "ends before register 0xFDAE0500")) << board.Diagnosis();
    EXPECT_EQ(std::filesystem::file_size(shortMemory.Path()), 0x10000u);
    EXPECT_EQ(state_.boardIoHandle, 0u);
    EXPECT_FALSE(MemoryGpioRegistersReachable(board));

    // Memory that ends inside the registers' page, one byte short of its
    // end and past every register: the page would still fault, so it is
    // refused too. (A file reaching the page's end exactly is served: the
    // status test above.)
    PhysicalMemoryFile insideThePage(folder_ / "inside-mem", 0xFDAE0FFF);
    DevMemBoardIo cut(insideThePage.Path());
    MemoryGpioDrawers drawersOnCut(cut, clock_, state_);
    EXPECT_EQ(drawersOnCut.ReadMemoryGpioStatus(DrawerLetter::B), Result::BoardIoUnavailable);
    EXPECT_TRUE(Contains(cut.Diagnosis(), "ends before register 0xFDAE04F8")) << cut.Diagnosis();

    // A device that opens but cannot be mapped (a kernel that keeps the
    // page from us answers the same way): no access, and the reason.
    DevMemBoardIo unmappable("/dev/null");
    MemoryGpioDrawers drawersOnUnmappable(unmappable, clock_, state_);
    EXPECT_EQ(drawersOnUnmappable.ReadMemoryGpioStatus(DrawerLetter::B), Result::BoardIoUnavailable);
    EXPECT_TRUE(Contains(unmappable.Diagnosis(), "cannot map the page at 0xFDAE0000 of /dev/null")) << unmappable.Diagnosis();
}

// /dev/mem is root's alone (root:kmem 0640): a till application running as
// a plain user is refused at the open, and told what it lacks.
TEST_F(DevMem, APlainUserIsRefusedAtTheOpenAndToldWhatItLacks) {
    PhysicalMemoryFile memory(folder_ / "mem", 0x1000);
    // Writable by nobody but root, whoever runs the test.
    std::filesystem::permissions(memory.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    int words[2];
    ASSERT_EQ(::pipe(words), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            std::_Exit(3);
        }
        DevMemBoardIo board(memory.Path());
        const std::string said = board.Open() == 0 ? board.Diagnosis() : "opened";
        (void)!::write(words[1], said.data(), said.size());
        std::_Exit(0);
    }
    ::close(words[1]);
    std::string said;
    char block[256];
    for (ssize_t got; (got = ::read(words[0], block, sizeof block)) > 0;) {
        said.append(block, static_cast<std::size_t>(got));
    }
    ::close(words[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(said, "cannot open " + memory.Path() +
                        " (Permission denied): mapping physical memory needs root (the CAP_SYS_RAWIO capability and "
                        "write access to the device)");
}

TEST_F(DevMem, OnlyAReachedAlignedRegisterOfTheOpenSessionIsTouched) {
    PhysicalMemoryFile memory(folder_ / "mem", 0xFDAE1000);
    memory.Poke(0x1000, 0xAABBCCDD);
    DevMemBoardIo board(memory.Path());
    const BoardIoHandle handle = board.Open();
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(board.ReadDWord(handle, 0x1000), 0u); // not reached yet
    board.WriteDWord(handle, 0x1000, 1);
    EXPECT_EQ(memory.Peek(0x1000), 0xAABBCCDDu);
    EXPECT_FALSE(board.Reach(handle, 0x1002));
    EXPECT_TRUE(Contains(board.Diagnosis(), "not on a 32-bit boundary")) << board.Diagnosis();
    EXPECT_FALSE(board.Reach(handle + 1, 0x1000));
    ASSERT_TRUE(board.Reach(handle, 0x1000));
    EXPECT_EQ(board.ReadDWord(handle, 0x1000), 0xAABBCCDDu);
    EXPECT_EQ(board.ReadDWord(handle, 0x1002), 0u); // between two registers of a reached page
    EXPECT_EQ(board.ReadDWord(handle + 1, 0x1000), 0u); // a handle we never gave
    board.WriteDWord(handle, 0x1004, 0x01020304);
    EXPECT_EQ(memory.Peek(0x1004), 0x01020304u);
    board.Close(handle);
    EXPECT_EQ(board.ReadDWord(handle, 0x1000), 0u); // the mapping went with the session
    EXPECT_TRUE(MemoryGpioRegistersReachable(board));

    // A closed session forgets its descriptor: the number, reused by the
    // next file the process opens, is not closed again when the board goes.
    int reused = -1;
    {
        DevMemBoardIo briefly(memory.Path());
        briefly.Close(briefly.Open());
        reused = ::open("/dev/null", O_RDONLY | O_CLOEXEC); // takes the number given back
    }
    EXPECT_NE(::fcntl(reused, F_GETFD), -1) << "closed again by a board done with it";
    ::close(reused);
}

// --- The tool on hardware it may not reach ---------------------------------

TEST_F(LinuxPorts, TheToolWithoutPrivilegesExitsUnreachableWithTheReason) {
    // The tool reads its configuration from the current directory.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder_);
    g_refusal = EPERM;
    const std::string noMemory = (folder_ / "no-mem").string();
    const cli::BackendFactory unprivileged = [&](bool simulate, std::string& error) {
        EXPECT_FALSE(simulate);
        static_cast<void>(error);
        return cli::MakeHardwareBackend(
            std::make_unique<LinuxPortIo>(&StandInIopl, (folder_ / "absent").string()),
            std::make_unique<DevMemBoardIo>(noMemory));
    };
    struct Case {
        std::vector<const char*> args;
        const char* out;
        std::string err;
    };
    const Case cases[] = {
        {{"cashdrawer", "open", "RN340_CashA"}, "= -2", "needs root or the CAP_SYS_RAWIO capability"},
        {{"cashdrawer", "status", "RN370_CashB"}, "= -2", "iopl(3) was refused"},
        {{"cashdrawer", "open", "RN2180_CashA"}, "= -2", "cannot open " + noMemory},
        {{"cashdrawer", "doctor", "RN340_CashA"}, "starts: false", "iopl(3) was refused"},
    };
    for (const Case& c : cases) {
        std::ostringstream out;
        std::ostringstream err;
        const int code = cli::RunCli(static_cast<int>(c.args.size()), c.args.data(), out, err, unprivileged);
        EXPECT_EQ(code, cli::kExitUnreachable) << c.args[1] << " " << c.args[2] << "\n" << out.str() << err.str();
        EXPECT_TRUE(Contains(out.str(), c.out)) << out.str();
        EXPECT_TRUE(Contains(err.str(), c.err)) << err.str();
    }
    std::filesystem::current_path(previous);
}

} // namespace
} // namespace cashdrawer
