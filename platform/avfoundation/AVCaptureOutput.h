#pragma once

namespace velunto {

class AVCaptureOutput {
public:
    virtual ~AVCaptureOutput() = default;
};

}  // namespace velunto
