#include "app/Registry.h"

#include "app/tests/TestSupport.h"
#include "tests/support/AsOrdinaryUser.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace movarth {
namespace {

TEST(Registry, ValuesSurviveInTheSettingsFile)
{
    TScopedSettingsDir dir;
    {
        TRegistry registry;
        EXPECT_FALSE(registry.ValueExists("com"));
        registry.WriteString("com", "/dev/pts/7");
        registry.WriteString("maker", "");
    }
    EXPECT_EQ(TRegistry::FileName(), dir.File());
    ASSERT_TRUE(QFile::exists(dir.File()));
    TRegistry again;
    ASSERT_TRUE(again.ValueExists("com"));
    EXPECT_EQ(again.ReadString("com"), "/dev/pts/7");
    EXPECT_EQ(again.ReadString("maker"), "");
}

TEST(Registry, AWriteThatCannotBeStoredFailsWithTheValuesName)
{
    TScopedSettingsDir dir;
    QFile blocker(dir.Path() + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    TScopedSettingsDir::Use(blocker.fileName() + QStringLiteral("/below"));
    TRegistry registry;
    try {
        registry.WriteString("company", "x");
        FAIL() << "no failure";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to set data for 'company'");
    }
}

// Two damaged starts within one second: the second copy set aside gets a name of its own
// instead of failing on the first's (which showed a box).
TEST(Registry, AnUnreadableFileIsSetAsideUnderANameNotYetTaken)
{
    TScopedSettingsDir dir;
    // The names of this second and the next are taken already.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList taken;
    for (const QDateTime& at : {now, now.addSecs(1)}) {
        taken << TRegistry::FileName() + QStringLiteral(".unreadable-") +
                     at.toString(QStringLiteral("yyyyMMdd-hhmmss"));
        QFile earlier(taken.back());
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("an earlier copy");
    }
    const QByteArray damaged("\x89PNG\r\n\x1a\n[com", 12);
    {
        QFile file(dir.File());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(damaged);
    }
    TRegistry registry;
    EXPECT_NO_THROW(registry.WriteString("company", "x"));

    QStringList aside =
        QDir(dir.Path()).entryList({QStringLiteral("movarth.conf.unreadable-*")}, QDir::Files);
    ASSERT_EQ(aside.size(), 3);
    for (const QString& name : taken) {
        QFile earlier(name);
        ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
        EXPECT_EQ(earlier.readAll(), QByteArray("an earlier copy"));
        aside.removeAll(QFileInfo(name).fileName());
    }
    ASSERT_EQ(aside.size(), 1);
    QFile kept(QDir(dir.Path()).filePath(aside.first()));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), damaged);
}

// Where what stands in the settings file's place cannot be set aside (a folder the user may
// not write), it is still never read: every write fails, as for any settings that cannot be
// stored, instead of the start hanging on a FIFO.
TEST(Registry, AnUnreadableFileThatCannotBeSetAsideIsNeverRead)
{
    EXPECT_EQ(test::AsOrdinaryUser([] {
                  ::alarm(20); // a read of the FIFO would hang here for good
                  QTemporaryDir dir;
                  const QString file = dir.filePath(QStringLiteral("movarth.conf"));
                  if (::mkfifo(QFile::encodeName(file).constData(), 0600) != 0 ||
                      ::chmod(QFile::encodeName(dir.path()).constData(), 0555) != 0)
                      return std::string("no FIFO");
                  TScopedSettingsDir::Use(dir.path());
                  std::string seen;
                  TRegistry registry;
                  seen += registry.ValueExists("com") ? "a value, " : "no value, ";
                  try {
                      registry.WriteString("company", "x");
                      seen += "written";
                  } catch (const ERegistryException& error) {
                      seen += error.what();
                  }
                  ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
                  return seen;
              }),
              "no value, Failed to set data for 'company'");
}

TEST(Registry, AValueOfAnotherTypeIsRefused)
{
    TScopedSettingsDir dir;
    {
        QSettings raw(dir.File(), QSettings::IniFormat);
        raw.setValue(QStringLiteral("SoftWare/movarth/com"), QStringList{"COM1", "COM2"});
    }
    TRegistry registry;
    ASSERT_TRUE(registry.ValueExists("com"));
    try {
        registry.ReadString("com");
        FAIL() << "no failure";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'com'");
    }
}

} // namespace
} // namespace movarth
