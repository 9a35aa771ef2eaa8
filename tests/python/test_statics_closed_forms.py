"""Statics of small models against closed forms through the module: the work-equivalent end
forces of axial member loads, a truss hanging from a cantilever whose stabilising stiffness must
stay inside the structure, a warping spring in millimetres and in metres, and loads at the ends
of the floating-point range (a subnormal load is an ordinary load; an overflowing one is an
error that names where the results stop being numbers)."""
import json
import math

import pytest

import varn_calculations as vc
from conftest import dumps, load_example, node

E = 2.1e11  # Pa
G = 8.1e10  # Pa
AREA = 5.383e-3  # m²
FIXED_ALL = 1
FIXED_WARPING_SPRING = 2


def section(section_id, area=AREA, i_w=1.08e-7):
    return {"id": section_id, "name": f"S{section_id}", "material": 1, "h": 0.19, "b": 0.2, "i_y": 3.692e-5,
            "i_z": 1.336e-5, "j": 2.1e-7, "area": area, "i_w": i_w}


def fixed(condition="Fixed"):
    return {"condition_type": condition}


def support(support_id, warping=None):
    s = {"id": support_id, "classification": "Support",
         "displacement_conditions": {a: fixed() for a in "XYZ"},
         "rotation_conditions": {a: fixed() for a in "XYZ"}}
    if warping is not None:
        s["warping_condition"] = warping
    return s


def member(member_id, start, end, member_type="Normal", section_id=1):
    return {"id": member_id, "start_node": start, "end_node": end, "section": section_id, "rotation_angle": 0.0,
            "classification": "Beam", "weight": 0.0, "member_type": member_type}


def model_with(members, supports, load_case, sections=None, combinations=None):
    """An SI model (m, N, Pa) with the given members, supports and one load case (id 1)."""
    model = load_example()
    model["settings"]["unit_settings"] = {"lengthUnit": "m", "forceUnit": "N", "densityUnit": "kg/m3",
                                          "pressureUnit": "Pa"}
    model["materials"] = [{"id": 1, "name": "Steel", "e_mod": E, "g_mod": G, "density": 7850.0,
                           "yield_stress": 3.55e8}]
    model["sections"] = sections or [section(1)]
    model["nodal_supports"] = supports
    model["member_sets"] = [{"id": 1, "members": members}]
    case = {"id": 1, "name": "LC", "nodal_loads": [], "nodal_moments": [], "distributed_loads": [],
            "rotation_imperfections": [], "translation_imperfections": []}
    case.update(load_case)
    model["load_cases"] = [case]
    model["load_combinations"] = combinations or []
    model["settings"]["analysis_options"]["solve_loadcases"] = True
    return model


def run(model):
    return json.loads(vc.calculate_from_json(dumps(model)))


def line_load(member_id, direction, q_start, q_end):
    return {"member": member_id, "load_case": 1, "magnitude": q_start, "direction": direction, "start_frac": 0.0,
            "end_frac": 1.0, "end_magnitude": q_end}


def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


# A member from the origin along AXIS (unit vector), length 3 m.
AXIS = [1.0 / 3.0, 2.0 / 3.0, 2.0 / 3.0]
ACROSS = [2.0 / 3.0, 1.0 / 3.0, -2.0 / 3.0]  # perpendicular to AXIS
LENGTH = 3.0
Q = 1200.0  # N/m


def end_node(node_id, support_id=None):
    return node(node_id, LENGTH * AXIS[0], LENGTH * AXIS[1], LENGTH * AXIS[2], support=support_id)


# Load rising from 0 to q (or falling from q to 0) on a member held at both ends: the share of
# each end. Along the member the axial element's linear weights (qL/6, qL/3); across it the
# cubic bending weights (3qL/20, 7qL/20).
FIXED_BAR_CASES = [
    ("axial rising", AXIS, 0.0, Q, 1.0 / 6.0, 1.0 / 3.0),
    ("axial falling", AXIS, Q, 0.0, 1.0 / 3.0, 1.0 / 6.0),
    ("transverse rising", ACROSS, 0.0, Q, 3.0 / 20.0, 7.0 / 20.0),
]


