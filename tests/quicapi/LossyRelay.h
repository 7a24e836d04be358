#pragma once
// A UDP relay on loopback that loses, duplicates and reorders datagrams, for
// testing recovery, and notes the size of every datagram it receives. Clients
// send to Port(); it forwards to the target port.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace quictest {

class LossyRelay {
  public:
    struct Impairment {
        double loss = 0.03;
        double duplicate = 0.02;
        double reorder = 0.03;
    };
    static constexpr Impairment kClean{0.0, 0.0, 0.0};
    enum Direction { kToServer = 0, kToClient = 1 };
    // What one direction carried, lost datagrams included.
    struct Sizes {
        uint64_t datagrams = 0;
        size_t largest = 0;
        // Sizes of the datagrams that start with a QUIC v1 Initial packet.
        std::vector<size_t> initials;
    };

    LossyRelay(uint16_t targetPort, Impairment impairment);
    ~LossyRelay();
    uint16_t Port() const { return port; }
    uint64_t Dropped() const { return dropped; }
    uint64_t Forwarded() const { return forwarded; }
    Sizes Seen(Direction direction) const;

  private:
    void Run();
    void Note(int direction, const uint8_t* data, size_t size);
    int front = -1;  // faces the client
    int back = -1;   // faces the server
    uint16_t port = 0;
    Impairment impairment;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> forwarded{0};
    mutable std::mutex sizesLock;  // guards sizes
    Sizes sizes[2];
    std::thread thread;
};

}  // namespace quictest
