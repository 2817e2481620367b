#pragma once

#include <string>

namespace velunto {

// Whoever asked for a recording of the unprocessed input, told when the request is refused.
class PreProcessingRecordingRequester {
public:
    static constexpr const char* kRecordingAbandonedMessage = "Aufnahme abgebrochen. Läuft der Eingang?";

    virtual ~PreProcessingRecordingRequester() = default;
    virtual void recordingRefused(const std::string& message) = 0;
};

}  // namespace velunto
