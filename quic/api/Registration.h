#pragma once
// A registration: the application's name and execution profile, and the
// worker threads of every listener and client connection opened under it.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quic/api/Handle.h"
#include "quic/api/Worker.h"

namespace quicapi {

class Registration : public QUIC_HANDLE, public std::enable_shared_from_this<Registration> {
  public:
    Registration(std::string name, QUIC_EXECUTION_PROFILE executionProfile);

    const std::string appName;
    const QUIC_EXECUTION_PROFILE profile;
    // The application's reference, dropped by RegistrationClose.
    std::shared_ptr<Registration> appRef;

    // Keeps the worker until it has ended and been joined.
    void AddWorker(std::shared_ptr<Worker> worker);
    // Ends what is still running under this registration and joins its threads.
    void Close();

  private:
    std::mutex lock;
    std::vector<std::shared_ptr<Worker>> workers;
};

}  // namespace quicapi
