#include "platform/IniSettingsStore.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QVariant>
#include <memory>

namespace {

bool isRegistryPath(const QString& path)
{
#ifdef Q_OS_WIN
    return path.startsWith(QLatin1String("HKEY_"), Qt::CaseInsensitive);
#else
    Q_UNUSED(path);
    return false;
#endif
}

std::unique_ptr<QSettings> openStore(const QString& path)
{
    const QSettings::Format format = isRegistryPath(path) ? QSettings::NativeFormat : QSettings::IniFormat;
    return std::make_unique<QSettings>(path, format);
}

QString textBeforeFirstNul(const QString& text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    return nul < 0 ? text : text.left(nul);
}

QString valueAsText(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return textBeforeFirstNul(value.toString());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return QString::number(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return QString::number(value.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return QString::number(value.toDouble(), 'g', 17);
    default:
        return QString();
    }
}

} // namespace

IniSettingsStore::IniSettingsStore(QString filePath) : path_(std::move(filePath)) {}

QString IniSettingsStore::read(const QString& name) const
{
    const auto store = openStore(path_);
    if (store->status() != QSettings::NoError)
        return QString();
    const QString text = valueAsText(store->value(name));
    if (text.toUtf8().size() > kMaxValueBytes)
        return QString();
    return text;
}

bool IniSettingsStore::write(const QString& name, const QString& value)
{
    const auto store = openStore(path_);
    if (!store->isWritable() || store->status() != QSettings::NoError)
        return false;
    store->setValue(name, value);
    store->sync();
    return store->status() == QSettings::NoError;
}

QString IniSettingsStore::location() const { return QDir::toNativeSeparators(path_); }

QString IniSettingsStore::defaultPath()
{
#ifdef Q_OS_WIN
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\varare");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/varare.conf");
#endif
}
