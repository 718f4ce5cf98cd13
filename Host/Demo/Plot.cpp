#include "Plot.h"

#include "DemoRun.h"
#include "TestSignal.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace Demo {

namespace {

constexpr int kWidth = 1200;
constexpr int kHeight = 800;
constexpr double kLeft = 90;
constexpr double kRight = 30;
constexpr double kWindowSeconds = 0.020;
constexpr double kTimingWindowUs = 100;

struct Panel
{
    double x;
    double y;
    double width;
    double height;
    double xMin;
    double xMax;
    double yMin;
    double yMax;

    double px(double value) const { return x + (value - xMin) / (xMax - xMin) * width; }
    double py(double value) const { return y + height - (value - yMin) / (yMax - yMin) * height; }
};

void Text(cairo_t* cr, double x, double y, const std::string& text, double size, bool bold = false)
{
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, text.c_str());
}

std::string Number(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

// The frame, grid, tick labels and axis titles of a panel.
void DrawAxes(cairo_t* cr, const Panel& panel, const std::string& title, const std::string& xTitle,
              const std::string& yTitle, int xDecimals, int yDecimals)
{
    cairo_set_source_rgb(cr, 0, 0, 0);
    Text(cr, panel.x, panel.y - 12, title, 16, true);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, panel.x, panel.y, panel.width, panel.height);
    cairo_stroke(cr);
    constexpr int kTicks = 5;
    for (int tick = 0; tick <= kTicks; ++tick) {
        const double xValue = panel.xMin + (panel.xMax - panel.xMin) * tick / kTicks;
        const double yValue = panel.yMin + (panel.yMax - panel.yMin) * tick / kTicks;
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, panel.px(xValue), panel.y);
        cairo_line_to(cr, panel.px(xValue), panel.y + panel.height);
        cairo_move_to(cr, panel.x, panel.py(yValue));
        cairo_line_to(cr, panel.x + panel.width, panel.py(yValue));
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        Text(cr, panel.px(xValue) - 14, panel.y + panel.height + 16, Number(xValue, xDecimals), 11);
        Text(cr, panel.x - 60, panel.py(yValue) + 4, Number(yValue, yDecimals), 11);
    }
    Text(cr, panel.x + panel.width / 2 - 40, panel.y + panel.height + 34, xTitle, 12);
    cairo_save(cr);
    cairo_translate(cr, panel.x - 68, panel.y + panel.height / 2 + 40);
    cairo_rotate(cr, -M_PI / 2);
    Text(cr, 0, 0, yTitle, 12);
    cairo_restore(cr);
}

void Legend(cairo_t* cr, double x, double y, double r, double g, double b, const std::string& text)
{
    cairo_set_source_rgb(cr, r, g, b);
    cairo_rectangle(cr, x, y - 9, 18, 4);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    Text(cr, x + 24, y - 3, text, 11);
}

void DrawSignal(cairo_t* cr, const PlotInput& input, const Panel& frame)
{
    const RunResult& run = input.run;
    const Recorder::Trace& trace = input.trace;
    const uint32_t rate = run.options.rate;
    const auto window = int64_t(kWindowSeconds * rate);
    const auto recorded = int64_t(trace.samples.size());
    int64_t centre = trace.start + recorded / 2;
    const auto& silences = run.loopback.silences;
    if (!silences.empty() && silences.front().start < trace.start + recorded) {
        centre = silences.front().start + silences.front().frames / 2;
    }
    const int64_t first = std::clamp<int64_t>(
        centre - window / 2, trace.start, std::max<int64_t>(trace.start, trace.start + recorded - window));
    Panel panel = frame;
    panel.xMin = 0;
    panel.xMax = kWindowSeconds * 1000;
    panel.yMin = -1;
    panel.yMax = 1;
    DrawAxes(cr, panel,
             "Signal: channel 0, played and recorded (latency " + std::to_string(run.loopback.latencyFrames) +
                 " frames)",
             "time (ms)", "level (full scale)", 1, 1);
    for (const SilentStretch& silence : run.loopback.silences) {
        const double from = double(silence.start - first) * 1000 / rate;
        const double to = double(silence.start + silence.frames - first) * 1000 / rate;
        if (to < 0 || from > panel.xMax) {
            continue;
        }
        cairo_set_source_rgba(cr, 1, 0.6, 0, 0.3);
        cairo_rectangle(cr, panel.px(std::max(from, 0.0)), panel.y,
                        panel.px(std::min(to, panel.xMax)) - panel.px(std::max(from, 0.0)), panel.height);
        cairo_fill(cr);
    }
    cairo_set_line_width(cr, 3);
    cairo_set_source_rgb(cr, 0.6, 0.75, 1);
    for (int64_t index = 0; index < window; ++index) {
        const double x = panel.px(double(index) * 1000 / rate);
        const double y =
            panel.py(ToFloat(SignalValue(kSineChannel, first + index - run.loopback.latencyFrames, rate)));
        index == 0 ? cairo_move_to(cr, x, y) : cairo_line_to(cr, x, y);
    }
    cairo_stroke(cr);
    cairo_set_line_width(cr, 1.2);
    cairo_set_source_rgb(cr, 0.8, 0.1, 0.1);
    bool started = false;
    for (int64_t index = 0; index < window && first - trace.start + index < recorded; ++index) {
        const double x = panel.px(double(index) * 1000 / rate);
        const double y = panel.py(trace.samples[size_t(first - trace.start + index)]);
        started ? cairo_line_to(cr, x, y) : cairo_move_to(cr, x, y);
        started = true;
    }
    cairo_stroke(cr);
    Legend(cr, panel.x + 10, panel.y + 20, 0.6, 0.75, 1, "played");
    Legend(cr, panel.x + 100, panel.y + 20, 0.8, 0.1, 0.1, "recorded");
    Legend(cr, panel.x + 200, panel.y + 20, 1, 0.6, 0, "repaired drop");
}

