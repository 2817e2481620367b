/* The host clock in ticks. Ticks are nanoseconds (time base 1/1); while a test runs in virtual
 * time the clock is the virtual one, so code loaded from plug-ins sees the same time as the host. */
#ifndef VELUNTO_MACH_TIME_H
#define VELUNTO_MACH_TIME_H

#include <stdint.h>

#include "platform/mach/kern_return.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
} mach_timebase_info_data_t;
typedef mach_timebase_info_data_t* mach_timebase_info_t;

/* Ticks to nanoseconds: ticks * numer / denom. In C++ the function hides the struct's name, as intended. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#endif
kern_return_t mach_timebase_info(mach_timebase_info_t info);
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
uint64_t mach_absolute_time(void);

/* Used by the virtual-time scheduler only. */
void velunto_mach_set_virtual_time(uint64_t nanoseconds);
void velunto_mach_clear_virtual_time(void);
/* CLOCK_MONOTONIC, whatever is installed. */
uint64_t velunto_mach_monotonic_time(void);

#ifdef __cplusplus
}
#endif

#endif
