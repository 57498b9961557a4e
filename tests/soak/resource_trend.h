// Whether a figure sampled over a run kept still after its warm-up.
#pragma once

#include <vector>

struct TrendPoint {
    double at = 0;  // seconds into the run
    long long value = -1;  // -1: not read
};

struct Trend {
    long long start = -1, end = -1, peak = -1;
    long long reference = -1;  // the most in the first third after the warm-up
    long long lateMost = -1;   // the most in the last third
    double slopePerHour = 0;   // least squares, after the warm-up
};

// The run ends at `ranFor`; the thirds are of the time after `warmUp`.
Trend TrendOf(const std::vector<TrendPoint>& points, double warmUp, double ranFor);

// Held: the last third and the end stay within `allowance` of the reference.
bool Held(const Trend& trend, long long allowance);
