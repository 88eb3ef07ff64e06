// movarth: prepares the day's programme entries and downloads them to the count-down
// controller over a serial line.
#include "app/Application.h"
#include "app/Frm_edit.h"
#include "app/Frm_main.h"
#include "controls/Fonts.h"

#include <memory>

int main(int argc, char** argv)
{
    using namespace movarth;
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("movarth"));
    QApplication::setApplicationVersion(QStringLiteral(MOVARTH_VERSION));
    // The installed menu entry's name, so that the desktop matches the window with its entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.movarth.Movarth"));
    InstallCjkFallbacks();

    // The editor goes first at the end: it refers to the main window. The main window's
    // destructor stops the timed items and closes the port while its hand-over is still there.
    auto main = std::make_unique<TFrm_main>();
    Frm_main = main.get();
    SetErrorOperator(&main->Operator());
    auto edit = std::make_unique<TFrm_edit>(*main);
    Frm_edit = edit.get();
    main->SetEditor(edit.get());

    main->show();
    CentreOnScreen(*main);
    const int result = QApplication::exec();

    SetErrorOperator(nullptr);
    edit.reset();
    main.reset();
    return result;
}
