#pragma once

#include "app/TimeField.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <memory>
#include <string>

namespace movarth {

class TFrm_main;
class TOperator;

// The entry editor: changes the main table's selected entry in place. It recomputes the value
// that the radio choice does not name, writes the row and sorts the table again. Modeless;
// created once and shown and hidden as needed, keeping its fields and choice meanwhile.
class TFrm_edit final : public QWidget
{
public:
    // op: the editor's own message box; null for the Qt one owned by this window.
    explicit TFrm_edit(TFrm_main& main, TOperator* op = nullptr, QWidget* parent = nullptr);
    ~TFrm_edit() override;

    // Fills the three fields and shows the editor (or keeps it shown), centred on the screen.
    void Edit(const std::string& start, const std::string& length, const std::string& end);

    void BitBtn1Click(); // confirm; does nothing while a download runs
    void BitBtn2Click(); // back

    // The radio choice: 0 start and length given, 1 length and end, 2 start and end.
    int ItemIndex() const { return choices_->checkedId(); }
    void SetItemIndex(int index);

    QLabel* Label3 = new QLabel(this);
    QLabel* Label4 = new QLabel(this);
    QLabel* Label2 = new QLabel(this);
    TMaskTimeField* MaskEdit1 = new TMaskTimeField(this);
    TMaskTimeField* MaskEdit2 = new TMaskTimeField(this);
    TMaskTimeField* MaskEdit3 = new TMaskTimeField(this);
    QGroupBox* RadioGroup1 = new QGroupBox(this);
    QPushButton* BitBtn1 = new QPushButton(this);
    QPushButton* BitBtn2 = new QPushButton(this);

protected:
    // Enter confirms (on a focused button, it presses that button); Escape goes back.
    void keyPressEvent(QKeyEvent* event) override;

private:
    TFrm_main& main_;
    std::unique_ptr<TOperator> ownOperator_;
    TOperator* operator_;
    QButtonGroup* choices_ = new QButtonGroup(this);
};

extern TFrm_edit* Frm_edit;

// Moves a top-level window to the middle of the screen it is on.
void CentreOnScreen(QWidget& window);

} // namespace movarth
