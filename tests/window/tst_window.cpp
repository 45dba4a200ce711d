// The keypad window as a user meets it: shown on the offscreen platform,
// driven by mouse clicks, access keys and typing into the port box, with
// pseudo-terminals as its serial ports. Frames are decoded on the master side.
#include "framedecoder.h"
#include "frmkovra.h"
#include "ptyline.h"
#include "settingsstore.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <limits>
#include <map>
#include <memory>
#include <variant>

using namespace kovra;
using namespace std::chrono_literals;
using kovra::test::PtyLine;

namespace {

// Port numbers that name a pseudo-terminal; 7 and 9 name a missing device.
constexpr int kPtyPorts[] = {1, 2, 3, 4, 12, 3276, 32767};
const QString kUnset = QStringLiteral("<unset>");

// How long a look at the lines waits for frames that should not come.
// (Access keys click after a short press animation: wait for the click.)
constexpr int kSettleMs = 250;

}  // namespace

class tst_Window : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowAsFirstShown();
    void layout_data();
    void layout();
    void tabCyclesInTabIndexOrder();
    void messageBoxLook();

    void keys_data();
    void keys();
    void entSendsNothing();
    void ending_data();
    void ending();

    void noPortAtStartUp();
    void portChange_data();
    void portChange();
    void sendOnClosedPortEndsWithTheFailure_data();
    void sendOnClosedPortEndsWithTheFailure();
    void tuningNeverShowsTheWindow();

private:
    void writeSettings(const QString &comport);
    std::unique_ptr<frmKOVRA> showWindow(const QString &comport = {});
    QStringList framesSinceLastLook();
    QString storedComport() const;
    QList<QPushButton *> keypad(frmKOVRA &w) const;

    std::unique_ptr<QTemporaryDir> home;
    std::map<int, std::unique_ptr<PtyLine>> ports;
};

void tst_Window::init()
{
    home = std::make_unique<QTemporaryDir>();
    QVERIFY(home->isValid());
    qputenv("XDG_CONFIG_HOME", home->path().toLocal8Bit());
    for (int number : kPtyPorts)
        ports[number] = std::make_unique<PtyLine>();
}

void tst_Window::cleanup()
{
    ports.clear();
    home.reset();
}

// [Ports] for every test port; [Comport] only when `comport` is given.
void tst_Window::writeSettings(const QString &comport)
{
    QByteArray ini = "[Ports]\n7=/nonexistent/kovra-tty-7\n9=/nonexistent/kovra-tty-9\n";
    for (const auto &[number, line] : ports)
        ini += QByteArray::number(number) + '=' + QByteArray::fromStdString(line->slavePath()) + '\n';
    if (!comport.isNull())
        ini += "\n[Comport]\nvalue=\"" + comport.toUtf8() + "\"\n";
    QFile f(SettingsPath());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(ini);
}

// Starts without a command line, as `kovra` alone does, and waits until the
// window is shown and active (access keys need an active window).
std::unique_ptr<frmKOVRA> tst_Window::showWindow(const QString &comport)
{
    writeSettings(comport);
    auto w = std::make_unique<frmKOVRA>();
    w->StartUp(QString());
    if (w->isVisible()) {
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w.get()))
            qWarning("window did not become active");
    }
    return w;
}

// Every frame that reached any port since the last look, as "<port> <key>".
QStringList tst_Window::framesSinceLastLook()
{
    QTest::qWait(kSettleMs);
    QStringList seen;
    for (auto &[number, line] : ports) {
        line->readFor(10ms);
        framedecoder::FrameDecoder decoder;
        for (const auto &results : {decoder.feed(line->received), decoder.flush()})
            for (const framedecoder::FrameResult &r : results)
                seen << QStringLiteral("%1 %2").arg(number).arg(
                    r.valid ? QString::fromLatin1(r.key.name) : "bad: " + QString::fromStdString(r.error));
        line->received.clear();
        line->arrivals.clear();
    }
    return seen;
}

// The port setting as it stands in the file.
QString tst_Window::storedComport() const
{
    return QSettings(SettingsPath(), QSettings::IniFormat).value("Comport/value", kUnset).toString();
}

