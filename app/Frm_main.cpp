#include "app/Frm_main.h"

#include "app/Application.h"
#include "app/Frm_edit.h"
#include "app/OpenFailureText.h"
#include "app/QtOperator.h"
#include "app/Registry.h"
#include "comm/UdevEvents.h"
#include "controls/Colors.h"
#include "controls/Fonts.h"
#include "controls/ScheduleTable.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QStyleOption>
#include <QTime>
#include <cstdio>
#include <string_view>

namespace movarth {

TFrm_main* Frm_main = nullptr;

namespace {

// The maker's texts: written to the per-user key at every start, and the status bar line.
constexpr const char* kCompany = "Sorvane Broadcast Electronics";
constexpr const char* kMaker = "Sorvane technical support";
constexpr const char* kPhone = "010-62810000";
constexpr const char* kMakerLine =
    "Sorvane Broadcast Electronics  技术支持：Sorvane technical support  电话：010-62810000";

const QColor kGreen{0, 128, 0};
const QColor kRed{255, 0, 0};

// A label that grows to the right with its text, as the window's labels size to their
// captions.
void SetCaption(QLabel* label, const std::string& text)
{
    label->setText(QString::fromStdString(text));
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
}

// Label6 as the download's status line, Gauge1 as its gauge.
class TLabelStatus final : public TLinkStatus
{
public:
    explicit TLabelStatus(QLabel* label) : label_(label) {}
    void SetCaption(const std::string& text) override { movarth::SetCaption(label_, text); }

private:
    QLabel* label_;
};

class TGaugeProgress final : public TLinkGauge
{
public:
    explicit TGaugeProgress(TGauge* gauge) : gauge_(gauge) {}
    void SetMaxValue(int value) override { gauge_->SetMaxValue(value); }
    void SetProgress(int value) override { gauge_->SetProgress(value); }

private:
    TGauge* gauge_;
};

// The arrow of a combo box, for the drop-down in the port field.
QIcon DropDownArrow(const QWidget* widget)
{
    const qreal scale = widget->devicePixelRatioF();
    QPixmap pixmap(QSize(16, 16) * scale);
    pixmap.setDevicePixelRatio(scale);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    QStyleOption option;
    option.initFrom(widget);
    option.rect = QRect(0, 0, 16, 16);
    widget->style()->drawPrimitive(QStyle::PE_IndicatorArrowDown, &option, &painter, widget);
    return QIcon(pixmap);
}

void Place(QWidget* widget, int left, int top, int width, int height)
{
    widget->setGeometry(left, top, width, height);
}

} // namespace

TFrm_main::TFrm_main(TOperator* op, QWidget* parent)
    : QWidget(parent), ownOperator_(op == nullptr ? std::make_unique<TQtOperator>(this) : nullptr),
      operator_(op == nullptr ? ownOperator_.get() : op),
      sendHistory_(DefaultSendHistoryPath(), [](const std::string& text) {
          std::fprintf(stderr, "movarth: %s\n", text.c_str());
      })
{
    CreateLayout();
    ConfigureComponents();
    Wire();
    FormCreate();
}

TFrm_main::~TFrm_main()
{
    // Ticks and line events must stop while their hand-over target is still here.
    for (int i = 0; i < ZelMultiThreader1.Threads().Count(); ++i)
        ZelMultiThreader1.Threads()[i].SetEnabled(false);
    Comm1.Close();
    ZelMultiThreader1.Threads().Clear();
    SortGrid1->Table().RemoveListener(tableListener_);
    if (Frm_main == this) Frm_main = nullptr;
}

void TFrm_main::CreateLayout()
{
    setWindowTitle(QStringLiteral("Sorvane V2013.01"));
    // A caption without buttons, close box included, where the window manager obeys.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(815, 476);
    setAutoFillBackground(true);
    setFont(SongTi(14));

    Place(Panel1, 0, 0, 815, 46);
    Panel1->setText(QStringLiteral("0000-00-00 00:00:00"));
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setLineWidth(2);
    Panel1->setFont(FontFace("黑体", 35, true));
    SetTextColor(Panel1, kGreen);

    Place(Label5, 104, 72, 56, 14);
    Label5->setText(QStringLiteral("通讯端口"));
    Place(Edit1, 168, 65, 73, 29);
    Edit1->setText(QStringLiteral("Com1"));
    Edit1->setFont(FontFace("黑体", 21));
    // The drop-down of the ports present, opened as a combo box's: its arrow, Alt+Down, F4.
    Edit1List->setIcon(DropDownArrow(Edit1));
    Edit1List->setToolTip(QStringLiteral("列出本机的串口（Alt+↓）"));
    Edit1List->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_Down), QKeySequence(Qt::Key_F4)});
    Edit1List->setShortcutContext(Qt::WidgetShortcut);
    Edit1->addAction(Edit1List, QLineEdit::TrailingPosition);
    PortPopup1->setObjectName(QStringLiteral("PortPopup1"));
    PortPopup1->setModel(PortList1);
    Place(Shape1, 248, 66, 25, 25);
    Shape1->SetBrushColor(kRed);

    const struct
    {
        QPushButton* button;
        const char* text;
        int left, top;
    } buttons[] = {{BitBtn2, "打开", 128, 104}, {BitBtn3, "保存", 88, 184},
                   {BitBtn5, "调出", 184, 184}, {BitBtn6, "清除", 136, 224},
                   {BitBtn4, "发送", 40, 304},  {BitBtn7, "退出系统", 136, 400},
                   {BitBtn1, "加入", 688, 88}};
    for (const auto& b : buttons) {
        Place(b.button, b.left, b.top, 75, 25);
        b.button->setText(QString::fromUtf8(b.text));
        b.button->setAutoDefault(false);
    }
    BitBtn1->setFont(SongTi(16));
    SetTextColor(BitBtn1, kRed);

    Place(Gauge1, 128, 304, 209, 25);
    Gauge1->SetForeColor(clNavy);
    Gauge1->setFont(FontFace("MS Sans Serif", 13));
    Gauge1->SetProgress(0);

    Place(Label6, 40, 344, 112, 16);
    Label6->setText(QString::fromUtf8(kIdleCaption));
    Label6->setFont(SongTi(16));
    SetTextColor(Label6, clNavy);

    Place(Bevel1, 352, 56, 9, 385);

    const struct
    {
        QLabel* label;
        const char* text;
        int left;
    } captions[] = {
        {Label3, "开播时间", 396}, {Label4, "节目长度", 492}, {Label2, "结束时间", 588}};
    for (const auto& c : captions) {
        Place(c.label, c.left, 72, 56, 14);
        c.label->setText(QString::fromUtf8(c.text));
        SetTextColor(c.label, clNavy);
    }
    int left = 384;
    for (TMaskTimeField* field : {MaskEdit1, MaskEdit2, MaskEdit3}) {
        Place(field, left, 96, 81, 24);
        field->setFont(SongTi(16, true));
        left += 96;
    }

    Place(Label1, 496, 144, 144, 21);
    Label1->setText(QString::fromStdString(Schedule.CountText()));
    Label1->setFont(SongTi(21, true));
    SetTextColor(Label1, clNavy);

    Place(SortGrid1, 384, 184, 384, 249);
    SetUpScheduleTable(*SortGrid1);
    SortGrid1->SetPopupMenu(PopupMenu1);

    const struct
    {
        QAction* action;
        const char* text;
    } entries[] = {{O1, "调出(&O)"}, {S1, "保存(&S)"}, {N3, "-"},
                   {D1, "删除(&D)"}, {N2, "插入(&I)"}, {N4, "清除(&C)"}};
    for (const auto& e : entries) {
        // "-" names a separator: a plain line, without the text that a style would show.
        if (std::string_view(e.text) == "-")
            e.action->setSeparator(true);
        else
            e.action->setText(QString::fromUtf8(e.text));
        PopupMenu1->addAction(e.action);
    }
    N2->setVisible(false);

    // Keys for three of the commands: Delete in the table, Ctrl+S and Ctrl+O anywhere in the
    // window. The menu shows its entries as laid out, without the keys beside them.
    D1->setShortcut(QKeySequence(Qt::Key_Delete));
    D1->setShortcutContext(Qt::WidgetShortcut);
    SortGrid1->addAction(D1);
    S1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    O1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    addAction(S1);
    addAction(O1);
    for (QAction* action : {D1, S1, O1})
        action->setShortcutVisibleInContextMenu(false);

    Place(StatusBar1, 0, 457, 815, 19);
    StatusBar1->setSizeGripEnabled(false);
    auto* makerLine = new QLabel(QString::fromUtf8(kMakerLine), StatusBar1);
    makerLine->setAlignment(Qt::AlignCenter);
    StatusBar1->addWidget(makerLine, 1);

    // Keyboard focus order of the layout.
    QWidget* order[] = {BitBtn1, Edit1,   BitBtn2,   BitBtn3,   BitBtn4,   BitBtn5,
                        BitBtn6, BitBtn7, SortGrid1, MaskEdit1, MaskEdit2, MaskEdit3};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    for (QWidget* passive :
         std::initializer_list<QWidget*>{Panel1, Label1, Label2, Label3, Label4, Label5, Label6,
                                         Gauge1, Shape1, Bevel1, StatusBar1})
        passive->setFocusPolicy(Qt::NoFocus);
}

