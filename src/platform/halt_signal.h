#pragma once

namespace quarin {

// The console's halt: once raised, every blocking wait of the adapters returns early.
class HaltSignal
{
public:
    virtual ~HaltSignal() = default;
    virtual void raise() = 0;
    virtual bool raised() const = 0;
};

} // namespace quarin
