// The fixture of the tests of TpelSysLog: a fresh component on an ephemeral
// local port for every test, which runs only in the test's own namespaces.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "component_fixture.h"
#include "isolation.h"
#include "pelsyslog.h"

class SysLogComponentTest : public testsupport::ComponentTest<> {
 protected:
  void SetUp() override {
    if (!testsupport::isolationFailure().empty()) GTEST_SKIP() << testsupport::isolationFailure();
    log = std::make_unique<TpelSysLog>();
    log->setLocalPort(0);
  }

  // Pumps the component until `done` or `pumpSeconds` have passed.
  bool pumpUntil(const std::function<bool()> &done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(pumpSeconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      log->DoEvents();
    }
    return true;
  }

  int pumpSeconds = 2;
  std::unique_ptr<TpelSysLog> log;
};
