#include "fleet/mqtt_codec.h"

#include <iterator>

namespace cashdrawer::agent::mqtt {
namespace {

constexpr std::size_t kLongestField = 0xFFFF; // a two-byte length prefix

// The fixed header's low bits each type must carry (MQTT 3.1.1, 2.2.2);
// PUBLISH's are its own (duplicate, QoS, retain).
constexpr uint8_t ReservedFlagsOf(PacketType type) {
    return type == PacketType::Pubrel || type == PacketType::Subscribe || type == PacketType::Unsubscribe ? 0x2 : 0x0;
}

void AppendU16(std::string& out, uint16_t value) {
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value & 0xFF));
}

bool AppendField(std::string& out, std::string_view field) {
    if (field.size() > kLongestField) {
        return false;
    }
    AppendU16(out, static_cast<uint16_t>(field.size()));
    out.append(field);
    return true;
}

// The fixed header (type, flags, remaining length) before the body.
std::optional<std::string> Framed(PacketType type, uint8_t flags, const std::string& body) {
    if (body.size() > kLongestRemainingLength) {
        return std::nullopt;
    }
    std::string packet(1, static_cast<char>((static_cast<uint8_t>(type) << 4) | flags));
    std::size_t length = body.size();
    do {
        uint8_t digit = length % 128;
        length /= 128;
        if (length > 0) {
            digit |= 0x80;
        }
        packet.push_back(static_cast<char>(digit));
    } while (length > 0);
    return packet + body;
}

uint16_t U16At(std::string_view bytes, std::size_t at) {
    return static_cast<uint16_t>((static_cast<uint8_t>(bytes[at]) << 8) | static_cast<uint8_t>(bytes[at + 1]));
}

// A length-prefixed field at `at`, moving `at` past it.
std::optional<std::string> FieldAt(std::string_view bytes, std::size_t& at) {
    if (bytes.size() - at < 2) {
        return std::nullopt;
    }
    const std::size_t length = U16At(bytes, at);
    if (bytes.size() - at - 2 < length) {
        return std::nullopt;
    }
    std::string field(bytes.substr(at + 2, length));
    at += 2 + length;
    return field;
}

} // namespace

std::optional<std::string> EncodeConnect(const ConnectRequest& request) {
    if (request.password && !request.username) {
        return std::nullopt; // MQTT 3.1.1 has no password without a user name
    }
    uint8_t flags = request.cleanSession ? 0x02 : 0x00;
    if (request.will) {
        flags |= 0x04 | (1 << 3); // a Will at QoS 1
        if (request.will->retain) {
            flags |= 0x20;
        }
    }
    if (request.password) {
        flags |= 0x40;
    }
    if (request.username) {
        flags |= 0x80;
    }
    std::string body;
    AppendField(body, "MQTT");
    body.push_back(4); // the protocol level of 3.1.1
    body.push_back(static_cast<char>(flags));
    AppendU16(body, request.keepAliveSeconds);
    bool fits = AppendField(body, request.clientId);
    if (request.will) {
        fits = fits && AppendField(body, request.will->topic) && AppendField(body, request.will->payload);
    }
    if (request.username) {
        fits = fits && AppendField(body, *request.username);
    }
    if (request.password) {
        fits = fits && AppendField(body, *request.password);
    }
    return fits ? Framed(PacketType::Connect, 0, body) : std::nullopt;
}

std::optional<std::string> EncodePublish(std::string_view topic, std::string_view payload, int qos, bool retain,
                                         uint16_t packetId, bool duplicate) {
    if (topic.empty() || qos < 0 || qos > 1 || (qos == 1 && packetId == 0) || (qos == 0 && duplicate)) {
        return std::nullopt;
    }
    std::string body;
    if (!AppendField(body, topic)) {
        return std::nullopt;
    }
    if (qos == 1) {
        AppendU16(body, packetId);
    }
    body.append(payload);
    const uint8_t flags = static_cast<uint8_t>((duplicate ? 0x08 : 0) | (qos << 1) | (retain ? 0x01 : 0));
    return Framed(PacketType::Publish, flags, body);
}

std::string EncodePuback(uint16_t packetId) {
    std::string body;
    AppendU16(body, packetId);
    return *Framed(PacketType::Puback, 0, body);
}

std::optional<std::string> EncodeSubscribe(uint16_t packetId, std::string_view filter, int qos) {
    if (packetId == 0 || filter.empty() || qos < 0 || qos > 2) {
        return std::nullopt;
    }
    std::string body;
    AppendU16(body, packetId);
    if (!AppendField(body, filter)) {
        return std::nullopt;
    }
    body.push_back(static_cast<char>(qos));
    return Framed(PacketType::Subscribe, ReservedFlagsOf(PacketType::Subscribe), body);
}

