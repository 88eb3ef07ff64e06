#pragma once

#include "schedule/Operator.h"

#include <deque>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace movarth::test {

// Records every dialog in order ("message: ...", "confirm: ...", "ask: ...", "inform: ...",
// "save dialog", "open dialog") and answers questions and file dialogs from scripted queues.
class TFakeOperator : public TOperator
{
public:
    std::vector<std::string> events;
    std::deque<bool> answers;                     // Confirm and AskInformation
    std::deque<std::optional<std::string>> files; // ChooseSaveFile and ChooseOpenFile

    void ShowMessage(const std::string& text) override { events.push_back("message: " + text); }
    bool Confirm(const std::string& question) override
    {
        events.push_back("confirm: " + question);
        return NextAnswer();
    }
    bool AskInformation(const std::string& question) override
    {
        events.push_back("ask: " + question);
        return NextAnswer();
    }
    void Inform(const std::string& text) override { events.push_back("inform: " + text); }
    std::optional<std::string> ChooseSaveFile() override
    {
        events.push_back("save dialog");
        return NextFile();
    }
    std::optional<std::string> ChooseOpenFile() override
    {
        events.push_back("open dialog");
        return NextFile();
    }

private:
    bool NextAnswer()
    {
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << events.back();
            return false;
        }
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<std::string> NextFile()
    {
        if (files.empty()) {
            ADD_FAILURE() << "unexpected file dialog";
            return std::nullopt;
        }
        auto file = files.front();
        files.pop_front();
        return file;
    }
};

} // namespace movarth::test
