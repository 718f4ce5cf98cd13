#pragma once

// A determinate progress bar: a value between a minimum and a maximum.

#include <AppKit/NSView.h>

namespace NS {

class ProgressIndicator : public View
{
public:
    static ProgressIndicator* create(Rect frame) { return new ProgressIndicator(frame); }

    double minValue() const { return fMinValue; }
    void setMinValue(double value) { fMinValue = value; }
    double maxValue() const { return fMaxValue; }
    void setMaxValue(double value) { fMaxValue = value; }
    double doubleValue() const { return fDoubleValue; }
    // Held within the minimum and the maximum, as the bar draws it.
    void setDoubleValue(double value);

protected:
    explicit ProgressIndicator(Rect frame) : View(frame) {}

private:
    double fMinValue = 0;
    double fMaxValue = 100;
    double fDoubleValue = 0;
};

} // namespace NS
