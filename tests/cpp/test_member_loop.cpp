// The one parallel member loop: results in member order, and the failure reported (an ordinary
// message or a thrown fault) is that of the lowest member index whatever the scheduling and the
// number of threads.
#include "functions/member_loop.h"

#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <tbb/info.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fatal.h"

namespace {

using varn::Expected;
using varn::Member;
using varn::MemberSet;

// A chain of `count` members split over three member sets, member i joining nodes i+1, i+2.
std::vector<MemberSet> chain(std::size_t count) {
  std::vector<MemberSet> sets(3);
  for (std::size_t i = 0; i < count; ++i) {
    Member m;
    m.id = static_cast<std::uint32_t>(1000 + i);
    m.start_node.id = static_cast<std::uint32_t>(i + 1);
    m.end_node.id = static_cast<std::uint32_t>(i + 2);
    m.start_node.X = static_cast<double>(i);
    m.end_node.X = static_cast<double>(i + 1);
    sets[i * 3 / count].members.push_back(m);
  }
  return sets;
}

// Runs f once on one thread and once on every thread of the machine.
template <class F>
void on_one_and_all_threads(F&& f) {
  for (int threads : {1, tbb::info::default_concurrency()}) {
    SCOPED_TRACE(threads);
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    f();
  }
}

TEST(MemberLoop, FlatOrderIsMemberSetThenMember) {
  const auto sets = chain(10);
  const auto members = varn::flatten_members(sets);
  ASSERT_EQ(members.size(), 10u);
  for (std::size_t i = 0; i < members.size(); ++i) EXPECT_EQ(members[i]->id, 1000 + i);
  EXPECT_TRUE(varn::flatten_members({}).empty());
}

TEST(MemberLoop, ResultsComeBackInMemberOrder) {
  const auto sets = chain(5000);
  const auto members = varn::flatten_members(sets);
  on_one_and_all_threads([&] {
    const auto out = varn::for_each_member(members, [](const Member& m, std::size_t i) {
      return std::make_pair(m.id, i);
    });
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->size(), members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      EXPECT_EQ((*out)[i].first, members[i]->id);
      EXPECT_EQ((*out)[i].second, i);
    }
  });
  const auto none = varn::for_each_member({}, [](const Member&, std::size_t) { return 1; });
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

// Many members fail, some with a message and some with a thrown fault; the report is always
// the one of the lowest failing index, of whichever kind it is.
TEST(MemberLoop, LowestFailingMemberIsReported) {
  const auto sets = chain(4000);
  const auto members = varn::flatten_members(sets);
  enum class Kind { Message, Fault, Other };
  struct Case {
    std::size_t lowest;
    Kind kind;
  };
  for (const Case& c :
       std::vector<Case>{{0, Kind::Message}, {1777, Kind::Fault}, {2500, Kind::Other}, {3999, Kind::Message}}) {
    SCOPED_TRACE(c.lowest);
    // Failures at the lowest index and at every 7th member above it, alternating kinds.
    const auto task = [&](const Member& m, std::size_t i) -> Expected<double> {
      if (i < c.lowest || (i > c.lowest && (i - c.lowest) % 7 != 0)) return 0.5 * m.end_node.X;
      const Kind kind = i == c.lowest ? c.kind : static_cast<Kind>(i % 3);
      const std::string text = "member " + std::to_string(i);
      if (kind == Kind::Fault) varn::fatal(text);
      if (kind == Kind::Other) throw std::runtime_error(text);
      return varn::fail(text);
    };
    on_one_and_all_threads([&] {
      for (int repeat = 0; repeat < 5; ++repeat) {
        const std::string want = "member " + std::to_string(c.lowest);
        switch (c.kind) {
          case Kind::Message: {
            const auto out = varn::for_each_member(members, task);
            ASSERT_FALSE(out.has_value());
            EXPECT_EQ(out.error(), want);
            break;
          }
          case Kind::Fault:
            try {
              (void)varn::for_each_member(members, task);
              ADD_FAILURE() << "no fault";
            } catch (const varn::FatalFault& f) {
              EXPECT_EQ(std::string(f.what()), want);
            }
            break;
          case Kind::Other:
            // Not a FatalFault: rethrown as it was thrown.
            try {
              (void)varn::for_each_member(members, task);
              ADD_FAILURE() << "no exception";
            } catch (const varn::FatalFault&) {
              ADD_FAILURE() << "converted to a fatal fault";
            } catch (const std::runtime_error& e) {
              EXPECT_EQ(std::string(e.what()), want);
            }
            break;
        }
      }
    });
  }
}

TEST(MemberLoop, ChunkStatesHoldConsecutiveMembers) {
  const auto sets = chain(1000);
  const auto members = varn::flatten_members(sets);
  on_one_and_all_threads([&] {
    const auto states = varn::for_each_member_chunked<std::vector<std::size_t>>(
        members, 64, [](const Member&, std::size_t i, std::vector<std::size_t>& s) { s.push_back(i); });
    ASSERT_TRUE(states.has_value());
    ASSERT_EQ(states->size(), 16u);  // ceil(1000 / 64)
    std::size_t next = 0;
    for (const auto& s : *states) {
      for (std::size_t i : s) EXPECT_EQ(i, next++);
    }
    EXPECT_EQ(next, 1000u);
  });
}

// A chain of axial springs k_i = i + 1 assembled through the loop is the tridiagonal matrix of
// the spring chain, identical bit for bit on one thread and on all; members that give no matrix
// leave no entry.
TEST(MemberLoop, AssemblyScattersInMemberOrder) {
  const std::size_t count = 200;
  const auto sets = chain(count);
  const auto members = varn::flatten_members(sets);
  const std::size_t n = 7 * (count + 1);
  const auto task = [](const Member&, std::size_t i) -> Expected<std::optional<varn::Mat14>> {
    if (i % 5 == 4) return std::optional<varn::Mat14>();
    varn::Mat14 k = varn::Mat14::Zero();
    const double s = 1.0 / static_cast<double>(i + 3);  // inexact, so the summation order shows
    k(0, 0) = k(7, 7) = s;
    k(0, 7) = k(7, 0) = -s;
    return std::optional<varn::Mat14>(k);
  };
  std::optional<Eigen::MatrixXd> first;
  on_one_and_all_threads([&] {
    const auto k = varn::assemble_member_matrices(members, n, task);
    ASSERT_TRUE(k.has_value());
    const Eigen::MatrixXd dense(*k);
    for (std::size_t i = 0; i < count; ++i) {
      const double s = i % 5 == 4 ? 0.0 : 1.0 / static_cast<double>(i + 3);
      EXPECT_EQ(dense(7 * i, 7 * i + 7), -s);
    }
    if (!first) {
      first = dense;
    } else {
      EXPECT_EQ(dense, *first);
    }
  });
  // A failure in the middle of a chunk is reported, not the members after it.
  const auto failing = varn::assemble_member_matrices(members, n, [&](const Member& m, std::size_t i) {
    if (i == 130 || i == 131 || i == 190) return Expected<std::optional<varn::Mat14>>(varn::fail(std::to_string(i)));
    return task(m, i);
  });
  ASSERT_FALSE(failing.has_value());
  EXPECT_EQ(failing.error(), "130");
}

}  // namespace
