// frmKOVRA: the program's one window object.
//
// It holds the key frame and key table, the serial port MSComm1, the four
// step timers and the keypad controls, runs the start-up sequence, and ends
// the program. In tuning mode it stays hidden throughout.
#pragma once

#include "keyframe.h"
#include "settingsstore.h"
#include "serial/serialport.h"

#include <QWidget>

#include <memory>

class QCloseEvent;
class QLabel;
class QMessageBox;
class QLineEdit;
class QPushButton;
class QTimer;

namespace kovra {

class frmKOVRA : public QWidget {
    Q_OBJECT
public:
    explicit frmKOVRA(QWidget *parent = nullptr);
    ~frmKOVRA() override;

    // Runs start-up to its end: tunes (the timers carry on the digit
    // sequence), or shows the window when `commandLine` is empty.
    void StartUp(const QString &commandLine);

    void GetChannel(const KeyEntry &channel);
    Outcome SendKey(const KeyEntry &entry);
    Outcome SendDigitAt(const QString &text, int position);

    void DisableKeypad();
    void EnableKeypad();

    // Handlers of the port box and of the port's events.
    void PortChange();
    void HandleSerialEvent(qint16 code);
    // Reads all waiting input; gives what a drain keeps (the last 5000).
    Outcome ReceiveDrain(QByteArray &buffer);

    // Every message to the user goes through here (see messageShown).
    void ShowMessage(const QString &text);
    // The box ShowMessage shows on a display: modal, OK only, no icon,
    // the program's title as its caption.
    std::unique_ptr<QMessageBox> MessageBoxFor(const QString &text);

    // Stops everything, lets the last frame leave, closes the port and
    // emits programEnded(status). Later events are ignored.
    void EndProgram(int status);
    bool hasEnded() const { return ended_; }
    int exitStatus() const { return exitStatus_; }

    SettingsStore &settings() { return settings_; }

    static constexpr int kReceiveBufferLimit = 5000;
    static constexpr int kUnhandledFailureStatus = 1;

protected:
    // Closing the window through its frame ends the program like Exit.
    void closeEvent(QCloseEvent *event) override;

signals:
    void messageShown(const QString &text);
    void programEnded(int status);

public:
    kovra::KeyFrame KeyFrame{};
    KeyEntry Key1{}, Key2{}, Key3{}, Key4{}, Key5{}, Key6{}, Key7{}, Key8{}, Key9{}, Key0{};
    KeyEntry KeyChanUp{}, KeyChanDown{}, KeyEnter{};

    SerialPort *MSComm1 = nullptr;
    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;
    QTimer *Timer3 = nullptr;
    QTimer *Timer4 = nullptr;

    QPushButton *BtnExit = nullptr;
    QPushButton *BtnChanD = nullptr;
    QPushButton *BtnChanU = nullptr;
    QPushButton *BtnEnt = nullptr;
    QPushButton *Btn0 = nullptr;
    QPushButton *Btn1 = nullptr;
    QPushButton *Btn2 = nullptr;
    QPushButton *Btn3 = nullptr;
    QPushButton *Btn4 = nullptr;
    QPushButton *Btn5 = nullptr;
    QPushButton *Btn6 = nullptr;
    QPushButton *Btn7 = nullptr;
    QPushButton *Btn8 = nullptr;
    QPushButton *Btn9 = nullptr;
    QLineEdit *txtComport = nullptr;
    QLabel *LabelChan = nullptr;
    QLabel *Label1 = nullptr;

private:
    void SetUpKeyTable();
    Outcome StartUpGroup();
    void StartUpCheck(const Outcome &failure);
    Outcome Decide();
    Outcome OpenOnBoxText();
    void PressKey(const KeyEntry &entry);
    void DigitStep(QTimer *timer, int position);
    void Unhandled(const Outcome &failure);
    void SetKeypadEnabled(bool enabled);

    SettingsStore settings_;
    Outcome whyPortClosed_;  // the failure that left the port closed, if any
    QString commandLine_;
    qint16 requestedChannel_ = 0;
    qint16 rememberedChannel_ = 0;
    bool ended_ = false;
    int exitStatus_ = 0;
};

}  // namespace kovra