QList<QPushButton *> tst_Window::keypad(frmKOVRA &w) const
{
    return {w.Btn1, w.Btn2, w.Btn3, w.Btn4, w.Btn5, w.Btn6, w.Btn7,
            w.Btn8, w.Btn9, w.Btn0, w.BtnChanU, w.BtnChanD, w.BtnEnt};
}

void tst_Window::windowAsFirstShown()
{
    auto w = showWindow();
    QVERIFY(w->isVisible());
    QCOMPARE(w->windowTitle(), QStringLiteral("Motorola KOVRA Remote Control  Ver 1.0"));
    QCOMPARE(w->size(), QSize(313, 150));
    QCOMPARE(w->minimumSize(), QSize(313, 150));
    QCOMPARE(w->maximumSize(), QSize(313, 150));
    // The port box has the lowest tab index of the controls that take focus.
    QCOMPARE(QApplication::focusWidget(), w->txtComport);
    // Any text goes into the port box: no length limit, no filter.
    QCOMPARE(w->txtComport->maxLength(), std::numeric_limits<int>::max());
    QVERIFY(!w->txtComport->validator());
    QVERIFY(w->txtComport->inputMask().isEmpty());
    for (QPushButton *b : w->findChildren<QPushButton *>()) {
        QVERIFY2(!b->isDefault() && !b->autoDefault(), qPrintable(b->objectName()));
        QVERIFY2(b->isEnabled(), qPrintable(b->objectName()));
    }
    QVERIFY(w->findChild<QMessageBox *>() == nullptr);
}

void tst_Window::layout_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("twips");  // left, top, width, height as designed
    QTest::addColumn<QKeySequence>("accessKey");
    QTest::addColumn<QString>("next");  // focus after Tab from here; empty: takes no focus

    const auto row = [](const char *name, const char *text, int left, int top, int width, int height,
                        const char *accessKey, const char *next) {
        QTest::newRow(name) << QString::fromLatin1(text) << QRect(left, top, width, height)
                            << QKeySequence(QString::fromLatin1(accessKey)) << QString::fromLatin1(next);
    };
    row("BtnExit", "E&xit", 360, 1200, 1335, 495, "Alt+X", "txtComport");
    row("BtnChanD", "-", 3960, 1440, 375, 495, "", "BtnExit");
    row("BtnChanU", "+", 3960, 360, 375, 495, "", "BtnChanD");
    row("BtnEnt", "&Ent", 3240, 1680, 375, 375, "Alt+E", "BtnChanU");
    row("Btn0", "&0", 2760, 1680, 375, 375, "Alt+0", "BtnChanU");
    row("Btn9", "&9", 3240, 1200, 375, 375, "Alt+9", "Btn0");
    row("Btn8", "&8", 2760, 1200, 375, 375, "Alt+8", "Btn9");
    row("Btn7", "&7", 2280, 1200, 375, 375, "Alt+7", "Btn8");
    row("Btn6", "&6", 3240, 720, 375, 375, "Alt+6", "Btn7");
    row("Btn5", "&5", 2760, 720, 375, 375, "Alt+5", "Btn6");
    row("Btn4", "&4", 2280, 720, 375, 375, "Alt+4", "Btn5");
    row("Btn2", "&2", 2760, 240, 375, 375, "Alt+2", "Btn4");
    row("Btn3", "&3", 3240, 240, 375, 375, "Alt+3", "Btn2");
    row("Btn1", "&1", 2280, 240, 375, 375, "Alt+1", "Btn3");
    row("txtComport", "1", 1320, 480, 375, 285, "", "Btn1");
    row("LabelChan", "Chan", 3840, 1080, 615, 255, "", "");
    row("Label1", "Comm Port", 360, 480, 960, 255, "", "");  // widened to show its whole text
}

