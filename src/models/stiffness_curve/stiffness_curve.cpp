#include "models/stiffness_curve/stiffness_curve.h"

#include <charconv>
#include <cmath>

#include "fatal.h"

namespace varn {

std::size_t index(ForceComponent c) {
  switch (c) {
    case ForceComponent::N:
    case ForceComponent::Fx: return 0;
    case ForceComponent::Vy:
    case ForceComponent::Fy: return 1;
    case ForceComponent::Vz:
    case ForceComponent::Fz: return 2;
    case ForceComponent::Mx: return 3;
    case ForceComponent::My: return 4;
    case ForceComponent::Mz: return 5;
  }
  return 2;
}

bool is_force(ForceComponent c) {
  return !(c == ForceComponent::Mx || c == ForceComponent::My || c == ForceComponent::Mz);
}

std::string_view to_string(ForceComponent c) {
  for (const auto& v : json::EnumMeta<ForceComponent>::values())
    if (v.value == c) return v.written;
  return "Vz";
}

namespace {

// Plain decimal with the shortest digits that read back: no exponent, and no fraction part
// for integral values (-5, 0.001, 250000).
std::string plain(double v) {
  if (std::isnan(v)) return "NaN";
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

std::string prefix(std::string_view context, std::string_view label) {
  std::string s(context);
  s += ' ';
  s += label;
  s += " StiffnessCurve ";
  return s;
}

}  // namespace

Expected<void> validate_stiffness_curve(const std::vector<CurvePoint>& points, std::string_view context,
                                        std::string_view label) {
  if (points.size() < 2) {
    return fail(prefix(context, label) + "must have at least 2 points (got " + std::to_string(points.size()) + ").");
  }
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (points[i].stiffness <= 0.0) {
      return fail(prefix(context, label) + "point " + std::to_string(i) + " has non-positive stiffness (" +
                  plain(points[i].stiffness) + ").");
    }
  }
  for (std::size_t i = 1; i < points.size(); ++i) {
    if (points[i].value < points[i - 1].value) {
      return fail(prefix(context, label) + "points must be sorted ascending (point " + std::to_string(i) +
                  " value=" + plain(points[i].value) + " < point " + std::to_string(i - 1) +
                  " value=" + plain(points[i - 1].value) + ").");
    }
  }
  return {};
}

double interpolate_stiffness_curve(const std::vector<CurvePoint>& points, double x) {
  if (points.empty()) fatal("stiffness curve has no points: no stiffness can be taken from it");
  const CurvePoint& first = points.front();
  const CurvePoint& last = points.back();
  // Flat beyond both ends: a spring never stiffens or softens past the measured range.
  if (x <= first.value) return first.stiffness;
  if (x >= last.value) return last.stiffness;
  for (std::size_t i = 0; i + 1 < points.size(); ++i) {
    const CurvePoint& a = points[i];
    const CurvePoint& b = points[i + 1];
    if (a.value <= x && x <= b.value) return a.stiffness + (x - a.value) / (b.value - a.value) * (b.stiffness - a.stiffness);
  }
  // Only unsorted points (or a NaN force) leave x unbracketed.
  return last.stiffness;
}

Expected<void> StiffnessCurveConfig::validate(std::string_view context, std::string_view label) const {
  return validate_stiffness_curve(points, context, label);
}

double StiffnessCurveConfig::interpolate(double x) const { return interpolate_stiffness_curve(points, x); }

void StiffnessCurveConfig::normalize(double force_factor, double moment_factor, double stiffness_factor) {
  const double value_factor = is_force(depends_on) ? force_factor : moment_factor;
  for (auto& p : points) {
    p.value *= value_factor;
    p.stiffness *= stiffness_factor;
  }
}

}  // namespace varn

namespace varn::json {

namespace {

// The curve is interpreted from a value that has been read in full, so every message is
// reported at the position just after the curve.
[[noreturn]] void invalid_type(const Reader& r, const Value& found, std::string_view expected) {
  r.fail("invalid type: " + found.describe() + ", expected " + std::string(expected));
}

double point_number(const Reader& r, const Value& v) {
  if (!v.is_number()) invalid_type(r, v, "f64");
  return v.as_number().as_double();
}

std::vector<CurvePoint> read_points(const Reader& r, const Value& v) {
  if (!v.is_array()) invalid_type(r, v, "a sequence");
  std::vector<CurvePoint> points;
  points.reserve(v.as_array().size());
  for (const Value& item : v.as_array()) {
    if (!item.is_array()) invalid_type(r, item, "an array of length 2");
    const auto& pair = item.as_array();
    CurvePoint p;
    if (pair.size() < 1) r.fail("invalid length 0, expected an array of length 2");
    p.value = point_number(r, pair[0]);
    if (pair.size() < 2) r.fail("invalid length 1, expected an array of length 2");
    p.stiffness = point_number(r, pair[1]);
    if (pair.size() > 2) r.fail("invalid length " + std::to_string(pair.size()) + ", expected fewer elements in array");
    points.push_back(p);
  }
  return points;
}

ForceComponent match_component(const Reader& r, const std::string& text) {
  const auto& table = EnumMeta<ForceComponent>::values();
  for (const auto& v : table)
    for (std::string_view s : v.accepted)
      if (s == text) return v.value;
  std::string msg = "unknown variant `";
  msg += text;
  msg += "`, expected one of ";
  bool first = true;
  for (const auto& v : table) {
    for (std::string_view s : v.accepted) {
      if (!first) msg += ", ";
      first = false;
      msg += '`';
      msg += s;
      msg += '`';
    }
  }
  r.fail(std::move(msg));
}

ForceComponent read_component(const Reader& r, const Value& v) {
  if (v.is_string()) return match_component(r, v.as_string());
  if (!v.is_object()) invalid_type(r, v, "string or map");
  const auto& obj = v.as_object();
  if (obj.size() != 1) r.fail("invalid value: map, expected map with a single key");
  ForceComponent c = match_component(r, obj.front().first);
  if (!obj.front().second.is_null()) invalid_type(r, obj.front().second, "unit");
  return c;
}

}  // namespace

void Codec<StiffnessCurveConfig>::read(Reader& r, StiffnessCurveConfig& out) {
  Value v;
  read_value(r, v);
  StiffnessCurveConfig curve;
  if (v.is_array()) {
    // The bare list of points: measured in the shear force Vz.
    curve.points = read_points(r, v);
    curve.depends_on = ForceComponent::Vz;
  } else {
    if (!v.is_object()) invalid_type(r, v, expected);
    // Keys in ascending order, as the generic value hands them to the record; repeated keys
    // have already collapsed onto their last value.
    const Value* depends_on = v.find("depends_on");
    const Value* points = v.find("points");
    if (depends_on) curve.depends_on = read_component(r, *depends_on);
    if (points) curve.points = read_points(r, *points);
    if (!depends_on) r.fail("missing field `depends_on`");
    if (!points) r.fail("missing field `points`");
  }
  out = std::move(curve);
}

void Codec<StiffnessCurveConfig>::write(std::string& out, const StiffnessCurveConfig& c) {
  out += "{\"depends_on\":";
  write_from(out, c.depends_on);
  out += ",\"points\":[";
  for (std::size_t i = 0; i < c.points.size(); ++i) {
    if (i) out += ',';
    out += '[';
    write_f64(out, c.points[i].value);
    out += ',';
    write_f64(out, c.points[i].stiffness);
    out += ']';
  }
  out += "]}";
}

}  // namespace varn::json
