// The serial drawer end to end on this platform: the termios link on a
// pseudo-terminal, the real monitor thread and clock, and a simulated
// drawer device on the pty's master side.
#include "platform/background_thread_posix.h"
#include "serial/serial_drawer.h"
#include "serial/serial_link_posix.h"
#include "sim/sim_serial_device.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <poll.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace cashdrawer {
namespace {

std::vector<uint8_t> BytesSeenBy(const sim::SimSerialDevice& device, std::size_t atLeast) {
    std::vector<uint8_t> bytes;
    for (int wait = 0; wait < 200; ++wait) {
        bytes.clear();
        for (const auto& received : device.ReceivedBytes()) {
            bytes.push_back(received.byte);
        }
        if (bytes.size() >= atLeast) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return bytes;
}

TEST(SerialOnAPty, StatusAndKickThroughTheRealLinkAndMonitor) {
    sim::SimSerialDevice device;
    auto link = std::make_shared<PosixSerialLink>(device.SlavePath());
    PosixBackgroundThread thread;
    SerialDrawer drawer(link, thread, SystemClock());
    ASSERT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}), Result::Ok);

    // The first status waits for the device's answer to its own request.
    EXPECT_EQ(drawer.ReadSerialDrawerStatus(), Result::StateBit1);
    EXPECT_TRUE(drawer.State().statusReceived);

    device.SetReport({0x14, 0x00, 0x00, 0x00});
    EXPECT_EQ(drawer.KickSerialDrawer(DrawerLetter::B), Result::Ok);
    const std::vector<uint8_t> expected = {0x1D, 0x61, 0x01, 0x1D, 0x61, 0x01, 0x1B, 0x70, 0x31, 0x30, 0x30};
    EXPECT_EQ(BytesSeenBy(device, expected.size()), expected);

    // The answer to the kick's request (drawer bit set) is published by the
    // monitor and read without waiting.
    for (int wait = 0; wait < 100 && drawer.ReadSerialDrawerStatus() != Result::StateBit0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(drawer.ReadSerialDrawerStatus(), Result::StateBit0);

    drawer.StopSerialMonitor(false);
    EXPECT_FALSE(link->IsOpen());
    EXPECT_FALSE(thread.Started());

    // Started again after the stop, as the next serial call does: the new
    // monitor reads the device's reports again.
    ASSERT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}), Result::Ok);
    device.SetReport({0x10, 0x00, 0x00, 0x00});
    device.SendReport();
    for (int wait = 0; wait < 100 && drawer.ReadSerialDrawerStatus() != Result::StateBit1; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(drawer.ReadSerialDrawerStatus(), Result::StateBit1);
    drawer.StopSerialMonitor(false);
}

// What the test sees of the blocking link, kept apart from it so it can be
// read after the link is gone.
struct ReadProbe {
    std::atomic<bool> inRead{false};
    std::atomic<bool> freedDuringRead{false};
    std::atomic<int> readsReturned{0};
};

// A link whose every read blocks far longer than the stop's 150 ms, as a
// hung USB adapter does.
class BlockingLink final : public SerialLink {
public:
    explicit BlockingLink(std::shared_ptr<ReadProbe> probe) : probe_(std::move(probe)) {}
    ~BlockingLink() override { probe_->freedDuringRead = probe_->inRead.load(); }

    Result Open(int32_t, int32_t, uint8_t, uint8_t, uint8_t) override {
        open_ = true;
        return Result::Ok;
    }
    bool IsOpen() const override { return open_; }
    int ReadInput(uint8_t* destination) override {
        probe_->inRead = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        destination[0] = 0x10;
        probe_->inRead = false;
        ++probe_->readsReturned;
        return 1;
    }
    Result Write(const uint8_t*, int) override { return Result::Ok; }
    void Close() override { open_ = false; }

private:
    std::shared_ptr<ReadProbe> probe_;
    std::atomic<bool> open_{false};
};

// The stop times out while the monitor is inside its read; the drawer is
// destroyed at once. The link must outlive the read, the monitor must find
// everything it touches still there when the read returns (AddressSanitizer
// would say otherwise), and the port must be closed as it leaves.
TEST(SerialStopOnARealThread, AMonitorLateInABlockingReadOutlivesTheDrawerSafely) {
    auto probe = std::make_shared<ReadProbe>();
    auto link = std::make_shared<BlockingLink>(probe);
    std::weak_ptr<BlockingLink> watch = link;
    PosixBackgroundThread thread;
    auto drawer = std::make_unique<SerialDrawer>(std::move(link), thread, SystemClock());
    ASSERT_EQ(drawer->StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}), Result::Ok);
    while (!probe->inRead) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    drawer->StopSerialMonitor(false);
    EXPECT_FALSE(thread.Started());
    if (auto stillThere = watch.lock()) {
        EXPECT_TRUE(stillThere->IsOpen()) << "not closed under the read";
    }
    drawer.reset();
    EXPECT_FALSE(watch.expired()) << "the late monitor still holds the link";

    // The monitor returns from its read, polls once more, sees the stop,
    // leaves, and lets go of the link.
    for (int wait = 0; wait < 300 && (probe->readsReturned == 0 || !watch.expired()); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the rest of its round
    EXPECT_EQ(probe->readsReturned, 1);
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(probe->freedDuringRead);
}

