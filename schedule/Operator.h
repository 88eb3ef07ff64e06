#pragma once

#include <optional>
#include <string>

namespace movarth {

// What the schedule, link and window logic need from the operator: message boxes, questions
// and file choices. The window implements it with modal Qt dialogs; tests script it.
class TOperator
{
public:
    virtual ~TOperator() = default;

    // Modal message box: caption "提示信息", the text, one OK button, no icon.
    virtual void ShowMessage(const std::string& text) = 0;
    // The same box with a detail under the text (why it failed, what to do). Where there is
    // no room for a detail, it follows the text.
    virtual void ShowDetailedMessage(const std::string& text, const std::string& detail)
    {
        ShowMessage(text + "\n" + detail);
    }
    // Confirmation dialog (title "Confirm", question icon, "&Yes"/"&No", Yes the default).
    // True only for Yes; No or any other way of closing it is false.
    virtual bool Confirm(const std::string& question) = 0;
    // Information dialog with "&Yes"/"&No" (the overwrite question): true for Yes, false for
    // No. Escape and the window's close box answer No too: for an overwrite the safer answer.
    virtual bool AskInformation(const std::string& question) = 0;
    // Information dialog with one OK button.
    virtual void Inform(const std::string& text) = 0;
    // The save and open file dialogs: the chosen file name, or nothing when cancelled.
    virtual std::optional<std::string> ChooseSaveFile() = 0;
    virtual std::optional<std::string> ChooseOpenFile() = 0;
};

} // namespace movarth
