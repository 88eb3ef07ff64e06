#include "app/Application.h"

#include "app/QtOperator.h"

#include <cstdio>

namespace movarth {
namespace {

TOperator* errorOperator = nullptr;

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(error);
    }
    return false;
}

void SetErrorOperator(TOperator* op)
{
    errorOperator = op;
}

void ShowException(const std::exception& error) noexcept
{
    try {
        if (errorOperator != nullptr) {
            errorOperator->ShowMessage(error.what());
        } else {
            TQtOperator(nullptr).ShowMessage(error.what());
        }
    } catch (...) {
        // Showing the failure failed too: the text goes to the error stream instead.
        std::fprintf(stderr, "movarth: %s\n", error.what());
    }
}

} // namespace movarth
