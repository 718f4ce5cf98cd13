#pragma once

// The output volume curve: scalar 0..1 to decibels and back, and the linear gain of a scalar.

#include <cmath>
#include <limits>

extern const float kExp;
extern const float kThreadhold;

// A scalar within 0..1; a value that is not finite becomes 0.
inline float ClampScalar(float scalar)
{
    if (!std::isfinite(scalar) || scalar <= 0.0f) {
        return 0.0f;
    }
    return scalar < 1.0f ? scalar : 1.0f;
}

inline float ScalarToDecibels(float scalar)
{
    scalar = ClampScalar(scalar);
    if (scalar < kThreadhold) {
        return -std::numeric_limits<float>::infinity();
    }
    return (std::pow(scalar, kExp) - 1.0f) * 97.0f;
}

inline double DecibelsToScalar(float decibels)
{
    if (!(decibels >= -96.0f)) {
        return 0.0;
    }
    return std::pow(double(decibels) / 97.0 + 1.0, 1.0 / double(kExp));
}

// 10^(dB / 20) of the scalar's decibels; 0 at minus infinity.
inline float LinearGain(float scalar)
{
    const float decibels = ScalarToDecibels(scalar);
    if (std::isinf(decibels)) {
        return 0.0f;
    }
    return std::pow(10.0f, decibels / 20.0f);
}
