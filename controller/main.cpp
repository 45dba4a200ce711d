// kovra: presses a set-top box's remote-control keys over a serial port.
//
//   kovra <channel>   tunes the box and ends by itself
//   kovra             shows the keypad window
//
// Several arguments are joined by one blank into one command-line text;
// bytes that are not UTF-8 become U+FFFD.
#include "frmkovra.h"
#include "settingsstore.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>

#include <cstdio>

namespace {

QString commandLineText(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments.join(u' ');
}

// A server without a display still tunes: use the offscreen platform.
// Returns whether it did.
bool chooseHeadlessPlatform()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return true;
    }
    return false;
}

// A tuning run must not die of an X display it cannot reach (a DISPLAY left
// over in a service's or cron job's environment): Qt tries the platforms in
// order, so the run falls back to the offscreen platform.
void fallBackToOffscreenForTuning()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
}

// A run reads the remembered channel and stores its own before it opens the
// port, so two runs started close together (a recorder's two channel changes
// in a row) must take turns from the start, or the second works from a
// channel the first is about to replace and may step the wrong way. The
// lock lives beside the settings file; a run that cannot get it within the
// bound goes on, and the port's own lock still keeps the frames apart.
constexpr int kRunLockWaitMs = 10000;

bool lockTuningRun(QLockFile &lock)
{
    QDir().mkpath(QFileInfo(lock.fileName()).absolutePath());
    return lock.tryLock(kRunLockWaitMs);
}

QtMessageHandler qtMessageHandler = nullptr;

// Services and cron jobs run without a login session, so without
// XDG_RUNTIME_DIR; Qt falls back to a directory of its own and says so on
// every run. That line tells the user nothing, so it is left out.
void withoutRuntimeDirNotice(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtWarningMsg && text.startsWith(u"QStandardPaths: XDG_RUNTIME_DIR not set"))
        return;
    qtMessageHandler(type, context, text);
}

}  // namespace

int main(int argc, char **argv)
{
    const QString commandLine = commandLineText(argc, argv);
    if (chooseHeadlessPlatform() && commandLine.isEmpty()) {
        // Nobody could see or close the keypad window: it would wait forever.
        std::fputs("kovra: no display for the keypad window (DISPLAY and WAYLAND_DISPLAY are not set);"
                   " give a channel to tune without one, e.g. kovra 705\n",
                   stderr);
        return 2;
    }
    QLockFile runLock(kovra::SettingsPath() + QStringLiteral(".tuning.lock"));
    if (!commandLine.isEmpty()) {
        fallBackToOffscreenForTuning();
        lockTuningRun(runLock);
    }
    qtMessageHandler = qInstallMessageHandler(withoutRuntimeDirNotice);
    // The arguments are the channel, never Qt options such as -platform.
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);

    kovra::frmKOVRA window;
    QObject::connect(&window, &kovra::frmKOVRA::programEnded, &app, &QCoreApplication::exit);
    window.StartUp(commandLine);
    if (window.hasEnded())
        return window.exitStatus();
    return app.exec();
}
