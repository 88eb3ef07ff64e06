// Many downloads in a row through one running main window (offscreen): its send button, its
// download and its serial port, against the controller simulator in-process on a
// pseudo-terminal. Each download meets a fault drawn from a seeded generator: none, refusals,
// a garbage answer, silence, or the line lost under the open port (then the port is opened
// again under the same name). Every download must end as its fault says it must; the open
// descriptors, threads and resident memory are printed after the first and the last.
// Usage: movarth-soak [DOWNLOADS [SEED]]   (default 1000 downloads, seed 1)
#include "app/Application.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"
#include "tools/SimLine.h"

#include <QTest>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <unistd.h>

namespace {

using namespace movarth;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kEntries = 4;

enum class EFault
{
    None,
    Refusal,
    BadByte,
    DoubleAck,
    Silence,
    LineLoss
};
constexpr const char* kFaultNames[] = {"none",       "refusal", "garbage byte",
                                       "double ack", "silence", "line loss"};
// Weights of the faults, in per mille. Silence and the double acknowledgement cost the 5 s
// time budget each; the mix keeps 1,000 downloads to about 15 minutes.
constexpr std::array<int, 6> kWeights{450, 250, 110, 40, 70, 80};

struct TResources
{
    long fds;
    long threads;
    long rssKiB;
};

TResources Measure()
{
    namespace fs = std::filesystem;
    const auto count = [](const char* dir) {
        long n = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir))
            ++n;
        return n;
    };
    long pages = 0, resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return {count("/proc/self/fd"), count("/proc/self/task"),
            resident * sysconf(_SC_PAGESIZE) / 1024};
}

// The simulator on its own thread, one run per download with that download's answers, on a
// pseudo-terminal reached through a symbolic link (as a udev name would be), so that the port
// name stays the same when the line is replaced.
class TController
{
public:
    explicit TController(std::string link) : link_(std::move(link)) { Plug(); }
    ~TController() { Stop(); }

