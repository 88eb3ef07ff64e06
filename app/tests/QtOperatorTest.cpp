#include "app/QtOperator.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace movarth {
namespace {

// Runs `inspect` on the modal dialog that `show` opens, as soon as it is up. A dialog that
// `inspect` meant to close but that stays open is a failure, and is rejected so that the
// test goes on instead of hanging in its loop.
template <typename TDialog>
void WithDialog(const std::function<void()>& show, const std::function<void(TDialog&)>& inspect)
{
    bool seen = false;
    QPointer<TDialog> open; // the dialog inspected, while it exists
    QElapsedTimer sinceSeen;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<TDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        if (!seen) {
            seen = true;
            open = dialog;
            sinceSeen.start();
            inspect(*dialog);
        } else if (dialog == open && sinceSeen.hasExpired(5000)) {
            ADD_FAILURE() << "the dialog stayed open";
            dialog->reject();
        }
    });
    poll.start();
    show();
    EXPECT_TRUE(seen);
}

QStringList ButtonTexts(QMessageBox& box)
{
    QStringList texts;
    for (QAbstractButton* button : box.buttons())
        texts << button->text();
    texts.sort();
    return texts;
}

QAbstractButton* ButtonNamed(QMessageBox& box, const QString& text)
{
    for (QAbstractButton* button : box.buttons())
        if (button->text() == text) return button;
    return nullptr;
}

TEST(QtOperator, MessageBoxHasTheCaptionOneOkAndNoIcon)
{
    TQtOperator op(nullptr);
    WithDialog<QMessageBox>([&] { op.ShowMessage("端口打开有错误，请重新输入！"); },
                            [](QMessageBox& box) {
                                EXPECT_EQ(box.windowTitle(), QStringLiteral("提示信息"));
                                EXPECT_EQ(box.text(),
                                          QStringLiteral("端口打开有错误，请重新输入！"));
                                EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
                                EXPECT_EQ(box.buttons().size(), 1);
                                box.button(QMessageBox::Ok)->click();
                            });
}

// The open-failure box: the same box, with the reason under its text, as plain text too.
TEST(QtOperator, ADetailedMessageShowsTheDetailUnderTheText)
{
    TQtOperator op(nullptr);
    const std::string detail = "/tmp/<b>x</b> 不是串口设备，而是普通文件。\n第二行";
    WithDialog<QMessageBox>(
        [&] { op.ShowDetailedMessage("端口打开有错误，请重新输入！", detail); },
        [&](QMessageBox& box) {
            EXPECT_EQ(box.windowTitle(), QStringLiteral("提示信息"));
            EXPECT_EQ(box.text(), QStringLiteral("端口打开有错误，请重新输入！"));
            EXPECT_EQ(box.informativeText().toStdString(), detail);
            const auto* label =
                box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
            ASSERT_NE(label, nullptr);
            EXPECT_TRUE(label->isVisible());
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
            EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box.buttons().size(), 1);
            box.button(QMessageBox::Ok)->click();
        });
}

// A cell from a file or a path may hold angle brackets: every box shows them as they stand.
TEST(QtOperator, EveryBoxShowsItsTextAsPlainText)
{
    TQtOperator op(nullptr);
    const std::string text = "'<b>x' is not a valid time /tmp/<i>a</i>.qlx";
    const std::vector<std::pair<const char*, std::function<void()>>> boxes{
        {"message", [&] { op.ShowMessage(text); }},
        {"confirm", [&] { op.Confirm(text); }},
        {"ask", [&] { op.AskInformation(text); }},
        {"inform", [&] { op.Inform(text); }},
    };
    for (const auto& [name, show] : boxes) {
        SCOPED_TRACE(name);
        WithDialog<QMessageBox>(show, [&](QMessageBox& box) {
            EXPECT_EQ(box.textFormat(), Qt::PlainText);
            EXPECT_EQ(box.text().toStdString(), text);
            box.buttons().first()->click();
        });
    }
}

// How the operator can answer a Yes/No dialog, and whether it is a Yes.
struct TYesNoAnswer
{
    const char* how;
    std::function<void(QMessageBox&)> answer;
    bool yes;
};

const TYesNoAnswer kYesNoAnswers[] = {
    {"Yes pressed", [](QMessageBox& box) { ButtonNamed(box, "&Yes")->click(); }, true},
    {"No pressed", [](QMessageBox& box) { ButtonNamed(box, "&No")->click(); }, false},
    {"Escape", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, false},
    {"close box", [](QMessageBox& box) { box.close(); }, false},
    // Ended from outside without any button, as when the program is told to stop.
    {"no button", [](QMessageBox& box) { box.hide(); }, false},
};

