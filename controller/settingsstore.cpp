#include "settingsstore.h"

#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

namespace kovra {
namespace {

const QString kValueKey = QStringLiteral("value");

// Keys of the file, or none when it cannot be read or parsed.
QVariant storedValue(const QString &key)
{
    QSettings settings(SettingsPath(), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return {};
    return settings.value(key);
}

QString asText(const QVariant &value)
{
    // An unquoted "a, b" written by hand parses as a list; give it back as
    // one text. Texts we write ourselves are quoted and never come back so.
    if (value.metaType().id() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

}  // namespace

QString SettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/KOVRA.ini");
}

QString ReadSetting(const QString &section, const QString &defaultText)
{
    const QVariant value = storedValue(section + u'/' + kValueKey);
    if (!value.isValid())
        return defaultText;
    return asText(value);
}

Outcome WriteSetting(const QString &section, const QString &text)
{
    const QString path = SettingsPath();
    QSettings settings(path, QSettings::IniFormat);
    // QSettings would rewrite a malformed file from what it could parse.
    if (settings.status() != QSettings::NoError)
        return {kSettingsFailure,
                QStringLiteral("Settings file %1 cannot be read; left unchanged").arg(path), 0};
    settings.setValue(section + u'/' + kValueKey, text);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return {kSettingsFailure, QStringLiteral("Cannot write settings file %1").arg(path), 0};
    return Outcome::success();
}

QString ResolvePortDevice(int portNumber)
{
    if (portNumber <= 0)
        return {};
    const QVariant mapped = storedValue(QStringLiteral("Ports/") + QString::number(portNumber));
    if (mapped.isValid())
        return asText(mapped);
    return QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
}

}  // namespace kovra
