#include "app/Registry.h"

#include "app/tests/TestSupport.h"

#include <QFile>
#include <gtest/gtest.h>

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
