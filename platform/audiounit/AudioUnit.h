#pragma once

// Audio components and audio units: find a component by description, make an instance, set its
// properties, initialise it, and for output units start and stop them. Shaped like the platform's
// C interface; every failure is a status code, never an exception.

#include "platform/coreaudio/AudioHardwareBase.h"

typedef struct AudioComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
} AudioComponentDescription;

typedef struct OpaqueAudioComponent* AudioComponent;
typedef struct ComponentInstanceRecord* AudioComponentInstance;
typedef AudioComponentInstance AudioUnit;

typedef UInt32 AudioUnitPropertyID;
typedef UInt32 AudioUnitScope;
typedef UInt32 AudioUnitElement;
typedef UInt32 AudioUnitRenderActionFlags;
typedef UInt32 AudioUnitParameterID;
typedef Float32 AudioUnitParameterValue;

typedef OSStatus (*AURenderCallback)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                     const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber, UInt32 inNumberFrames,
                                     AudioBufferList* ioData);

typedef struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
} AURenderCallbackStruct;

enum {
    kAudioUnitType_Output = 'auou',
    kAudioUnitType_Effect = 'aufx',
    kAudioUnitType_MusicEffect = 'aumf',
    kAudioUnitSubType_HALOutput = 'ahal',
    kAudioUnitManufacturer_Apple = 'appl'
};

// Set by a render callback whose buffers hold only silence (their contents are then not read).
enum { kAudioUnitRenderAction_OutputIsSilence = 1u << 4 };

enum { kAudioUnitScope_Global = 0, kAudioUnitScope_Input = 1, kAudioUnitScope_Output = 2 };

enum {
    kAudioUnitProperty_ClassInfo = 0,
    kAudioUnitProperty_StreamFormat = 8,
    kAudioUnitProperty_Latency = 12,
    kAudioUnitProperty_MaximumFramesPerSlice = 14,
    kAudioUnitProperty_BypassEffect = 21,
    kAudioUnitProperty_SetRenderCallback = 23,
    kAudioOutputUnitProperty_CurrentDevice = 2000,
    kAudioOutputUnitProperty_EnableIO = 2003
};

enum {
    kAudioUnitErr_InvalidProperty = -10879,
    kAudioUnitErr_InvalidParameter = -10878,
    kAudioUnitErr_InvalidElement = -10877,
    kAudioUnitErr_NoConnection = -10876,
    kAudioUnitErr_FailedInitialization = -10875,
    kAudioUnitErr_TooManyFramesToProcess = -10874,
    kAudioUnitErr_FormatNotSupported = -10868,
    kAudioUnitErr_Uninitialized = -10867,
    kAudioUnitErr_InvalidScope = -10866,
    kAudioUnitErr_PropertyNotWritable = -10865,
    kAudioUnitErr_CannotDoInCurrentContext = -10863,
    kAudioUnitErr_InvalidPropertyValue = -10851,
    kAudioUnitErr_Initialized = -10849,
    kAudioUnitErr_InvalidOfflineRender = -10848,
    kAudioUnitErr_InvalidParameterValue = -67743,
    kAudioComponentErr_InstanceInvalidated = -66749
};

// Components whose fields match `inDesc` where it is non-zero (and flags under the mask), in
// registration order, starting after `inComponent` (NULL: from the first).
AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc);
OSStatus AudioComponentGetDescription(AudioComponent inComponent, AudioComponentDescription* outDesc);
OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance);
OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance);

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize);
// ioDataSize: the buffer's size in, the bytes written out.
OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize);
OSStatus AudioUnitInitialize(AudioUnit inUnit);
OSStatus AudioUnitUninitialize(AudioUnit inUnit);
OSStatus AudioOutputUnitStart(AudioUnit inUnit);
OSStatus AudioOutputUnitStop(AudioUnit inUnit);

// Processes ioData in place (an effect unit: non-interleaved, one buffer per channel of its stream
// format, at most MaximumFramesPerSlice frames). The unit is looked up under the registry's lock, so
// this is for tests and tools: the audio graph keeps the unit object and calls
// AudioUnitBase::process on the audio thread directly.
OSStatus AudioUnitProcess(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                          const AudioTimeStamp* inTimeStamp, UInt32 inNumberFrames, AudioBufferList* ioData);
// Clears the unit's delay lines and signal history; parameters and properties stay. Global scope,
// element 0.
OSStatus AudioUnitReset(AudioUnit inUnit, AudioUnitScope inScope, AudioUnitElement inElement);
