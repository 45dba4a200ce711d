// The remote file through the built plug-in, as a host uses it: quillet.so
// loaded with dlopen and its exports found with dlsym by their plain names.
#include "quillet.h"
#include "remotemodel.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>

namespace {

class PluginRemoteFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *path = std::getenv("QUILLET_SO");  // another build of the plug-in
        if (path == nullptr)
            path = QUILLET_SO_PATH;
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        load = reinterpret_cast<QuilletLoadRemotesFn>(dlsym(handle, "LoadRemotes"));
        save = reinterpret_cast<QuilletSaveRemotesFn>(dlsym(handle, "SaveRemotes"));
        freeRemotes = reinterpret_cast<QuilletFreeRemotesFn>(dlsym(handle, "FreeRemotes"));
        ASSERT_TRUE(load && save && freeRemotes);
        char pattern[] = "/tmp/tst_remotefile_dlopen.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        if (handle)
            dlclose(handle);
        std::filesystem::remove_all(dir);
    }

    void *handle = nullptr;
    QuilletLoadRemotesFn load = nullptr;
    QuilletSaveRemotesFn save = nullptr;
    QuilletFreeRemotesFn freeRemotes = nullptr;
    std::filesystem::path dir;
};

TEST_F(PluginRemoteFile, LoadsAndSavesTheExampleFile)
{
    const std::string in = (dir / "in.rmt").string(), out = (dir / "out.rmt").string();
    WriteWholeFile(in, kExampleFile);
    Remote *list = load(in.c_str());
    EXPECT_EQ(Dump(list), Dump(ExampleList()));
    EXPECT_EQ(save(list, out.c_str()), 0);
    EXPECT_EQ(ReadWholeFile(out), kExampleFile);
    freeRemotes(&list);
    EXPECT_EQ(list, nullptr);
}

TEST_F(PluginRemoteFile, LoadingAMissingPathCreatesAnEmptyFile)
{
    const std::string path = (dir / "new.rmt").string();
    EXPECT_EQ(load(path.c_str()), nullptr);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(load(nullptr), nullptr);
}

}  // namespace
