#include "settingsstore.h"

#include <QStandardPaths>
#include <QStringList>

namespace kovra {
namespace {

const QString kValueKey = QStringLiteral("value");

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

SettingsStore::SettingsStore() : settings_(SettingsPath(), QSettings::IniFormat) {}

QVariant SettingsStore::stored(const QString &key)
{
    settings_.sync();  // picks up changes made by others meanwhile
    const QVariant value = settings_.value(key);
    if (settings_.status() != QSettings::NoError)
        return {};
    return value;
}

QString SettingsStore::Read(const QString &section, const QString &defaultText)
{
    const QVariant value = stored(section + u'/' + kValueKey);
    if (!value.isValid())
        return defaultText;
    return asText(value);
}

Outcome SettingsStore::Write(const QString &section, const QString &text)
{
    settings_.sync();
    (void)settings_.allKeys();  // makes sure the file has been parsed
    // QSettings would rewrite a malformed file from what it could parse.
    if (settings_.status() != QSettings::NoError)
        return {kSettingsFailure,
                QStringLiteral("Settings file %1 cannot be read; left unchanged").arg(path()), 0};
    settings_.setValue(section + u'/' + kValueKey, text);
    settings_.sync();
    if (settings_.status() != QSettings::NoError)
        return {kSettingsFailure, QStringLiteral("Cannot write settings file %1").arg(path()), 0};
    return Outcome::success();
}

QString SettingsStore::ResolvePortDevice(int portNumber)
{
    if (portNumber <= 0)
        return {};
    const QVariant mapped = stored(QStringLiteral("Ports/") + QString::number(portNumber));
    if (mapped.isValid())
        return asText(mapped);
    return QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
}

}  // namespace kovra
