// The few MQTT 3.1.1 packets the fleet publisher and its watch need, as
// bytes: CONNECT with its Will, PUBLISH at QoS 0 or 1 and PUBACK, SUBSCRIBE
// and SUBACK, PINGREQ and PINGRESP, DISCONNECT. Used where no MQTT client
// library is at hand (the Windows agent, over a WebSocket); every byte the
// broker sends is read as hostile: a packet that is not well formed is
// refused with words, never half taken.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cashdrawer::agent::mqtt {

enum class PacketType : uint8_t {
    Connect = 1,
    Connack = 2,
    Publish = 3,
    Puback = 4,
    Pubrec = 5,
    Pubrel = 6,
    Pubcomp = 7,
    Subscribe = 8,
    Suback = 9,
    Unsubscribe = 10,
    Unsuback = 11,
    Pingreq = 12,
    Pingresp = 13,
    Disconnect = 14,
};

// The most a packet's remaining length may say (four length bytes).
inline constexpr std::size_t kLongestRemainingLength = 268'435'455;
// The most we take from a broker in one packet: a health or statistics
// message is a few kilobytes; anything near this is not ours.
inline constexpr std::size_t kLongestPacketTaken = 1 << 20;

// The Will: what the broker publishes (QoS 1) when the connection is lost
// without a DISCONNECT.
struct Will {
    std::string topic;
    std::string payload;
    bool retain = false;
};

struct ConnectRequest {
    std::string clientId;
    uint16_t keepAliveSeconds = 30;
    bool cleanSession = true;
    std::optional<Will> will;
    std::optional<std::string> username;
    std::optional<std::string> password; // only with a username (MQTT 3.1.1)
};

// Each encoder gives the packet's bytes, or nothing when a field does not
// fit its length prefix (65,535 bytes) or the packet its length.
std::optional<std::string> EncodeConnect(const ConnectRequest& request);
std::optional<std::string> EncodePublish(std::string_view topic, std::string_view payload, int qos, bool retain,
                                         uint16_t packetId, bool duplicate = false);
std::string EncodePuback(uint16_t packetId);
std::optional<std::string> EncodeSubscribe(uint16_t packetId, std::string_view filter, int qos);
std::string EncodePingreq();
std::string EncodeDisconnect();

struct Packet {
    PacketType type{};
    uint8_t flags = 0; // the fixed header's low four bits
    std::string body;  // the variable header and the payload
};

// Cuts a byte stream into packets, as they come, in pieces of any size.
class PacketReader {
public:
    explicit PacketReader(std::size_t longestPacket = kLongestPacketTaken) : longest_(longestPacket) {}

    void Feed(std::string_view bytes) { pending_.append(bytes); }

    // The next whole packet; nothing while more bytes are needed, or (with
    // `error` set) when the stream cannot be MQTT: a type of 0 or 15, a
    // length of more than four bytes, a packet longer than we take. After
    // an error the reader gives nothing more.
    std::optional<Packet> Next(std::string& error);

private:
    std::size_t longest_;
    std::string pending_;
    bool broken_ = false;
};

struct Connack {
    bool sessionPresent = false;
    uint8_t returnCode = 0;
};
struct Publish {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    bool duplicate = false;
    uint16_t packetId = 0; // QoS 1 and 2 only
};
struct Suback {
    uint16_t packetId = 0;
    std::vector<uint8_t> grantedQos; // 0x80 for a refused filter
};

// Each parser takes a packet of its type, well formed, or gives nothing.
std::optional<Connack> ParseConnack(const Packet& packet);
std::optional<uint16_t> ParsePuback(const Packet& packet);
std::optional<Publish> ParsePublish(const Packet& packet);
std::optional<Suback> ParseSuback(const Packet& packet);

// A CONNACK's refusal in words ("Connection Refused: not authorised.").
std::string ConnackWords(uint8_t returnCode);

} // namespace cashdrawer::agent::mqtt
