#pragma once
// A UDP relay on loopback that loses, duplicates and reorders datagrams, for
// testing recovery. Clients send to Port(); it forwards to the target port.
#include <atomic>
#include <cstdint>
#include <thread>

namespace quictest {

class LossyRelay {
  public:
    struct Impairment {
        double loss = 0.03;
        double duplicate = 0.02;
        double reorder = 0.03;
    };
    LossyRelay(uint16_t targetPort, Impairment impairment);
    ~LossyRelay();
    uint16_t Port() const { return port; }
    uint64_t Dropped() const { return dropped; }
    uint64_t Forwarded() const { return forwarded; }

  private:
    void Run();
    int front = -1;  // faces the client
    int back = -1;   // faces the server
    uint16_t port = 0;
    Impairment impairment;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> forwarded{0};
    std::thread thread;
};

}  // namespace quictest
