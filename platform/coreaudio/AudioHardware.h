#pragma once

// The audio hardware layer's client interface: properties of audio objects, property listeners and
// device I/O procs. Functions live at global scope, named and shaped like the platform's C interface;
// only the listener blocks and their queues are C++.
//
// Status codes: unknown object '!obj'; missing address or out pointer 'nope'; a selector the object
// does not have 'who?'; a buffer smaller than the value, or a bad qualifier, '!siz'; a property that
// cannot be set 'unop'; a value the object refuses '!dat'.

#include <functional>
#include <memory>
#include <optional>

#include "platform/coreaudio/AudioHardwareBase.h"
#include "platform/dispatch/DispatchQueue.h"

Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress);
OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable);
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize);
// ioDataSize: the buffer's size in, the bytes written out. String values come back retained (the
// caller releases them); arrays whose elements are fixed-size get as many whole elements as fit.
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData);
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData);

// A listener block is compared by identity: remove it with the same pointer that was added.
using AudioObjectPropertyListenerFunction =
    std::function<void(UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses)>;
using AudioObjectPropertyListenerBlock = std::shared_ptr<const AudioObjectPropertyListenerFunction>;

AudioObjectPropertyListenerBlock makeAudioObjectPropertyListenerBlock(AudioObjectPropertyListenerFunction function);

// The block runs on `inDispatchQueue`, or on the notifying thread when none is given. Wildcards
// ('****' selector or scope, element 0xFFFFFFFF) match any value. A block removed is not called
// again, even for notifications already queued.
OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                             std::optional<velunto::DispatchQueue> inDispatchQueue,
                                             AudioObjectPropertyListenerBlock inListener);
OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                std::optional<velunto::DispatchQueue> inDispatchQueue,
                                                AudioObjectPropertyListenerBlock inListener);

// Device I/O. Every running proc of a device is called once per I/O cycle on the device's I/O thread
// with the device's input (one buffer per stream, channels interleaved, 32-bit float) and a zeroed
// output list of the same shape; the outputs of all procs are mixed. Times are on the device's sample
// timeline: inInputTime is when the input was captured, inOutputTime when the output will be played.
typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData, const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime,
                                      void* inClientData);
typedef struct OpaqueAudioDeviceIOProcID* AudioDeviceIOProcID;

OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc, void* inClientData,
                                   AudioDeviceIOProcID* outIOProcID);
// Stops the proc first if it runs.
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
// The device's I/O runs while at least one of its procs is started.
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
// When it returns, the proc is not running and will not be called again (unless started again).
// Succeeds for a proc whose device has gone.
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
