// movarth-window-driver: the program's windows as the program runs them (RunWindows, with its
// handling of stop signals), worked from inside as the operator would, for the tests that stop
// the window or take its display away from outside (WindowProcessTest.cpp). It says on
// standard output when it has got where the test wants it:
//   --send PORT   types two entries, opens PORT and presses 发送; "sending" once the download
//                 is under way;
//   --save FILE   types an entry and saves it under the name FILE, which exists; "asking" once
//                 the overwrite question shows;
//   --open PORT   types PORT into the port field and presses 打开; when a box shows, says its
//                 caption, text and detail (a line each, the detail's lines joined by " / "),
//                 presses its OK and ends the program.
// Its exit status is the program's.
#include "app/Application.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"
#include "controls/Fonts.h"
#include "process/Process.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <map>
#include <sys/prctl.h>

namespace movarth {
namespace {

void Say(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

void AddEntry(TFrm_main& window, const char* start, const char* length)
{
    TypeTime(window.MaskEdit1, start);
    TypeTime(window.MaskEdit2, length);
    QTest::mouseClick(window.BitBtn1, Qt::LeftButton);
}

enum TDrive
{
    drSend,
    drSave,
    drOpen,
};

class TDriver final : public QObject
{
public:
    TDriver(TDrive drive, QString target) : drive_(drive), target_(std::move(target)) {}

    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Show && !started_) {
            started_ = true;
            QTimer::singleShot(0, this, [this] { Drive(*Frm_main); });
        }
        return false;
    }

private:
    void Drive(TFrm_main& window)
    {
        if (drive_ == drOpen) {
            auto* boxes = new QTimer(this);
            connect(boxes, &QTimer::timeout, this, [this] { TellAndCloseTheBox(); });
            boxes->start(10);
            QTest::keyClick(window.Edit1, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(window.Edit1, Qt::Key_Delete);
            QTest::keyClicks(window.Edit1, target_);
            QTest::mouseClick(window.BitBtn2, Qt::LeftButton);
            if (!asked_) Say("no box");
            QCoreApplication::quit();
            return;
        }
        AddEntry(window, "08:30:00", "00:45:30");
        if (drive_ == drSave) {
            // The file dialog and the question are modal: a timer answers the one and reports
            // the other from inside their loops.
            auto* dialogs = new QTimer(this);
            connect(dialogs, &QTimer::timeout, this, [this] { ServeDialogs(); });
            dialogs->start(10);
            QTest::mouseClick(window.BitBtn3, Qt::LeftButton);
            return;
        }
        AddEntry(window, "09:30:00", "00:10:00");
        window.Edit1->setText(target_);
        QTest::mouseClick(window.BitBtn2, Qt::LeftButton);
        QTest::mouseClick(window.BitBtn4, Qt::LeftButton);
        Say(window.DownloadBusy() ? "sending" : "not sending");
    }

    void ServeDialogs()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
                name->setText(target_);
                QMetaObject::invokeMethod(dialog, "accept");
            }
        } else if (qobject_cast<QMessageBox*>(modal) != nullptr && !asked_) {
            asked_ = true;
            Say("asking");
        }
    }

    void TellAndCloseTheBox()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        asked_ = true;
        Say(box->windowTitle().toUtf8().constData());
        Say(box->text().toUtf8().constData());
        Say(box->informativeText().replace('\n', QStringLiteral(" / ")).toUtf8().constData());
        box->button(QMessageBox::Ok)->click();
    }

    const TDrive drive_;
    const QString target_;
    bool started_ = false;
    bool asked_ = false;
};

} // namespace
} // namespace movarth

int main(int argc, char** argv)
{
    using namespace movarth;
    // It goes with the test that started it, also when that test is killed.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    OpenStandardDescriptors();
    TApplication app(argc, argv);
    InstallCjkFallbacks();
    const QStringList args = QApplication::arguments();
    const std::map<QString, TDrive> drives{
        {"--send", drSend}, {"--save", drSave}, {"--open", drOpen}};
    if (args.size() != 3 || !drives.contains(args[1])) {
        std::fprintf(stderr,
                     "usage: movarth-window-driver --send PORT | --save FILE | --open PORT\n");
        return 2;
    }
    TDriver driver(drives.at(args[1]), args[2]);
    return RunWindows(&driver);
}
