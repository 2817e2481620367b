#pragma once

#include <string>

namespace velunto {

// The state of an engine as the user sees it. Equal when the case and, for an error, the message match.
class EngineStatus {
public:
    enum class Kind { stopped, starting, running, error };

    EngineStatus() = default;
    static EngineStatus stopped() { return EngineStatus(Kind::stopped, {}); }
    static EngineStatus starting() { return EngineStatus(Kind::starting, {}); }
    static EngineStatus running() { return EngineStatus(Kind::running, {}); }
    static EngineStatus error(std::string message) { return EngineStatus(Kind::error, std::move(message)); }

    Kind kind() const { return kind_; }
    bool isError() const { return kind_ == Kind::error; }
    // The German sentence of an error; empty otherwise.
    const std::string& message() const { return message_; }

    bool operator==(const EngineStatus&) const = default;

private:
    EngineStatus(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_ = Kind::stopped;
    std::string message_;
};

}  // namespace velunto
