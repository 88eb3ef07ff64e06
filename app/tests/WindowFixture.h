#pragma once

#include "app/Application.h"
#include "app/Frm_edit.h"
#include "app/Frm_main.h"
#include "app/tests/TestSupport.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace movarth {

using TRows = std::vector<std::vector<std::string>>;

// The main window and its entry editor, each answering through a scripted operator of its
// own, on scratch settings.
class WindowFixture : public testing::Test
{
protected:
    WindowFixture()
    {
        SetErrorOperator(&op);
        window->SetEditor(&edit);
    }
    ~WindowFixture() override { SetErrorOperator(nullptr); }

    // Adds the entries through the add command (start and length given, the end worked out).
    void Entries(const TRows& rows)
    {
        for (const auto& row : rows) {
            window->MaskEdit1->SetText(row[0]);
            window->MaskEdit2->SetText(row[1]);
            window->MaskEdit3->SetText("00:00:00");
            window->BitBtn1Click();
        }
        ASSERT_EQ(window->EntryCount(), static_cast<int>(rows.size()));
        op.calls.clear();
    }
    TRows Rows() const
    {
        TRows rows;
        for (int row = 1; row <= window->EntryCount(); ++row)
            rows.push_back({window->SortGrid1->Cells(0, row), window->SortGrid1->Cells(1, row),
                            window->SortGrid1->Cells(2, row)});
        return rows;
    }
    std::string File(const char* name) const { return files.filePath(name).toStdString(); }
    // A click as the operator makes it: through the button's signal and the error handler.
    void Click(QPushButton* button) { button->click(); }

    TScopedSettingsDir settings;
    QTemporaryDir files;
    TScriptedOperator op;
    TScriptedOperator editOp;
    std::unique_ptr<TFrm_main> window = std::make_unique<TFrm_main>(&op);
    TFrm_edit edit{*window, &editOp};
};

} // namespace movarth
