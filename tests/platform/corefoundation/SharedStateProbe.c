/* Stands in for a driver plug-in: loaded with dlopen, it reports the clock and a constant string as it
 * sees them. */
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/mach/mach_time.h"

uint64_t velunto_probe_absolute_time(void) {
    return mach_absolute_time();
}

CFStringRef velunto_probe_constant_string(void) {
    return CFSTR("Velunto Probe");
}
