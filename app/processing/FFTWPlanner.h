#pragma once

#include <fftw3.h>

namespace velunto {

// FFTW's planner is not thread-safe (executing a plan is): every plan in the application is made
// and destroyed through here, under one lock.
class FFTWPlanner {
public:
    // Real-to-complex forward transform of n points from `in` to n / 2 + 1 bins in `out`; null on
    // failure. FFTW_MEASURE overwrites both arrays while planning.
    static fftwf_plan planRealForward(int n, float* in, fftwf_complex* out, unsigned flags = FFTW_MEASURE);
    // Complex-to-real inverse of the above (unnormalised: n times the plain inverse); destroys `in`.
    static fftwf_plan planRealInverse(int n, fftwf_complex* in, float* out, unsigned flags = FFTW_MEASURE);
    // Null does nothing.
    static void destroy(fftwf_plan plan);
};

}  // namespace velunto
