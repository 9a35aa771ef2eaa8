#pragma once
// The resisting forces of the P-delta solve at a displacement state, kept in two parts: what
// the members take, and the total with the support springs' k·u. The members' part is what a
// support spring curve needs: at equilibrium the load at a node less the members' share is
// exactly the force the support carries.
#include <Eigen/Core>

namespace varn {

struct InternalForces {
  Eigen::VectorXd members;  // Σ over members of condense(K_e + K_G(u))·u_e
  Eigen::VectorXd total;    // members plus k·u at every support spring DOF
};

}  // namespace varn
