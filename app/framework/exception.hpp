// The platform's counterpart of a framework exception: what a launch or a file handle
// raises. Code that, like the task runner, must catch "platform exceptions only" catches
// this type and lets everything else pass.
#pragma once

#include <stdexcept>
#include <string>

namespace bwv::platform {

class PlatformException : public std::runtime_error {
public:
    PlatformException(std::string name, const std::string &reason)
        : std::runtime_error(reason), name_(std::move(name)) {}

    // A short category such as "NSInvalidArgumentException"; what() holds the reason.
    const std::string &name() const noexcept { return name_; }

private:
    std::string name_;
};

}  // namespace bwv::platform
