#pragma once
// Root of the object model and the basic integer aliases used across the code base.
#include <cstdint>
#include <functional>

class TObject {
public:
    virtual ~TObject() = default;
};

// Method-pointer style events: the sender first.
using TNotifyEvent = std::function<void(TObject* Sender)>;
