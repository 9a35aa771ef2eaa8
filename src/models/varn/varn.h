#pragma once
// The model record: the one document that enters the system, the record every analysis acts
// on, and the document that leaves with its results filled in. It owns everything by value,
// so a copy is a full deep copy that shares nothing with its source.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "expected.h"
#include "models/imperfections/imperfectioncase.h"
#include "models/json/record.h"
#include "models/loads/loadcase.h"
#include "models/loads/loadcombination.h"
#include "models/members/material.h"
#include "models/members/memberhinge.h"
#include "models/members/memberset.h"
#include "models/members/section.h"
#include "models/members/shapepath.h"
#include "models/results/resultsbundle.h"
#include "models/settings/settings.h"
#include "models/supports/nodalsupport.h"
#include "models/varn/lookup.h"
// Types of the global-system methods (stiffness, supports, rigid elimination).
#include "functions/hinge_and_release_operations.h"
#include "models/varn/member_results.h"
#include "functions/sparse.h"
#include "functions/support_utils.h"
#include "models/varn/active_map.h"
#include "models/varn/curve_forces.h"
#include "models/varn/rigid_elimination.h"
#include "models/varn/second_order/internal_forces.h"
#include "models/varn/support_state.h"
// Types of the first-order solves and the cached combination system.
#include "models/varn/first_order_system.h"

namespace varn {

// The co-rotational tangent as the Newton step needs it (exact, not symmetric away from an
// equilibrium) or its symmetric part, which a Cholesky factorisation can take.
enum class CorotationalTangentForm : std::uint8_t { Exact, Symmetric };

struct VARN {
  std::vector<MemberSet> member_sets;
  std::vector<LoadCase> load_cases;
  std::vector<LoadCombination> load_combinations;
  std::vector<ImperfectionCase> imperfection_cases;
  Settings settings;
  std::optional<ResultsBundle> results;
  std::optional<std::vector<MemberHinge>> memberhinges;
  std::vector<Material> materials;
  std::vector<Section> sections;
  std::vector<NodalSupport> nodal_supports;
  std::optional<std::vector<ShapePath>> shape_paths;

  // ---- reading and writing ----

  // The model from JSON text holding exactly one value (whitespace around it allowed). A
  // failed read gives no model, only the error with its line and column.
  static json::ParseResult<VARN> from_json(std::string_view text);
  // Appends the model as compact JSON, keys in declaration order. Fails only when the buffer
  // cannot grow.
  Expected<void> serialize(std::string& out) const;

  // ---- queries ----

  // Members over all member sets.
  std::size_t get_member_count() const;
  bool has_rigid_members() const;
  bool has_tension_compression_members() const;
  // A deep copy of every field, the optional ones included.
  VARN clone() const { return *this; }
  // Lookup of materials, sections, hinges and supports by id; borrows this model.
  AssemblyContext build_lookup_maps() const;

  // ---- units ----

  // SI factors of the model's length, force and pressure units.
  UnitFactors unit_factors() const;
  // Converts this model in place to metres, newtons, pascals, kg/m3 and radians, and strips
  // the section constants that the analysis options switch off. The unit settings keep
  // naming the input's units. Results already held are not touched.
  void normalize_units();
  // A results bundle computed in SI, converted to the units the factors describe: lengths
  // and forces only; rotations stay in radians and reaction locations in metres.
  static ResultsBundle denormalize_results(ResultsBundle bundle, const UnitFactors& factors);

  // ---- result sets: building and storing (result_builders.cpp; recovery in
  //      member_results.h and reactions.h) ----
  // A result set from a solve: displacements of every member-end node from u, reactions of
  // every supported member-end node from the reaction vector, and the member results handed
  // in (recovered from u with `active` and the recovery mode when none are).

  // Stores the set in the bundle (created when absent) under "loadcombinations" or
  // "loadcases"; a name already taken in that map becomes "{name} ({n})" with the smallest
  // free n >= 2. The stored set carries its final key as its name. Returns the stored set.
  Results& build_and_store_results(std::string name, bool is_combination, std::uint32_t id,
                                   const Eigen::Ref<const Eigen::VectorXd>& u,
                                   const Eigen::Ref<const Eigen::VectorXd>& reactions, const ActiveMap* active,
                                   RecoveryMode mode,
                                   std::optional<std::map<std::uint32_t, MemberResult>> member_results = std::nullopt);
  // A result set holds numbers or nothing: a value that overflowed (or a NaN) in the solve or
  // the recovery is the message "Results of LC {id} are not finite at node {n}" (or "Combo
  // {id}"), naming the first node in id order whose displacements or reactions are not
  // finite, else "... at member {m}", the first such member.
  static Expected<void> check_results_finite(const Results& set);
  // A first-order combination set under its name unchanged, not stored.
  Results build_results_only(std::string name, std::uint32_t id, const Eigen::Ref<const Eigen::VectorXd>& u,
                             const Eigen::Ref<const Eigen::VectorXd>& reactions, const ActiveMap* active,
                             RecoveryMode mode,
                             std::optional<std::map<std::uint32_t, MemberResult>> member_results = std::nullopt) const;

