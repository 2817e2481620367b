#pragma once
// Lock-free single-producer, single-consumer ring of 32-bit float samples.
// One writer thread and one reader thread at a time; neither blocks, logs or allocates.
// The handle is opaque: owners keep it and pass it back, nothing looks inside.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RingBuffer RingBuffer;

// Capacity is the smallest power of two >= max(requestedSize, 2). Null when memory is short.
RingBuffer* RingBufferCreate(uint64_t requestedSize);
// Null does nothing. Not safe while either side is running.
void RingBufferFree(RingBuffer* ring);
// Empties the ring. Only while neither side is running.
void RingBufferReset(RingBuffer* ring);

uint64_t RingBufferCapacity(const RingBuffer* ring);
// real-time: samples a read could deliver now
uint64_t RingBufferAvailableToRead(const RingBuffer* ring);
// real-time: samples a write could accept now
uint64_t RingBufferAvailableToWrite(const RingBuffer* ring);
// real-time: writer side; stores up to count samples, never overwrites unread ones; returns the number stored
uint64_t RingBufferWrite(RingBuffer* ring, const float* source, uint64_t count);
// real-time: reader side; takes up to count samples; an empty ring leaves destination untouched
uint64_t RingBufferRead(RingBuffer* ring, float* destination, uint64_t count);
// real-time: reader side; discards up to count of the oldest samples; returns the number discarded
uint64_t RingBufferSkip(RingBuffer* ring, uint64_t count);

#ifdef __cplusplus
}
#endif
