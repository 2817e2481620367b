/* The Velunto virtual microphone: an audio server driver plug-in with two devices on one clock. The
 * feed device's output comes back as the microphone device's input, placed by sample time. */
#ifndef VELUNTO_MIC_DRIVER_H
#define VELUNTO_MIC_DRIVER_H

#include "platform/coreaudio/AudioServerPlugIn.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kVeluntoMicPlugInID = 1,
    kVeluntoMicDeviceID = 2,
    kVeluntoMicStreamID = 3,
    kVeluntoMicFeedDeviceID = 4,
    kVeluntoMicFeedStreamID = 5
};

enum { kVeluntoMicRingFrames = 16384, kVeluntoMicZeroTimeStampPeriod = 16384 };

#define kVeluntoMicDeviceUID "app.velunto.mic"
#define kVeluntoMicFeedDeviceUID "app.velunto.mic.feed"
#define kVeluntoMicDeviceName "Velunto Mic"
#define kVeluntoMicFeedDeviceName "Velunto Mic (Einspeisung)"
#define kVeluntoMicSampleRate 48000
#define kVeluntoMicChannels 2

/* The factory named in the bundle's Info.plist: the driver reference for the audio server plug-in
 * type, NULL for any other type. */
void* VeluntoMic_Create(CFAllocatorRef allocator, CFUUIDRef requestedTypeUUID);

#ifdef __cplusplus
}
#endif

#endif
