#include "fleet/mqtt_codec.h"

#include <gtest/gtest.h>

namespace cashdrawer::agent::mqtt {
namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (const int value : values) {
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
}

Packet Of(PacketType type, std::string body, uint8_t flags = 0) { return Packet{type, flags, std::move(body)}; }

// The bytes a broker sees, as MQTT 3.1.1 lays them out.
TEST(MqttCodec, ConnectCarriesTheWillTheCredentialsAndTheKeepAlive) {
    ConnectRequest request;
    request.clientId = "c1";
    request.keepAliveSeconds = 0x011E;
    request.will = Will{"t/h", "off", true};
    request.username = "u";
    request.password = "pw";
    EXPECT_EQ(EncodeConnect(request),
              Bytes({0x10, 31, 0, 4, 'M', 'Q', 'T', 'T', 4, 0xEE, 0x01, 0x1E, 0, 2, 'c', '1', 0, 3, 't', '/', 'h', 0, 3,
                     'o', 'f', 'f', 0, 1, 'u', 0, 2, 'p', 'w'}));
    // No Will, no credentials, a session the broker may keep.
    ConnectRequest bare;
    bare.clientId = "c";
    bare.cleanSession = false;
    EXPECT_EQ(EncodeConnect(bare), Bytes({0x10, 13, 0, 4, 'M', 'Q', 'T', 'T', 4, 0x00, 0, 30, 0, 1, 'c'}));
    // A Will kept only until delivered, and a user with no password.
    bare.will = Will{"w", "", false};
    bare.username = "u";
    EXPECT_EQ(EncodeConnect(bare), Bytes({0x10, 21, 0, 4, 'M', 'Q', 'T', 'T', 4, 0x8C, 0, 30, 0, 1, 'c', 0, 1, 'w', 0,
                                          0, 0, 1, 'u'}));
}

TEST(MqttCodec, ConnectRefusesWhatMqttCannotCarry) {
    ConnectRequest request;
    request.clientId = "c";
    request.password = "pw";
    EXPECT_FALSE(EncodeConnect(request)) << "a password without a user name";
    request.username = "u";
    EXPECT_TRUE(EncodeConnect(request));
    request.will = Will{"t", std::string(65535, 'x'), true};
    EXPECT_TRUE(EncodeConnect(request)) << "a Will of the longest a field may be";
    request.will->payload.push_back('x');
    EXPECT_FALSE(EncodeConnect(request)) << "one byte longer";
}

TEST(MqttCodec, PublishAndTheSmallPackets) {
    EXPECT_EQ(EncodePublish("a/b", "hi", 1, true, 0x1234), Bytes({0x33, 9, 0, 3, 'a', '/', 'b', 0x12, 0x34, 'h', 'i'}));
    EXPECT_EQ(EncodePublish("a/b", "hi", 1, false, 1, true), Bytes({0x3A, 9, 0, 3, 'a', '/', 'b', 0, 1, 'h', 'i'}));
    EXPECT_EQ(EncodePublish("a", "", 0, false, 0), Bytes({0x30, 3, 0, 1, 'a'}));
    EXPECT_EQ(EncodePuback(0xBEEF), Bytes({0x40, 2, 0xBE, 0xEF}));
    EXPECT_EQ(EncodeSubscribe(7, "x/#", 1), Bytes({0x82, 8, 0, 7, 0, 3, 'x', '/', '#', 1}));
    EXPECT_EQ(EncodePingreq(), Bytes({0xC0, 0}));
    EXPECT_EQ(EncodeDisconnect(), Bytes({0xE0, 0}));
    const struct {
        const char* why;
        std::string topic;
        int qos;
        uint16_t id;
        bool duplicate;
    } refused[] = {
        {"QoS 1 needs a packet id", "t", 1, 0, false},
        {"QoS 2 is not ours", "t", 2, 1, false},
        {"no QoS -1", "t", -1, 1, false},
        {"a duplicate at QoS 0", "t", 0, 0, true},
        {"an empty topic", "", 1, 1, false},
        {"a topic past its length prefix", std::string(65536, 't'), 1, 1, false},
    };
    for (const auto& row : refused) {
        EXPECT_FALSE(EncodePublish(row.topic, "p", row.qos, false, row.id, row.duplicate)) << row.why;
    }
    EXPECT_TRUE(EncodePublish(std::string(65535, 't'), "p", 1, false, 1)) << "the longest topic";
    EXPECT_FALSE(EncodeSubscribe(0, "t", 1)) << "no packet id";
    EXPECT_FALSE(EncodeSubscribe(1, "", 1)) << "no filter";
    EXPECT_FALSE(EncodeSubscribe(1, "t", 3)) << "no QoS 3";
    EXPECT_TRUE(EncodeSubscribe(1, "t", 2));
}

// The remaining length takes one more byte at each power of 128.
TEST(MqttCodec, TheRemainingLengthGrowsAByteAtEachPowerOf128) {
    const struct {
        std::size_t body;
        std::string lengthBytes;
    } rows[] = {
        {127, Bytes({0x7F})},
        {128, Bytes({0x80, 0x01})},
        {16383, Bytes({0xFF, 0x7F})},
        {16384, Bytes({0x80, 0x80, 0x01})},
        {2097152, Bytes({0x80, 0x80, 0x80, 0x01})},
    };
    for (const auto& row : rows) {
        // A QoS 0 publication to "t": three bytes of topic, the rest payload.
        const auto packet = EncodePublish("t", std::string(row.body - 3, 'p'), 0, false, 0);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->substr(1, row.lengthBytes.size()), row.lengthBytes) << row.body;
        EXPECT_EQ(packet->size(), 1 + row.lengthBytes.size() + row.body) << row.body;
        PacketReader reader(4u << 20);
        reader.Feed(*packet);
        std::string error;
        const auto back = reader.Next(error);
        ASSERT_TRUE(back) << row.body << ": " << error;
        EXPECT_EQ(back->body.size(), row.body);
    }
}

