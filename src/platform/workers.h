#pragma once

#include <functional>

namespace quarin {

// Starts worker threads. Nothing waits on a worker from the window's thread without a bound.
class WorkerStarter
{
public:
    virtual ~WorkerStarter() = default;
    virtual void start(std::function<void()> body) = 0;
    // Workers started and not yet returned.
    virtual int running() const = 0;
};

} // namespace quarin
