#pragma once

#include <utility>

namespace quarin {

// Runs a function when the scope ends, however it ends.
template <typename F> class ScopeExit
{
public:
    explicit ScopeExit(F fn) : m_fn(std::move(fn)) {}

    ~ScopeExit() { m_fn(); }

    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F m_fn;
};

} // namespace quarin
