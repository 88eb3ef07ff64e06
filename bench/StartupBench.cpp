// Start-up of the main window to its first paint, and its resident memory then, beside a
// minimal Qt window with one label measured the same way. Each run is a new process, timed
// from just before its spawn (so loading the libraries counts) until its top-level window has
// finished its first paint; the process then reads its own VmRSS and VmHWM and ends.
// Usage: bench_startup [RUNS]          (default 10 runs of each, alternating)
//        bench_startup --child window|label SPAWN_NS   (one run; used by the above)
#include "app/Application.h"
#include "controls/Fonts.h"

#include <QLabel>
#include <QPaintEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

long long MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

long StatusKiB(const char* field)
{
    long value = -1;
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const std::size_t length = std::strlen(field);
        while (std::fgets(line, sizeof line, status))
            if (std::strncmp(line, field, length) == 0) value = std::atol(line + length + 1);
        std::fclose(status);
    }
    return value;
}

// Notes the end of the first paint of the watched window: the time since the spawn and the
// memory, printed as one line; then the event loop ends.
class TFirstPaint final : public QObject
{
public:
    explicit TFirstPaint(long long spawnNs) : spawnNs_(spawnNs) {}
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            // Queued: it runs once this paint, children included, has been done.
            QTimer::singleShot(0, [this] {
                const double ms = (MonotonicNs() - spawnNs_) / 1e6;
                std::printf("%.1f %ld %ld\n", ms, StatusKiB("VmRSS:"), StatusKiB("VmHWM:"));
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    long long spawnNs_;
    bool seen_ = false;
};

int Child(int argc, char** argv, const std::string& kind, long long spawnNs)
{
    using namespace movarth;
    TFirstPaint firstPaint(spawnNs);
    if (kind == "label") {
        QApplication app(argc, argv);
        QLabel label(QStringLiteral("label"));
        label.installEventFilter(&firstPaint);
        label.show();
        return QApplication::exec();
    }
    // As the program starts (app/main.cpp).
    TApplication app(argc, argv);
    InstallCjkFallbacks();
    return RunWindows(&firstPaint);
}

struct TRun
{
    double ms;
    long rssKiB;
    long hwmKiB;
};

bool RunOne(const char* self, const char* kind, TRun& run)
{
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string spawn = std::to_string(MonotonicNs());
    std::vector<std::string> args{self, "--child", kind, spawn};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, self, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (error != 0) {
        close(out[0]);
        return false;
    }
    char line[128] = {};
    std::FILE* text = fdopen(out[0], "r");
    const bool read = std::fgets(line, sizeof line, text) != nullptr;
    std::fclose(text);
    int status = 0;
    waitpid(pid, &status, 0);
    return read && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           std::sscanf(line, "%lf %ld %ld", &run.ms, &run.rssKiB, &run.hwmKiB) == 3;
}

template <typename T> T Median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        int childArgc = 1;
        return Child(childArgc, argv, argv[2], std::atoll(argv[3]));
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir settings; // the window writes its registry values at start-up
    qputenv("MOVARTH_SETTINGS_DIR", settings.path().toUtf8());

    const char* kinds[] = {"window", "label"};
    std::vector<TRun> results[2];
    for (int run = 0; run < runs; ++run)
        for (int k = 0; k < 2; ++k) {
            TRun result{};
            if (!RunOne(argv[0], kinds[k], result)) {
                std::fprintf(stderr, "run %d of the %s failed\n", run + 1, kinds[k]);
                return 1;
            }
            results[k].push_back(result);
        }
    std::printf("start-up to the first paint, %d runs each (platform %s)\n", runs,
                qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("%-8s %12s %10s %10s %16s %16s\n", "", "median ms", "min ms", "max ms",
                "VmRSS KiB med", "VmHWM KiB med");
    for (int k = 0; k < 2; ++k) {
        std::vector<double> ms;
        std::vector<long> rss, hwm;
        for (const TRun& r : results[k]) {
            ms.push_back(r.ms);
            rss.push_back(r.rssKiB);
            hwm.push_back(r.hwmKiB);
        }
        std::printf("%-8s %12.1f %10.1f %10.1f %16ld %16ld\n", kinds[k], Median(ms),
                    *std::min_element(ms.begin(), ms.end()),
                    *std::max_element(ms.begin(), ms.end()), Median(rss), Median(hwm));
    }
    return 0;
}
