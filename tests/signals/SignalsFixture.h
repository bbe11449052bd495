#pragma once
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "backend/Config.h"
#include "checkins/Popup.h"
#include "checkins/Snooze.h"
#include "sim/SimPlatform.h"

// A simulated desktop with a backend at a fixed address and an empty popup stack.
class SignalsFixture : public ::testing::Test {
protected:
    static constexpr const char* kBase = "https://backend.test";
    void SetUp() override {
        Config::resetForTesting("https://primary.test", "https://fallback.test");
        Config::setBackend(kBase);
        Popup::shared().resetForTesting();
        Snooze::setUntil(platform::Clock::distantPast());
    }
    void TearDown() override { Popup::shared().resetForTesting(); }

    std::size_t posts(const std::string& path) { return sim.http().count(path); }
    nlohmann::json lastBody(const std::string& path) {
        auto i = sim.http().last(path);
        EXPECT_TRUE(i.has_value()) << path;
        return i ? sim.http().requests()[*i].request.body.empty() ? nlohmann::json()
                                                                  : sim.http().requests()[*i].bodyJson()
                 : nlohmann::json();
    }
    void answerLast(const std::string& path, const nlohmann::json& body) {
        auto i = sim.http().last(path);
        ASSERT_TRUE(i.has_value()) << path;
        sim.http().answerJson(*i, body);
        sim.runReady();
    }
    std::size_t count(const std::string& line) {
        auto lines = sim.logLines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
    std::string lastLine() {
        auto lines = sim.logLines();
        return lines.empty() ? std::string() : lines.back();
    }

    sim::SimPlatform sim;
};
