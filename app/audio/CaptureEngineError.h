#pragma once

#include <exception>
#include <string>

namespace velunto {

// Why a capture graph could not be built.
class CaptureEngineError : public std::exception {
public:
    enum class Kind { inputUnitUnavailable, deviceNotSettable };

    explicit CaptureEngineError(Kind kind) : kind_(kind) {}
    Kind kind() const { return kind_; }
    // The German sentence shown to the user.
    std::string localizedDescription() const;
    const char* what() const noexcept override { return "CaptureEngineError"; }

private:
    Kind kind_;
};

}  // namespace velunto
