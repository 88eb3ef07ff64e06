#include "app/PortListModel.h"

#include <QStringList>

namespace movarth {

namespace {

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

QString PortDescriptionText(const TSerialPort& port)
{
    switch (port.kind) {
    case pkUsb: {
        QString what = Text(port.manufacturer);
        if (!port.product.empty()) what += (what.isEmpty() ? "" : " ") + Text(port.product);
        if (what.isEmpty()) what = QStringLiteral("USB 串口适配器 ") + Text(port.driver);
        what += QStringLiteral("（") + Text(port.vendorId + ":" + port.productId);
        if (!port.serialNumber.empty())
            what += QStringLiteral("，序列号 ") + Text(port.serialNumber);
        return what + QStringLiteral("）");
    }
    case pkUart:
        return QStringLiteral("内置串口 ") + Text(UartTypeName(port.uartType));
    case pkOther:
        break;
    }
    return QStringLiteral("串口（驱动 ") + Text(port.driver) + QStringLiteral("）");
}

void TPortListModel::SetRoots(std::string sysRoot, std::string devRoot)
{
    sysRoot_ = std::move(sysRoot);
    devRoot_ = std::move(devRoot);
}

void TPortListModel::Refresh()
{
    beginResetModel();
    ports_ = ListSerialPorts(sysRoot_, devRoot_);
    names_.clear();
    for (const TSerialPort& port : ports_)
        names_.push_back(LastingPortName(port, ports_));
    endResetModel();
}

int TPortListModel::RowOf(const QString& name) const
{
    const std::string text = name.toStdString();
    for (std::size_t row = 0; row < ports_.size(); ++row) {
        const TSerialPort& port = ports_[row];
        if (text == names_[row] || text == port.devicePath || text == port.name)
            return static_cast<int>(row);
    }
    return -1;
}

int TPortListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(ports_.size());
}

QVariant TPortListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const TSerialPort& port = ports_[static_cast<std::size_t>(index.row())];
    const std::string& name = names_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return Text(port.name) + QStringLiteral("  ") + PortDescriptionText(port);
    case Qt::ToolTipRole: {
        // The name the field takes first, then the others the port goes by.
        QStringList lines{Text(name)};
        for (const auto* names : {&port.byId, &port.byPath})
            for (const std::string& other : *names)
                if (other != name) lines << Text(other);
        if (port.devicePath != name) lines << Text(port.devicePath);
        lines << QStringLiteral("驱动：") + Text(port.driver);
        return lines.join(QLatin1Char('\n'));
    }
    case NameRole:
        return Text(name);
    default:
        return {};
    }
}

} // namespace movarth
