#pragma once

#include "app/DeviceWatch.h"
#include "app/PortListModel.h"
#include "app/PortPopup.h"
#include "app/QtUiThread.h"
#include "app/Shapes.h"
#include "app/TimeField.h"
#include "comm/SerialComm.h"
#include "controls/ColumnGrid.h"
#include "controls/ProgressGauge.h"
#include "link/Adapters.h"
#include "link/Download.h"
#include "link/SendHistory.h"
#include "schedule/Schedule.h"
#include "timing/ZelTMultiThread.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>
#include <cstdint>
#include <exception>
#include <memory>

namespace movarth {

class TFrm_edit;

// The main window: the clock, the port, the file and download commands on the left, the
// entry fields and the schedule table on the right. Its parts are public members under their
// names; its behaviour lies in the handlers, which the controls call and tests may call.
class TFrm_main final : public QWidget
{
public:
    // op: where messages, questions and file choices go; null for the window's own dialogs.
    explicit TFrm_main(TOperator* op = nullptr, QWidget* parent = nullptr);
    // Stops the timed items and closes the port while the hand-over target still exists.
    ~TFrm_main() override;

    TOperator& Operator() { return *operator_; }
    TQtUiThread& UiThread() { return uiThread_; }
    int EntryCount() const { return Schedule.EntryCount(); }
    bool DownloadBusy() const;
    // The editor that SortGrid1DblClick shows; none until the program sets it.
    void SetEditor(TFrm_edit* editor) { editor_ = editor; }

    // Handlers, as wired to the controls and components. The download's own (the ticks of
    // items 1 and 2, Comm1RxChar) are TDownload's, bound to them by TControllerLink.
    void FormCreate();
    void ZelMultiThreader1Threads0Timer(TZelTimedThread& sender);
    void BitBtn1Click(); // add
    void BitBtn2Click(); // open the port
    void BitBtn3Click(); // save
    void BitBtn4Click(); // send
    void BitBtn5Click(); // load
    void BitBtn6Click(); // clear
    void BitBtn7Click(); // exit
    void D1Click();      // delete
    void N2Click();      // insert
    void SortGrid1DblClick();
    void Edit1ListClick(); // the port field's drop-down of the ports present
    void DeviceWatch1Event(const TDeviceEvent& event);

    // Enter in a time field or on the add button: the add, then the focus at the start field
    // for the next entry, or after a refusal at the field to correct.
    void AddByEnterKey();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::unique_ptr<TOperator> ownOperator_;
    TOperator* operator_;
    // First member: it outlives the timed items and the port, which hand steps over to it.
    TQtUiThread uiThread_;

public:
    QStatusBar* StatusBar1 = new QStatusBar(this);
    QLabel* Panel1 = new QLabel(this);
    TZelMultiThreader ZelMultiThreader1{uiThread_};
    TComm Comm1{uiThread_};
    QMenu* PopupMenu1 = new QMenu(this);
    QAction* O1 = new QAction(this);
    QAction* S1 = new QAction(this);
    QAction* N3 = new QAction(this);
    QAction* D1 = new QAction(this);
    QAction* N2 = new QAction(this);
    QAction* N4 = new QAction(this);
    QLabel* Label3 = new QLabel(this);
    QLabel* Label4 = new QLabel(this);
    QPushButton* BitBtn1 = new QPushButton(this);
    QLabel* Label1 = new QLabel(this);
    QLabel* Label2 = new QLabel(this);
    QLabel* Label5 = new QLabel(this);
    QLineEdit* Edit1 = new QLineEdit(this);
    QPushButton* BitBtn2 = new QPushButton(this);
    QPushButton* BitBtn3 = new QPushButton(this);
    QPushButton* BitBtn4 = new QPushButton(this);
    TGauge* Gauge1 = new TGauge(this);
    QLabel* Label6 = new QLabel(this);
    TShape* Shape1 = new TShape(this);
    QPushButton* BitBtn5 = new QPushButton(this);
    QPushButton* BitBtn6 = new QPushButton(this);
    TBevel* Bevel1 = new TBevel(this);
    QPushButton* BitBtn7 = new QPushButton(this);
    TColumnGrid* SortGrid1 = new TColumnGrid(this);
    TMaskTimeField* MaskEdit1 = new TMaskTimeField(this);
    TMaskTimeField* MaskEdit2 = new TMaskTimeField(this);
    TMaskTimeField* MaskEdit3 = new TMaskTimeField(this);
    // Finding the port: the drop-down in Edit1 and its list of the ports present, and the
    // device events that tell when a vanished port's device is back.
    QAction* Edit1List = new QAction(this);
    TPortListModel* PortList1 = new TPortListModel(this);
    TPortPopup* PortPopup1 = new TPortPopup(TPortListModel::NameRole, this);
    TDeviceWatch* DeviceWatch1 = new TDeviceWatch(this);

    // The operations the window serves: the schedule (the table is SortGrid1's, the count
    // line Label1) and the download (its fields LinkState, WaitTicks, ... live there).
    TSchedule Schedule{SortGrid1->Table(), *operator_};
    TDownload& Download() { return link_->Download(); }
    const TDownload& Download() const { return link_->Download(); }
    // Label6's tooltip: when the controller last confirmed a schedule, to which port, how many
    // entries (from the send history, so also a confirmation that movarth-send had).
    std::string LastConfirmationText() const;

protected:
    // A close request from the window system (the close box, Alt+F4, the window manager) is
    // refused while a download runs, as the exit button is.
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateLayout();
    void ConfigureComponents();
    void Wire();
    // Opens Comm1 on `name` as 打开 does, turning the indicator green, or red when it fails;
    // answers the failure, null when the port is open on it.
    std::exception_ptr OpenPort(const std::string& name);

    TFrm_edit* editor_ = nullptr;
    // The name of the port whose device vanished while it was open, to be opened again when
    // the device is back; empty when none is waited for.
    std::string portToReopen_;
    // The download on Comm1 and timed items 1 and 2, made once the items exist.
    std::unique_ptr<TLinkStatus> linkStatus_;
    std::unique_ptr<TLinkGauge> linkGauge_;
    std::unique_ptr<TControllerLink> link_;
    TSendHistory sendHistory_;
    int tableListener_ = 0;
};

// The program's windows, set when they are created.
extern TFrm_main* Frm_main;

} // namespace movarth