TEST(MqttCodec, TheReaderTakesPacketsInPiecesOfAnySize) {
    const std::string stream = Bytes({0x20, 2, 0, 0}) + EncodePuback(5) + *EncodePublish("a/b", "xyz", 1, true, 9) +
                               Bytes({0xD0, 0});
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, stream.size()}) {
        PacketReader reader;
        std::vector<Packet> packets;
        std::string error;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            reader.Feed(std::string_view(stream).substr(at, piece));
            while (auto packet = reader.Next(error)) {
                packets.push_back(*packet);
            }
        }
        EXPECT_EQ(error, "");
        ASSERT_EQ(packets.size(), 4u) << "pieces of " << piece;
        EXPECT_EQ(packets[0].type, PacketType::Connack);
        EXPECT_EQ(ParsePuback(packets[1]), 5);
        const auto publish = ParsePublish(packets[2]);
        ASSERT_TRUE(publish);
        EXPECT_EQ(publish->topic, "a/b");
        EXPECT_EQ(publish->payload, "xyz");
        EXPECT_EQ(publish->packetId, 9);
        EXPECT_EQ(publish->qos, 1);
        EXPECT_TRUE(publish->retain);
        EXPECT_FALSE(publish->duplicate);
        EXPECT_EQ(packets[3].type, PacketType::Pingresp);
    }
}

TEST(MqttCodec, AStreamThatCannotBeMqttIsRefusedAndStaysRefused) {
    const struct {
        std::string bytes;
        std::size_t longest;
        std::string error;
    } rows[] = {
        {Bytes({0x00, 0}), 100, "the broker sent a packet of no MQTT 3.1.1 type (0)"},
        {Bytes({0xF0, 0}), 100, "the broker sent a packet of no MQTT 3.1.1 type (15)"},
        {Bytes({0x21, 2, 0, 0}), 100, "the broker sent a packet of type 2 with its reserved flags set"},
        {Bytes({0x80, 3, 0, 1, 0}), 100, "the broker sent a packet of type 8 with its reserved flags set"},
        {Bytes({0xD0, 0x80, 0x80, 0x80, 0x80, 0x01}), 1u << 30, "the broker sent a packet length of more than four bytes"},
        {Bytes({0x30, 101}), 100, "the broker sent a packet of 101 bytes (at most 100 are taken)"},
        {Bytes({0x30, 0xFF, 0xFF, 0xFF, 0x7F}), kLongestPacketTaken,
         "the broker sent a packet of 268435455 bytes (at most 1048576 are taken)"},
    };
    for (const auto& row : rows) {
        PacketReader reader(row.longest);
        reader.Feed(row.bytes);
        std::string error;
        EXPECT_FALSE(reader.Next(error));
        EXPECT_EQ(error, row.error);
        reader.Feed(Bytes({0xD0, 0}));
        error.clear();
        EXPECT_FALSE(reader.Next(error)) << "nothing after the error";
    }
    // Beside them, what is taken: SUBSCRIBE with its flags, a packet of
    // the longest length taken, a length of four bytes.
    const struct {
        std::string bytes;
        std::size_t longest;
    } taken[] = {
        {Bytes({0x82, 0}), 100},
        {Bytes({0x30, 100}) + std::string(100, 'x'), 100},
        {Bytes({0xD0, 0x80, 0x80, 0x80, 0x00}), 100},
    };
    for (const auto& row : taken) {
        PacketReader reader(row.longest);
        reader.Feed(row.bytes);
        std::string error;
        EXPECT_TRUE(reader.Next(error)) << error;
    }
}

