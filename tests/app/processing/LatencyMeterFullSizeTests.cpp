// The FFT correlation against the sum it replaces, at the size of a real measurement: 14401 lags of
// 192000 products each (about 2.8 billion multiply-adds, a few seconds).
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "app/processing/LatencyMeter.h"

using namespace velunto;

TEST(LatencyMeterFullSize, TheTransformFindsTheLagAndCorrelationOfTheDirectSum) {
    constexpr std::size_t n = 192000;
    constexpr std::uint32_t maxLag = 14400;
    std::mt19937 generator(11);
    std::normal_distribution<float> voice(0.0f, 0.1f);
    std::vector<float> x(n);
    for (float& v : x)
        v = voice(generator);
    // A filtered, delayed copy (a two-tap smear starting at 9137) over unrelated noise.
    std::vector<float> y(n + maxLag);
    for (float& v : y)
        v = 0.3f * voice(generator);
    for (std::size_t i = 0; i < n; ++i) {
        y[i + 9137] += 0.7f * x[i];
        if (i + 9140 < y.size())
            y[i + 9140] += 0.4f * x[i];
    }

    std::vector<double> r(maxLag + 1);
    for (std::uint32_t k = 0; k <= maxLag; ++k) {
        double sum = 0;
        for (std::size_t i = 0; i < n; ++i)
            sum += static_cast<double>(y[k + i]) * x[i];
        r[k] = std::abs(sum);
    }
    const auto best = static_cast<std::uint32_t>(std::max_element(r.begin(), r.end()) - r.begin());
    double ex = 0, ey = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ex += static_cast<double>(x[i]) * x[i];
        ey += static_cast<double>(y[best + i]) * y[best + i];
    }

    const auto [lag, correlation] = LatencyMeter::findLag(x, y, maxLag);
    EXPECT_EQ(best, 9137u);
    EXPECT_EQ(lag, best);
    EXPECT_NEAR(correlation, r[best] / std::sqrt(ex * ey), 1e-4);
}
