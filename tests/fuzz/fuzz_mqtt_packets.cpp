// What a broker sends the Windows agent's client: any bytes, in pieces of
// any size. The reader either cuts well-formed packets or refuses the
// stream, each parser takes a packet or refuses it, and what a parser
// takes encodes back to the packet it came from.
#include "fleet/mqtt_codec.h"

#include <cstdlib>
#include <string>

#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace cashdrawer::agent::mqtt;
    cashdrawer::fuzz::FuzzInput input(data, size);
    PacketReader reader(4096);
    std::string error;
    while (!input.Empty()) {
        // A piece's length, then the piece.
        reader.Feed(input.Bytes(input.Byte() % 64));
        while (auto packet = reader.Next(error)) {
            ParseConnack(*packet);
            ParsePuback(*packet);
            ParseSuback(*packet);
            if (const auto publish = ParsePublish(*packet); publish && publish->qos < 2) {
                const auto again = EncodePublish(publish->topic, publish->payload, publish->qos, publish->retain,
                                                 publish->packetId, publish->duplicate);
                PacketReader back;
                std::string ignored;
                if (!again || (back.Feed(*again), back.Next(ignored)->body != packet->body)) {
                    std::abort(); // a publication that does not survive a round trip
                }
            }
        }
        if (!error.empty()) {
            break;
        }
    }
    return 0;
}
