// The port field's list of ports as a model, without a window, on fake sysfs trees.
#include "app/PortListModel.h"

#include "tests/support/FakeSerialTree.h"

#include <QAbstractItemModelTester>
#include <gtest/gtest.h>

namespace movarth {
namespace {

using test::TFakeSerialTree;

QStringList Column(const QAbstractItemModel& model, int role)
{
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts << model.index(row, 0).data(role).toString();
    return texts;
}

class PortListModel : public testing::Test
{
protected:
    PortListModel() { model.SetRoots(tree.Sys().string(), tree.Dev().string()); }

    QString Dev(const std::string& name) const { return QString::fromStdString(tree.Node(name)); }

    TFakeSerialTree tree;
    TPortListModel model;
    // Checks every change the model announces, and aborts the test on a broken one.
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(PortListModel, EachPortWithWhatItIsAndTheNameTheFieldTakes)
{
    tree.AddUart("ttyS0", 4);
    tree.AddUart("ttyS1", 0);
    const QString byId = QString::fromStdString(tree.AddFt232r());
    const QString byPath = QString::fromStdString(
        tree.AddUdevLink("by-path", "pci-0000:00:14.0-usb-0:1:1.0-port0", "ttyUSB0"));
    tree.AddUsb("ttyUSB1", "1-2", "pl2303", {"067b", "2303", "", "", ""});
    tree.AddUsb("ttyACM0", "1-3", "cdc_acm", {"2341", "0043", "Arduino (www.arduino.cc)", "", ""});

    EXPECT_EQ(model.rowCount(), 0); // read only when asked
    model.Refresh();
    EXPECT_EQ(
        Column(model, Qt::DisplayRole),
        (QStringList{"ttyACM0  Arduino (www.arduino.cc)（2341:0043）", "ttyS0  内置串口 16550A",
                     "ttyUSB0  FTDI FT232R USB UART（0403:6001，序列号 A6008isP）",
                     "ttyUSB1  USB 串口适配器 pl2303（067b:2303）"}));
    EXPECT_EQ(Column(model, TPortListModel::NameRole),
              (QStringList{Dev("ttyACM0"), Dev("ttyS0"), byId, Dev("ttyUSB1")}));
    EXPECT_EQ(model.index(2, 0).data(Qt::ToolTipRole).toString(),
              byId + "\n" + byPath + "\n" + Dev("ttyUSB0") + "\n驱动：ftdi_sio");
    EXPECT_EQ(model.index(1, 0).data(Qt::ToolTipRole).toString(), Dev("ttyS0") + "\n驱动：serial");

    // The field's text finds its row by any of the port's names.
    EXPECT_EQ(model.RowOf(byId), 2);
    EXPECT_EQ(model.RowOf(Dev("ttyUSB0")), 2);
    EXPECT_EQ(model.RowOf(QStringLiteral("ttyS0")), 1);
    EXPECT_EQ(model.RowOf(QStringLiteral("Com1")), -1);
    EXPECT_EQ(model.RowOf(byPath), -1); // not a name the list hands out
}

// Between two openings of the drop-down an adapter is plugged in and another pulled out.
TEST_F(PortListModel, EachRefreshReadsTheTreeAgain)
{
    tree.AddUart("ttyS0", 4);
    tree.AddUsb("ttyUSB0", "1-1", "ftdi_sio", {"0403", "6001", "FTDI", "FT232R USB UART", ""});
    model.Refresh();
    ASSERT_EQ(model.rowCount(), 2);

    tree.RemoveNode("ttyUSB0");
    tree.AddUsb("ttyACM0", "1-2", "cdc_acm", {"2341", "0043", "", "", ""});
    model.Refresh();
    EXPECT_EQ(Column(model, TPortListModel::NameRole), (QStringList{Dev("ttyACM0"), Dev("ttyS0")}));

    model.SetRoots("/nonexistent-sys", "/nonexistent-dev");
    model.Refresh();
    EXPECT_EQ(model.rowCount(), 0);
}

} // namespace
} // namespace movarth