  // ---- global system: stiffness and load assembly, supports, rigid elimination, curve
  //      force state (assembly.cpp, supports.cpp, rigid_elimination.cpp, curve_forces.cpp) ----
  // Everything in SI, seven DOFs per node, DOF k of node n at 7·(n − 1) + k.

  // Node ids must run 1, 2, ..., m over the member ends: "Node ID {} is missing. Node IDs
  // must be consecutive starting from 1." names the first gap; an id 0 is refused as well.
  Expected<void> validate_node_ids() const;
  // Largest finite Young's modulus over the materials, 0 when there is none.
  double max_e_mod_in_model() const;
  // Elastic stiffness of all members for the tie/strut state `active`; with `end_forces`,
  // beam hinge curves are read at those member end forces. Members are built in parallel,
  // scattered in member order; the failure of the lowest member index is the one reported.
  Expected<SparseMatrix> assemble_global_stiffness_matrix_sparse_impl(const ActiveMap& active,
                                                                      const MemberEndForceMap* end_forces) const;
  Expected<SparseMatrix> assemble_global_stiffness_matrix_sparse(const ActiveMap& active) const;
  Expected<SparseMatrix> assemble_global_stiffness_matrix_sparse_with_hinge_forces(
      const ActiveMap& active, const MemberEndForceMap& end_forces) const;
  // Elastic stiffness + geometric stiffness at `displacement` (when given) + support springs.
  Expected<SparseMatrix> build_operator_with_supports_sparse_internal(const ActiveMap& active,
                                                                      const Eigen::VectorXd* displacement) const;
  // Load vectors (size 7 x largest node id). An id that no load case has gives zeros; a load
  // on a node or member that the model does not have is refused with a message.
  Expected<Eigen::VectorXd> assemble_load_vector_for_case(std::uint32_t load_case_id) const;
  // Σ factor × case vector in the combination's listed order; "LoadCombination {} not found.".
  Expected<Eigen::VectorXd> assemble_load_vector_for_combination(std::uint32_t combination_id) const;

  // Sorted global DOFs held by supports (absent or Fixed translation/rotation conditions,
  // one-sided ones that `released` does not release, present and Fixed warping) plus the
  // zero-energy DOFs; each node judged by its first member end. Every support operation below
  // takes the same state of the one-sided supports (default: all held).
  Expected<std::vector<std::size_t>> collect_constrained_dofs_full(const SupportState& released = {}) const;
  // Sets the entries of every support-fixed DOF of a global vector to 0.
  void zero_support_dofs(Eigen::VectorXd& v, const SupportState& released = {}) const;
  // Imposes the fixed support DOFs on the reduced system: a retained DOF, or one whose row of
  // C follows one reduced DOF, exactly; any other by a penalty on its row of C.
  void apply_boundary_conditions_reduced(const RigidElimination& elimination, SparseMatrix& k_r,
                                         Eigen::VectorXd& f_r, const SupportState& released = {}) const;
  // The same on K_r alone; returns the exactly fixed reduced indices (sorted, unique), at
  // which every reduced right-hand side must be zeroed.
  std::vector<std::size_t> apply_boundary_conditions_to_k_only(const RigidElimination& elimination,
                                                               SparseMatrix& k_r,
                                                               const SupportState& released = {}) const;
  // The dominant index of a constraint row when the others hold at most 0.05² of its square.
  static std::optional<std::size_t> detect_one_hot_constraint(const SparseRow& c);
  // Adds α·ĉ·ĉᵀ (ĉ = c/|c|, α = 1000 × max |K_r(j,j)|) to K_r; returns α.
  static double constrain_linear_constraint_penalty(SparseMatrix& k_r, const SparseRow& c);
  // Solves K u = F: with a constrained list by the sparse penalty solve; with an empty list
  // and an elimination on the reduced system; with neither, as it stands. A singular system
  // gives `singular_message`.
  Expected<Eigen::VectorXd> solve_constrained_linear_system(const SparseMatrix& k, const Eigen::VectorXd& f,
                                                            const std::vector<std::size_t>& constrained,
                                                            const RigidElimination* elimination,
                                                            const std::string& singular_message,
                                                            const SupportState& released = {}) const;

