#include "platform/mach/thread_policy.h"

#include <pthread.h>
#include <sched.h>

extern "C" kern_return_t thread_policy_set_time_constraint(void) {
    // Above ordinary threads, below the kernel's own and the sound server's usual real-time priorities.
    sched_param parameters{};
    parameters.sched_priority = 10;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0 ? KERN_SUCCESS : KERN_FAILURE;
}
