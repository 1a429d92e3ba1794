#pragma once
// One running app per user session: a second start hands over to the first and ends.
#include <memory>
#include <string>

namespace ostrel::shell {

class SingleInstance {
public:
    enum class Outcome {
        Primary,         // this process is the one
        AlreadyRunning,  // another process is; activateRunning() then exit
        Unguarded,       // no guard could be had (see failure()); run anyway
    };

    static std::shared_ptr<SingleInstance> create(const std::string& applicationId);
    virtual ~SingleInstance() = default;

    virtual Outcome claim() = 0;
    // Asks the running instance to present its window (de-iconified, raised).
    virtual void activateRunning() = 0;
    virtual int failureCode() const = 0;
    virtual std::string failure() const = 0;
};

}  // namespace ostrel::shell
