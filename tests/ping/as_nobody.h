// Dropping root's rights for a while, to see what an ordinary user meets.
#pragma once

#include <gtest/gtest.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace pingtest {

// The process runs as user and group nobody (65534) without supplementary
// groups while this lives: no capability in effect, so raw sockets are
// refused, and ping sockets only when ping_group_range takes in 65534.  The
// saved ids stay root so that the test can grant and take back permissions
// in between.
class AsNobody {
 public:
  AsNobody() {
    groups_.resize(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    groups_.resize(
        static_cast<size_t>(std::max(getgroups(int(groups_.size()), groups_.data()), 0)));
    ok_ = setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, 0) == 0 &&
          setresuid(kNobody, kNobody, 0) == 0;
  }
  ~AsNobody() {
    EXPECT_EQ(setresuid(0, 0, 0), 0);
    EXPECT_EQ(setresgid(0, 0, 0), 0);
    EXPECT_EQ(setgroups(groups_.size(), groups_.data()), 0);
  }
  bool ok() const { return ok_ && geteuid() == kNobody && getegid() == kNobody; }

  static constexpr unsigned kNobody = 65534;

 private:
  std::vector<gid_t> groups_;
  bool ok_ = false;
};

}  // namespace pingtest
