#pragma once
// The start page's way into the native side: JSON commands in, JSON events out.
#include <functional>
#include <string>

namespace ostrel {

class IUiBridge {
public:
    virtual ~IUiBridge() = default;
    // Replaces any earlier sink. The sink gets one complete JSON text per event.
    virtual void setEventSink(std::function<void(const std::string&)> sink) = 0;
    // One web message of the start page, as JSON text.
    virtual void handleCommand(const std::string& json) = 0;
};

}  // namespace ostrel
