// The serial drawer end to end on this platform: the termios link on a
// pseudo-terminal, the real monitor thread and clock, and a simulated
// drawer device on the pty's master side.
#include "platform/background_thread_posix.h"
#include "serial/serial_drawer.h"
#include "serial/serial_link_posix.h"
#include "sim/sim_serial_device.h"

#include <gtest/gtest.h>

#include <chrono>
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
    PosixSerialLink link(device.SlavePath());
    PosixBackgroundThread thread;
    SerialDrawer drawer(link, thread, SystemClock());
    ASSERT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}), 0);

    // The first status waits for the device's answer to its own request.
    EXPECT_EQ(drawer.ReadSerialDrawerStatus(), 1);
    EXPECT_TRUE(drawer.State().statusReceived);

    device.SetReport({0x14, 0x00, 0x00, 0x00});
    EXPECT_EQ(drawer.KickSerialDrawer(DrawerLetter::B), 1);
    const std::vector<uint8_t> expected = {0x1D, 0x61, 0x01, 0x1D, 0x61, 0x01, 0x1B, 0x70, 0x31, 0x30, 0x30};
    EXPECT_EQ(BytesSeenBy(device, expected.size()), expected);

    // The answer to the kick's request (drawer bit set) is published by the
    // monitor and read without waiting.
    for (int wait = 0; wait < 100 && drawer.ReadSerialDrawerStatus() != 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(drawer.ReadSerialDrawerStatus(), 0);

    drawer.StopSerialMonitor(false);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(thread.Started());
}

TEST(SerialOnAPty, ADeviceThatIsNotThereGivesMinusTwo) {
    PosixSerialLink link("/dev/cashdrawer-no-such-port");
    PosixBackgroundThread thread;
    SerialDrawer drawer(link, thread, SystemClock());
    EXPECT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}), 1);
    EXPECT_EQ(drawer.KickSerialDrawer(DrawerLetter::A), -2);
    EXPECT_EQ(drawer.ReadSerialDrawerStatus(), -2);
    EXPECT_FALSE(thread.Started());
}

} // namespace
} // namespace cashdrawer