  // A Rigid member exists and rigid_strategy is LinearMpc: the solve eliminates rigid links.
  bool needs_dense_rigid_path() const;
  // u = C·u_r for the rigid links of the model (the identity under RigidMember).
  Expected<RigidElimination> build_rigid_elimination_partial_using_hinges() const;
  static RigidTransform rigid_map_c(const Eigen::Vector3d& r);
  // K_r = Cᵀ·K·C, F_r = Cᵀ·F (sparse).
  static ReducedSystem reduce_system_sparse_internal(const SparseMatrix& k, const Eigen::VectorXd& f,
                                                     const RigidElimination& elimination);
  static Eigen::VectorXd expand_solution(const RigidElimination& elimination, const Eigen::VectorXd& u_r);

  // The entries of a global vector at DOFs 0..5 of every supported node (first member end
  // that carries the node; nodes whose six entries lie outside f are left out).
  SupportNodeForceMap extract_support_node_forces(const Eigen::VectorXd& f) const;
  // What the supports carry, for support stiffness curves: f_ext − (members' internal
  // forces), the spring terms left out, at every supported node; on a spring axis at
  // equilibrium this is the spring's own k·u. `member_forces` is `InternalForces::members`
  // of the state, `f_ext` the load vector at the current load level (same size).
  SupportNodeForceMap extract_carried_support_forces(const Eigen::VectorXd& member_forces,
                                                     const Eigen::VectorXd& f_ext) const;
  // The same from a displacement state: the members' internal forces at u (as
  // `compute_internal_forces`) against f_ext.
  Expected<SupportNodeForceMap> compute_carried_support_forces(const Eigen::VectorXd& u, const ActiveMap& active,
                                                               bool include_geometric, const Eigen::VectorXd& f_ext,
                                                               const MemberEndForceMap* end_forces = nullptr) const;
  // Local end forces (N, Vy, Vz, Mx, My, Mz at each end) of the members whose hinges carry
  // curves: the member recovered with its end releases at the hinge stiffnesses of
  // `state.current`, less the fixed-end forces of its loads at `state.load_factor`; at a
  // released or spring DOF this is the force in the hinge spring.
  MemberEndForceMap extract_member_hinge_forces(const Eigen::VectorXd& u, const HingeForceState& state = {}) const;

  // ---- first-order entry points of the second-order solve (first_order.cpp,
  //      cached_combinations.cpp) ----
  // The first-order strategies themselves are free functions and objects on the record:
  // first_order.h (the active-set solve, load cases, batched solves) and
  // cached_combinations.h (the cached combination system, the combination re-solve and its
  // predictor). These two calls are the forms the second-order driver uses.

  // `solve_first_order_active_set` on this model.
  Expected<FirstOrderSolveOutput> solve_first_order_common(const Eigen::VectorXd& f, Eigen::VectorXd u_start,
                                                           ActiveMap active_start, bool reactivation_in_loop,
                                                           FirstOrderLoopStats* stats = nullptr,
                                                           const ResultType* loading = nullptr,
                                                           SupportState released_start = {},
                                                           const CachedFirstOrderSystem* shared = nullptr,
                                                           SwitchBasis::StateInverse::Forward forward = {}) const;
  // `combination_displacement_predictor` on this model.
  std::optional<Eigen::VectorXd> build_combination_displacement_predictor(std::uint32_t combination_id) const;

  // ---- second-order analysis (second_order/) ----
  // Geometrically nonlinear solves: load steps, Newton passes with line search, damping and
  // substepping, the tie/strut active set inside the iterations, the co-rotational phase.
  // Everything in SI on the model record the solve owns.

  // Internal forces at u: Σ condense(K_e + K_G(u))·u_e over the members (K_G only with
  // `include_geometric`, undeformed geometry for the axial forces) plus the support springs
  // k·u, the springs' curves read at `support_forces`, beam hinge curves at `end_forces`
  // (nullptr: first curve point). The same matrices the tangent is built from.
  Expected<Eigen::VectorXd> compute_internal_force_vector_with_forces(const Eigen::VectorXd& u,
                                                                      const ActiveMap& active,
                                                                      bool include_geometric,
                                                                      const SupportNodeForceMap& support_forces,
                                                                      const MemberEndForceMap* end_forces = nullptr) const;
  // The same state kept in two parts: the members' share and the total with the springs.
  Expected<InternalForces> compute_internal_forces(const Eigen::VectorXd& u, const ActiveMap& active,
                                                   bool include_geometric, const SupportNodeForceMap& support_forces,
                                                   const MemberEndForceMap* end_forces = nullptr) const;
  // Fills "pdelta_suppress_axes" from the layers of the geometry when the in-plane-only P-delta
  // mode is chosen and no axes are given. Never fails.
  void apply_pdelta_mode();
  // Linear solves of the full load iterated with the tie/strut active set until it settles,
  // with the one-sided supports as `released` leaves them.
  Expected<FirstOrderSolveOutput> first_order_predictor_state(const Eigen::VectorXd& f,
                                                              const SupportState& released = {}) const;
  // Entry points of the second-order solve of one load case or combination: store the result
  // set (name made unique) and return a copy of it.
  // The iteration limit and the tolerance are the model's (`AnalysisOptions::limits`).
  Expected<Results> solve_for_load_case_second_order(std::uint32_t load_case_id);
  // A combination starts from its predictor, projected onto the supports and rigid links.
  Expected<Results> solve_for_load_combination_second_order(std::uint32_t combination_id);
  Expected<Results> solve_second_order_common(const Eigen::VectorXd& f, std::string name, bool is_combination,
                                              std::uint32_t id, std::optional<Eigen::VectorXd> predictor,
                                              std::optional<ActiveMap> initial_active);

