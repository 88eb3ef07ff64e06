#include "app/Registry.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
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

QString TRegistry::UnreadableFileName()
{
    return FileName() + QStringLiteral(".unreadable-") +
           QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
}

TRegistry::TRegistry() : settings_(std::make_unique<QSettings>(FileName(), QSettings::IniFormat))
{
    // The toolkit tells that a file does not parse only when it writes it, and it rewrites the
    // file while it tells: the bytes are kept here so that they can be set aside as found.
    QFile file(FileName());
    if (file.open(QIODevice::ReadOnly)) found_ = file.readAll();
}

void TRegistry::WriteString(const std::string& name, const std::string& value)
{
    settings_->setValue(Key(name), QString::fromStdString(value));
    settings_->sync();
    if (settings_->status() == QSettings::FormatError && StartAfresh()) {
        settings_->setValue(Key(name), QString::fromStdString(value));
        settings_->sync();
    }
    found_.clear(); // from here on the file is this object's own
    if (settings_->status() != QSettings::NoError)
        throw ERegistryException("Failed to set data for '" + name + "'");
}

bool TRegistry::StartAfresh()
{
    QFile aside(UnreadableFileName());
    if (found_.isEmpty() || !aside.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        aside.write(found_) != found_.size() || !aside.flush())
        return false;
    aside.close();
    settings_.reset();
    QFile::remove(FileName());
    settings_ = std::make_unique<QSettings>(FileName(), QSettings::IniFormat);
    return true;
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
