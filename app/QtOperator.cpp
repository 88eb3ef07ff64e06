#include "app/QtOperator.h"

#include <QFileDialog>
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

// The answer of a Yes/No dialog. Escape and the close box press the dialog's escape button,
// which QMessageBox makes the NoRole button here, so they answer No; Other is left for a dialog
// ended by the program without any button.
enum class EAnswer
{
    Yes,
    No,
    Other
};

// A Yes/No dialog with the captions "&Yes" and "&No".
EAnswer AskYesNo(QWidget* owner, QMessageBox::Icon icon, const char* title,
                 const std::string& question)
{
    TPlainBox box(owner, icon, title, question);
    QPushButton* yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.exec();
    if (box.clickedButton() == yes) return EAnswer::Yes;
    return box.clickedButton() == no ? EAnswer::No : EAnswer::Other;
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
    TPlainBox box(owner_, QMessageBox::NoIcon, "提示信息", text);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

bool TQtOperator::Confirm(const std::string& question)
{
    return AskYesNo(owner_, QMessageBox::Question, "Confirm", question) == EAnswer::Yes;
}

bool TQtOperator::AskInformation(const std::string& question)
{
    // Escape and the close box give No, so only a dialog ended by the program goes on.
    return AskYesNo(owner_, QMessageBox::Information, "Information", question) != EAnswer::No;
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
