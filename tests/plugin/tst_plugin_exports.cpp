// The plug-in's boundary as a host sees it: the 19 exports and their fixed
// answers, whatever arguments the host passes.
#include "loaded_plugin.h"
#include "quillet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr const char *exportNames[] = {
    "AddCommand", "AddRemote", "CanMacroTune", "CloseDevice", "CreateCommand",
    "CreateRemote", "DeviceName", "FindBitRate", "FindCarrierFrequency", "FreeRemotes",
    "InitDevice", "LoadRemotes", "MacroTune", "NeedBitrate", "NeedCarrierFrequency",
    "OpenDevice", "PlayCommand", "RecordCommand", "SaveRemotes",
};

// A host prototype with arguments the bodies never read.
using BoolWithArguments = uint8_t (*)(int, const char *, double, void *);
using IntWithArguments = int32_t (*)(int, const char *, double, void *);
using VoidWithArguments = void (*)(int, const char *, double, void *);

struct FixedAnswer {
    const char *name;
    enum { Bool, Int, Void } kind;
    int expected;
};

constexpr FixedAnswer fixedAnswers[] = {
    {"CanMacroTune", FixedAnswer::Bool, 1},   {"OpenDevice", FixedAnswer::Bool, 1},
    {"NeedBitrate", FixedAnswer::Bool, 0},    {"NeedCarrierFrequency", FixedAnswer::Bool, 0},
    {"FindBitRate", FixedAnswer::Int, 0},     {"FindCarrierFrequency", FixedAnswer::Int, 0},
    {"RecordCommand", FixedAnswer::Int, 0},   {"InitDevice", FixedAnswer::Void, 0},
    {"CloseDevice", FixedAnswer::Void, 0},    {"PlayCommand", FixedAnswer::Void, 0},
};

// Calls every fixed-answer export with arbitrary arguments and checks its
// answer, and that nothing passed to it changed.
void ExpectFixedAnswers(const LoadedPlugin &plugin, const char *when)
{
    for (const FixedAnswer &answer : fixedAnswers) {
        SCOPED_TRACE(std::string(answer.name) + " " + when);
        char hostData[] = "host data";
        for (int call = 0; call < 3; ++call) {
            switch (answer.kind) {
            case FixedAnswer::Bool:
                EXPECT_EQ(plugin.Get<BoolWithArguments>(answer.name)(-7, "x", 2.5, hostData), answer.expected);
                break;
            case FixedAnswer::Int:
                EXPECT_EQ(plugin.Get<IntWithArguments>(answer.name)(42, nullptr, -1.0, hostData), answer.expected);
                break;
            case FixedAnswer::Void:
                plugin.Get<VoidWithArguments>(answer.name)(1, "y", 0.0, hostData);
                break;
            }
        }
        EXPECT_STREQ(hostData, "host data");
    }
}

TEST(PluginExports, EveryExportResolvesByPlainName)
{
    LoadedPlugin plugin;
    ASSERT_NE(plugin.handle(), nullptr) << dlerror();
    for (const char *name : exportNames)
        EXPECT_NE(dlsym(plugin.handle(), name), nullptr) << name;
}

TEST(PluginExports, DeviceNameIsOneStaticText)
{
    LoadedPlugin plugin;
    auto deviceName = plugin.Get<QuilletDeviceNameFn>("DeviceName");
    const char *first = deviceName();
    EXPECT_EQ(deviceName(), first);
    EXPECT_EQ(std::strlen(first), 16u);
    EXPECT_EQ(std::memcmp(first, "DOR Ozodu Vezuru", 17), 0);
    // Called with arguments too, as by another host prototype.
    EXPECT_EQ(plugin.Get<const char *(*)(int, void *)>("DeviceName")(3, nullptr), first);
}

TEST(PluginExports, FixedAnswersWhateverTheOrder)
{
    LoadedPlugin plugin;
    ASSERT_NE(plugin.handle(), nullptr) << dlerror();
    ExpectFixedAnswers(plugin, "before InitDevice");
    plugin.Get<QuilletInitDeviceFn>("InitDevice")();
    ExpectFixedAnswers(plugin, "after InitDevice");
    plugin.Get<QuilletCloseDeviceFn>("CloseDevice")();
    ExpectFixedAnswers(plugin, "after CloseDevice");
    plugin.Get<QuilletCloseDeviceFn>("CloseDevice")();
    plugin.Get<QuilletOpenDeviceFn>("OpenDevice")();
    ExpectFixedAnswers(plugin, "after CloseDevice twice and OpenDevice");
}

TEST(PluginExports, LoadUnloadAndLoadAgain)
{
    std::string firstName;
    {
        LoadedPlugin plugin;
        ASSERT_NE(plugin.handle(), nullptr) << dlerror();
        firstName = plugin.Get<QuilletDeviceNameFn>("DeviceName")();
        ExpectFixedAnswers(plugin, "first load");
    }
    // Really unloaded: nothing in the plug-in keeps it in the process.
    EXPECT_EQ(dlopen(QUILLET_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr);
    {
        LoadedPlugin plugin;
        ASSERT_NE(plugin.handle(), nullptr) << dlerror();
        EXPECT_EQ(plugin.Get<QuilletDeviceNameFn>("DeviceName")(), firstName);
        ExpectFixedAnswers(plugin, "second load");
        Remote *list = nullptr;
        plugin.Get<QuilletAddRemoteFn>("AddRemote")(
            plugin.Get<QuilletCreateRemoteFn>("CreateRemote")(nullptr, 1, 2, nullptr), &list);
        EXPECT_NE(list, nullptr);
        plugin.Get<QuilletFreeRemotesFn>("FreeRemotes")(&list);
        EXPECT_EQ(list, nullptr);
    }
}

}  // namespace
