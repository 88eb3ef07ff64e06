#pragma once

#include "schedule/Operator.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace movarth::fuzz {

// Ends the run with a finding when a property does not hold: libFuzzer keeps the input.
inline void Check(bool holds, const char* property)
{
    if (holds) return;
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}

// Records the messages and answers the confirmation questions from the input; the schedule
// operations fuzzed here have no other dialog.
class TInputOperator final : public TOperator
{
public:
    explicit TInputOperator(std::function<bool()> answer = {}) : answer_(std::move(answer)) {}

    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool Confirm(const std::string& question) override
    {
        Check(static_cast<bool>(answer_), "no question is asked here");
        questions.push_back(question);
        return answer_();
    }
    bool AskInformation(const std::string&) override { return Unexpected(); }
    void Inform(const std::string&) override { Unexpected(); }
    std::optional<std::string> ChooseSaveFile() override { return Unexpected(), std::nullopt; }
    std::optional<std::string> ChooseOpenFile() override { return Unexpected(), std::nullopt; }

    std::vector<std::string> messages;
    std::vector<std::string> questions;

private:
    static bool Unexpected()
    {
        Check(false, "no other dialog is shown");
        return false;
    }

    std::function<bool()> answer_;
};

} // namespace movarth::fuzz
