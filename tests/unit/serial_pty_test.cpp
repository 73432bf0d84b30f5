// The serial drawer end to end on this platform: the termios link on a
// pseudo-terminal, the real monitor thread and clock, and a simulated
// drawer device on the pty's master side.
#include "platform/background_thread_posix.h"
#include "serial/serial_drawer.h"
#include "serial/serial_link_posix.h"
#include "sim/sim_serial_device.h"

#include <gtest/gtest.h>

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
