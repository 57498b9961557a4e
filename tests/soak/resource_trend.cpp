#include "soak/resource_trend.h"

#include <algorithm>

Trend TrendOf(const std::vector<TrendPoint>& points, double warmUp, double ranFor)
{
    const double referenceEnd = warmUp + (ranFor - warmUp) / 3;
    const double lateStart = ranFor - (ranFor - warmUp) / 3;
    Trend trend;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const TrendPoint& point : points) {
        if (point.value < 0)
            continue;
        if (trend.start < 0)
            trend.start = point.value;
        trend.end = point.value;
        trend.peak = std::max(trend.peak, point.value);
        if (point.at >= warmUp && point.at <= referenceEnd)
            trend.reference = std::max(trend.reference, point.value);
        if (point.at >= lateStart)
            trend.lateMost = std::max(trend.lateMost, point.value);
        if (point.at >= warmUp) {
            const double x = point.at / 3600.0, y = static_cast<double>(point.value);
            n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
        }
    }
    if (n >= 3 && n * sxx - sx * sx > 0)
        trend.slopePerHour = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    return trend;
}

bool Held(const Trend& trend, long long allowance)
{
    return trend.reference >= 0 && trend.lateMost >= 0 && trend.lateMost <= trend.reference + allowance &&
           trend.end <= trend.reference + allowance;
}
