/* The test generator driver: its objects, and the hooks it exports for the tests besides its factory. */
#ifndef VELUNTO_TEST_GENERATOR_HOOKS_H
#define VELUNTO_TEST_GENERATOR_HOOKS_H

#include "platform/coreaudio/AudioServerPlugIn.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kTestGeneratorDeviceID = 2,
    kTestGeneratorInputStreamID = 3,  /* mono: a ramp, sample value = sample time */
    kTestGeneratorOutputStreamID = 4, /* stereo: the last buffer written is kept */
    kTestGeneratorMaxFrames = 4096
};

/* Owned by the test, so they outlive an unload. */
typedef struct TestGeneratorCounters {
    unsigned startIO;
    unsigned stopIO;
    unsigned performedChanges;
    unsigned abortedChanges;
} TestGeneratorCounters;

typedef struct TestGeneratorHooks {
    void (*setCounters)(TestGeneratorCounters* counters);
    /* The host's PropertiesChanged for one global address of a driver object. */
    OSStatus (*announce)(AudioObjectID objectID, AudioObjectPropertySelector selector);
    OSStatus (*store)(const char* key, const char* value);
    /* 1 with the stored string copied into buffer, 0 if the host has nothing under the key. */
    int (*copyStored)(const char* key, char* buffer, unsigned size);
    OSStatus (*deleteStored)(const char* key);
    /* The last buffer written to the output stream (interleaved stereo) and its output sample time;
     * returns its frame count. */
    UInt32 (*lastOutput)(float* samples, UInt32 maxFrames, Float64* sampleTime);
    AudioServerPlugInIOCycleInfo (*lastReadCycle)(void);
    /* Of the manufacturer string, which the driver creates (it is not a constant). */
    CFIndex (*manufacturerRetainCount)(void);
} TestGeneratorHooks;

const TestGeneratorHooks* TestGenerator_Hooks(void);

#ifdef __cplusplus
}
#endif

#endif
