#include "app/Registry.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace movarth {
namespace {

const QString KeyPath = QStringLiteral("SoftWare/movarth/");

// Far above what the program stores (four short values), far below what could hurt.
constexpr off_t kMaxFileSize = 64 * 1024;

QString Key(const std::string& name)
{
    return KeyPath + QString::fromStdString(name);
}

// Whether what stands at the path may be read: a regular file of a sane size, or nothing
// (what cannot be looked at fails later, where it is used). Anything else (a FIFO would hang
// the start, a link to /dev/zero or a huge file would fill the memory) is not opened at all.
bool Readable(const QString& path)
{
    struct stat status
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &status) != 0 ||
           (S_ISREG(status.st_mode) && status.st_size <= kMaxFileSize);
}

// Moves the file to `to` unless something is there already.
bool RenameWithoutReplacing(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    const int moved =
        ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE);
    if (moved == 0) return true;
    // A file system without the flag: the name was free a moment ago.
    return errno == EINVAL && !QFileInfo(to).exists() && !QFileInfo(to).isSymLink() &&
           ::rename(source.constData(), target.constData()) == 0;
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

TRegistry::TRegistry()
{
    // Set aside as it stands, moved and never read.
    if (!Readable(FileName()) &&
        !SetAside([](const QString& name) { return RenameWithoutReplacing(FileName(), name); })) {
        unusable_ = true;
        return;
    }
    settings_ = std::make_unique<QSettings>(FileName(), QSettings::IniFormat);
    // The toolkit tells that a file does not parse only when it writes it, and it rewrites the
    // file while it tells: the bytes are kept here so that they can be set aside as found.
    QFile file(FileName());
    if (file.open(QIODevice::ReadOnly)) found_ = file.read(kMaxFileSize);
}

bool TRegistry::SetAside(const std::function<bool(const QString& name)>& place)
{
    const QString first = UnreadableFileName();
    for (int n = 1; n <= 100; ++n) {
        const QString name = n == 1 ? first : first + QLatin1Char('-') + QString::number(n);
        const QFileInfo taken(name);
        if (taken.exists() || taken.isSymLink()) continue;
        return place(name);
    }
    return false;
}

void TRegistry::WriteString(const std::string& name, const std::string& value)
{
    if (unusable_) throw ERegistryException("Failed to set data for '" + name + "'");
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
    if (found_.isEmpty() || !SetAside([this](const QString& name) {
            QFile aside(name);
            return aside.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
                   aside.write(found_) == found_.size() && aside.flush();
        }))
        return false;
    settings_.reset();
    QFile::remove(FileName());
    settings_ = std::make_unique<QSettings>(FileName(), QSettings::IniFormat);
    return true;
}

bool TRegistry::ValueExists(const std::string& name)
{
    return !unusable_ && settings_->contains(Key(name));
}

std::string TRegistry::ReadString(const std::string& name)
{
    if (unusable_) throw ERegistryException("Failed to get data for '" + name + "'");
    const QVariant value = settings_->value(Key(name));
    if (settings_->status() != QSettings::NoError || !value.isValid())
        throw ERegistryException("Failed to get data for '" + name + "'");
    if (value.typeId() != QMetaType::QString)
        throw ERegistryException("Invalid data type for '" + name + "'");
    return value.toString().toStdString();
}

} // namespace movarth
