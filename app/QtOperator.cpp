#include "app/QtOperator.h"

#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace movarth {
namespace {

// A modal box owned by `owner` that shows its text as it stands: a cell or a file name that
// holds "<b>" is text, not markup.
class TPlainBox final : public QMessageBox
{
public:
    TPlainBox(QWidget* owner, Icon icon, const char* title, const std::string& text)
        : QMessageBox(icon, QString::fromUtf8(title), QString(), NoButton, owner)
    {
        setTextFormat(Qt::PlainText);
        setText(QString::fromStdString(text));
    }
};

// A Yes/No dialog with the captions "&Yes" and "&No"; true only when Yes was pressed. Escape
// and the close box press the dialog's escape button, which QMessageBox makes the NoRole
// button here; a box ended without any button (hidden from outside, its event loop told to
// end when the program stops) is no Yes either.
bool AskYesNo(QWidget* owner, QMessageBox::Icon icon, const char* title,
              const std::string& question)
{
    TPlainBox box(owner, icon, title, question);
    QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.exec();
    return box.clickedButton() == yes;
}

std::optional<std::string> ChooseFile(QWidget* owner, QFileDialog::AcceptMode mode)
{
    QFileDialog dialog(owner);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::DontConfirmOverwrite); // the save command asks itself
    dialog.setAcceptMode(mode);
    dialog.setFileMode(QFileDialog::AnyFile); // the open dialog takes a typed missing name too
    dialog.setNameFilter(QString::fromUtf8(ScheduleFileFilter));
    dialog.setDefaultSuffix(QString::fromUtf8(ScheduleDefaultSuffix));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

} // namespace

void TQtOperator::ShowMessage(const std::string& text)
{
    ShowDetailedMessage(text, {});
}

void TQtOperator::ShowDetailedMessage(const std::string& text, const std::string& detail)
{
    TPlainBox box(owner_, QMessageBox::NoIcon, "提示信息", text);
    if (!detail.empty()) {
        box.setInformativeText(QString::fromStdString(detail));
        // The detail names paths and programs: text, never markup.
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
            label->setTextFormat(Qt::PlainText);
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

bool TQtOperator::Confirm(const std::string& question)
{
    return AskYesNo(owner_, QMessageBox::Question, "Confirm", question);
}

bool TQtOperator::AskInformation(const std::string& question)
{
    // Only the Yes button overwrites the file.
    return AskYesNo(owner_, QMessageBox::Information, "Information", question);
}

void TQtOperator::Inform(const std::string& text)
{
    TPlainBox box(owner_, QMessageBox::Information, "Information", text);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

std::optional<std::string> TQtOperator::ChooseSaveFile()
{
    return ChooseFile(owner_, QFileDialog::AcceptSave);
}

std::optional<std::string> TQtOperator::ChooseOpenFile()
{
    return ChooseFile(owner_, QFileDialog::AcceptOpen);
}

} // namespace movarth