  // Co-rotational internal forces and tangent at u (members split into a rigid motion of the
  // chord and natural deformations in the co-rotated frame), support springs included. The
  // rotations of u are rotation vectors; the tangent is the derivative with respect to the
  // translations, the spins of the node rotations (R ← exp([δw]×)·R) and the warping, exact or
  // its symmetric part.
  Expected<Eigen::VectorXd> assemble_corotational_internal_forces(const Eigen::VectorXd& u, const ActiveMap& active,
                                                                  const SupportNodeForceMap& support_forces) const;
  // The same, with a state that some member cannot describe (its chord collapsed to a point, its
  // ends bent through a right angle) given as none and the first such member's message in
  // `inadmissible`: the trial state of a Newton step that went too far, not an error.
  Expected<std::optional<Eigen::VectorXd>> assemble_corotational_internal_forces_if_admissible(
      const Eigen::VectorXd& u, const ActiveMap& active, const SupportNodeForceMap& support_forces,
      std::string* inadmissible = nullptr) const;
  Expected<SparseMatrix> assemble_corotational_tangent_stiffness_sparse(
      const Eigen::VectorXd& u, const ActiveMap& active, const SupportNodeForceMap& support_forces,
      CorotationalTangentForm form = CorotationalTangentForm::Exact) const;
  // Work-equivalent nodal loads of a load case's distributed loads on the undeformed
  // geometry (zeros for a combination or a case without them), and the same loads on the
  // chords of the members moved by the translations of u; equal to the last bit at u = 0.
  Expected<Eigen::VectorXd> assemble_equiv_forces_original(bool is_combination, std::uint32_t id) const;
  Expected<Eigen::VectorXd> assemble_equiv_forces_deformed(std::uint32_t load_case_id,
                                                           const Eigen::VectorXd& u) const;

  // ---- geometric stiffness (geometric_stiffness.cpp) ----
  // Initial-stress stiffness of all members at a displacement state (undeformed geometry for
  // the axial forces); released members are condensed jointly with their elastic stiffness,
  // so that elastic plus geometric stiffness sum to each member's condense(K + K_G). The
  // failure of the lowest member index is the one reported.
  Expected<SparseMatrix> assemble_geometric_stiffness_matrix_sparse(const Eigen::VectorXd& displacement,
                                                                    const ActiveMap& active) const;
  // Zeroes rows and columns a and a + 7 of a global element matrix for the axes "X", "Y",
  // "Z" (any case) of the list; other entries are ignored.
  static void suppress_kg_axes(const std::vector<std::string>& axes, Mat14& k);
};

// The key a set named `name` is filed under in a map of result sets: the name itself when it is
// free, else "{name} ({n})" with the smallest free n >= 2 (logged as a warning). Earlier sets
// are never replaced.
std::string unique_result_key(const std::map<std::string, Results>& target, const std::string& name,
                              bool is_combination);

// Converts one result set from SI to the units the factors describe, in place (the same rule
// as `VARN::denormalize_results`), so that a caller can convert only the sets it computed.
void denormalize_results(Results& results, const UnitFactors& factors);

}  // namespace varn

template <>
struct varn::json::RecordMeta<varn::VARN> {
  static constexpr std::string_view name = "VARN";
  static const auto& fields() {
    using varn::VARN;
    static const auto f = std::make_tuple(
        json::required("member_sets", &VARN::member_sets), json::required("load_cases", &VARN::load_cases),
        json::required("load_combinations", &VARN::load_combinations),
        json::required("imperfection_cases", &VARN::imperfection_cases), json::required("settings", &VARN::settings),
        json::optional("results", &VARN::results), json::optional("memberhinges", &VARN::memberhinges),
        json::required("materials", &VARN::materials), json::required("sections", &VARN::sections),
        json::required("nodal_supports", &VARN::nodal_supports), json::optional("shape_paths", &VARN::shape_paths));
    return f;
  }
};
