// The RSA-AES handshake as far as a server's bytes alone take it (its key, its random encrypted to
// the client's key), and the AES-EAX record reader: on the fuzzer's bytes as records, and on
// records sealed from them by the other end's stream, which must come out as they went in unless
// a byte of them was changed or they were cut short.

#include <cstdlib>

#include "EAXStream.hpp"
#include "FuzzInput.hpp"

namespace {

// Keeps what is sent.
struct Capture final : rfb::RFBStream {
    std::size_t receive(std::span<std::uint8_t>) override {
        throw rfb::RFBError::connectionClosed();
    }
    void send(std::span<const std::uint8_t> bytes) override {
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::uint8_t> sent;
};

// Reads records over `records` into `read` until they run out or fail; whether they ran out where
// a record ended.
bool endsCleanly(std::span<const std::uint8_t> key, const std::vector<std::uint8_t>& records,
                 std::uint8_t chunkSelector, std::vector<std::uint8_t>& read) {
    rfb::RFBInput below =
        fuzz::inputOver(records.data(), records.size(), fuzz::chunkFor(chunkSelector));
    Capture beneath;
    rfb::EAXStream stream(below, beneath, key, key);
    std::vector<std::uint8_t> space(70'000);
    try {
        for (;;) {
            const std::size_t count = stream.receive(space);
            read.insert(read.end(), space.begin(), space.begin() + count);
        }
    } catch (const rfb::RFBError& error) {
        return error.kind() == rfb::RFBError::Kind::connectionClosed && below.available() == 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::uint8_t selector = data[0];
    if (selector < 0x40) {  // a server of type 5, 6, 129 or 130
        constexpr std::uint8_t types[] = {5, 6, 129, 130};
        const std::string_view start = "RFB 003.008\n";
        std::vector<std::uint8_t> server(start.begin(), start.end());
        server.insert(server.end(), {1, types[selector & 3]});
        server.insert(server.end(), data + 1, data + size);
        rfb::RFBConfiguration configuration;
        configuration.credentials = rfb::RFBCredentials{"user", "password"};
        fuzz::runClient(configuration, server.data(), server.size(), selector >> 2);
        return 0;
    }
    static constexpr std::uint8_t keys[32] = {7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5, 2,
                                              3, 5, 3, 6, 0, 2, 8, 7, 4, 7, 1, 3, 5, 2, 6, 6};
    const std::span<const std::uint8_t> key(keys, selector & 1 ? 32 : 16);
    std::vector<std::uint8_t> read;
    if (selector < 0x80) {  // records as they come
        endsCleanly(key, {data + 1, data + size}, selector >> 1, read);
        return 0;
    }
    // Sealed in pieces of one size, then perhaps one byte changed or the end cut off at `where`.
    const std::size_t where = std::size_t{data[1]} << 8 | data[2];
    const std::vector<std::uint8_t> message(data + 3, data + size);
    rfb::RFBInput unused(
        [](std::span<std::uint8_t>) -> std::size_t { throw rfb::RFBError::connectionClosed(); });
    Capture records;
    rfb::EAXStream sender(unused, records, key, key);
    const std::size_t piece = fuzz::chunkFor(selector >> 1);
    for (std::size_t offset = 0; offset < message.size(); offset += piece) {
        sender.send(std::span(message).subspan(offset, std::min(piece, message.size() - offset)));
    }
    const bool bent = selector >= 0xC0 && where < records.sent.size();
    const bool cut = bent && (selector & 0x20) != 0;
    cut ? records.sent.resize(where) : bent ? void(records.sent[where] ^= 1) : void();
    // Nothing but the message's own bytes ever comes out; a changed byte always ends it with an
    // error, and a cut one too unless it fell between records.
    const bool clean = endsCleanly(key, records.sent, selector >> 4, read);
    const bool prefix =
        read.size() <= message.size() && std::equal(read.begin(), read.end(), message.begin());
    const bool whole = read.size() == message.size();
    if (!prefix || (bent ? clean && (!cut || whole) : !clean || !whole)) {
        std::abort();
    }
    return 0;
}
