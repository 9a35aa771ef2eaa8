"""Equilibrium of reactions and loads, the check every model test can make on an output.

The forces the supports exert on the nodes (the reported reactions, with a spring axis's k·u
turned), together with every load the set applies (nodal forces and moments, trapezoidal line
loads on members, each case with its combination factor), must have a zero resultant force and
a zero resultant moment about the global origin. A second-order
set balances on the deformed structure: its loads and reactions act at the displaced nodes. The load
resultants are formed here in closed form from the load records of the model (a trapezoid's
area and first moment), independently of the engine. Everything is in the model's own units;
positions come from the model's node coordinates (the reactions' "location" is in metres).
"""
import math


def _add(a, b, s=1.0):
    return [a[0] + s * b[0], a[1] + s * b[1], a[2] + s * b[2]]


def _cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def _norm(a):
    return math.sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2])


class Wrench:
    """A force, its moment about the origin, and the magnitudes that went into them."""

    def __init__(self):
        self.force = [0.0, 0.0, 0.0]
        self.moment = [0.0, 0.0, 0.0]
        self.force_scale = 0.0
        self.moment_scale = 0.0

    def add(self, point, force, moment=(0.0, 0.0, 0.0)):
        arm = _cross(point, force)
        self.force = _add(self.force, force)
        self.moment = _add(_add(self.moment, arm), moment)
        self.force_scale += _norm(force)
        self.moment_scale += _norm(arm) + _norm(moment)


def _members(model):
    return {m["id"]: m for s in model["member_sets"] for m in s["members"]}


def _positions(model, results=None):
    """Node positions, moved by the translations of `results` when given."""
    pos = {}
    for m in _members(model).values():
        for end in ("start_node", "end_node"):
            n = m[end]
            pos.setdefault(n["id"], [n["X"], n["Y"], n["Z"]])
    if results is not None:
        for node_id, d in results["displacement_nodes"].items():
            p = pos.get(int(node_id))
            if p is not None:
                pos[int(node_id)] = [p[0] + d["dx"], p[1] + d["dy"], p[2] + d["dz"]]
    return pos


def factored_cases(model, result_type):
    """(load case, factor) pairs of a result set, in the order they apply."""
    cases = {}
    for lc in model["load_cases"]:
        cases.setdefault(lc["id"], lc)
    if "Loadcase" in result_type:
        lc = cases.get(result_type["Loadcase"])
        return [(lc, 1.0)] if lc else []
    for combo in model["load_combinations"]:
        if combo["id"] == result_type["Loadcombination"]:
            return [(cases[int(k)], f) for k, f in combo["load_cases_factors"].items() if int(k) in cases]
    return []


def _add_line_load(w, member, load, factor, pos):
    s, e = load["start_frac"], load["end_frac"]
    if abs(e - s) < 1e-14:
        return
    a = pos[member["start_node"]["id"]]
    b = pos[member["end_node"]["id"]]
    ab = _add(b, a, -1.0)
    # The intensity is per unit of the member's own (undeformed) length.
    length = _norm(_add([member["end_node"][k] for k in "XYZ"], [member["start_node"][k] for k in "XYZ"], -1.0))
    q_s, q_e = factor * load["magnitude"], factor * load["end_magnitude"]
    area = (e - s) * (q_s + q_e) / 2.0
    first = (e - s) * (q_s * (2.0 * s + e) + q_e * (s + 2.0 * e)) / 6.0
    d = load["direction"]
    force = [length * area * d[k] for k in range(3)]
    # The resultant acts at a + (first/area)(b - a): the force at a plus the moment of the offset,
    # which stays finite for a self-balanced trapezoid.
    offset_moment = _cross([ab[k] * length * first for k in range(3)], d)
    w.add(a, force, offset_moment)


