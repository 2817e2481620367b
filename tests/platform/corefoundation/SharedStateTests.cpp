#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/mach/mach_time.h"

namespace {

TEST(MachTime, TicksAreNanoseconds) {
    mach_timebase_info_data_t info{0, 0};
    EXPECT_EQ(mach_timebase_info(&info), KERN_SUCCESS);
    EXPECT_TRUE(info.numer == 1 && info.denom == 1);
    EXPECT_EQ(mach_timebase_info(nullptr), KERN_INVALID_ARGUMENT);
}

TEST(SharedState, ALoadedPlugInSeesTheHostsVirtualClockAndConstants) {
    void* probe = dlopen(VELUNTO_CF_PROBE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(probe, nullptr) << dlerror();
    const auto probeTime = reinterpret_cast<uint64_t (*)()>(dlsym(probe, "velunto_probe_absolute_time"));
    const auto probeString = reinterpret_cast<CFStringRef (*)()>(dlsym(probe, "velunto_probe_constant_string"));
    ASSERT_TRUE(probeTime && probeString);

    velunto_mach_set_virtual_time(1'234);  // far below any real reading
    EXPECT_EQ(mach_absolute_time(), 1'234u);
    EXPECT_EQ(probeTime(), 1'234u);
    velunto_mach_clear_virtual_time();
    const uint64_t realNow = velunto_mach_monotonic_time();
    EXPECT_GE(probeTime(), realNow);
    EXPECT_EQ(probeString(), CFSTR("Velunto Probe"));
    dlclose(probe);
}

}  // namespace
