// Per-user settings: $XDG_CONFIG_HOME/KOVRA.ini (default ~/.config/KOVRA.ini).
//
// Each setting is group <section>, key "value": [Comport] value=3. Values are
// texts, written as given and read back unchanged. A file that cannot be read
// or does not parse holds no values for us, and we never write over it.
// [Ports] maps port numbers to devices: 3=/dev/ttyUSB0.
#pragma once

#include "serial/serialport.h"

#include <QSettings>
#include <QString>

namespace kovra {

// Failure of the settings file (unreadable, malformed, or not writable).
constexpr int kSettingsFailure = 8030;

QString SettingsPath();

// One store per process and file: QSettings reports a malformed file only to
// the first object that parses it, so the program keeps this one object.
class SettingsStore {
public:
    SettingsStore();  // the file of SettingsPath() at this moment

    QString path() const { return settings_.fileName(); }

    // The stored text, or `defaultText` when none is stored; a stored empty
    // text reads as empty.
    QString Read(const QString &section, const QString &defaultText);

    // Stores `text` and writes the file at once.
    Outcome Write(const QString &section, const QString &text);

    // Device of a port number: the [Ports] entry, else /dev/ttyS<N-1> for
    // N >= 1; empty (no port) for N <= 0.
    QString ResolvePortDevice(int portNumber);

private:
    QVariant stored(const QString &key);

    QSettings settings_;
};

}  // namespace kovra
