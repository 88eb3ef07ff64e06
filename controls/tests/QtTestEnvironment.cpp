// One application object for all tests of an executable, on the offscreen platform so that
// the pixel tests see the same pictures everywhere.
#include "controls/Fonts.h"

#include <QApplication>
#include <gtest/gtest.h>
#include <memory>

namespace {

class QtTestEnvironment : public testing::Environment
{
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "controls_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        movarth::InstallCjkFallbacks();
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new QtTestEnvironment);

} // namespace