void DrawTiming(cairo_t* cr, const PlotInput& input, const Panel& frame)
{
    const TimingResult& timing = input.run.timing;
    const uint64_t origin = input.cycles.empty() ? 0 : input.cycles.front().scheduled;
    double end = 1;
    for (const CyclePoint& cycle : input.cycles) {
        end = std::max(end, double(cycle.scheduled - origin) / 1e9);
    }
    // The window and the zero timestamps set the scale; a wake-up later than that is drawn at the edge.
    double top = kTimingWindowUs * 3;
    for (const auto& [host, error] : timing.errorsUs) {
        top = std::max(top, std::abs(error) * 1.2);
    }
    Panel panel = frame;
    panel.xMin = 0;
    panel.xMax = end;
    panel.yMin = -top;
    panel.yMax = top;
    DrawAxes(cr, panel, "Timing: zero-timestamp error and IO cycle wake-up lateness", "time (s)",
             "error, lateness (µs)", 1, 0);
    cairo_set_source_rgba(cr, 0.2, 0.7, 0.2, 0.15);
    cairo_rectangle(cr, panel.x, panel.py(kTimingWindowUs), panel.width,
                    panel.py(-kTimingWindowUs) - panel.py(kTimingWindowUs));
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.55, 0.55, 0.55);
    cairo_set_line_width(cr, 0.8);
    bool started = false;
    for (const CyclePoint& cycle : input.cycles) {
        const double x = panel.px(double(cycle.scheduled - origin) / 1e9);
        const double y = panel.py(std::clamp(double(cycle.wakeLatenessNs) / 1000, -top, top));
        started ? cairo_line_to(cr, x, y) : cairo_move_to(cr, x, y);
        started = true;
    }
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.1, 0.2, 0.8);
    for (const auto& [host, error] : timing.errorsUs) {
        if (host < origin) {
            continue;
        }
        cairo_arc(cr, panel.px(double(host - origin) / 1e9), panel.py(error), 3.5, 0, 2 * M_PI);
        cairo_fill(cr);
    }
    Legend(cr, panel.x + 10, panel.y + 20, 0.1, 0.2, 0.8, "zero-timestamp error");
    Legend(cr, panel.x + 190, panel.y + 20, 0.55, 0.55, 0.55, "cycle wake-up lateness");
    Legend(cr, panel.x + 390, panel.y + 20, 0.2, 0.7, 0.2, "±100 µs window");
}

} // namespace

bool DrawPlot(const std::string& path, const PlotInput& input)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    const RunResult& run = input.run;
    cairo_set_source_rgb(cr, 0, 0, 0);
    Text(cr, kLeft, 32,
         KorvanInterface::modelInfo(run.options.model).product + std::string(" ") + run.serial + ", " +
             std::to_string(run.options.rate) + " Hz, " + std::to_string(run.options.bufferFrames) +
             "-frame buffer, " + run.driver + (run.throughAdapter ? " through the adapter" : ""),
         18, true);
    const double width = kWidth - kLeft - kRight;
    DrawSignal(cr, input, Panel{kLeft, 80, width, 280, 0, 1, 0, 1});
    DrawTiming(cr, input, Panel{kLeft, 460, width, 280, 0, 1, 0, 1});
    cairo_destroy(cr);
    const bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return written;
}

} // namespace Demo