@pytest.mark.parametrize("name,direction,q_start,q_end,start_share,end_share", FIXED_BAR_CASES,
                         ids=[c[0] for c in FIXED_BAR_CASES])
def test_member_held_at_both_ends_takes_the_consistent_share_of_a_linear_load(name, direction, q_start, q_end,
                                                                              start_share, end_share):
    m = member(1, node(1, 0.0, support=FIXED_ALL), end_node(2, FIXED_ALL))
    model = model_with([m], [support(FIXED_ALL)], {"distributed_loads": [line_load(1, direction, q_start, q_end)]})
    r = run(model)["results"]["loadcases"]["LC"]
    reactions = r["reaction_nodes"]
    # Both ends are held by the penalty (1e10 times the stiffest diagonal): the nodes still move
    # by about 1e-10 of what the load would do to a free end, so the shares hold to 1e-9.
    for node_id, share in (("1", start_share), ("2", end_share)):
        f = reactions[node_id]["nodal_forces"]
        along = dot([f["fx"], f["fy"], f["fz"]], direction)
        assert along == pytest.approx(-share * Q * LENGTH, rel=1e-9), name
    # The member's own end forces carry the same shares.
    forces = r["member_results"]["1"]
    start = forces["start_node_forces"]
    end = forces["end_node_forces"]
    assert dot([start["fx"], start["fy"], start["fz"]], direction) == pytest.approx(-start_share * Q * LENGTH,
                                                                                   rel=1e-9)
    assert dot([end["fx"], end["fy"], end["fz"]], direction) == pytest.approx(-end_share * Q * LENGTH, rel=1e-9)


# Axial load on a cantilever: the tip moves by ∫N dx / EA, with N(x) the load beyond x:
# qL²/3EA for a load rising from 0 at the support to q at the tip, qL²/6EA for the reverse.
@pytest.mark.parametrize("q_start,q_end,factor", [(0.0, Q, 1.0 / 3.0), (Q, 0.0, 1.0 / 6.0)])
@pytest.mark.parametrize("pieces", [1, 3])
def test_cantilever_tip_under_linear_axial_load(q_start, q_end, factor, pieces):
    nodes = [node(i + 1, *(LENGTH * i / pieces * a for a in AXIS), support=FIXED_ALL if i == 0 else None)
             for i in range(pieces + 1)]
    members = [member(i + 1, nodes[i], nodes[i + 1]) for i in range(pieces)]
    # The intensity of each piece follows the one straight line over the whole cantilever.
    loads = [line_load(i + 1, AXIS, q_start + (q_end - q_start) * i / pieces,
                       q_start + (q_end - q_start) * (i + 1) / pieces) for i in range(pieces)]
    model = model_with(members, [support(FIXED_ALL)], {"distributed_loads": loads})
    d = run(model)["results"]["loadcases"]["LC"]["displacement_nodes"][str(pieces + 1)]
    tip = dot([d["dx"], d["dy"], d["dz"]], AXIS)
    # Linear elements reproduce the nodal displacements of a bar exactly under consistent loads;
    # what remains is the penalty's 1e-10 at the support and round-off.
    assert tip == pytest.approx(factor * Q * LENGTH ** 2 / (E * AREA), rel=1e-8)


