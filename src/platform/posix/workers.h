#pragma once

#include <atomic>
#include <memory>

#include "platform/workers.h"

namespace quarin::posix {

// One detached std::thread per worker.
class ThreadWorkerStarter : public WorkerStarter
{
public:
    void start(std::function<void()> body) override;
    int running() const override;

private:
    // Shared with the workers, which may outlive the starter at exit.
    std::shared_ptr<std::atomic<int>> m_running = std::make_shared<std::atomic<int>>(0);
};

} // namespace quarin::posix
