#include "frmkovra.h"

#include "numericvalue.h"
#include "settingsstore.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

namespace kovra {
namespace {

const QString kTitle = QStringLiteral("KOVRA");
const QString kCaption = QStringLiteral("Motorola KOVRA Remote Control  Ver 1.0");
const QString kLineSettings = QStringLiteral("9600,N,8,1");
const QString kNoPortMessage = QStringLiteral("Could not open Com");

// Layout is given in twips; 15 twips make one pixel at 96 dpi.
QRect twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

bool noPersonCanSee()
{
    const QString platform = QGuiApplication::platformName();
    return platform == u"offscreen" || platform == u"minimal";
}

}  // namespace

frmKOVRA::frmKOVRA(QWidget *parent)
    : QWidget(parent),
      MSComm1(new SerialPort(this)),
      Timer1(new QTimer(this)),
      Timer2(new QTimer(this)),
      Timer3(new QTimer(this)),
      Timer4(new QTimer(this))
{
    setWindowTitle(kCaption);
    setFixedSize(4695 / 15, 2250 / 15);
    // The layout was drawn for an 8-point dialog font; the toolkit's 9-point
    // default would cut "Comm Port" and crowd "Ent".
    QFont dialogFont = font();
    dialogFont.setPointSize(8);
    setFont(dialogFont);

    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    MSComm1->setDeviceResolver([this](int port) { return settings_.ResolvePortDevice(port); });

    const std::array<std::pair<QTimer *, int>, 4> timers = {
        {{Timer1, 1}, {Timer2, 600}, {Timer3, 1200}, {Timer4, 1800}}};
    int number = 1;
    for (auto [timer, interval] : timers) {
        timer->setObjectName(QStringLiteral("Timer%1").arg(number++));
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(interval);
    }

    struct ButtonRow {
        QPushButton *frmKOVRA::*button;
        const char *name;
        const char *caption;
        QRect geometry;
        int tabIndex;
        const KeyEntry frmKOVRA::*key;  // null: the button sends nothing
    };
    const ButtonRow buttons[] = {
        {&frmKOVRA::BtnExit, "BtnExit", "E&xit", twips(360, 1200, 1335, 495), 16, nullptr},
        {&frmKOVRA::BtnChanD, "BtnChanD", "-", twips(3960, 1440, 375, 495), 15, &frmKOVRA::KeyChanDown},
        {&frmKOVRA::BtnChanU, "BtnChanU", "+", twips(3960, 360, 375, 495), 14, &frmKOVRA::KeyChanUp},
        {&frmKOVRA::BtnEnt, "BtnEnt", "&Ent", twips(3240, 1680, 375, 375), 12, nullptr},
        {&frmKOVRA::Btn0, "Btn0", "&0", twips(2760, 1680, 375, 375), 11, &frmKOVRA::Key0},
        {&frmKOVRA::Btn9, "Btn9", "&9", twips(3240, 1200, 375, 375), 10, &frmKOVRA::Key9},
        {&frmKOVRA::Btn8, "Btn8", "&8", twips(2760, 1200, 375, 375), 9, &frmKOVRA::Key8},
        {&frmKOVRA::Btn7, "Btn7", "&7", twips(2280, 1200, 375, 375), 8, &frmKOVRA::Key7},
        {&frmKOVRA::Btn6, "Btn6", "&6", twips(3240, 720, 375, 375), 7, &frmKOVRA::Key6},
        {&frmKOVRA::Btn5, "Btn5", "&5", twips(2760, 720, 375, 375), 6, &frmKOVRA::Key5},
        {&frmKOVRA::Btn4, "Btn4", "&4", twips(2280, 720, 375, 375), 5, &frmKOVRA::Key4},
        {&frmKOVRA::Btn2, "Btn2", "&2", twips(2760, 240, 375, 375), 4, &frmKOVRA::Key2},
        {&frmKOVRA::Btn3, "Btn3", "&3", twips(3240, 240, 375, 375), 3, &frmKOVRA::Key3},
        {&frmKOVRA::Btn1, "Btn1", "&1", twips(2280, 240, 375, 375), 2, &frmKOVRA::Key1},
    };
    for (const ButtonRow &row : buttons) {
        auto *button = new QPushButton(QString::fromLatin1(row.caption), this);
        button->setObjectName(QString::fromLatin1(row.name));
        button->setGeometry(row.geometry);
        button->setProperty("tabIndex", row.tabIndex);
        button->setAutoDefault(false);
        this->*row.button = button;
    }

    txtComport = new QLineEdit(QStringLiteral("1"), this);
    txtComport->setObjectName(QStringLiteral("txtComport"));
    txtComport->setGeometry(twips(1320, 480, 375, 285));
    txtComport->setProperty("tabIndex", 1);
    txtComport->setMaxLength(std::numeric_limits<int>::max());

    LabelChan = new QLabel(QStringLiteral("Chan"), this);
    LabelChan->setObjectName(QStringLiteral("LabelChan"));
    LabelChan->setGeometry(twips(3840, 1080, 615, 255));
    LabelChan->setProperty("tabIndex", 13);

    Label1 = new QLabel(QStringLiteral("Comm Port"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    // Reaches up to the port box (960 rather than 855), so that the whole of
    // "Comm Port" shows with the fonts Debian has.
    Label1->setGeometry(twips(360, 480, 960, 255));
    Label1->setProperty("tabIndex", 0);

    // Focus moves in the order of the tab indices; the labels take none.
    QList<QWidget *> tabOrder = findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    tabOrder.removeIf([](QWidget *w) { return w->focusPolicy() == Qt::NoFocus; });
    std::ranges::sort(tabOrder, {}, [](QWidget *w) { return w->property("tabIndex").toInt(); });
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    tabOrder.first()->setFocus();  // the first stop has focus when the window shows
    // Ent sends nothing, so Tab passes it by; a click still reaches it.
    BtnEnt->setFocusPolicy(Qt::ClickFocus);

    // Wiring.
    for (const ButtonRow &row : buttons) {
        if (!row.key)
            continue;
        const KeyEntry frmKOVRA::*key = row.key;
        connect(this->*row.button, &QPushButton::clicked, this, [this, key] { PressKey(this->*key); });
    }
    connect(BtnExit, &QPushButton::clicked, this, [this] { EndProgram(0); });
    connect(txtComport, &QLineEdit::textChanged, this, &frmKOVRA::PortChange);
    connect(MSComm1, &SerialPort::SerialEvent, this, &frmKOVRA::HandleSerialEvent);
    connect(Timer1, &QTimer::timeout, this, [this] { DigitStep(Timer1, 1); });
    connect(Timer2, &QTimer::timeout, this, [this] { DigitStep(Timer2, 2); });
    connect(Timer3, &QTimer::timeout, this, [this] { DigitStep(Timer3, 3); });
    connect(Timer4, &QTimer::timeout, this, [this] {
        if (const Outcome sent = SendKey(KeyEnter); !sent.ok())
            return Unhandled(sent);
        EndProgram(0);
    });
}

frmKOVRA::~frmKOVRA() = default;

void frmKOVRA::SetUpKeyTable()
{
    SetUpKeyFrame(KeyFrame);
    KeyEntry *const entries[] = {&Key1, &Key2, &Key3, &Key4, &Key5, &Key6, &Key7,
                                 &Key8, &Key9, &Key0, &KeyChanUp, &KeyChanDown, &KeyEnter};
    for (std::size_t i = 0; i < kKeyRows.size(); ++i)
        *entries[i] = MakeKeyEntry(kKeyRows[i]);
}

void frmKOVRA::GetChannel(const KeyEntry &channel)
{
    kovra::GetChannel(KeyFrame, channel);
}

Outcome frmKOVRA::SendKey(const KeyEntry &entry)
{
    GetChannel(entry);
    return MSComm1->Write(QByteArray(reinterpret_cast<const char *>(KeyFrame.data()),
                                     qsizetype(KeyFrame.size())));
}

Outcome frmKOVRA::SendDigitAt(const QString &text, int position)
{
    const QChar c = position >= 1 && position <= text.size() ? text[position - 1] : QChar();
    const KeyEntry *const digits[] = {&Key0, &Key1, &Key2, &Key3, &Key4,
                                      &Key5, &Key6, &Key7, &Key8, &Key9};
    if (c < u'0' || c > u'9')
        return Outcome::success();
    return SendKey(*digits[c.unicode() - u'0']);
}

void frmKOVRA::StartUp(const QString &commandLine)
{
    commandLine_ = commandLine;
    SetUpKeyTable();
    txtComport->setText(settings_.Read(QStringLiteral("Comport"), QStringLiteral("1")));

    Outcome failure = StartUpGroup();
    whyPortClosed_ = failure;
    // With no failure in the group, the check stays armed through the
    // decision: its first failure runs the check and the decision once more.
    for (bool armed = failure.ok();; armed = false) {
        StartUpCheck(failure);
        const Outcome decided = Decide();
        if (decided.ok())
            return;
        if (!armed)
            return Unhandled(decided);
        failure = decided;
    }
}

Outcome frmKOVRA::StartUpGroup()
{
    qint16 port = 0;
    if (Outcome o = NumericValue(txtComport->text(), port); !o.ok())
        return o;
    if (Outcome o = MSComm1->SetPortNumber(port); !o.ok())
        return o;
    if (Outcome o = MSComm1->SetLineSettings(kLineSettings); !o.ok())
        return o;
    if (Outcome o = MSComm1->SetReadSize(0); !o.ok())
        return o;
    if (Outcome o = MSComm1->SetFlowControl(FlowControl::XonXoff); !o.ok())
        return o;
    if (Outcome o = NumericValue(commandLine_, requestedChannel_); !o.ok())
        return o;
    const QString remembered = settings_.Read(QStringLiteral("Channel"), QStringLiteral("1"));
    if (Outcome o = NumericValue(remembered, rememberedChannel_); !o.ok())
        return o;
    if (Outcome o = settings_.Write(QStringLiteral("Channel"), commandLine_); !o.ok())
        return o;
    return MSComm1->Open();
}

void frmKOVRA::StartUpCheck(const Outcome &failure)
{
    if (failure.number == kNoPort) {
        ShowMessage(kNoPortMessage + txtComport->text());
        DisableKeypad();
    }
    Timer1->stop();
    Timer2->stop();
    Timer3->stop();
    Timer4->stop();
}

Outcome frmKOVRA::Decide()
{
    if (commandLine_.isEmpty()) {
        show();
        return Outcome::success();
    }
    // Compared in int: 32767 has no channel above it, -32768 none below.
    const int requested = requestedChannel_;
    const int remembered = rememberedChannel_;
    const KeyEntry *neighbour = requested == remembered + 1   ? &KeyChanUp
                                : requested == remembered - 1 ? &KeyChanDown
                                                              : nullptr;
    if (neighbour) {
        if (Outcome sent = SendKey(*neighbour); !sent.ok())
            return sent;
        EndProgram(0);
        return Outcome::success();
    }
    Timer1->start();
    Timer2->start();
    Timer3->start();
    Timer4->start();
    return Outcome::success();
}

void frmKOVRA::DigitStep(QTimer *timer, int position)
{
    if (const Outcome sent = SendDigitAt(commandLine_, position); !sent.ok())
        return Unhandled(sent);
    timer->stop();
}

void frmKOVRA::PressKey(const KeyEntry &entry)
{
    if (ended_)
        return;
    if (const Outcome sent = SendKey(entry); !sent.ok())
        Unhandled(sent);
}

void frmKOVRA::SetKeypadEnabled(bool enabled)
{
    for (QPushButton *button : {Btn1, Btn2, Btn3, Btn4, Btn5, Btn6, Btn7, Btn8, Btn9, Btn0,
                                BtnChanU, BtnChanD, BtnEnt})
        button->setEnabled(enabled);
}

void frmKOVRA::DisableKeypad()
{
    SetKeypadEnabled(false);
}

void frmKOVRA::EnableKeypad()
{
    SetKeypadEnabled(true);
}

void frmKOVRA::PortChange()
{
    if (ended_)
        return;
    const QString text = txtComport->text();
    if (text.isEmpty() || !MSComm1->IsOpen())
        return;
    if (const Outcome closed = MSComm1->Close(); !closed.ok())
        return Unhandled(closed);
    const Outcome opened = OpenOnBoxText();
    whyPortClosed_ = MSComm1->IsOpen() ? Outcome::success() : opened;
    if (opened.number == kNoPort) {
        ShowMessage(kNoPortMessage + txtComport->text());
        DisableKeypad();
    }
}

Outcome frmKOVRA::OpenOnBoxText()
{
    const QString text = txtComport->text();
    qint16 port = 0;
    if (Outcome o = NumericValue(text, port); !o.ok())
        return o;
    if (Outcome o = MSComm1->SetPortNumber(port); !o.ok())
        return o;
    if (Outcome o = MSComm1->Open(); !o.ok())
        return o;
    if (Outcome o = settings_.Write(QStringLiteral("Comport"), text); !o.ok())
        return o;
    EnableKeypad();
    return Outcome::success();
}

void frmKOVRA::HandleSerialEvent(qint16 code)
{
    if (ended_)
        return;
    QString message;
    switch (code) {
    case kEventBreak: message = QStringLiteral("Break received"); break;
    case kEventFrame: message = QStringLiteral("Framing error"); break;
    case kEventOverrun: message = QStringLiteral("Overrun error"); break;
    case kEventRxOverflow: message = QStringLiteral("Receive Buffer overflow"); break;
    case kEventRxParity: message = QStringLiteral("Parity Error"); break;
    case kEventTxFull: message = QStringLiteral("Transmit Buffer full"); break;
    case kEventDcb: message = QStringLiteral("DCB error"); break;
    case kEventCd: message = QStringLiteral("Carrier Detect changed state"); break;
    case kEventCts: message = QStringLiteral("Clear To Send (CTS) changed state"); break;
    case kEventDsr: message = QStringLiteral("Data Set Ready (DSR) changed state"); break;
    case kEventRing: message = QStringLiteral("Ring Indicator (RI) changed state"); break;
    case kEventEof: message = QStringLiteral("EOF received"); break;
    case kEventSend: {
        qint16 threshold = 0;
        if (const Outcome o = MSComm1->SendThreshold(threshold); !o.ok())
            return Unhandled(o);
        message = (threshold < 0 ? QString() : QStringLiteral(" ")) + QString::number(threshold)
                  + QStringLiteral(" Characters remaining in transmit buffer");
        break;
    }
    case kEventReceive: {
        QByteArray discarded;
        if (const Outcome o = ReceiveDrain(discarded); !o.ok())
            Unhandled(o);
        return;
    }
    default:
        return;
    }
    ShowMessage(message);
}

Outcome frmKOVRA::ReceiveDrain(QByteArray &buffer)
{
    buffer.clear();
    for (;;) {
        qint16 waiting = 0;
        if (Outcome o = MSComm1->WaitingCount(waiting); !o.ok())
            return o;
        if (waiting <= 0)
            return Outcome::success();
        QByteArray chunk;
        if (Outcome o = MSComm1->ReadWaiting(chunk); !o.ok())
            return o;
        buffer.append(chunk);
        if (buffer.size() > kReceiveBufferLimit)
            buffer.remove(0, buffer.size() - kReceiveBufferLimit);
    }
}

void frmKOVRA::ShowMessage(const QString &text)
{
    emit messageShown(text);
    if (noPersonCanSee()) {
        QString line = text;
        line.replace(u'\n', u' ').replace(u'\r', u' ');
        std::fprintf(stderr, "kovra: %s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
        return;
    }
    MessageBoxFor(text)->exec();
}

std::unique_ptr<QMessageBox> frmKOVRA::MessageBoxFor(const QString &text)
{
    auto box = std::make_unique<QMessageBox>(QMessageBox::NoIcon, kTitle, QString(), QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);  // a port text such as <b>1 is shown as typed
    box->setText(text);
    box->setWindowModality(Qt::ApplicationModal);
    box->button(QMessageBox::Ok)->setIcon(QIcon());  // some styles put one on OK
    return box;
}

void frmKOVRA::closeEvent(QCloseEvent *event)
{
    EndProgram(0);
    event->accept();
}

void frmKOVRA::Unhandled(const Outcome &failure)
{
    QString text = QStringLiteral("Error %1: %2").arg(failure.number).arg(failure.text);
    // The open that failed silently earlier is what the user needs to know.
    if (failure.number == kPortNotOpen && !whyPortClosed_.ok())
        text += QStringLiteral(" (Error %1: %2)").arg(whyPortClosed_.number).arg(whyPortClosed_.text);
    // The program is ending: a modal box keeps the event loop turning while
    // it is up, and no later step or port event may run meanwhile.
    Timer1->stop();
    Timer2->stop();
    Timer3->stop();
    Timer4->stop();
    MSComm1->blockSignals(true);
    ShowMessage(text);
    EndProgram(kUnhandledFailureStatus);
}

void frmKOVRA::EndProgram(int status)
{
    if (ended_)
        return;
    ended_ = true;
    exitStatus_ = status;
    Timer1->stop();
    Timer2->stop();
    Timer3->stop();
    Timer4->stop();
    MSComm1->blockSignals(true);
    hide();
    // Close lets the last frame reach the box first: it waits up to a second
    // for the output queue (XOFF from the box can hold it), then discards.
    if (MSComm1->IsOpen())
        (void)MSComm1->Close();
    emit programEnded(status);
}

}  // namespace kovra