def test_truss_hanging_from_a_cantilever_tip_passes_the_whole_load_to_the_support():
    # A cantilever along X with a stiff truss hanging below its tip, whose lower end nothing else
    # holds. A horizontal tip load bends the cantilever; the truss swings along as a pendulum and
    # carries nothing, so the clamped base takes all of the load.
    tip = node(2, 2.0)
    beam = member(1, node(1, 0.0, support=FIXED_ALL), tip)
    hanger = member(2, tip, node(3, 2.0, 0.0, -1.5), member_type="Truss", section_id=2)
    p = 1000.0
    model = model_with([beam, hanger], [support(FIXED_ALL)],
                       {"nodal_loads": [{"id": 1, "node": 2, "load_case": 1, "magnitude": p,
                                         "direction": [0.0, 1.0, 0.0], "load_type": "Dead"}]},
                       sections=[section(1), section(2, area=1.0)])
    r = run(model)["results"]["loadcases"]["LC"]
    f = r["reaction_nodes"]["1"]["nodal_forces"]
    # The base reaction is the load to the solve's round-off (the stiffness contrast of 1e10
    # between the penalty and the cantilever leaves about 1e-10 of it).
    assert abs(f["fy"] + p) <= 1e-9 * p
    assert abs(f["fx"]) <= 1e-9 * p and abs(f["fz"]) <= 1e-9 * p
    hanger_start = r["member_results"]["2"]["start_node_forces"]
    assert math.hypot(hanger_start["fx"], hanger_start["fy"], hanger_start["fz"]) <= 1e-9 * p


# Two bars in a line along X, both far ends held, loaded at the joint: bar 1 has an end hinge at
# the joint whose axial spring acts in series with it (k·k_s/(k + k_s)), or which leaves the
# axis free (no force at all). The joint moves by P/(k₁ + k₂); each bar carries its stiffness
# times that, and the held ends take the rest of the load. The joint slides along X only: free
# across, it would be held by the bars' string stiffness alone, (N₁ − |N₂|)/L, which the
# compressed bar makes negative in second order. A straight bar loaded along its axis has no
# second-order effect: P-delta and co-rotational give the same.
SERIES_CASES = [
    ("truss with an axial spring", "Truss", 2.0e8),
    ("tie with an axial spring", "Tension", 2.0e8),
    ("truss with a free axis", "Truss", 0.0),
    ("tie with a free axis", "Tension", 0.0),
]


@pytest.mark.parametrize("method", [None, "PDelta", "Corotational"])
@pytest.mark.parametrize("name,member_type,k_s", SERIES_CASES, ids=[c[0] for c in SERIES_CASES])
def test_bar_with_an_axial_end_hinge_acts_in_series_with_it(name, member_type, k_s, method):
    length, p, slider = 2.0, 5.0e4, 2
    joint = node(2, length, support=slider)
    hinged = member(1, node(1, 0.0, support=FIXED_ALL), joint, member_type=member_type)
    hinged["end_hinge"] = 1
    plain = member(2, joint, node(3, 2.0 * length, support=FIXED_ALL), member_type="Truss")
    sliding = support(slider)
    sliding["displacement_conditions"]["X"] = {"condition_type": "Free"}
    model = model_with([hinged, plain], [support(FIXED_ALL), sliding],
                       {"nodal_loads": [{"id": 1, "node": 2, "load_case": 1, "magnitude": p,
                                         "direction": [1.0, 0.0, 0.0], "load_type": "Dead"}]})
    model["memberhinges"] = [{"id": 1, "hinge_type": "Custom", "translational_release_vx": k_s}]
    if method is not None:
        model["settings"]["analysis_options"]["order"] = "Nonlinear"
        model["settings"]["analysis_options"]["nonlinear_method"] = method
    r = run(model)["results"]["loadcases"]["LC"]
    k = E * AREA / length
    k_1 = k * k_s / (k + k_s)
    u = p / (k_1 + k)
    # The supports' penalty (1e10 of the stiffest diagonal) lets the held ends move by about
    # 1e-10 of the joint: the closed forms hold to 1e-9.
    assert r["displacement_nodes"]["2"]["dx"] == pytest.approx(u, rel=1e-9), name
    reactions = r["reaction_nodes"]
    assert reactions["1"]["nodal_forces"]["fx"] == pytest.approx(-k_1 * u, rel=1e-9, abs=1e-9 * p), name
    assert reactions["3"]["nodal_forces"]["fx"] == pytest.approx(-k * u, rel=1e-9), name
    # The hinged bar pulls on its held end with its own force, tension positive along it.
    hinged_end = r["member_results"]["1"]["end_node_forces"]["fx"]
    assert hinged_end == pytest.approx(k_1 * u, rel=1e-9, abs=1e-9 * p), name