void tst_Window::layout()
{
    QFETCH(QString, text);
    QFETCH(QRect, twips);
    QFETCH(QKeySequence, accessKey);
    QFETCH(QString, next);

    auto w = showWindow();
    auto *control = w->findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QVERIFY(control->isVisible());
    // 15 twips to the pixel at 96 dpi.
    QCOMPARE(control->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));

    if (auto *button = qobject_cast<QPushButton *>(control)) {
        QCOMPARE(button->text(), text);
        QCOMPARE(button->shortcut(), accessKey);
    } else if (auto *box = qobject_cast<QLineEdit *>(control)) {
        QCOMPARE(box->text(), text);
    } else {
        auto *label = qobject_cast<QLabel *>(control);
        QVERIFY(label);
        QCOMPARE(label->text(), text);
        QVERIFY(!label->buddy());  // so no access key
    }

    if (next.isEmpty()) {
        QCOMPARE(control->focusPolicy(), Qt::NoFocus);
        return;
    }
    control->setFocus(Qt::OtherFocusReason);
    QCOMPARE(QApplication::focusWidget(), control);
    QTest::keyClick(control, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget()->objectName(), next);
}

// Tab from the port box visits every control that takes focus once, in the
// order of the tab indices (Btn3 before Btn2), and passes Ent by.
void tst_Window::tabCyclesInTabIndexOrder()
{
    auto w = showWindow();
    QCOMPARE(QApplication::focusWidget(), w->txtComport);
    QStringList visited;
    for (int i = 0; i < 14; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, (QStringList{"Btn1", "Btn3", "Btn2", "Btn4", "Btn5", "Btn6", "Btn7", "Btn8", "Btn9",
                                   "Btn0", "BtnChanU", "BtnChanD", "BtnExit", "txtComport"}));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), w->BtnExit);
    // Tabbing pressed nothing.
    QCOMPARE(framesSinceLastLook(), QStringList{});
}

void tst_Window::messageBoxLook()
{
    auto w = showWindow();
    std::unique_ptr<QMessageBox> box = w->MessageBoxFor(QStringLiteral("Could not open Com7"));
    QCOMPARE(box->text(), QStringLiteral("Could not open Com7"));
    QCOMPARE(box->windowTitle(), QStringLiteral("KOVRA"));
    QCOMPARE(box->icon(), QMessageBox::NoIcon);
    QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box->buttons().size(), 1);
    QVERIFY(box->button(QMessageBox::Ok)->icon().isNull());
    QCOMPARE(box->windowModality(), Qt::ApplicationModal);

    // Modal while shown; Enter dismisses it with OK.
    QSignalSpy finished(box.get(), &QMessageBox::finished);
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    QCOMPARE(QApplication::activeModalWidget(), box.get());
    QTest::keyClick(box.get(), Qt::Key_Return);
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(box->result(), int(QMessageBox::Ok));
    QVERIFY(!box->isVisible());

    // The port text is shown as typed, also when it looks like markup.
    auto shownWidth = [&](const QString &text) {
        std::unique_ptr<QMessageBox> b = w->MessageBoxFor(text);
        return b->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))->sizeHint().width();
    };
    QVERIFY(shownWidth(QStringLiteral("Could not open Com<i>")) > shownWidth(QStringLiteral("Could not open Com")));
}

void tst_Window::keys_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("accessKey");  // pressed with Alt; 0: none
    QTest::addColumn<QString>("frame");

    for (int digit = 0; digit <= 9; ++digit)
        QTest::addRow("%d", digit) << QStringLiteral("Btn%1").arg(digit) << int(Qt::Key_0) + digit
                                   << QStringLiteral("1 Key%1").arg(digit);
    QTest::newRow("+") << "BtnChanU" << 0 << "1 KeyChanUp";
    QTest::newRow("-") << "BtnChanD" << 0 << "1 KeyChanDown";
}

