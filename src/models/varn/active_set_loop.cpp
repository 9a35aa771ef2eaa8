#include "models/varn/active_set_loop.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "logging.h"
#include "models/varn/active_set.h"

namespace varn {

Expected<SettledLoop> ActiveSetLoop::run(Eigen::VectorXd start, LoopState state) {
  state_ = std::move(state);
  current_ = LoopPass{std::move(start), nullptr, {}};
  for (;;) {
    auto settled = settle();
    if (!settled) return fail(settled.error());
    if (!*settled) {
      return fail("Active-set iteration did not converge within " + std::to_string(settings_.max_passes) +
                  " iterations");
    }
    auto switched = switch_after_loop();
    if (!switched) return fail(switched.error());
    if (*switched) continue;
    // The loop ends on this state: its displacements, if its pass read forces alone. Forces
    // read from a solution that the residual test refuses are read again from the solved one,
    // by the loop's rules and then by those after it.
    bool as_read = true;
    if (auto ok = solve_displacements(current_, &as_read); !ok) return fail(ok.error());
    if (as_read) break;
    auto changed = judge(current_);
    if (!changed) return fail(changed.error());
    if (*changed) continue;
    switched = switch_after_loop();
    if (!switched) return fail(switched.error());
    if (!*switched) break;
  }
  // The loop settles only on the displacements of its last pass.
  const bool final_solved = last_solved(state_);
  return SettledLoop{std::move(*current_.u), std::move(state_), final_solved};
}

Expected<bool> ActiveSetLoop::settle() {
  // The state the previous pass of this loop entry switched from: the settling pass repeats it.
  std::optional<std::size_t> previous;
  while (passes_ < settings_.max_passes) {
    ++passes_;
    if (!previous || history_[*previous] != state_) {
      const auto seen = std::find(history_.begin(), history_.end(), state_);
      if (seen != history_.end()) {
        return fail("Active-set iteration cycles between " + std::to_string(history_.end() - seen) +
                    " states without settling");
      }
      history_.push_back(state_);
    }
    previous = history_.size() - 1;
    const bool repeated = last_solved(state_);
    LoopPass next;
    if (!repeated) {
      auto solved = solver_.pass(state_, kSingularInLoop);
      if (!solved) return fail(solved.error());
      next = std::move(*solved);
      solved_for_ = state_;
      judged_ = false;
    }
    LoopPass& now = repeated ? current_ : next;
    bool changed = false;
    if (!(repeated && judged_)) {
      auto switched = judge(now);
      if (!switched) return fail(switched.error());
      changed = *switched;
    }
    // Whether the step from the previous pass is measured. A previous pass of forces alone is
    // not solved for that alone: the loop then settles not on this step but on the settling
    // pass that follows, which repeats this state for free and ends with the same displacements
    // and state. The last pass the loop may take measures it.
    const bool step_judged = repeated || current_.u || passes_ == settings_.max_passes;
    // A pass of forces alone that switched nothing, before the last pass the loop may take, is
    // not solved either: the settling pass that repeats its state settles on its forces, and
    // its displacements are solved once no switch after the loop changes that state (a
    // reactivation would make them needless).
    if (!changed && now.forces && passes_ < settings_.max_passes) {
      if (repeated) return true;
      current_ = std::move(next);
      continue;
    }
    if (!changed) {
      // The loop may settle on this state: the displacements of the pass before it first where
      // the step is measured, then its own. Forces read from a solution that the residual test
      // refuses are read again from the solved one.
      if (!repeated && step_judged) {
        if (auto ok = solve_displacements(current_, nullptr); !ok) return fail(ok.error());
      }
      bool as_read = true;
      if (auto ok = solve_displacements(now, &as_read); !ok) return fail(ok.error());
      if (!as_read) {
        auto switched = judge(now);
        if (!switched) return fail(switched.error());
        changed = *switched;
      }
    }
    if (!changed) {
      const bool step_settled =
          step_judged && displacement_settled(repeated ? Eigen::VectorXd(Eigen::VectorXd::Zero(now.u->size()))
                                                       : Eigen::VectorXd(*now.u - *current_.u),
                                              *now.u, settings_.tolerance);
      if (!repeated) current_ = std::move(next);
      if (step_settled) return true;
    } else if (!repeated) {
      current_ = std::move(next);
    }
  }
  return false;
}

Expected<bool> ActiveSetLoop::judge(const LoopPass& pass) {
  const auto start = std::chrono::steady_clock::now();
  auto switched = solver_.switch_in_loop(pass, state_, settings_.reactivation_in_loop);
  if (!switched) return fail(switched.error());
  switching_seconds_ += seconds_since(start);
  judged_ = !*switched;
  return *switched;
}

// After the loop has settled: a switched-off tie that the structure now pulls on hard comes
// back; then any active tie still in compression, or strut in tension, beyond the full slack
// goes off. Either switch changes the structure, so the new displacements go back through the
// loop until the state agrees with them (the one-sided supports agreed with them already).
Expected<bool> ActiveSetLoop::switch_after_loop() {
  bool switched = false;
  if (solver_.reactivate(current_, state_.active)) {
    if (auto ok = solve_after_loop(kSingularAfterReactivation); !ok) return fail(ok.error());
    switched = true;
  }
  if (solver_.finalize(current_, state_.active)) {
    if (auto ok = solve_after_loop(kSingularInFinalization); !ok) return fail(ok.error());
    switched = true;
  }
  return switched;
}

Expected<void> ActiveSetLoop::solve_after_loop(const char* singular_message) {
  auto solved = solver_.pass(state_, singular_message);
  if (!solved) return fail(solved.error());
  current_ = std::move(*solved);
  solved_for_ = state_;
  judged_ = false;
  return {};
}

Expected<void> ActiveSetLoop::solve_displacements(LoopPass& pass, bool* as_read) {
  if (as_read != nullptr) *as_read = true;
  if (pass.u) return {};
  auto read = solver_.displacements(pass);
  if (!read) return fail(read.error());
  pass.forces.reset();
  if (as_read != nullptr) *as_read = *read;
  return {};
}

}  // namespace varn