void TFrm_main::ConfigureComponents()
{
    // Item 0 the clock, items 1 and 2 the download; all stored disabled.
    TZelTimedThreads& items = ZelMultiThreader1.Threads();
    items.Add().SetEnabled(false);
    TZelTimedThread& handshake = items.Add();
    TZelTimedThread& replyWait = items.Add();

    Comm1.SetDeviceName("Com2");
    SetUpControllerPort(Comm1);
    DeviceWatch1->SetSource(OpenDeviceEvents());

    linkStatus_ = std::make_unique<TLabelStatus>(Label6);
    linkGauge_ = std::make_unique<TGaugeProgress>(Gauge1);
    link_ = std::make_unique<TControllerLink>(
        Comm1, handshake, replyWait, *linkStatus_, *linkGauge_, SortGrid1->Table(),
        [this] { return EntryCount(); }, *operator_);
}

void TFrm_main::Wire()
{
    TZelTimedThreads& items = ZelMultiThreader1.Threads();
    // A failure of the clock ends item 0's worker, as for any timed item; nothing is shown.
    items[0].OnTimer = [this](TZelTimedThread& sender) { ZelMultiThreader1Threads0Timer(sender); };
    // The device went away (unplugged, the other end hung up): the port has closed itself, the
    // indicator shows it at once, and the download's own handler ends a download under way.
    Comm1.OnDeviceLost = [this, endDownload = Comm1.OnDeviceLost](TCustomComm& sender,
                                                                  const ECommError& error) {
        RunHandler([&] {
            Shape1->SetBrushColor(kRed);
            portToReopen_ = sender.DeviceName(); // opened again when it is back
            endDownload(sender, error);
        });
    };
    DeviceWatch1->OnEvent = [this](const TDeviceEvent& event) {
        RunHandler([&] { DeviceWatch1Event(event); });
    };
    PortPopup1->OnPick = [this](const QString& name) {
        Edit1->setText(name);
        Edit1->setFocus();
    };
    // The field is narrow: its whole text shows as its tooltip.
    connect(Edit1, &QLineEdit::textChanged, Edit1, &QWidget::setToolTip);
    // The download catches what fails inside its tick and reply handlers (so that neither the
    // item's worker nor the port's event thread ends) and reports it here.
    Download().SetErrorReport(
        [](std::exception_ptr error) { RunHandler([&] { std::rethrow_exception(error); }); });
    Download().SetEndListener([this](const TDownloadEnd& end) {
        sendHistory_.Append(SendRecordOf(end, Comm1.DeviceName(), kWindowSource));
    });
    // Whatever changes the table (add, insert, delete, clear, the editor, a load) makes the
    // status line stop saying that the controller has it.
    tableListener_ = SortGrid1->Table().AddContentListener([this] { Download().TableChanged(); });
    Label6->installEventFilter(this);

    Schedule.SetDownloadBusy([this] { return DownloadBusy(); });
    Schedule.SetCountListener([this](const std::string& text) { SetCaption(Label1, text); });

    // Each control's handler runs under the general error handler.
    const auto bind = [this](auto* sender, auto signal, void (TFrm_main::*handler)()) {
        connect(sender, signal, this, [this, handler] { RunHandler([&] { (this->*handler)(); }); });
    };
    bind(BitBtn1, &QPushButton::clicked, &TFrm_main::BitBtn1Click);
    bind(BitBtn2, &QPushButton::clicked, &TFrm_main::BitBtn2Click);
    bind(BitBtn3, &QPushButton::clicked, &TFrm_main::BitBtn3Click);
    bind(BitBtn4, &QPushButton::clicked, &TFrm_main::BitBtn4Click);
    bind(BitBtn5, &QPushButton::clicked, &TFrm_main::BitBtn5Click);
    bind(BitBtn6, &QPushButton::clicked, &TFrm_main::BitBtn6Click);
    bind(BitBtn7, &QPushButton::clicked, &TFrm_main::BitBtn7Click);
    bind(S1, &QAction::triggered, &TFrm_main::BitBtn3Click);
    bind(O1, &QAction::triggered, &TFrm_main::BitBtn5Click);
    bind(N4, &QAction::triggered, &TFrm_main::BitBtn6Click);
    bind(D1, &QAction::triggered, &TFrm_main::D1Click);
    bind(N2, &QAction::triggered, &TFrm_main::N2Click);
    bind(Edit1List, &QAction::triggered, &TFrm_main::Edit1ListClick);
    SortGrid1->OnDblClick = [this](TColumnGrid&) { RunHandler([this] { SortGrid1DblClick(); }); };
}

