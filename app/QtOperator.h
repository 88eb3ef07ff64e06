#pragma once

#include "schedule/Operator.h"

class QWidget;

namespace movarth {

// The operator's side of the program as modal Qt dialogs owned by one window.
class TQtOperator final : public TOperator
{
public:
    explicit TQtOperator(QWidget* owner) : owner_(owner) {}

    void ShowMessage(const std::string& text) override;
    // The detail is the box's informative text, under the text.
    void ShowDetailedMessage(const std::string& text, const std::string& detail) override;
    bool Confirm(const std::string& question) override;
    bool AskInformation(const std::string& question) override;
    void Inform(const std::string& text) override;
    std::optional<std::string> ChooseSaveFile() override;
    std::optional<std::string> ChooseOpenFile() override;

private:
    QWidget* owner_;
};

// The file type of schedule files in both file dialogs, and the suffix given to a name typed
// without one.
inline constexpr const char* ScheduleFileFilter = "倒计时文件(*.qlx)";
inline constexpr const char* ScheduleDefaultSuffix = "ukt";

} // namespace movarth