    void Start(const sim::TAnswerPolicy& policy)
    {
        options_.policy = policy;
        stop_ = false;
        thread_ =
            std::thread([this] { sim::RunController(*line_, options_, nullptr, nullptr, stop_); });
    }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // The line goes away under the open port; a new one comes under the same name.
    void Unplug()
    {
        Stop();
        line_.reset();
    }
    void Plug()
    {
        line_ = std::make_unique<sim::TSimLine>();
        std::filesystem::remove(link_);
        std::filesystem::create_symlink(line_->Path(), link_);
    }

private:
    std::string link_;
    std::unique_ptr<sim::TSimLine> line_;
    sim::TSimOptions options_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

int main(int argc, char** argv)
{
    const int downloads = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TScopedSettingsDir settings;
    TApplication app(argc, argv);
    TScriptedOperator op;
    SetErrorOperator(&op);

    TController controller(settings.Path().toStdString() + "/controller");
    TFrm_main window(&op);
    window.show();
    const char* entries[kEntries][2] = {{"07:30:00", "00:30:00"},
                                        {"12:00:00", "01:15:00"},
                                        {"19:00:00", "00:45:00"},
                                        {"23:30:00", "00:29:59"}};
    for (const auto& entry : entries) {
        TypeTime(window.MaskEdit1, entry[0]);
        TypeTime(window.MaskEdit2, entry[1]);
        window.BitBtn1->click();
    }
    window.Edit1->setText(settings.Path() + "/controller");
    window.BitBtn2->click();
    if (window.EntryCount() != kEntries || !window.Comm1.IsOpen() || !op.calls.empty()) {
        std::fprintf(stderr, "the window could not be set up\n");
        return 1;
    }

    std::mt19937 random(seed);
    std::discrete_distribution<int> pickFault(kWeights.begin(), kWeights.end());
    const auto uniform = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    std::map<EFault, int> faults;
    int failures = 0;
    TResources first{}, last{};
    const auto started = Clock::now();
    std::printf("%d downloads of %d entries, seed %u\n", downloads, kEntries, seed);

    for (int run = 1; run <= downloads; ++run) {
        const auto fault = static_cast<EFault>(pickFault(random));
        ++faults[fault];
        sim::TAnswerPolicy policy;
        std::string expected = kSuccessCaption;
        const int k = uniform(1, kEntries + 1); // the frame the fault strikes
        switch (fault) {
        case EFault::None:
            break;
        case EFault::Refusal:
            if (uniform(0, 1) == 0)
                policy.refuseHandshake = uniform(1, 3);
            else
                policy.refuseFrame[k] = uniform(1, 3);
            break;
        case EFault::BadByte: {
            int byte = uniform(0, 253);
            if (byte >= 0x55) ++byte;
            if (byte >= 0xAA) ++byte;
            policy.badAnswer[k] = static_cast<std::uint8_t>(byte);
            expected = kNoContactCaption; // the download stops where it was, as failed
            break;
        }
        case EFault::DoubleAck:
            policy.doubleAnswer.insert(k); // dropped: the wait runs to its end
            expected = kNoContactCaption;
            break;
        case EFault::Silence:
            if (uniform(0, 1) == 0)
                policy.silent = true;
            else
                policy.silentAfter = k - 1;
            expected = kNoContactCaption;
            break;
        case EFault::LineLoss:
            policy.silentAfter = k - 1;
            expected = kNoContactCaption;
            break;
        }

        controller.Start(policy);
        const auto began = Clock::now();
        window.BitBtn4->click();
        if (fault == EFault::LineLoss) {
            (void)QTest::qWaitFor([&] { return window.Download().WaitTicks() >= 3; }, 10000);
            controller.Unplug();
        }
        const bool ended = QTest::qWaitFor([&] { return !window.DownloadBusy(); }, 15000);
        const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
        controller.Stop();

        std::string problem;
        const std::string caption = window.Label6->text().toStdString();
        if (!ended)
            problem = "did not end";
        else if (caption != expected)
            problem = "ended with '" + caption + "', not '" + expected + "'";
        else if (fault == EFault::LineLoss &&
                 (op.Messages().size() != 1 ||
                  op.Messages()[0].find("(Error: 5)") == std::string::npos ||
                  window.Comm1.IsOpen()))
            problem = "the lost line was not reported once, or the port stayed open";
        else if (fault != EFault::LineLoss && !op.calls.empty())
            problem = "a message was shown: " + op.calls[0].text;
        if (!problem.empty()) {
            ++failures;
            std::printf("download %d (%s, frame %d): %s after %.1f s\n", run,
                        kFaultNames[static_cast<int>(fault)], k, problem.c_str(), seconds);
        }
        op.calls.clear();
        if (fault == EFault::LineLoss) {
            controller.Plug();
            window.BitBtn2->click();
            if (!window.Comm1.IsOpen()) {
                std::printf("download %d: the port did not open again\n", run);
                return 1;
            }
        }

        if (run == 1) first = Measure();
        if (run == downloads) last = Measure();
        if (run % 100 == 0) {
            const TResources now = Measure();
            std::printf("after %4d: %.0f s, %ld fds, %ld threads, %ld KiB resident, %d failed\n",
                        run, std::chrono::duration<double>(Clock::now() - started).count(), now.fds,
                        now.threads, now.rssKiB, failures);
            std::fflush(stdout);
        }
    }

    std::printf("faults:");
    for (const auto& [fault, count] : faults)
        std::printf(" %s %d;", kFaultNames[static_cast<int>(fault)], count);
    std::printf("\n%d of %d downloads ended as their fault says, in %.0f s\n", downloads - failures,
                downloads, std::chrono::duration<double>(Clock::now() - started).count());
    std::printf("after the first: %ld fds, %ld threads, %ld KiB resident\n", first.fds,
                first.threads, first.rssKiB);
    std::printf("after the last:  %ld fds, %ld threads, %ld KiB resident\n", last.fds, last.threads,
                last.rssKiB);
    SetErrorOperator(nullptr);
    return failures == 0 ? 0 : 1;
}
