#include "app/Registry.h"

#include <QDir>
#include <QStandardPaths>

namespace movarth {
namespace {

const QString KeyPath = QStringLiteral("SoftWare/movarth/");

QString Key(const std::string& name)
{
    return KeyPath + QString::fromStdString(name);
}

} // namespace

QString TRegistry::FileName()
{
    QString dir = qEnvironmentVariable("MOVARTH_SETTINGS_DIR");
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
              QStringLiteral("/movarth");
    return QDir(dir).filePath(QStringLiteral("movarth.conf"));
}

TRegistry::TRegistry() : settings_(std::make_unique<QSettings>(FileName(), QSettings::IniFormat)) {}

void TRegistry::WriteString(const std::string& name, const std::string& value)
{
    settings_->setValue(Key(name), QString::fromStdString(value));
    settings_->sync();
    if (settings_->status() != QSettings::NoError)
        throw ERegistryException("Failed to set data for '" + name + "'");
}

bool TRegistry::ValueExists(const std::string& name)
{
    return settings_->contains(Key(name));
}

std::string TRegistry::ReadString(const std::string& name)
{
    const QVariant value = settings_->value(Key(name));
    if (settings_->status() != QSettings::NoError || !value.isValid())
        throw ERegistryException("Failed to get data for '" + name + "'");
    if (value.typeId() != QMetaType::QString)
        throw ERegistryException("Invalid data type for '" + name + "'");
    return value.toString().toStdString();
}

} // namespace movarth
