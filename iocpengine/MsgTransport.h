// What request handling and the lobby need from the message server: send one data
// frame to a client, close a client, tell whether the server is up. The message server
// implements it; tests use a capturing fake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tessil {

class TClientRec;
using TClientRecPtr = std::shared_ptr<TClientRec>;

class IMsgTransport {
  public:
    virtual ~IMsgTransport() = default;
    // True while the server is listening (FActive).
    virtual bool IsActive() const = 0;
    // Queues one data frame with `body` to the client; never blocks. Dropped silently
    // when the client is closing or gone.
    virtual void SendString(std::string_view body, const TClientRecPtr& client) = 0;
    // Queues a complete frame (header and body) that may be shared by many recipients
    // (room fan-out builds it once). Never blocks.
    virtual void SendFrame(const std::shared_ptr<const std::string>& frame,
                           const TClientRecPtr& client) = 0;
    // Starts closing the client's connection (brutal close).
    virtual void DisconnectClient(const TClientRecPtr& client) = 0;
    virtual int32_t GetClientCount() const = 0;
    // Charges the client for a list reply of `bytes` against its request rate (see
    // TConnectionLimits::replyBytesPerRequest). Transports without a rate ignore it.
    virtual void ChargeReply(const TClientRecPtr& client, uint64_t bytes) {
        (void)client;
        (void)bytes;
    }
};

}  // namespace tessil
