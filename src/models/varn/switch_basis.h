#pragma once
// The operators of an active-set loop are the all-on operator K₀ less the members that are
// switched off: K = K₀ − U_S·U_Sᵀ, U_S the principal columns of (1 − kSwitchedOffScale)·K_e of
// each member off (one per bar, the axial direction), up to the switched members' stabilising
// terms, which the refinement against the assembled operator removes. With K₀ = Pᵀ·L·Lᵀ·P
// factorised and V = L⁻¹·P·U for every switchable member, solved once per request, the
// solution of any state follows from the Sherman–Morrison–Woodbury identity
//   K⁻¹·b = Pᵀ·L⁻ᵀ·(c + V_S·z),   c = L⁻¹·P·b,   (I − V_Sᵀ·V_S)·z = V_Sᵀ·c,
// one solve with the all-on factor and a dense system of one row per switched-off rank. No
// state of any load case or combination then needs a factorisation or a low-rank modification
// of its own. A member's column reaches only the factor columns on its paths to the root of
// the elimination tree, so V is sparse and made by sparse forward solves.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include <Eigen/Cholesky>
#include <Eigen/Core>

#include "functions/sparse.h"
#include "models/varn/active_map.h"
#include "models/varn/lookup.h"

namespace varn {

struct VARN;
struct Member;

// The columns C, C·Cᵀ = principal part of (1 − kSwitchedOffScale)·K_e, of a tie or strut in
// the global DOFs of a system of n DOFs (none for a member without stiffness).
SparseMatrix switched_member_columns(const VARN& model, const AssemblyContext& ctx, const Member& member,
                                     std::size_t index, const std::vector<std::optional<std::uint32_t>>& rigid_sections,
                                     std::size_t n);

// Above this many columns (switchable ranks) the basis is not made: its dense capacitance grows
// with their square and its forward solves with their number. Such models keep the loop's own
// factors and their low-rank updates.
inline constexpr std::size_t kMaxSwitchBasisColumns = 512;

class SwitchBasis {
 public:
  // U for every tie and strut of a model of n DOFs, in member-id order, and where each
  // member's columns are; none when there is no such member or when they have more than
  // kMaxSwitchBasisColumns ranks. It needs no factor: it is made while K₀ is factorised.
  //
  // A tie's or strut's axial force is linear in the displacements, N = aᵀ·u, and a bar's a lies
  // along its principal column: N = wᵀ·(Uₘᵀ·u) for weights w on the member's columns. Where
  // that holds for every member (to 1e-9 of a), the weights are kept, and the switching rules
  // of a pass can read every force from the basis without the pass's displacements.
  struct Columns {
    std::map<std::uint32_t, std::pair<Eigen::Index, Eigen::Index>> of_member;  // id -> [first, end)
    SparseMatrix u;
    std::vector<double> axial_weights;  // per column; empty when some force is not of this form
  };
  static std::optional<Columns> columns(const VARN& model, std::size_t n);

  // The basis of those columns with the all-on factor `all_on` (the penalised supernodal
  // Cholesky factor of K₀); none when the factor is not a supernodal Cholesky factor. Columns
  // of another order than the factor are a fatal fault.
  static std::optional<SwitchBasis> build(const ConstrainedSparseSolver& all_on, Columns columns);

  // The approximate inverse of one state's operator: K₀'s factor corrected for the members
  // that `active` switches off.
  class StateInverse {
   public:
    // The forward half c = L⁻¹·P·B of the last right-hand side solved with it (B scaled to
    // unit columns, as the solve takes it). It is the same for every state: the passes of one
    // load, which solve one B for state after state, make it once.
    struct Forward {
      Eigen::MatrixXd b;
      Eigen::MatrixXd c;
      Eigen::VectorXd vtc;  // Vᵀ·c, every column of V, for a single B (made by axial_forces)
    };

    // A pass of one load b solved as far as the switching rules read it: y = c + V_S·z, whose
    // backward solve is the state's solution (solution), and the axial force of every tie and
    // strut in that solution, Nₘ = wₘᵀ·Vₘᵀ·y = wₘᵀ·(Vₘᵀ·c + G(m, S)·z).
    struct Forces {
      Eigen::MatrixXd y;  // in the unit-scaled space of b
      std::vector<int> exponent;
      std::map<std::uint32_t, double> axial;  // by member id
    };

    // The pass for b (zeroed at the held DOFs by the caller), through `forward` as apply does;
    // empty when the all-on solve fails or the basis holds no axial weights.
    std::optional<Forces> axial_forces(const Eigen::VectorXd& b, Forward& forward) const;
    // The displacements of that pass: bit for bit apply(b).
    std::optional<Eigen::MatrixXd> solution(const Forces& forces) const;
    // The capacitance's reciprocal condition number (an estimate of its 1-norm), 1 with no
    // member off.
    double reciprocal_condition() const { return columns_.empty() ? 1.0 : capacitance_.rcond(); }

    // K⁻¹·B for the penalised operator of the state (B zeroed at the held DOFs by the caller),
    // unrefined; empty when the all-on solve fails. With `forward`, a B it holds is not solved
    // forward again, and another one is kept there: the same bits either way.
    std::optional<Eigen::MatrixXd> apply(const Eigen::MatrixXd& b, Forward* forward = nullptr) const;

   private:
    friend class SwitchBasis;
    // c + V_S·z in place, each column of c; z returned.
    Eigen::MatrixXd correct(Eigen::MatrixXd& c) const;
    const SwitchBasis* basis_ = nullptr;
    std::vector<Eigen::Index> columns_;  // of U and V, the members switched off
    // Of I − V_Sᵀ·V_S; made from an empty matrix until then, so that a copy never reads an
    // unset status.
    Eigen::LLT<Eigen::MatrixXd> capacitance_{Eigen::MatrixXd(0, 0)};
  };

  // The forward half of the solve of load f (its held DOFs zeroed, scaled to unit as a pass
  // takes it) with the all-on factor: the one the first pass of that load makes, made ahead of
  // it. Empty (b of no rows) where the factor does not solve it.
  static StateInverse::Forward forward_of(const ConstrainedSparseSolver& all_on, const Eigen::VectorXd& f);

  // The inverse for the state `active`; empty when the state's operator is not positive
  // definite to the capacitance's precision (a member that was all that held part of the
  // structure is off): the loop then factorises that operator itself.
  std::optional<StateInverse> inverse_for(const ActiveMap& active) const;

  // The all-on solver the basis was made with.
  const ConstrainedSparseSolver& all_on() const { return all_on_; }
  // Whether a pass's axial forces can be read from the basis (StateInverse::axial_forces).
  bool reads_axial_forces() const { return !axial_weights_.empty(); }

 private:
  ConstrainedSparseSolver all_on_;
  std::map<std::uint32_t, std::pair<Eigen::Index, Eigen::Index>> columns_of_;  // member id -> [first, end)
  MovableSparseMatrix v_;  // n x m: L⁻¹·P·U, every switchable member's columns
  Eigen::MatrixXd g_;   // Vᵀ·V = Uᵀ·K₀⁻¹·U
  std::vector<double> axial_weights_;  // Columns::axial_weights
};

}  // namespace varn
