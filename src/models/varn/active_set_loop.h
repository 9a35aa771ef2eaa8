#pragma once
// The active-set loop of a first-order solve: which state of the ties, struts and one-sided
// supports is solved next, when the loop has settled, when it goes round in a cycle, and the
// reactivation and consistency switches after it. How a state is solved (a factorisation, a
// low-rank update of a kept factor, the switch basis) and how a solution is judged member by
// member belong to a pass solver behind the interface below; the loop only sequences them, so
// it is the same for every way of solving a pass.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "expected.h"
#include "models/varn/active_map.h"
#include "models/varn/support_state.h"

namespace varn {

// The switchable state of the structure: ties and struts on or off, one-sided supports held or
// released.
struct LoopState {
  ActiveMap active;
  SupportState released;
  bool operator==(const LoopState&) const = default;
};

// What a pass solver read from a state without solving its displacements (the axial forces of
// the ties and struts through the switch basis); its own type behind this base.
struct PassForces {
  virtual ~PassForces() = default;
};

// One pass of the loop: the displacements of a state, or only what the switching rules read
// from them (`forces`) until the loop needs the displacements themselves.
struct LoopPass {
  std::optional<Eigen::VectorXd> u;
  std::unique_ptr<PassForces> forces;
  LoopState state;                         // of a pass not yet solved
  const char* singular_message = nullptr;  // when its solve finds the operator singular
};

// The messages of the operator found singular, by where the loop solves.
inline constexpr const char* kSingularInLoop = "Stiffness matrix is singular or near-singular";
inline constexpr const char* kSingularAfterReactivation = "Stiffness matrix is singular after reactivation pass.";
inline constexpr const char* kSingularInFinalization = "Stiffness matrix is singular or near-singular in finalization.";

class PassSolver {
 public:
  virtual ~PassSolver() = default;
  // The pass of `state`: its displacements, or its forces alone.
  virtual Expected<LoopPass> pass(const LoopState& state, const char* singular_message) = 0;
  // The displacements of a pass of forces alone, solved into it. True when they are the
  // solution its forces were read from; false when a refined solution replaced that one, whose
  // forces the switching rules must read again.
  virtual Expected<bool> displacements(LoopPass& pass) = 0;
  // The loop's switching rules applied to a pass: ties and struts by their axial forces (members
  // switched off come back only with `allow_reactivation`), one-sided supports by the support
  // forces. True when anything switched.
  virtual Expected<bool> switch_in_loop(const LoopPass& pass, LoopState& state, bool allow_reactivation) = 0;
  // After the loop: a switched-off tie or strut loaded beyond the reactivation buffer comes back.
  virtual bool reactivate(const LoopPass& pass, ActiveMap& active) = 0;
  // After the loop: an active tie in compression or strut in tension beyond the full slack goes off.
  virtual bool finalize(const LoopPass& pass, ActiveMap& active) = 0;
};

// What the loop ends with: the displacements it settled on, the state they agree with, and
// whether the last state solved is that state (its solver then holds that state's factor).
struct SettledLoop {
  Eigen::VectorXd u;
  LoopState state;
  bool last_solved_is_final = false;
};

struct ActiveSetLoopSettings {
  double tolerance = 0.0;        // absolute bound of the displacement step (SI)
  std::uint32_t max_passes = 0;  // passes the loop may take, over all its entries
  bool reactivation_in_loop = true;
};

// Loop passes until a pass switches nothing and its step from the previous displacements is
// settled (displacement_settled), then the reactivation and consistency switches; a switch
// after the loop sends the solve back into the loop from the state it made. A state that the
// loop switches away from and meets again (other than by the settling pass, which repeats the
// state just switched from) is a cycle: "Active-set iteration cycles between {n} states
// without settling". After `max_passes` passes without settling: "Active-set iteration did not
// converge within {n} iterations".
class ActiveSetLoop {
 public:
  ActiveSetLoop(PassSolver& solver, ActiveSetLoopSettings settings) : solver_(solver), settings_(settings) {}

  Expected<SettledLoop> run(Eigen::VectorXd start, LoopState state);

  unsigned passes() const { return passes_; }
  double switching_seconds() const { return switching_seconds_; }

 private:
  // One entry of the loop's passes, up to the state it settles on; false when the passes ran out.
  Expected<bool> settle();
  // A pass of the loop's rules on `pass`, timed.
  Expected<bool> judge(const LoopPass& pass);
  // The reactivation and consistency switches after the loop; true when one switched (the
  // loop goes on from the state it made).
  Expected<bool> switch_after_loop();
  Expected<void> solve_after_loop(const char* singular_message);
  Expected<void> solve_displacements(LoopPass& pass, bool* as_read);
  bool last_solved(const LoopState& state) const { return solved_for_ && *solved_for_ == state; }

  PassSolver& solver_;
  ActiveSetLoopSettings settings_;
  LoopState state_;
  // The loop's displacements, the last pass's.
  LoopPass current_;
  // The state whose operator produced `current_`. A pass with that same state would build the
  // same operator for the same load and return the same displacements bit for bit (assembly and
  // factorisation are deterministic), so it is not repeated: the step is exactly zero.
  std::optional<LoopState> solved_for_;
  // Every state a loop pass has switched from. A pass is a deterministic function of its
  // state alone, so a state met again sends the loop round the same states for ever.
  std::vector<LoopState> history_;
  // The rules have been applied to `current_` in the state of `solved_for_` and switched
  // nothing; applied again to the same pass they switch nothing again, so the settling pass
  // skips them (and with them a recovery of every member's forces).
  bool judged_ = false;
  unsigned passes_ = 0;
  double switching_seconds_ = 0.0;
};

}  // namespace varn
