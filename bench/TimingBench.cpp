// Tick periods of timed items with an idle UI loop, and the CPU that a running item costs.
// Prints, per Interval: the mean period, and the 50th/99th percentile of the lateness of each
// tick against one Interval after the previous handler returned (the worker's wake-up plus
// the hand-over to the UI thread).
#include "timing/ZelTMultiThread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace movarth;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double ProcessCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const auto index =
        static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

void Measure(std::uint16_t interval, int ticks)
{
    TPlainUiLoop ui;
    TZelMultiThreader component(ui);
    TZelTimedThread& item = component.Threads().Add();
    item.SetEnabled(false);
    item.SetInterval(interval);
    std::vector<Clock::time_point> starts;
    std::vector<Clock::time_point> ends;
    starts.reserve(static_cast<std::size_t>(ticks));
    ends.reserve(static_cast<std::size_t>(ticks));
    item.OnTimer = [&](TZelTimedThread&) {
        starts.push_back(Clock::now());
        ends.push_back(Clock::now());
    };
    const double cpuBefore = ProcessCpuMs();
    const auto begin = Clock::now();
    item.SetEnabled(true);
    ui.RunUntil([&] { return starts.size() >= static_cast<std::size_t>(ticks); },
                std::chrono::milliseconds(static_cast<long>(interval) * (ticks + 5)));
    const double wallMs = Ms(Clock::now() - begin);
    const double cpuMs = ProcessCpuMs() - cpuBefore;
    item.SetEnabled(false);

    std::vector<double> periods;
    std::vector<double> lateness;
    for (std::size_t i = 1; i < starts.size(); ++i) {
        periods.push_back(Ms(starts[i] - starts[i - 1]));
        lateness.push_back(Ms(starts[i] - ends[i - 1]) - interval);
    }
    double mean = 0;
    for (const double p : periods)
        mean += p;
    mean /= static_cast<double>(periods.size());
    std::printf("Interval %5u ms, %3zu ticks: mean period %9.3f ms (+%.3f), lateness p50 %.3f ms, "
                "p99 %.3f ms, max %.3f ms; CPU %.1f ms in %.1f s (%.4f %%)\n",
                interval, starts.size(), mean, mean - interval, Percentile(lateness, 50),
                Percentile(lateness, 99), *std::max_element(lateness.begin(), lateness.end()),
                cpuMs, wallMs / 1000.0, 100.0 * cpuMs / wallMs);
}

} // namespace

int main()
{
    Measure(50, 201);
    Measure(1000, 26);
    return 0;
}