// One click, or one access key, is exactly one frame on the open port.
void tst_Window::keys()
{
    QFETCH(QString, button);
    QFETCH(int, accessKey);
    QFETCH(QString, frame);

    auto w = showWindow();
    QSignalSpy messages(w.get(), &frmKOVRA::messageShown);
    auto *pressed = w->findChild<QPushButton *>(button);
    QSignalSpy clicked(pressed, &QPushButton::clicked);
    QTest::mouseClick(pressed, Qt::LeftButton);
    QCOMPARE(framesSinceLastLook(), QStringList{frame});

    if (accessKey) {
        // Pressed while typing in the port box: the key is sent, the box keeps its text.
        QTest::mouseClick(w->txtComport, Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), w->txtComport);
        QTest::keyClick(w->txtComport, Qt::Key(accessKey), Qt::AltModifier);
        QTRY_COMPARE(clicked.count(), 2);
        QCOMPARE(framesSinceLastLook(), QStringList{frame});
        QCOMPARE(w->txtComport->text(), QStringLiteral("1"));
        QVERIFY(w->MSComm1->IsOpen());
    }
    QCOMPARE(messages.count(), 0);
    QVERIFY(!w->hasEnded());
}

void tst_Window::entSendsNothing()
{
    auto w = showWindow();
    QSignalSpy messages(w.get(), &frmKOVRA::messageShown);
    QSignalSpy clicked(w->BtnEnt, &QPushButton::clicked);
    QTest::mouseClick(w->BtnEnt, Qt::LeftButton);
    QTest::keyClick(w.get(), Qt::Key_E, Qt::AltModifier);
    QTRY_COMPARE(clicked.count(), 2);  // both reached the button
    QCOMPARE(framesSinceLastLook(), QStringList{});
    QCOMPARE(messages.count(), 0);
    QVERIFY(!w->hasEnded());
    QVERIFY(w->MSComm1->IsOpen());
}

void tst_Window::ending_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Exit clicked") << "click";
    QTest::newRow("Alt+X") << "alt";
    QTest::newRow("closed through the frame") << "close";
}

// Exit, its access key and closing the window all end the program at once:
// status 0, timers stopped, port closed, window gone, nothing shown.
void tst_Window::ending()
{
    QFETCH(QString, how);
    auto w = showWindow();
    QSignalSpy ended(w.get(), &frmKOVRA::programEnded);
    QSignalSpy messages(w.get(), &frmKOVRA::messageShown);
    w->Timer2->start();  // a step timer that happens to run

    if (how == u"click")
        QTest::mouseClick(w->BtnExit, Qt::LeftButton);
    else if (how == u"alt")
        QTest::keyClick(w.get(), Qt::Key_X, Qt::AltModifier);
    else
        QVERIFY(w->close());

    QTRY_COMPARE(ended.count(), 1);
    QCOMPARE(ended.at(0).at(0).toInt(), 0);
    QCOMPARE(w->exitStatus(), 0);
    QCOMPARE(messages.count(), 0);
    QVERIFY(!w->isVisible());
    QVERIFY(!w->MSComm1->IsOpen());
    for (QTimer *t : {w->Timer1, w->Timer2, w->Timer3, w->Timer4})
        QVERIFY(!t->isActive());
    QCOMPARE(framesSinceLastLook(), QStringList{});
    // Nothing is handled after the end, not even a second close.
    w->close();
    QCOMPARE(ended.count(), 1);
}