# A cantilever column with a load at its tip, down and across, and an end hinge at the tip
# whose axial spring acts in series with the column. The axis is uncoupled from bending: the
# column carries the load down the axis, spring or not, and that force is the initial stress of
# its P-delta sway. So it sways as the column without the spring does, but for the spring's
# extra shortening, P/k_s over the height L, which P-delta reads in the deformed geometry (a
# few percent of it here).
@pytest.mark.parametrize("k_s", [1.0e9, 2.0e8])
def test_beam_with_an_axial_end_spring_sways_as_without_it_in_p_delta(k_s):
    height, p, h = 3.0, 4.0e5, 1.0e3  # p about a fifth of the column's critical load

    def sway(spring):
        column = member(1, node(1, 0.0, support=FIXED_ALL), {"id": 2, "X": 0.0, "Y": 0.0, "Z": height})
        model = model_with([column], [support(FIXED_ALL)], {"nodal_loads": [
            {"id": 1, "node": 2, "load_case": 1, "magnitude": p, "direction": [0.0, 0.0, -1.0], "load_type": "Dead"},
            {"id": 2, "node": 2, "load_case": 1, "magnitude": h, "direction": [1.0, 0.0, 0.0], "load_type": "Dead"}]})
        if spring is not None:
            column["end_hinge"] = 1
            model["memberhinges"] = [{"id": 1, "hinge_type": "Custom", "translational_release_vx": spring}]
        model["settings"]["analysis_options"].update({"order": "Nonlinear", "nonlinear_method": "PDelta",
                                                      "tolerance": 1e-12})
        r = run(model)["results"]["loadcases"]["LC"]
        return r["displacement_nodes"]["2"], r["reaction_nodes"]["1"]["nodal_forces"]["my"]

    (plain, plain_moment), (sprung, sprung_moment) = sway(None), sway(k_s)
    assert sprung["dz"] - plain["dz"] == pytest.approx(-p / k_s, rel=1e-6)  # the spring's own shortening
    bound = p / (k_s * height)
    assert sprung["dx"] == pytest.approx(plain["dx"], rel=bound)
    assert sprung_moment == pytest.approx(plain_moment, rel=bound)
    assert plain["dx"] > 1.2 * h * height ** 3 / (3.0 * E * 3.692e-5)  # the P-delta amplification is there


def warping_model(length_unit):
    """A cantilever twisted at its tip, its base held except for warping, which a spring restrains;
    in metres, or the same structure given in millimetres."""
    k_w = 1.0e4  # N·m³: bimoment per unit rate of twist, of the order of E·I_w / L
    base = node(1, 0.0, support=FIXED_WARPING_SPRING)
    beam = member(1, base, node(2, 2.0))
    model = model_with([beam], [support(FIXED_WARPING_SPRING, {"condition_type": "Spring", "stiffness": k_w})],
                       {"nodal_moments": [{"id": 1, "node": 2, "load_case": 1, "magnitude": 500.0,
                                           "direction": [1.0, 0.0, 0.0], "load_type": "Dead"}]})
    if length_unit == "m":
        return model
    mm = 1000.0
    model["settings"]["unit_settings"]["lengthUnit"] = "mm"
    model["settings"]["unit_settings"]["pressureUnit"] = "MPa"
    model["materials"][0]["e_mod"] = E / 1e6
    model["materials"][0]["g_mod"] = G / 1e6
    model["materials"][0]["yield_stress"] = 355.0
    for s in model["sections"]:
        for key, power in (("h", 1), ("b", 1), ("area", 2), ("i_y", 4), ("i_z", 4), ("j", 4), ("i_w", 6)):
            s[key] *= mm ** power
    for m in model["member_sets"][0]["members"]:
        for end in ("start_node", "end_node"):
            for axis in "XYZ":
                m[end][axis] *= mm
    model["nodal_supports"][0]["warping_condition"]["stiffness"] = k_w * mm ** 3
    model["load_cases"][0]["nodal_moments"][0]["magnitude"] *= mm
    return model


