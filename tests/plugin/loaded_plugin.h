// The built quillet.so, loaded as a host loads it: dlopen by path, dlsym by
// plain name.
#pragma once

#include <dlfcn.h>

#include <gtest/gtest.h>

class LoadedPlugin {
public:
    LoadedPlugin() : handle_(dlopen(QUILLET_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedPlugin()
    {
        if (handle_)
            dlclose(handle_);
    }
    LoadedPlugin(const LoadedPlugin &) = delete;
    LoadedPlugin &operator=(const LoadedPlugin &) = delete;

    void *handle() const { return handle_; }

    // The export `name` called through the function type `Function`, which
    // need not be its own: a host may have a prototype of its own.
    template <typename Function>
    Function Get(const char *name) const
    {
        void *symbol = handle_ ? dlsym(handle_, name) : nullptr;
        EXPECT_NE(symbol, nullptr) << name;
        return reinterpret_cast<Function>(symbol);
    }

private:
    void *handle_;
};
