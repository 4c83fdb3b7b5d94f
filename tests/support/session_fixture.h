#pragma once

// Shared ground of the command-client protocol tests: the wire texts of $Execute statements and
// Print replies, and a fixture holding a Brevacon logged in to a fresh FakeController.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>

#include <epson/brevacon.h>
#include <epson/interrupt.h>

#include "fake_controller.h"

namespace epson::test {

// $Execute,"<statement>" as the client writes it.
inline std::string exec(const std::string& statement) { return "$Execute,\"" + statement + "\""; }

// #Execute,"<text>": the controller's answer to a Print query.
inline std::string printed(const std::string& text) { return "#Execute,\"" + text + "\""; }

// What every message of a session torn down for being out of step ends with.
inline const std::string kOutOfStep =
    " (the session is out of step: the reply to the previous command may have been "
    "misattributed)";

// Names parameterised cases after the `name` member of their parameter.
struct CaseName {
  template <typename T>
  std::string operator()(const ::testing::TestParamInfo<T>& info) const {
    return info.param.name;
  }
};

// A client logged in (empty password) to a fake controller whose script starts after the login.
class LoggedInSession : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_.login();
    ASSERT_NO_THROW(robot_.connect("127.0.0.1", fake_.port()));
  }
  // The interrupt check is the process's: a test that set one leaves none for the next.
  void TearDown() override { setInterruptCheck(nullptr); }

  // A harmless exchange after a call that must not have written anything: a stray line would be
  // consumed here instead and fail the script.
  void expectNothingSentBefore() {
    fake_.respond(exec("Reset"), "#Execute");
    EXPECT_NO_THROW(robot_.resetController());
  }

  void goP1() { robot_.go("P1", false, false, std::nullopt, std::nullopt, std::nullopt, false); }

  // go P1 on a thread of its own, returned once the fake has read its statement after
  // `lines_before` lines of the script.
  std::future<void> startGo(std::size_t lines_before = 1) {
    auto motion = std::async(std::launch::async, [this] { goP1(); });
    EXPECT_TRUE(fake_.waitForLines(lines_before + 1, std::chrono::seconds(5)));
    return motion;
  }

  FakeController fake_;
  Brevacon robot_;
};

}  // namespace epson::test
