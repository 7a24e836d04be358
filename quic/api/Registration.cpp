#include "quic/api/Registration.h"

namespace quicapi {

Registration::Registration(std::string name, QUIC_EXECUTION_PROFILE executionProfile)
    : QUIC_HANDLE(QuicHandleType::Registration),
      appName(std::move(name)),
      profile(executionProfile) {}

void Registration::AddWorker(std::shared_ptr<Worker> worker) {
    std::vector<std::shared_ptr<Worker>> finished;
    {
        std::lock_guard guard(lock);
        for (auto it = workers.begin(); it != workers.end();) {
            if ((*it)->Exited()) {
                finished.push_back(std::move(*it));
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
        workers.push_back(std::move(worker));
    }
    for (auto& done : finished)
        done->Join();
}

void Registration::Close() {
    std::vector<std::shared_ptr<Worker>> running;
    {
        std::lock_guard guard(lock);
        running.swap(workers);
    }
    for (auto& worker : running)
        worker->Stop();
    for (auto& worker : running)
        worker->Join();
}

}  // namespace quicapi
