// The main of the GUI tests: an offscreen application with the program's general error
// handler, and a scratch settings folder so that no test touches the user's own settings or
// send history.
#include "app/Application.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir settingsDir;
    qputenv("MOVARTH_SETTINGS_DIR", settingsDir.path().toUtf8());
    qputenv("XDG_STATE_HOME", settingsDir.filePath(QStringLiteral("state")).toUtf8());
    movarth::TApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
