// movarth: prepares the day's programme entries and downloads them to the count-down
// controller over a serial line.
#include "app/Application.h"
#include "app/CommandLine.h"
#include "controls/Fonts.h"
#include "process/Process.h"

int main(int argc, char** argv)
{
    using namespace movarth;
    OpenStandardDescriptors();
    if (const std::optional<int> status = RunInformationOption(argc, argv)) return *status;
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("movarth"));
    QApplication::setApplicationVersion(QStringLiteral(MOVARTH_VERSION));
    // The installed menu entry's name, so that the desktop matches the window with its entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.movarth.Movarth"));
    InstallCjkFallbacks();

    return RunWindows();
}
