#pragma once

namespace velunto {

class AVCaptureInput {
public:
    virtual ~AVCaptureInput() = default;
};

}  // namespace velunto
