#pragma once

#include "comm/SerialPorts.h"

#include <QAbstractListModel>
#include <string>
#include <vector>

namespace movarth {

// The serial ports present, as the port field's drop-down lists them: one row a port, its
// name and what it is; under NameRole the name the field takes for it (LastingPortName). The
// listing is read again by each Refresh, never on a timer.
class TPortListModel final : public QAbstractListModel
{
public:
    static constexpr int NameRole = Qt::UserRole + 1;

    explicit TPortListModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}

    // Where the listing is read; the machine's own /sys and /dev unless set.
    void SetRoots(std::string sysRoot, std::string devRoot);
    const std::string& SysRoot() const { return sysRoot_; }
    const std::string& DevRoot() const { return devRoot_; }
    void Refresh();
    // The row of the port that `name` names (by its lasting name, node or kernel name); -1
    // when it names none of them.
    int RowOf(const QString& name) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::string sysRoot_ = "/sys";
    std::string devRoot_ = "/dev";
    std::vector<TSerialPort> ports_;
    std::vector<std::string> names_; // each port's lasting name
};

// What a port is, as the window says it: "FTDI FT232R USB UART（0403:6001，序列号 A6008isP）",
// "内置串口 16550A".
QString PortDescriptionText(const TSerialPort& port);

} // namespace movarth