def applied_load_resultant(model, result_type, pos=None):
    w = Wrench()
    pos = _positions(model) if pos is None else pos
    members = _members(model)
    for lc, factor in factored_cases(model, result_type):
        for load in lc["nodal_loads"]:
            w.add(pos[load["node"]], [factor * load["magnitude"] * d for d in load["direction"]])
        for moment in lc["nodal_moments"]:
            w.add(pos[moment["node"]], [0.0, 0.0, 0.0], [factor * moment["magnitude"] * d for d in moment["direction"]])
        for load in lc["distributed_loads"]:
            if load["load_case"] == lc["id"] and load["member"] in members:
                _add_line_load(w, members[load["member"]], load, factor, pos)
    return w


def _condition(conditions, axis):
    return conditions.get(axis, conditions.get(axis.lower()))


def reports_spring_force(condition):
    """A spring axis (or one with a stiffness curve) reports k·u, the force on the spring: the
    support exerts the opposite on the node."""
    return condition is not None and (condition["condition_type"] in ("Spring", "StiffnessCurve")
                                      or condition.get("stiffness_curve") is not None)


def support_forces_on_node(model, reaction):
    """The force and moment the support exerts on the node, from a reported reaction record:
    the components of its spring axes turned."""
    supports = {s["id"]: s for s in model["nodal_supports"]}
    support = supports.get(reaction["support_id"])
    f = reaction["nodal_forces"]
    force = [f["fx"], f["fy"], f["fz"]]
    moment = [f["mx"], f["my"], f["mz"]]
    if support is not None:
        for k, axis in enumerate("XYZ"):
            if reports_spring_force(_condition(support["displacement_conditions"], axis)):
                force[k] = -force[k]
            if reports_spring_force(_condition(support["rotation_conditions"], axis)):
                moment[k] = -moment[k]
    return force, moment


def reaction_resultant(model, results, pos=None):
    w = Wrench()
    pos = _positions(model) if pos is None else pos
    for node_id, r in results["reaction_nodes"].items():
        force, moment = support_forces_on_node(model, r)
        w.add(pos[int(node_id)], force, moment)
    return w


def linearisation_tolerance(model, results):
    """What the linearised kinematics of a P-delta set leave out of its balance (moments such as
    P·δ·θ, or a load times an axial shortening), relative to the moment scale: the largest
    translation over the structure's extent."""
    extent = max((_norm(p) for p in _positions(model).values()), default=0.0)
    largest = max((_norm([d["dx"], d["dy"], d["dz"]]) for d in results["displacement_nodes"].values()),
                  default=0.0)
    return largest / extent if extent > 0.0 else 0.0


def assert_reactions_balance_loads(model, results, rel_tol=1e-9, deformed=False):
    """Reactions + applied loads = 0 (forces, and moments about the origin), to rel_tol of the
    sum of the magnitudes involved (for moments, with the forces times the structure's extent).
    With `deformed`, loads and reactions act at the displaced nodes (a second-order set)."""
    pos = _positions(model, results if deformed else None)
    a = reaction_resultant(model, results, pos)
    b = applied_load_resultant(model, results["result_type"], pos)
    f = _norm(_add(a.force, b.force))
    m = _norm(_add(a.moment, b.moment))
    # One scale for forces and moments, which vanishes only when nothing is loaded: forces plus
    # moments over the size of the structure. Round-off in a moment grows with force times that
    # size, also where every force happens to pass through the origin (radial reactions give no
    # moment scale at all); and a set of moments alone has reaction forces that are round-off
    # of the moments over the size.
    extent = max((_norm(p) for p in _positions(model).values()), default=0.0)
    moment_scale = a.moment_scale + b.moment_scale
    f_tol = rel_tol * (a.force_scale + b.force_scale + (moment_scale / extent if extent > 0.0 else 0.0))
    m_tol = rel_tol * (moment_scale + extent * (a.force_scale + b.force_scale))
    assert f <= f_tol and m <= m_tol, (
        f"{results['name']}: reactions and loads out of balance: force residual {f} > {f_tol} "
        f"or moment residual {m} > {m_tol}"
    )
