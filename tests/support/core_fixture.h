// CoreTest: the core on the fake host in a scratch folder, the set-up shared
// by the tests of the core and of the areas built on it (addresses, page,
// publishing). The scratch folder is the core's start folder and, while the
// test runs, the current folder, so that anything a test itself names
// relatively lands there too.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

#include "app/core/core.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"

namespace zelmar::test {

// HostT: FakeHost or a test's own subclass of it. Base: ::testing::Test, or
// a parameterised test's own base (a fixture that starts peer servers); a
// subclass that overrides SetUp or TearDown calls these.
template <class HostT = FakeHost, class Base = ::testing::Test>
class CoreTestOn : public Base {
protected:
    void SetUp() override {
        Base::SetUp();
        ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    }
    void TearDown() override {
        (void)!::chdir("/");
        Base::TearDown();
    }

    // Writes "Zelmar.ini" when settings are given, then makes the core on
    // the fake host with its timer ticks wired to Core::OnTimer.
    Core& MakeCore(const std::optional<std::string>& settings = std::nullopt, const std::string& key = "k") {
        if (settings) WriteFile(dir / "Zelmar.ini", *settings);
        core = std::make_unique<Core>(host, dir.path(), dir / "Zelmar.ini", key);
        host.onTick = [this](int id) { core->OnTimer(id); };
        return *core;
    }

    ScratchDir dir;
    HostT host;
    std::unique_ptr<Core> core;
};

using CoreTest = CoreTestOn<FakeHost>;

}  // namespace zelmar::test
