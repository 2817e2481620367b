#pragma once

namespace velunto {

// Stops the application with the message on standard error; for start-up failures without a
// degraded mode.
[[noreturn]] void fatalError(const char* message);

}  // namespace velunto
