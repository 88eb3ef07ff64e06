// The program itself, started as the operator's shell starts it.
#include "app/tests/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

namespace movarth {
namespace {

// An environment without any display: no X server, no Wayland compositor, no platform chosen.
QProcessEnvironment WithoutDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

struct TRun
{
    int status = -1;
    QByteArray out, err;
};

TRun RunProgram(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(MOVARTH_PROGRAM), arguments);
    TRun run;
    if (!program.waitForFinished(20000) || program.exitStatus() != QProcess::NormalExit) {
        program.kill();
        program.waitForFinished();
        return run;
    }
    run.status = program.exitCode();
    run.out = program.readAllStandardOutput();
    run.err = program.readAllStandardError();
    return run;
}

TEST(Program, VersionAndHelpAnswerWithoutADisplay)
{
    const TRun version = RunProgram({QStringLiteral("--version")}, WithoutDisplay());
    EXPECT_EQ(version.status, 0) << version.err.toStdString();
    EXPECT_EQ(version.out, QByteArray("movarth " MOVARTH_VERSION "\n"));
    EXPECT_EQ(version.err, QByteArray());

    const TRun help = RunProgram({QStringLiteral("--help")}, WithoutDisplay());
    EXPECT_EQ(help.status, 0) << help.err.toStdString();
    EXPECT_TRUE(help.out.startsWith("Usage: movarth")) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("--version"));
    EXPECT_EQ(help.err, QByteArray());
}

// Any other argument opens the window, whose start-up writes the maker's values.
TEST(Program, AnyOtherArgumentStartsTheWindow)
{
    TScopedSettingsDir settings;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("MOVARTH_SETTINGS_DIR"), settings.Path());
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(MOVARTH_PROGRAM), {QStringLiteral("--versions")});
    const auto started = [&] {
        QFile file(settings.File());
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("company");
    };
    EXPECT_TRUE(QTest::qWaitFor(started, 20000)) << program.readAllStandardError().toStdString();
    EXPECT_EQ(program.state(), QProcess::Running);
    program.kill();
    program.waitForFinished();
}

} // namespace
} // namespace movarth