TEST(QtOperator, ConfirmIsAQuestionWithYesTheDefaultAndOnlyYesTrue)
{
    TQtOperator op(nullptr);
    for (const TYesNoAnswer& a : kYesNoAnswers) {
        bool answer = !a.yes;
        WithDialog<QMessageBox>([&] { answer = op.Confirm("Q1"); },
                                [&](QMessageBox& box) {
                                    EXPECT_EQ(box.windowTitle(), QStringLiteral("Confirm"));
                                    EXPECT_EQ(box.icon(), QMessageBox::Question);
                                    EXPECT_EQ(ButtonTexts(box), (QStringList{"&No", "&Yes"}));
                                    EXPECT_EQ(box.defaultButton()->text(), QStringLiteral("&Yes"));
                                    a.answer(box);
                                });
        EXPECT_EQ(answer, a.yes) << a.how;
    }
}

// Escape, the close box and a box ended without a button answer the overwrite question No:
// the file stays.
TEST(QtOperator, AskInformationIsTrueOnlyForYes)
{
    TQtOperator op(nullptr);
    for (const TYesNoAnswer& a : kYesNoAnswers) {
        bool answer = !a.yes;
        WithDialog<QMessageBox>([&] { answer = op.AskInformation("文件已经存在，是否要覆盖？"); },
                                [&](QMessageBox& box) {
                                    EXPECT_EQ(box.windowTitle(), QStringLiteral("Information"));
                                    EXPECT_EQ(box.icon(), QMessageBox::Information);
                                    EXPECT_EQ(ButtonTexts(box), (QStringList{"&No", "&Yes"}));
                                    a.answer(box);
                                });
        EXPECT_EQ(answer, a.yes) << a.how;
    }
}

TEST(QtOperator, InformShowsOneOk)
{
    TQtOperator op(nullptr);
    WithDialog<QMessageBox>([&] { op.Inform("文件保存成功！"); },
                            [](QMessageBox& box) {
                                EXPECT_EQ(box.icon(), QMessageBox::Information);
                                EXPECT_EQ(box.buttons().size(), 1);
                                EXPECT_EQ(box.buttons().first()->text(), QStringLiteral("OK"));
                                box.buttons().first()->click();
                            });
}

// A run's first file dialog starts in the folder the program was started in, which is where
// scripts/demo.sh leaves its example schedule. (It comes before the test below, which moves
// the dialogs of its process elsewhere.)
TEST(QtOperator, TheFirstFileDialogStartsInTheCurrentFolder)
{
    QTemporaryDir folder;
    const QString started = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    TQtOperator op(nullptr);
    WithDialog<QFileDialog>([&] { op.ChooseOpenFile(); },
                            [&](QFileDialog& dialog) {
                                EXPECT_EQ(dialog.directory().canonicalPath(),
                                          QDir(folder.path()).canonicalPath());
                                dialog.reject();
                            });
    QDir::setCurrent(started);
}

TEST(QtOperator, FileDialogsOfferTheScheduleFilterAndAppendUkt)
{
    TQtOperator op(nullptr);
    const QString dir = QDir::tempPath();
    for (bool save : {true, false}) {
        std::optional<std::string> chosen;
        WithDialog<QFileDialog>([&] { chosen = save ? op.ChooseSaveFile() : op.ChooseOpenFile(); },
                                [&](QFileDialog& dialog) {
                                    EXPECT_EQ(dialog.nameFilters(),
                                              QStringList{QStringLiteral("倒计时文件(*.qlx)")});
                                    EXPECT_EQ(dialog.defaultSuffix(), QStringLiteral("ukt"));
                                    dialog.setDirectory(dir);
                                    // A typed name of a file that does not exist, confirmed with
                                    // Enter. The name goes into the name field itself:
                                    // selectFile() leaves that field alone once it has the focus,
                                    // and accepting an empty field only opens the folder.
                                    auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
                                    if (name == nullptr) {
                                        ADD_FAILURE() << "no file name field";
                                        dialog.reject();
                                        return;
                                    }
                                    name->setFocus();
                                    name->setText(QStringLiteral("movarth-missing-schedule"));
                                    QMetaObject::invokeMethod(&dialog, "accept");
                                });
        ASSERT_TRUE(chosen.has_value()) << save;
        EXPECT_EQ(QString::fromStdString(*chosen), dir + "/movarth-missing-schedule.ukt");
    }
    std::optional<std::string> cancelled = std::string("x");
    WithDialog<QFileDialog>([&] { cancelled = op.ChooseOpenFile(); },
                            [](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_FALSE(cancelled.has_value());
}

} // namespace
} // namespace movarth
