#include "app/processing/FFTWPlanner.h"

#include <mutex>

namespace velunto {

namespace {

std::mutex& plannerMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

fftwf_plan FFTWPlanner::planRealForward(int n, float* in, fftwf_complex* out, unsigned flags) {
    std::lock_guard lock(plannerMutex());
    return fftwf_plan_dft_r2c_1d(n, in, out, flags);
}

fftwf_plan FFTWPlanner::planRealInverse(int n, fftwf_complex* in, float* out, unsigned flags) {
    std::lock_guard lock(plannerMutex());
    return fftwf_plan_dft_c2r_1d(n, in, out, flags);
}

void FFTWPlanner::destroy(fftwf_plan plan) {
    if (!plan)
        return;
    std::lock_guard lock(plannerMutex());
    fftwf_destroy_plan(plan);
}

}  // namespace velunto
