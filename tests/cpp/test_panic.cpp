// Faults at the module boundary: every payload becomes its message, also when the fault was
// thrown on a worker thread of the pool, and the pool keeps working afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "fatal.h"
#include "panic.h"

namespace {

struct PayloadCase {
  const char* name;
  std::function<void()> thrower;
  std::string message;
};

class PanicPayload : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(PanicPayload, BecomesItsMessage) {
  const auto result = varn::catch_panics([&]() -> varn::Expected<std::string> {
    GetParam().thrower();
    return std::string("not reached");
  });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), GetParam().message);
}

struct Opaque {};

INSTANTIATE_TEST_SUITE_P(
    Boundary, PanicPayload,
    ::testing::Values(
        PayloadCase{"fatal_fault", [] { varn::fatal("Cannot define a valid local_z axis."); },
                    "Internal solver panic: Cannot define a valid local_z axis."},
        PayloadCase{"index_fault", [] { varn::check_index(21, 14, "element DOF"); },
                    "Internal solver panic: index out of bounds: element DOF: the index is 21 but the length is 14"},
        PayloadCase{"std_exception", [] { throw std::out_of_range("map::at"); }, "Internal solver panic: map::at"},
        PayloadCase{"owned_text", [] { throw std::string("owned text"); }, "Internal solver panic: owned text"},
        PayloadCase{"fixed_text", [] { throw "fixed text"; }, "Internal solver panic: fixed text"},
        PayloadCase{"integer", [] { throw 42; }, "Internal solver panic (unknown cause)"},
        PayloadCase{"opaque_object", [] { throw Opaque{}; }, "Internal solver panic (unknown cause)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Boundary, SuccessPassesThrough) {
  const auto ok = varn::catch_panics([]() -> varn::Expected<std::string> { return std::string("{}"); });
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, "{}");
  const auto msg = varn::catch_panics([]() -> varn::Expected<std::string> { return varn::fail("LC 1 linear error: x"); });
  ASSERT_FALSE(msg.has_value());
  EXPECT_EQ(msg.error(), "LC 1 linear error: x");
}

// A fault raised on a pool worker reaches the thread that started the loop with its type and
// text, whichever item fails, and nested loops carry it out as well.
class WorkerFault : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WorkerFault, ReachesTheCaller) {
  const std::size_t failing = GetParam();
  const auto result = varn::catch_panics([&]() -> varn::Expected<std::string> {
    tbb::parallel_for(std::size_t{0}, std::size_t{64}, [&](std::size_t i) {
      tbb::parallel_for(std::size_t{0}, std::size_t{8}, [&](std::size_t j) {
        if (i == failing && j == 3) varn::fatal("Start and end nodes are the same or too close to define a direction.");
      });
    });
    return std::string("solved");
  });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(),
            "Internal solver panic: Start and end nodes are the same or too close to define a direction.");

  // The pool is still usable after the cancelled loop.
  std::atomic<std::size_t> sum{0};
  tbb::parallel_for(std::size_t{0}, std::size_t{100}, [&](std::size_t i) { sum += i; });
  EXPECT_EQ(sum.load(), 4950u);
}

INSTANTIATE_TEST_SUITE_P(Boundary, WorkerFault, ::testing::Values(0, 1, 31, 63));

TEST(Boundary, FaultKeepsItsTypeAcrossThePool) {
  bool caught_as_fatal = false;
  try {
    tbb::parallel_for(tbb::blocked_range<int>(0, 1000, 1), [](const tbb::blocked_range<int>& r) {
      for (int i = r.begin(); i != r.end(); ++i)
        if (i == 777) varn::fatal("worker fault");
    });
  } catch (const varn::FatalFault& e) {
    caught_as_fatal = std::string(e.what()) == "worker fault";
  }
  EXPECT_TRUE(caught_as_fatal);
}

}  // namespace