void TFrm_main::FormCreate()
{
    try {
        TRegistry registry;
        registry.WriteString("company", kCompany);
        registry.WriteString("maker", kMaker);
        registry.WriteString("phone", kPhone);
        if (registry.ValueExists("com"))
            Edit1->setText(QString::fromStdString(registry.ReadString("com")));
    } catch (const std::exception& error) {
        // The settings end at the failing value. The rest of the start-up goes on: a clock
        // frozen at zero would be a wrong display for as long as the program runs.
        operator_->ShowMessage(error.what());
    }
    // EntryCount starts at 0 in the schedule and LinkStopped true in the download.
    SortGrid1->SetCells(0, 0, "开始时间");
    SortGrid1->SetCells(1, 0, "节目长度");
    SortGrid1->SetCells(2, 0, "结束时间");
    SortGrid1->SetDefaultColWidth(120);
    ZelMultiThreader1.Threads()[0].SetEnabled(true);
}

void TFrm_main::keyPressEvent(QKeyEvent* event)
{
    // The time fields and the add button let Enter through to the window.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    QWidget* focus = focusWidget();
    if (enter &&
        (focus == BitBtn1 || focus == MaskEdit1 || focus == MaskEdit2 || focus == MaskEdit3)) {
        AddByEnterKey();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TFrm_main::AddByEnterKey()
{
    if (DownloadBusy()) return; // the add does nothing; neither does the focus
    const int count = EntryCount();
    RunHandler([this] { BitBtn1Click(); });
    // Ready for the next entry; after a refusal, at the field to correct: the first one that
    // does not hold a time, which is the one the message named.
    TMaskTimeField* next = MaskEdit1;
    if (EntryCount() == count) {
        for (TMaskTimeField* field : {MaskEdit1, MaskEdit2, MaskEdit3})
            if (!IsTimeText(field->Text())) {
                next = field;
                break;
            }
    }
    next->setFocus(Qt::OtherFocusReason);
    next->setCursorPosition(0);
}

bool TFrm_main::DownloadBusy() const
{
    return Download().DownloadBusy();
}

void TFrm_main::closeEvent(QCloseEvent* event)
{
    // Only the window system's requests come as spontaneous events. The program's own ending
    // (QCoreApplication::quit, the end of a session) closes the window without one and is
    // never held up.
    if (event->spontaneous() && DownloadBusy()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

bool TFrm_main::eventFilter(QObject* watched, QEvent* event)
{
    // Read when it is about to show, so that it also tells of a movarth-send run meanwhile.
    if (watched == Label6 && event->type() == QEvent::ToolTip)
        Label6->setToolTip(QString::fromStdString(LastConfirmationText()));
    return QWidget::eventFilter(watched, event);
}

std::string TFrm_main::LastConfirmationText() const
{
    const std::optional<TSendRecord> last = sendHistory_.LastConfirmed();
    if (!last) return "还没有倒计时控制器确认接收条目的记录";
    const QString time =
        QDateTime::fromSecsSinceEpoch(last->time).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return "倒计时控制器最近一次确认接收：" + time.toStdString() + "，通讯端口 " + last->port +
           "，共" + std::to_string(last->entries.size()) + "组条目";
}

void TFrm_main::ZelMultiThreader1Threads0Timer(TZelTimedThread&)
{
    const QString date = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
    Panel1->setText(date + QStringLiteral("  ") + time);
}

void TFrm_main::BitBtn1Click()
{
    Schedule.BitBtn1Click(*MaskEdit1, *MaskEdit2, *MaskEdit3);
}

void TFrm_main::BitBtn2Click()
{
    if (DownloadBusy()) return;
    const std::string name = Edit1->text().toStdString();
    // Another name: the port that vanished is no longer waited for.
    if (name != portToReopen_) portToReopen_.clear();
    if (const std::exception_ptr failure = OpenPort(name)) {
        TOpenFailureSources sources;
        sources.sysRoot = PortList1->SysRoot();
        sources.devRoot = PortList1->DevRoot();
        operator_->ShowDetailedMessage("端口打开有错误，请重新输入！",
                                       OpenFailureDetail(name, failure, sources));
        return;
    }
    TRegistry().WriteString("com", name);
}

std::exception_ptr TFrm_main::OpenPort(const std::string& name)
{
    try {
        // An open port on the same name (compared exactly) stays as it is.
        if (!Comm1.IsOpen() || Comm1.DeviceName() != name) {
            if (Comm1.IsOpen()) Comm1.Close();
            Comm1.SetDeviceName(name);
            Comm1.Open();
            Shape1->SetBrushColor(kGreen);
        }
    } catch (...) {
        Shape1->SetBrushColor(kRed);
        return std::current_exception();
    }
    portToReopen_.clear();
    return nullptr;
}

void TFrm_main::BitBtn3Click()
{
    Schedule.BitBtn3Click();
}
void TFrm_main::BitBtn4Click()
{
    Download().BitBtn4Click();
}
void TFrm_main::BitBtn5Click()
{
    Schedule.BitBtn5Click();
}
void TFrm_main::BitBtn6Click()
{
    Schedule.BitBtn6Click();
}
void TFrm_main::D1Click()
{
    Schedule.D1Click();
}
void TFrm_main::N2Click()
{
    Schedule.N2Click();
}

void TFrm_main::BitBtn7Click()
{
    if (DownloadBusy()) return;
    QCoreApplication::quit();
}

void TFrm_main::Edit1ListClick()
{
    PortList1->Refresh();
    // The field's port current where it is listed, else the first.
    PortPopup1->ShowBelow(Edit1, std::max(PortList1->RowOf(Edit1->text()), 0));
}

void TFrm_main::DeviceWatch1Event(const TDeviceEvent& event)
{
    // The device of a port that vanished is back: it opens again as 打开 would open it, but
    // without a box, so a port another program took meanwhile simply stays red. The name was
    // stored when 打开 opened it. A download the loss ended stays ended.
    if (portToReopen_.empty() || DownloadBusy() || !IsPortBack(portToReopen_, event)) return;
    OpenPort(portToReopen_);
}

void TFrm_main::SortGrid1DblClick()
{
    // With no entry the table's one row is empty: there is nothing to edit.
    const int row = SortGrid1->Row();
    if (row == 0 || EntryCount() == 0 || editor_ == nullptr) return;
    editor_->Edit(SortGrid1->Cells(0, row), SortGrid1->Cells(1, row), SortGrid1->Cells(2, row));
}

} // namespace movarth
