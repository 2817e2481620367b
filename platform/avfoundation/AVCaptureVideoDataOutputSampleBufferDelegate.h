#pragma once

#include "platform/avfoundation/AVCaptureConnection.h"
#include "platform/avfoundation/AVCaptureOutput.h"
#include "platform/coremedia/CMSampleBuffer.h"

namespace velunto {

class AVCaptureVideoDataOutputSampleBufferDelegate {
public:
    virtual ~AVCaptureVideoDataOutputSampleBufferDelegate() = default;
    virtual void captureOutputDidOutputSampleBuffer(AVCaptureOutput& output, const CMSampleBufferRef& sampleBuffer,
                                                    AVCaptureConnection& connection) = 0;
    // A dropped frame comes with its timing; its image is a small black placeholder.
    virtual void captureOutputDidDropSampleBuffer(AVCaptureOutput&, const CMSampleBufferRef&, AVCaptureConnection&) {}
};

}  // namespace velunto
