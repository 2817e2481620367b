/* Scheduling policy of the calling thread. */
#ifndef VELUNTO_THREAD_POLICY_H
#define VELUNTO_THREAD_POLICY_H

#include "platform/mach/kern_return.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Asks the scheduler to run the calling thread as a time-constrained (audio) thread: first-in-first-out
 * real-time scheduling where the process may use it. KERN_FAILURE, and nothing changed, where it may not. */
kern_return_t thread_policy_set_time_constraint(void);

#ifdef __cplusplus
}
#endif

#endif
