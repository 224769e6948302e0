#pragma once
// Waiting in tests without an event loop: polls a condition that other
// threads or processes make true. Widget tests use GuiTest.h's WaitFor, which
// runs the event loop meanwhile.

#include <chrono>
#include <thread>

namespace testsupport {

// Polls pred until it holds or limit passes; whether it held.
template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testsupport