// A USB adapter named by path in the drawer's section: the path, not the
// port number, is opened.
TEST(SerialOnAPty, ADeviceNamedByPathIsOpenedInsteadOfThePortNumber) {
    sim::SimSerialDevice device;
    auto link = std::make_shared<PosixSerialLink>("");
    PosixBackgroundThread thread;
    SerialDrawer drawer(link, thread, SystemClock());
    ASSERT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 99, .Baudint = 9600, .Device = device.SlavePath()}),
              Result::Ok);
    EXPECT_EQ(link->Diagnosis(), device.SlavePath());
    EXPECT_EQ(drawer.ReadSerialDrawerStatus(), Result::StateBit1);
    drawer.StopSerialMonitor(false);
}

TEST(SerialOnAPty, ADeviceThatIsNotThereGivesMinusTwo) {
    auto link = std::make_shared<PosixSerialLink>("/dev/cashdrawer-no-such-port");
    PosixBackgroundThread thread;
    SerialDrawer drawer(link, thread, SystemClock());
    EXPECT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}), Result::PortMissing);
    EXPECT_EQ(drawer.KickSerialDrawer(DrawerLetter::A), Result::NotOpen);
    EXPECT_EQ(drawer.ReadSerialDrawerStatus(), Result::NotOpen);
    EXPECT_FALSE(thread.Started());
}

// A Device key that names anything but a terminal - a regular file, a
// folder, a character device that is no terminal - opens nothing and
// writes nothing: the file keeps its bytes and the reason names the path.
TEST(SerialOnAPty, ADevicePathThatIsNoTerminalIsRefusedBeforeAnyByte) {
    char folder[] = "/tmp/cashdrawer-device-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/passwd";
    const std::string original = "root:x:0:0:root:/root:/bin/bash\n";
    {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, original.data(), original.size()), static_cast<ssize_t>(original.size()));
        ::close(fd);
    }
    struct Case {
        std::string path;
        const char* why;
    };
    const Case cases[] = {
        {file, ": a regular file, not a serial device: nothing was written to it"},
        {folder, ": a folder, not a serial device: nothing was written to it"},
        {"/dev/null", ": a character device, but not a terminal ("},
    };
    for (const Case& c : cases) {
        auto link = std::make_shared<PosixSerialLink>("");
        PosixBackgroundThread thread;
        SerialDrawer drawer(link, thread, SystemClock());
        EXPECT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600, .Device = c.path}),
                  Result::PortMissing)
            << c.path;
        EXPECT_EQ(link->Diagnosis().rfind(c.path + c.why, 0), 0u) << link->Diagnosis();
        EXPECT_FALSE(link->IsOpen()) << c.path;
        EXPECT_EQ(drawer.KickSerialDrawer(DrawerLetter::A), Result::NotOpen) << c.path;
        EXPECT_FALSE(thread.Started()) << c.path;
    }
    char kept[64] = {};
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::read(fd, kept, sizeof kept), static_cast<ssize_t>(original.size()));
    ::close(fd);
    EXPECT_EQ(std::string(kept), original);
    ::unlink(file.c_str());
    ::rmdir(folder);
}

// The framing each request asks for. (A pty forces 8 bits and no parity
// whatever it is told, so this is checked on the settings themselves.)
TEST(PosixSerialLine, TheLineSettingsAreTheOnesAskedFor) {
    struct Case {
        int32_t baudRate;
        uint8_t parity; // 0 none, 1 odd, 2 even
        uint8_t byteSize;
        uint8_t stopBits; // 0 one, 2 two
        speed_t speed;
        tcflag_t size;
    };
    const Case cases[] = {
        {9600, 0, 8, 0, B9600, CS8},     {19200, 0, 8, 0, B19200, CS8}, {115200, 0, 8, 0, B115200, CS8},
        {2400, 2, 7, 2, B2400, CS7},     {4800, 1, 7, 0, B4800, CS7},   {12345, 0, 8, 0, B9600, CS8},
        {57600, 0, 6, 0, B57600, CS6},   {38400, 0, 5, 0, B38400, CS5},
    };
    for (const Case& c : cases) {
        termios line{};
        line.c_cflag = CRTSCTS | PARODD | CS8;
        line.c_lflag = ICANON | ECHO | ISIG;
        line.c_cc[VMIN] = 1;
        ConfigureLine(line, c.baudRate, c.parity, c.byteSize, c.stopBits);
        EXPECT_EQ(::cfgetospeed(&line), c.speed) << c.baudRate;
        EXPECT_EQ(::cfgetispeed(&line), c.speed) << c.baudRate;
        EXPECT_EQ(line.c_cflag & CSIZE, c.size) << c.baudRate;
        EXPECT_EQ((line.c_cflag & PARENB) != 0, c.parity != 0) << c.baudRate;
        EXPECT_EQ((line.c_cflag & PARODD) != 0, c.parity == 1) << c.baudRate;
        EXPECT_EQ((line.c_cflag & CSTOPB) != 0, c.stopBits != 0) << c.baudRate;
        EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
        EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw";
        EXPECT_EQ(line.c_cc[VMIN], 0);
        EXPECT_EQ(line.c_cc[VTIME], 0);
    }
}