def test_warping_spring_gives_the_same_results_in_millimetres_and_metres():
    in_m = run(warping_model("m"))["results"]["loadcases"]["LC"]
    in_mm = run(warping_model("mm"))["results"]["loadcases"]["LC"]
    tip_m = in_m["displacement_nodes"]["2"]
    tip_mm = in_mm["displacement_nodes"]["2"]
    assert tip_m["rx"] > 0.0 and tip_m["warp"] != 0.0
    # Unit conversion multiplies by powers of ten: a few ulps of every value.
    assert tip_mm["rx"] == pytest.approx(tip_m["rx"], rel=1e-9)
    # The warping DOF is a rate of twist: per millimetre it is a thousandth of its value per metre.
    assert tip_mm["warp"] == pytest.approx(tip_m["warp"] / 1000.0, rel=1e-9)
    base_m = in_m["reaction_nodes"]["1"]["nodal_forces"]
    base_mm = in_mm["reaction_nodes"]["1"]["nodal_forces"]
    assert base_mm["mx"] == pytest.approx(base_m["mx"] * 1e3, rel=1e-9)
    assert base_mm["bw"] == pytest.approx(base_m["bw"] * 1e6, rel=1e-9)
    # The spring lets the base warp: the same rate of twist in either unit.
    warp_m = in_m["displacement_nodes"]["1"]["warp"]
    assert warp_m != 0.0
    assert in_mm["displacement_nodes"]["1"]["warp"] == pytest.approx(warp_m / 1000.0, rel=1e-9)


def cantilever_with_tip_load(magnitude, combination=False):
    beam = member(1, node(1, 0.0, support=FIXED_ALL), node(2, 2.0))
    model = model_with([beam], [support(FIXED_ALL)],
                       {"nodal_loads": [{"id": 1, "node": 2, "load_case": 1, "magnitude": magnitude,
                                         "direction": [0.0, 0.0, -1.0], "load_type": "Dead"}]})
    if combination:
        model["settings"]["analysis_options"]["solve_loadcases"] = False
        model["load_combinations"] = [{"id": 7, "name": "C", "load_cases_factors": {"1": 1.0}, "check": "ALL",
                                       "limit_state": "ULS"}]
    return model


def test_a_subnormal_load_is_solved_like_any_other():
    tiny = 1e-310
    r = run(cantilever_with_tip_load(tiny))["results"]["loadcases"]["LC"]
    unit = run(cantilever_with_tip_load(1.0))["results"]["loadcases"]["LC"]
    # The reaction is formed from subnormal displacements (of about 1e-316 m), which keep only
    # some 25 significant bits: 1e-6 bounds their relative round-off.
    assert r["reaction_nodes"]["1"]["nodal_forces"]["fz"] == pytest.approx(tiny, rel=1e-6)
    assert unit["reaction_nodes"]["1"]["nodal_forces"]["fz"] == pytest.approx(1.0, rel=1e-9)
    tip = r["displacement_nodes"]["2"]["dz"]
    assert tip < 0.0
    assert tip == pytest.approx(tiny * unit["displacement_nodes"]["2"]["dz"], rel=1e-6)


@pytest.mark.parametrize("combination,message", [
    (False, "LC 1 linear error: Results of LC 1 are not finite at node 1"),
    (True, "Batched combo solve error: Results of Combo 7 are not finite at node 1"),
])
def test_results_beyond_the_floating_point_range_are_an_error_naming_where(combination, message):
    # 1e308 N at the tip of a 2 m cantilever: the base moment, 2e308 N·m, is beyond the largest
    # double, so the first node in id order with a result that is not a number is the base.
    with pytest.raises(RuntimeError) as info:
        vc.calculate_from_json(dumps(cantilever_with_tip_load(1e308, combination)))
    assert str(info.value) == message