std::string EncodePingreq() { return *Framed(PacketType::Pingreq, 0, {}); }
std::string EncodeDisconnect() { return *Framed(PacketType::Disconnect, 0, {}); }

std::optional<Packet> PacketReader::Next(std::string& error) {
    if (broken_ || pending_.empty()) {
        return std::nullopt;
    }
    const auto first = static_cast<uint8_t>(pending_[0]);
    const uint8_t typeNumber = first >> 4;
    const uint8_t flags = first & 0x0F;
    const auto fail = [&](std::string words) -> std::optional<Packet> {
        broken_ = true;
        error = std::move(words);
        return std::nullopt;
    };
    if (typeNumber == 0 || typeNumber == 15) {
        return fail("the broker sent a packet of no MQTT 3.1.1 type (" + std::to_string(typeNumber) + ")");
    }
    const auto type = static_cast<PacketType>(typeNumber);
    if (type != PacketType::Publish && flags != ReservedFlagsOf(type)) {
        return fail("the broker sent a packet of type " + std::to_string(typeNumber) + " with its reserved flags set");
    }
    // The remaining length: seven bits a byte, least significant first, at
    // most four bytes.
    std::size_t length = 0;
    std::size_t at = 1;
    for (unsigned shift = 0;; shift += 7) {
        if (at >= pending_.size()) {
            return std::nullopt; // more to come
        }
        const auto digit = static_cast<uint8_t>(pending_[at++]);
        length |= static_cast<std::size_t>(digit & 0x7F) << shift;
        if ((digit & 0x80) == 0) {
            break;
        }
        if (at == 5) {
            return fail("the broker sent a packet length of more than four bytes");
        }
    }
    if (length > longest_) {
        return fail("the broker sent a packet of " + std::to_string(length) + " bytes (at most " +
                    std::to_string(longest_) + " are taken)");
    }
    if (pending_.size() - at < length) {
        return std::nullopt;
    }
    Packet packet{type, flags, pending_.substr(at, length)};
    pending_.erase(0, at + length);
    return packet;
}

std::optional<Connack> ParseConnack(const Packet& packet) {
    if (packet.type != PacketType::Connack || packet.body.size() != 2 ||
        (static_cast<uint8_t>(packet.body[0]) & 0xFE) != 0) {
        return std::nullopt;
    }
    return Connack{packet.body[0] == 1, static_cast<uint8_t>(packet.body[1])};
}

std::optional<uint16_t> ParsePuback(const Packet& packet) {
    if (packet.type != PacketType::Puback || packet.body.size() != 2 || U16At(packet.body, 0) == 0) {
        return std::nullopt;
    }
    return U16At(packet.body, 0);
}

std::optional<Publish> ParsePublish(const Packet& packet) {
    if (packet.type != PacketType::Publish) {
        return std::nullopt;
    }
    Publish publish;
    publish.qos = (packet.flags >> 1) & 0x3;
    publish.retain = (packet.flags & 0x1) != 0;
    publish.duplicate = (packet.flags & 0x8) != 0;
    if (publish.qos == 3 || (publish.qos == 0 && publish.duplicate)) {
        return std::nullopt;
    }
    std::size_t at = 0;
    auto topic = FieldAt(packet.body, at);
    // A topic a publication names is never empty and has no wildcard.
    if (!topic || topic->empty() || topic->find_first_of("+#") != std::string::npos) {
        return std::nullopt;
    }
    publish.topic = std::move(*topic);
    if (publish.qos > 0) {
        if (packet.body.size() - at < 2 || U16At(packet.body, at) == 0) {
            return std::nullopt;
        }
        publish.packetId = U16At(packet.body, at);
        at += 2;
    }
    publish.payload = packet.body.substr(at);
    return publish;
}

std::optional<Suback> ParseSuback(const Packet& packet) {
    if (packet.type != PacketType::Suback || packet.body.size() < 3 || U16At(packet.body, 0) == 0) {
        return std::nullopt;
    }
    Suback suback{U16At(packet.body, 0), {}};
    for (std::size_t at = 2; at < packet.body.size(); ++at) {
        const auto code = static_cast<uint8_t>(packet.body[at]);
        if (code > 2 && code != 0x80) {
            return std::nullopt;
        }
        suback.grantedQos.push_back(code);
    }
    return suback;
}

std::string ConnackWords(uint8_t returnCode) {
    // The words the Linux agent's client library gives for the same codes,
    // so that a head office reads one cause whichever system a till runs.
    static const char* const kWords[] = {
        "Connection Accepted.",
        "Connection Refused: unacceptable protocol version.",
        "Connection Refused: identifier rejected.",
        "Connection Refused: broker unavailable.",
        "Connection Refused: bad user name or password.",
        "Connection Refused: not authorised.",
    };
    return returnCode < std::size(kWords) ? kWords[returnCode] : "Connection Refused: unknown reason.";
}

} // namespace cashdrawer::agent::mqtt
