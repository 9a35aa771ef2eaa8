#include "models/settings/unitenums.h"

namespace varn {

double to_m(LengthUnit u) {
  switch (u) {
    case LengthUnit::Mm: return 0.001;
    case LengthUnit::Cm: return 0.01;
    case LengthUnit::M: return 1.0;
  }
  return 1.0;
}

double to_n(ForceUnit u) {
  switch (u) {
    case ForceUnit::N: return 1.0;
    case ForceUnit::KN: return 1000.0;
  }
  return 1.0;
}

double to_kg_per_m3(DensityUnit u) {
  switch (u) {
    case DensityUnit::KgPerM3: return 1.0;
    case DensityUnit::KgPerMm3: return 1e9;
  }
  return 1.0;
}

double to_pa(PressureUnit u) {
  switch (u) {
    case PressureUnit::Pa: return 1.0;
    case PressureUnit::KPa: return 1e3;
    case PressureUnit::MPa: return 1e6;
    case PressureUnit::GPa: return 1e9;
  }
  return 1.0;
}

}  // namespace varn