// Box text 7 names a missing device: one message, then the window shows
// with the keypad greyed out; Exit and the port box stay usable but edits
// of the box open nothing, show nothing and store nothing.
void tst_Window::noPortAtStartUp()
{
    writeSettings("7");
    frmKOVRA w;
    QSignalSpy messages(&w, &frmKOVRA::messageShown);
    w.StartUp(QString());
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));

    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Could not open Com7"));
    QVERIFY(w.isVisible());
    for (QPushButton *b : keypad(w))
        QVERIFY2(!b->isEnabled(), qPrintable(b->objectName()));
    QVERIFY(w.BtnExit->isEnabled());
    QVERIFY(w.txtComport->isEnabled());
    QCOMPARE(w.txtComport->text(), QStringLiteral("7"));
    QVERIFY(!w.MSComm1->IsOpen());

    // Disabled keys ignore clicks and access keys.
    QSignalSpy clicked(w.Btn5, &QPushButton::clicked);
    for (QPushButton *b : keypad(w))
        QTest::mouseClick(b, Qt::LeftButton);
    for (Qt::Key k : {Qt::Key_0, Qt::Key_1, Qt::Key_5, Qt::Key_9, Qt::Key_E})
        QTest::keyClick(&w, k, Qt::AltModifier);
    QCOMPARE(framesSinceLastLook(), QStringList{});
    QCOMPARE(clicked.count(), 0);

    // Typing port numbers that would open.
    QTest::keyClick(w.txtComport, Qt::Key_Backspace);
    QTest::keyClicks(w.txtComport, "2");
    QTest::keyClick(w.txtComport, Qt::Key_Backspace);
    QTest::keyClicks(w.txtComport, "1");
    QCOMPARE(w.txtComport->text(), QStringLiteral("1"));
    QCOMPARE(messages.count(), 1);
    QVERIFY(!w.MSComm1->IsOpen());
    QCOMPARE(storedComport(), QStringLiteral("7"));
    for (QPushButton *b : keypad(w))
        QVERIFY2(!b->isEnabled(), qPrintable(b->objectName()));
    QCOMPARE(framesSinceLastLook(), QStringList{});

    QSignalSpy ended(&w, &frmKOVRA::programEnded);
    QTest::keyClick(&w, Qt::Key_X, Qt::AltModifier);
    QTRY_COMPARE(ended.count(), 1);
    QCOMPARE(ended.at(0).at(0).toInt(), 0);
}

void tst_Window::portChange_data()
{
    QTest::addColumn<QString>("startText");  // stored port setting; null: none
    QTest::addColumn<QTestEventList>("typing");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("openPort");  // 0: closed
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("keypadEnabled");

    const auto typed = [](std::initializer_list<std::variant<Qt::Key, const char *>> steps) {
        QTestEventList events;
        for (const auto &step : steps) {
            if (const auto *key = std::get_if<Qt::Key>(&step))
                events.addKeyClick(*key);
            else
                events.addKeyClicks(QString::fromLatin1(std::get<const char *>(step)));
        }
        return events;
    };
    const QString none;
    const Qt::Key bs = Qt::Key_Backspace;

    QTest::newRow("edited to 2") << none << typed({bs, "2"}) << QStringList{} << 2 << "2" << true;
    QTest::newRow("cleared: port stays open") << none << typed({bs}) << QStringList{} << 1 << kUnset << true;
    QTest::newRow("cleared, then 4") << none << typed({bs, "4"}) << QStringList{} << 4 << "4" << true;
    QTest::newRow("1 then 2 is port 12") << none << typed({bs, "12"}) << QStringList{} << 12 << "12" << true;
    QTest::newRow("2, cleared, back to 1") << none << typed({bs, "2", bs, "1"}) << QStringList{} << 1 << "1"
                                           << true;
    QTest::newRow("2.5 is port 2") << none << typed({bs, "2.5"}) << QStringList{} << 2 << "2.5" << true;
    QTest::newRow("3.5 is port 4") << none << typed({bs, "3.5"}) << QStringList{} << 4 << "3.5" << true;
    QTest::newRow("blank before 2 is kept") << none << typed({bs, "2", Qt::Key_Home, " "}) << QStringList{}
                                            << 2 << " 2" << true;
    QTest::newRow("32767 opens") << "3276" << typed({Qt::Key_End, "7"}) << QStringList{} << 32767 << "32767"
                                 << true;
    QTest::newRow("no such port 9") << none << typed({bs, "9"}) << QStringList{"Could not open Com9"} << 0
                                    << kUnset << false;
    QTest::newRow("after a failure edits do nothing")
        << none << typed({bs, "9", bs, "2", bs, "1"}) << QStringList{"Could not open Com9"} << 0 << kUnset
        << false;
    QTest::newRow("a letter names no port") << none << typed({bs, "abc"}) << QStringList{"Could not open Coma"}
                                            << 0 << kUnset << false;
    QTest::newRow("32768 is too big: silent, keypad stays")
        << "3276" << typed({Qt::Key_End, "8"}) << QStringList{} << 0 << "3276" << true;
}

