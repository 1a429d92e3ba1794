#pragma once
// The controller among the test fakes (tests/ctl/controller_fixture.h), driven by a fuzz script:
// worker jobs run only when the script says so, HTTP answers and discovery offers are queued by it.
#include "ctl/start_page.h"
#include "fuzz/fuzz_support.h"
#include "tests/ctl/controller_fixture.h"

namespace ostrel::fuzz {

using ctl::testing::FakeView;

// A fresh one per input; start() reads config.json as the script left it (or finds none).
struct ScriptedWorld : ctl::testing::Harness {
    ScriptedWorld() : Harness(settingsPath()) { std::filesystem::remove(settingsPath()); }
    static std::filesystem::path settingsPath() { return scratchDir() / "config.json"; }

    // What holds after anything the controller was asked to do.
    void checkController() {
        const auto& c = *controller;
        FUZZ_CHECK(c.signedIn() == (c.phase() == ctl::Phase::SignedIn) && c.generation() >= generation,
                   "signedIn and the phase disagree, or the generation went back");
        generation = c.generation();
        if (c.signedIn()) {
            FUZZ_CHECK(window->menuEnabled && !c.target().systemId.empty() &&
                           ctl::isTargetHost(c.target().host, c.target().hosts),
                       "signed in without the menu, a system or on a host not its own: " + c.target().host);
        } else {
            FUZZ_CHECK(
                !window->menuEnabled && !c.signingOut() && window->title == ctl::AppController::baseWindowTitle(),
                "session items or title while signed out: " + window->title);
        }
    }

    std::vector<std::shared_ptr<FakeView>> popups, retired;  // retired: main views replaced
    std::vector<DiscoveryOffer> offers;
    std::uint32_t generation = 0;
};

}  // namespace ostrel::fuzz
