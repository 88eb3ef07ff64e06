// The send history's cost at the end of a download and under the window's tooltip. Prints:
// the time of one Append of a 31-entry record (median, 99th percentile, the slowest) while the
// file grows through a rotation, the time of the Append that rotated, and the time of
// LastConfirmed over a file of 1,000,000 bytes whose only confirmation is in the old file.
#include "link/SendHistory.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace movarth;
using Clock = std::chrono::steady_clock;

double Us(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1))];
}

TSendRecord Record(TSendOutcome outcome)
{
    TSendRecord record{
        std::time(nullptr), "ttyUSB0", "sender /home/op/schedules/today.qlx", {}, outcome, ""};
    for (int k = 0; k < 31; ++k)
        record.entries.push_back({"12:34:56", "01:02:03"});
    if (outcome == TSendOutcome::soFailed)
        record.detail =
            "计算机和倒计时控制器未取得联系，请检查; the controller did not answer in time";
    return record;
}

} // namespace

int main()
{
    char folder[] = "/tmp/movarth-history-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) return 1;
    const std::string path = std::string(folder) + "/movarth/send-history.log";
    TSendHistory history(
        path, [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });

    // Enough records to pass the limit once (a 31-entry line is about 700 bytes).
    const TSendRecord confirmed = Record(TSendOutcome::soConfirmed);
    const TSendRecord failed = Record(TSendOutcome::soFailed);
    const std::size_t lineBytes = FormatSendRecord(failed).size() + 1;
    const int appends = static_cast<int>(TSendHistory::kRotateBytes / lineBytes) + 200;
    std::vector<double> times;
    double rotation = 0;
    history.Append(confirmed);
    for (int i = 0; i < appends; ++i) {
        const bool rotates = std::filesystem::file_size(path) >= TSendHistory::kRotateBytes;
        const auto start = Clock::now();
        history.Append(failed);
        const double us = Us(Clock::now() - start);
        if (rotates) rotation = us;
        times.push_back(us);
    }
    std::printf("append of a 31-entry record (%zu bytes), %d times: median %.1f us, p99 %.1f us, "
                "slowest %.1f us; the one that rotated %.1f us\n",
                lineBytes, appends, Percentile(times, 50), Percentile(times, 99),
                *std::max_element(times.begin(), times.end()), rotation);

    // A full current file without a confirmation: the old file is read too.
    while (std::filesystem::file_size(path) < TSendHistory::kRotateBytes - lineBytes)
        history.Append(failed);
    const TSendHistory reader(path, {});
    std::vector<double> reads;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        const bool found = reader.LastConfirmed().has_value();
        reads.push_back(Us(Clock::now() - start) / 1000.0);
        if (!found) return 1;
    }
    std::printf("LastConfirmed over %ju + %ju bytes: median %.2f ms, slowest %.2f ms\n",
                static_cast<std::uintmax_t>(std::filesystem::file_size(path)),
                static_cast<std::uintmax_t>(std::filesystem::file_size(path + ".1")),
                Percentile(reads, 50), *std::max_element(reads.begin(), reads.end()));
    std::filesystem::remove_all(folder);
    return 0;
}