// Typing into the port box of the shown window, keystroke by keystroke;
// each keystroke is a change of its own.
void tst_Window::portChange()
{
    QFETCH(QString, startText);
    QFETCH(QTestEventList, typing);
    QFETCH(QStringList, messages);
    QFETCH(int, openPort);
    QFETCH(QString, stored);
    QFETCH(bool, keypadEnabled);

    auto w = showWindow(startText);
    QVERIFY(w->MSComm1->IsOpen());
    QSignalSpy spy(w.get(), &frmKOVRA::messageShown);
    typing.simulate(w->txtComport);

    QStringList shown;
    for (const auto &args : spy)
        shown << args.at(0).toString();
    QCOMPARE(shown, messages);
    QCOMPARE(w->MSComm1->IsOpen(), openPort != 0);
    QCOMPARE(storedComport(), stored);
    for (QPushButton *b : keypad(*w))
        QCOMPARE(b->isEnabled(), keypadEnabled);
    QVERIFY(!w->hasEnded());

    // Port changes send nothing; a key then goes out on the open port only.
    QCOMPARE(framesSinceLastLook(), QStringList{});
    if (openPort != 0) {
        QTest::mouseClick(w->Btn5, Qt::LeftButton);
        QCOMPARE(framesSinceLastLook(), QStringList{QStringLiteral("%1 Key5").arg(openPort)});
    }
}

void tst_Window::sendOnClosedPortEndsWithTheFailure_data()
{
    QTest::addColumn<QString>("startText");
    QTest::addColumn<QString>("typed");  // after End, into the port box
    QTest::newRow("start-up: box value above 32767") << "99999" << "";
    QTest::newRow("port change: box value above 32767") << "3276" << "8";
}

// A failure other than the no-port one leaves the port closed and the keypad
// enabled, without a word; the next key press is an unhandled failure: one
// message with the number and text of the failed send, and a non-zero status.
void tst_Window::sendOnClosedPortEndsWithTheFailure()
{
    QFETCH(QString, startText);
    QFETCH(QString, typed);

    auto w = showWindow(startText);
    QSignalSpy messages(w.get(), &frmKOVRA::messageShown);
    QSignalSpy ended(w.get(), &frmKOVRA::programEnded);
    QTest::keyClick(w->txtComport, Qt::Key_End);
    QTest::keyClicks(w->txtComport, typed);
    QVERIFY(w->isVisible());
    QVERIFY(!w->MSComm1->IsOpen());
    QCOMPARE(messages.count(), 0);
    for (QPushButton *b : keypad(*w))
        QVERIFY(b->isEnabled());

    const Outcome expected = w->MSComm1->Write(QByteArray(34, '\0'));
    QVERIFY(!expected.ok());
    QVERIFY(expected.number != kNoPort);

    QTest::mouseClick(w->Btn5, Qt::LeftButton);
    QTRY_COMPARE(ended.count(), 1);
    QVERIFY(ended.at(0).at(0).toInt() != 0);
    QCOMPARE(w->exitStatus(), ended.at(0).at(0).toInt());
    QCOMPARE(messages.count(), 1);
    const QString message = messages.at(0).at(0).toString();
    QVERIFY2(message.contains(QString::number(expected.number)), qPrintable(message));
    QVERIFY2(message.contains(expected.text), qPrintable(message));
    QVERIFY(!w->isVisible());
    QCOMPARE(framesSinceLastLook(), QStringList{});
}

// With a command line the window is never shown, not even while the digits
// are sent.
void tst_Window::tuningNeverShowsTheWindow()
{
    writeSettings({});
    frmKOVRA w;
    struct ShowCounter : QObject {
        int shows = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            shows += e->type() == QEvent::Show;
            return false;
        }
    } counter;
    w.installEventFilter(&counter);
    QSignalSpy ended(&w, &frmKOVRA::programEnded);
    w.StartUp(QStringLiteral("123"));
    QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);
    QCOMPARE(ended.at(0).at(0).toInt(), 0);
    QCOMPARE(counter.shows, 0);
    QCOMPARE(framesSinceLastLook(), (QStringList{"1 Key1", "1 Key2", "1 Key3", "1 KeyEnter"}));
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