TEST(MqttCodec, ParsersTakeOnlyWellFormedPacketsOfTheirType) {
    EXPECT_EQ(ParseConnack(Of(PacketType::Connack, Bytes({0, 5})))->returnCode, 5);
    EXPECT_TRUE(ParseConnack(Of(PacketType::Connack, Bytes({1, 0})))->sessionPresent);
    EXPECT_FALSE(ParseConnack(Of(PacketType::Connack, Bytes({0, 0})))->sessionPresent);
    EXPECT_FALSE(ParseConnack(Of(PacketType::Connack, Bytes({2, 0})))) << "a reserved bit";
    EXPECT_FALSE(ParseConnack(Of(PacketType::Connack, Bytes({0, 0, 0})))) << "a byte too many";
    EXPECT_FALSE(ParseConnack(Of(PacketType::Puback, Bytes({0, 0})))) << "another type";

    EXPECT_EQ(ParsePuback(Of(PacketType::Puback, Bytes({0, 1}))), 1);
    EXPECT_FALSE(ParsePuback(Of(PacketType::Puback, Bytes({0, 0})))) << "id 0";
    EXPECT_FALSE(ParsePuback(Of(PacketType::Puback, Bytes({0, 1, 0}))));
    EXPECT_FALSE(ParsePuback(Of(PacketType::Connack, Bytes({0, 1}))));

    const struct {
        const char* why;
        std::string body;
        uint8_t flags;
        bool taken;
    } publishes[] = {
        {"QoS 0", Bytes({0, 1, 't', 'p'}), 0x0, true},
        {"QoS 1", Bytes({0, 1, 't', 0, 1, 'p'}), 0x2, true},
        {"QoS 2", Bytes({0, 1, 't', 0, 1}), 0x4, true},
        {"QoS 3", Bytes({0, 1, 't', 0, 1}), 0x6, false},
        {"a duplicate at QoS 0", Bytes({0, 1, 't'}), 0x8, false},
        {"QoS 1 with packet id 0", Bytes({0, 1, 't', 0, 0}), 0x2, false},
        {"QoS 1 with half a packet id", Bytes({0, 1, 't', 0}), 0x2, false},
        {"a topic longer than the packet", Bytes({0, 3, 't', 't'}), 0x0, false},
        {"a topic the packet just holds", Bytes({0, 2, 't', 't'}), 0x0, true},
        {"half a length prefix", Bytes({0}), 0x0, false},
        {"an empty topic", Bytes({0, 0, 'p'}), 0x0, false},
        {"a wildcard +", Bytes({0, 3, 'a', '/', '+'}), 0x0, false},
        {"a wildcard #", Bytes({0, 1, '#'}), 0x0, false},
    };
    for (const auto& row : publishes) {
        EXPECT_EQ(ParsePublish(Of(PacketType::Publish, row.body, row.flags)).has_value(), row.taken) << row.why;
    }

    const auto suback = ParseSuback(Of(PacketType::Suback, Bytes({0, 7, 1, 0x80})));
    ASSERT_TRUE(suback);
    EXPECT_EQ(suback->packetId, 7);
    EXPECT_EQ(suback->grantedQos, (std::vector<uint8_t>{1, 0x80}));
    EXPECT_FALSE(ParseSuback(Of(PacketType::Suback, Bytes({0, 7, 3})))) << "no QoS 3";
    EXPECT_FALSE(ParseSuback(Of(PacketType::Suback, Bytes({0, 7})))) << "no code";
    EXPECT_FALSE(ParseSuback(Of(PacketType::Suback, Bytes({0, 0, 1})))) << "id 0";
    EXPECT_TRUE(ParseSuback(Of(PacketType::Suback, Bytes({0, 7, 2}))));
}

TEST(MqttCodec, TheRefusalsInWords) {
    EXPECT_EQ(ConnackWords(4), "Connection Refused: bad user name or password.");
    EXPECT_EQ(ConnackWords(5), "Connection Refused: not authorised.");
    EXPECT_EQ(ConnackWords(6), "Connection Refused: unknown reason.");
}

} // namespace
} // namespace cashdrawer::agent::mqtt
