#pragma once
// Checks of the model as a whole, made once before anything is solved: mistakes that the
// reader cannot see record by record and that would otherwise change the structure without a
// word (a record dropped for another with its id, a reference to nothing taken as "rigid" or
// "unsupported", one node in two places, a negative stiffness).
#include "expected.h"
#include "models/varn/varn.h"

namespace varn {

// The first mistake found, in this order: repeated ids; references to records that do not
// exist; a node id given two positions or two supports; negative section and material values
// and a zero modulus or area on a member that needs it; result sets carried in the input that
// name nodes or members the model lacks; a second-order tolerance outside (0, 0.01]. Values
// are checked as given, before unit conversion.
Expected<void> validate_model(const VARN& model);

}  // namespace varn
