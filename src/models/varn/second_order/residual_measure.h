#pragma once
// How far a second-order state is from equilibrium, one global direction at a time. The axial
// loads of a frame are often a thousand times its lateral loads; measured against the whole
// load vector, a residual of the whole lateral load (the P-delta shear a first-order state
// leaves unbalanced) would pass as a per-mille error. Each direction's unbalanced force is
// therefore judged against the loads and the reactions of that same direction.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "functions/sparse.h"

namespace varn {
struct VARN;
}

namespace varn::second_order {

// The unbalanced share of a direction's forces a reported second-order state may keep, in
// multiples of the tolerance: the residual test of the iterations asks for one tolerance, and a
// pass that ends on a small step (or a phase on its last iteration) may leave a few times it.
inline constexpr double kStateToleranceMultiple = 10.0;

// The directions the entries of a vector belong to (0..6: ux, uy, uz, rx, ry, rz, warp), which
// of them a support (or a held zero-energy DOF) holds, and the model's size that turns moments
// and bimoments into forces for the floor below.
class ResidualMeasure {
 public:
  // Global DOFs: entry i has direction i mod 7; `held` lists the held DOFs.
  static ResidualMeasure global(std::size_t n, const std::vector<std::size_t>& held, double length);
  // Any numbering (reduced DOFs): the direction and the held flag of every entry.
  ResidualMeasure(std::vector<std::uint8_t> direction, std::vector<char> held, double length);

  // The structure's operator (global), whose |K|·|u| bounds the round-off of an internal-force
  // vector at u; with `reduction` (the elimination C, n × n_r) the measured vectors are the
  // reduced ones and the bound is reduced by |C|ᵀ. Without it nothing is taken for round-off.
  void set_round_off(const SparseMatrix& k, const SparseMatrix* reduction = nullptr);

  // r_free is the unbalanced force f_int − f_ext at the free entries (zero at the held ones),
  // `reactions` holds it at the held entries, u is the global displacement it belongs to (for
  // the round-off bound; ignored without one). The largest over the directions of |r_free| of
  // that direction, less the bound of what round-off can leave there, relative to |f_ext| +
  // |reactions| of that direction (Euclidean norms). A direction that carries almost nothing of
  // its own is judged against a small share of the largest one (moments over the model's
  // size, bimoments over its square). Zero when r vanishes; infinite when r is not finite.
  double relative(const Eigen::VectorXd& r_free, const Eigen::VectorXd& reactions, const Eigen::VectorXd& f_ext,
                  const Eigen::VectorXd* u = nullptr) const;
  // The same for a vector r that holds both (its free entries the residual, its held ones the
  // reactions).
  double relative(const Eigen::VectorXd& r, const Eigen::VectorXd& f_ext, const Eigen::VectorXd* u = nullptr) const;

  // The figures of each direction: the residual and its round-off bound eps·(|K||u| + |f|),
  // each relative to the direction's scale (|f_ext| + |reactions|, or the share of the
  // largest direction that stands in for it).
  struct ByDirection {
    std::array<double, 7> relative{};
    std::array<double, 7> round_off{};
    std::array<double, 7> scale{};
  };
  ByDirection by_direction(const Eigen::VectorXd& r_free, const Eigen::VectorXd& reactions,
                           const Eigen::VectorXd& f_ext, const Eigen::VectorXd* u = nullptr) const;

  const std::vector<char>& held() const { return held_; }

 private:
  Eigen::VectorXd round_off_bound(const Eigen::VectorXd& u, const Eigen::VectorXd& f_ext) const;

  std::vector<std::uint8_t> direction_;
  std::vector<char> held_;
  double length_ = 1.0;
  SparseMatrix abs_k_;                  // |K|, global; empty without a round-off bound
  SparseMatrix abs_reduction_t_;        // |C|ᵀ on the rigid path, else empty
  bool round_off_ = false;
  bool reduced_ = false;
};

// The model's size: the diagonal of the box around the nodes of its members (1 when it has
// none or they coincide).
double model_extent(const VARN& model);

}  // namespace varn::second_order