// And they reach the terminal: read back from the device itself.
TEST(PosixSerialLine, OpenLeavesTheTerminalRawAtTheRateAskedFor) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    PosixSerialLink link(slave);
    ASSERT_EQ(link.Open(1, 19200, kParityNone, 8, kOneStopBit), Result::Ok) << link.Diagnosis();
    const int probe = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    termios line{};
    ASSERT_EQ(::tcgetattr(probe, &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_cc[VMIN], 0);
    ::close(probe);
    link.Close();
    ::close(master);
}

// A service started without standard input opens the port as descriptor
// 0: it is a port like any other, read and written.
TEST(PosixSerialLine, DescriptorZeroIsAnOpenedPort) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(STDIN_FILENO);
        PosixSerialLink link(slave);
        bool ok = link.Open(1, 9600, kParityNone, 8, kOneStopBit) == Result::Ok && link.IsOpen();
        const uint8_t request = 0x05;
        ok = ok && link.Write(&request, 1) == Result::Ok;
        uint8_t answer[kSerialReadMax] = {};
        int got = 0;
        for (int tries = 0; ok && got == 0 && tries < 500; ++tries) {
            got = link.ReadInput(answer);
            ::usleep(2000);
        }
        ::_exit(ok && got == 1 && answer[0] == 0x14 ? 0 : 1);
    }
    uint8_t request = 0;
    pollfd ready{master, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 5000), 1);
    ASSERT_EQ(::read(master, &request, 1), 1);
    EXPECT_EQ(request, 0x05);
    const uint8_t answer = 0x14;
    ASSERT_EQ(::write(master, &answer, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "read and written through descriptor 0";
    ::close(master);
}

// A write may take the fixed bound plus a bound per byte, as the Windows
// link's write time-outs allow: a device that holds the line costs no more.
TEST(PosixSerialLine, AWriteIsBoundedByAFixedAndAPerByteTime) {
    struct Case {
        int count;
        long ms;
    };
    for (const Case& c : {Case{0, 200}, Case{3, 215}, Case{5, 225}, Case{-1, 200}}) {
        EXPECT_EQ(PosixSerialLink::WriteTimeBound(c.count).count(), c.ms) << c.count;
    }
}

// A device that stops the line (an XOFF, a hung adapter): the write gives
// up at its bound and says so rather than hold the till, and the line
// serves again once it is let go.
TEST(PosixSerialLine, AWriteToAStoppedLineFailsAtItsBoundAndTheNextGoesOut) {
    sim::SimSerialDevice device;
    PosixSerialLink link(device.SlavePath());
    ASSERT_EQ(link.Open(1, 9600, 0, 8, 0), Result::Ok);
    const int line = ::open(device.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(line, 0);
    ASSERT_EQ(::tcflow(line, TCOOFF), 0);
    const uint8_t kick[] = {0x1B, 0x70, 0x30, 0x30, 0x30};
    EXPECT_EQ(link.Write(kick, 5), Result::WriteFailed);
    ASSERT_EQ(::tcflow(line, TCOON), 0);
    EXPECT_EQ(link.Write(kick, 5), Result::Ok);
    EXPECT_EQ(BytesSeenBy(device, 5).size(), 5u);
    ::close(line);
}

// ComNuM=N is /dev/ttyS(N-1); a Device key replaces it; below 1 nothing
// is opened at all (not "/dev/ttyS-1").
TEST(PosixSerialNames, PortNumbersCountFromOneAndADeviceKeyWins) {
    struct Case {
        int32_t comNuM;
        const char* device;
        const char* opens;
    };
    const Case cases[] = {
        {1, "", "/dev/ttyS0"},
        {3, "", "/dev/ttyS2"},
        {0, "", "no device (ComNuM=0: COM ports count from 1)"},
        {-4, "", "no device (ComNuM=-4: COM ports count from 1)"},
        {0, "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {2, "/dev/ttyACM1", "/dev/ttyACM1"},
    };
    for (const Case& c : cases) {
        PosixSerialLink link("");
        link.NameDevice(c.device);
        EXPECT_EQ(link.DeviceName(c.comNuM), c.opens);
    }
    PosixSerialLink link("");
    EXPECT_EQ(link.Open(0, 9600, 0, 8, 0), Result::PortMissing);
    EXPECT_EQ(link.Diagnosis(), "no device (ComNuM=0: COM ports count from 1)");
    EXPECT_FALSE(link.IsOpen());
}

} // namespace
} // namespace cashdrawer
