#include "EAXStream.hpp"

#include <nettle/aes.h>
#include <nettle/eax.h>
#include <nettle/memops.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#include "RFBError.hpp"

namespace rfb {

namespace {

constexpr std::size_t headerSize = 2;
constexpr std::size_t tagSize = EAX_DIGEST_SIZE;
constexpr std::size_t maxRecordLength = 65'535;

}  // namespace

// One direction's key and count of records.
class EAXStream::Direction {
  public:
    virtual ~Direction() = default;
    // Encrypts the next record's `bytes` in place and writes its tag.
    virtual void seal(std::span<const std::uint8_t> header, std::span<std::uint8_t> bytes,
                      std::uint8_t* tag) = 0;
    // Decrypts the next record's `bytes` in place; whether `tag` is theirs.
    virtual bool open(std::span<const std::uint8_t> header, std::span<std::uint8_t> bytes,
                      const std::uint8_t* tag) = 0;

  protected:
    void countRecord() {
        for (std::uint8_t& byte : nonce_) {
            if (++byte != 0) {
                break;
            }
        }
    }
    // The records before the one at hand, least significant byte first.
    std::array<std::uint8_t, EAX_IV_SIZE> nonce_{};
};

template <typename Cipher, auto setKey, auto encrypt>
class EAXStream::AESDirection final : public Direction {
  public:
    explicit AESDirection(std::span<const std::uint8_t> key) {
        EAX_SET_KEY(&context_, setKey, encrypt, key.data());
    }
    ~AESDirection() override { explicit_bzero(&context_, sizeof context_); }

    void seal(std::span<const std::uint8_t> header, std::span<std::uint8_t> bytes,
              std::uint8_t* tag) override {
        start(header);
        EAX_ENCRYPT(&context_, encrypt, bytes.size(), bytes.data(), bytes.data());
        EAX_DIGEST(&context_, encrypt, tagSize, tag);
    }
    bool open(std::span<const std::uint8_t> header, std::span<std::uint8_t> bytes,
              const std::uint8_t* tag) override {
        start(header);
        EAX_DECRYPT(&context_, encrypt, bytes.size(), bytes.data(), bytes.data());
        std::array<std::uint8_t, tagSize> expected;
        EAX_DIGEST(&context_, encrypt, tagSize, expected.data());
        return memeql_sec(expected.data(), tag, tagSize) != 0;
    }

  private:
    void start(std::span<const std::uint8_t> header) {
        EAX_SET_NONCE(&context_, encrypt, nonce_.size(), nonce_.data());
        EAX_UPDATE(&context_, encrypt, header.size(), header.data());
        countRecord();
    }

    struct EAX_CTX(Cipher) context_;
};

std::unique_ptr<EAXStream::Direction> EAXStream::directionFor(std::span<const std::uint8_t> key) {
    switch (key.size()) {
        case AES128_KEY_SIZE:
            return std::make_unique<
                AESDirection<aes128_ctx, &aes128_set_encrypt_key, &aes128_encrypt>>(key);
        case AES256_KEY_SIZE:
            return std::make_unique<
                AESDirection<aes256_ctx, &aes256_set_encrypt_key, &aes256_encrypt>>(key);
        default:
            throw std::invalid_argument("AES-EAX key of " + std::to_string(key.size()) + " bytes");
    }
}

EAXStream::EAXStream(RFBInput& below, RFBStream& beneath, std::span<const std::uint8_t> sendKey,
                     std::span<const std::uint8_t> receiveKey)
    : below_(below),
      beneath_(beneath),
      in_(directionFor(receiveKey)),
      out_(directionFor(sendKey)) {}

EAXStream::~EAXStream() = default;

std::size_t EAXStream::receive(std::span<std::uint8_t> space) {
    // Records may be empty.
    while (unread_ == plaintext_.size()) {
        readRecord();
    }
    const std::size_t count = std::min(space.size(), plaintext_.size() - unread_);
    std::memcpy(space.data(), plaintext_.data() + unread_, count);
    unread_ += count;
    return count;
}

void EAXStream::readRecord() {
    below_.ensure(headerSize);
    const std::array header{below_.data()[0], below_.data()[1]};
    const std::size_t length = std::size_t{header[0]} << 8 | header[1];
    below_.ensure(headerSize + length + tagSize);
    const std::uint8_t* record = below_.data() + headerSize;
    plaintext_.assign(record, record + length);
    unread_ = 0;
    if (!in_->open(header, plaintext_, record + length)) {
        plaintext_.clear();
        throw RFBError::secureConnectionFailed("the server’s data failed its integrity check");
    }
    below_.advance(headerSize + length + tagSize);
}

void EAXStream::send(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(sendMutex_);
    std::vector<std::uint8_t> records;
    // Room for all at once: a reallocation would leave copies of the plaintext behind.
    records.reserve(bytes.size() + (bytes.size() / maxRecordLength + 1) * (headerSize + tagSize));
    while (!bytes.empty()) {
        const std::size_t length = std::min(bytes.size(), maxRecordLength);
        const std::size_t start = records.size();
        records.push_back(static_cast<std::uint8_t>(length >> 8));
        records.push_back(static_cast<std::uint8_t>(length));
        records.insert(records.end(), bytes.begin(), bytes.begin() + length);
        records.resize(records.size() + tagSize);
        std::uint8_t* header = records.data() + start;
        out_->seal({header, headerSize}, {header + headerSize, length},
                   header + headerSize + length);
        bytes = bytes.subspan(length);
    }
    beneath_.send(records);
}

}  // namespace rfb
