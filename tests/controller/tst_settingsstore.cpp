// The per-user settings file: texts stored as typed, defaults, port mapping,
// and files we cannot read.
#include "settingsstore.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

using namespace kovra;

namespace {

class SettingsFile : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    }
    // The store reads its file on first use, so tests write theirs first.
    SettingsStore &store()
    {
        if (!store_)
            store_.emplace();
        return *store_;
    }
    void TearDown() override { qunsetenv("XDG_CONFIG_HOME"); }

    void writeFile(const QByteArray &content)
    {
        QFile f(SettingsPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QByteArray fileContent()
    {
        QFile f(SettingsPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir home;
    std::optional<SettingsStore> store_;
};

}  // namespace

TEST_F(SettingsFile, LivesInTheConfigHome)
{
    EXPECT_EQ(SettingsPath(), home.path() + "/KOVRA.ini");
}

TEST_F(SettingsFile, AbsentValueReadsAsTheDefault)
{
    EXPECT_EQ(store().Read("Channel", "1"), "1");
    writeFile("[Comport]\nvalue=3\n");
    EXPECT_EQ(store().Read("Channel", "1"), "1");
    EXPECT_EQ(store().Read("Comport", "1"), "3");
}

TEST_F(SettingsFile, StoredEmptyTextReadsAsEmpty)
{
    ASSERT_TRUE(store().Write("Channel", "").ok());
    EXPECT_EQ(store().Read("Channel", "1"), "");
    EXPECT_TRUE(fileContent().contains("[Channel]\nvalue=\n"));
}

TEST_F(SettingsFile, WritesTheFileInTheDocumentedLayout)
{
    ASSERT_TRUE(store().Write("Comport", "3").ok());
    ASSERT_TRUE(store().Write("Channel", "705").ok());
    const QByteArray content = fileContent();
    EXPECT_TRUE(content.contains("[Comport]\nvalue=3\n")) << content.toStdString();
    EXPECT_TRUE(content.contains("[Channel]\nvalue=705\n")) << content.toStdString();
}

TEST_F(SettingsFile, CreatesAMissingConfigDirectory)
{
    const QString nested = home.path() + "/not/yet";
    qputenv("XDG_CONFIG_HOME", nested.toLocal8Bit());
    ASSERT_TRUE(store().Write("Channel", "9").ok());
    EXPECT_EQ(store().Read("Channel", "1"), "9");
}

TEST_F(SettingsFile, KeepsOtherValuesWhenWriting)
{
    writeFile("[Ports]\n3=/dev/ttyUSB0\n\n[Comport]\nvalue=3\n");
    ASSERT_TRUE(store().Write("Channel", "12").ok());
    EXPECT_EQ(store().Read("Comport", "1"), "3");
    EXPECT_EQ(store().ResolvePortDevice(3), "/dev/ttyUSB0");
}

class SettingsRoundTrip : public SettingsFile, public testing::WithParamInterface<const char *> {};

TEST_P(SettingsRoundTrip, ReadsBackExactlyWhatWasWritten)
{
    const QString text = QString::fromUtf8(GetParam());
    ASSERT_TRUE(store().Write("Channel", text).ok());
    EXPECT_EQ(store().Read("Channel", "1"), text);
    QSettings raw(SettingsPath(), QSettings::IniFormat);
    EXPECT_EQ(raw.status(), QSettings::NoError) << "the file stays readable";
}

INSTANTIATE_TEST_SUITE_P(Texts, SettingsRoundTrip,
                         testing::Values("705", "007", " 2", "2 ", "2abc", "a, b", "1,2", "a;b", "#x",
                                         "@Variant(x)", "@", "[Ports]", "x=y", "\"q\"", "back\\slash",
                                         "tab\there", "line\nfeed", "-32768", "1e99999",
                                         "\xc3\xa9\xe2\x82\xac", "\xef\xbf\xbd"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return "text" + std::to_string(info.index);
                         });

TEST_F(SettingsFile, HandWrittenListReadsAsOneText)
{
    // Unquoted commas parse as a list in INI files written by hand.
    writeFile("[Comport]\nvalue=2, 3\n");
    EXPECT_EQ(store().Read("Comport", "1"), "2, 3");
}

TEST_F(SettingsFile, MalformedFileHoldsNoValuesAndIsNotOverwritten)
{
    // A line that is neither a section nor a key=value pair.
    const QByteArray malformed = "[Channel]\nvalue=12\nnot a setting\n[Ports]\n1=/dev/ttyUSB0\n";
    writeFile(malformed);
    EXPECT_EQ(store().Read("Channel", "1"), "1");
    EXPECT_EQ(store().ResolvePortDevice(1), "/dev/ttyS0");
    const Outcome written = store().Write("Channel", "5");
    EXPECT_EQ(written.number, kSettingsFailure);
    EXPECT_TRUE(written.text.contains(SettingsPath())) << written.text.toStdString();
    EXPECT_EQ(fileContent(), malformed);
}

TEST_F(SettingsFile, UnreadableFileHoldsNoValues)
{
    ASSERT_TRUE(QDir().mkpath(SettingsPath()));  // a directory where the file should be
    EXPECT_EQ(store().Read("Comport", "1"), "1");
    EXPECT_FALSE(store().Write("Comport", "2").ok());
    EXPECT_TRUE(QFileInfo(SettingsPath()).isDir());
}

TEST_F(SettingsFile, ResolvesPortNumbersToDevices)
{
    writeFile("[Ports]\n3=/dev/ttyUSB0\n4=/dev/serial/by-id/usb-FTDI_x-if00-port0\n");
    EXPECT_EQ(store().ResolvePortDevice(3), "/dev/ttyUSB0");
    EXPECT_EQ(store().ResolvePortDevice(4), "/dev/serial/by-id/usb-FTDI_x-if00-port0");
    EXPECT_EQ(store().ResolvePortDevice(1), "/dev/ttyS0");
    EXPECT_EQ(store().ResolvePortDevice(12), "/dev/ttyS11");
    EXPECT_EQ(store().ResolvePortDevice(0), "");
    EXPECT_EQ(store().ResolvePortDevice(-3), "");
}
