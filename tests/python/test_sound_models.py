"""Sound models are solved and every failure is said, through the module: small models whose
answers are known by hand (a cantilever on an elastic bearing, load cases of moments alone,
rigid links whose slave is supported too, combinations that fail, mechanisms, loads that would
act on nothing), each against its closed form or its statics, ΣR + ΣF = 0 for forces and
moments with a spring's reported k·u turned to the force it exerts on the node."""
import json
import re

import pytest

import varn_calculations as vc
from conftest import dumps, load_example, node
from equilibrium import assert_reactions_balance_loads, linearisation_tolerance
from test_statics_closed_forms import E, G, FIXED_ALL, member, model_with, run, section, support

P = 1000.0  # N
L = 3.0  # m
SECTION = section(1)
I_Y, I_Z, J = SECTION["i_y"], SECTION["i_z"], SECTION["j"]
AREA = SECTION["area"]
BASE = 2  # the support under test


def refusal(model):
    with pytest.raises(RuntimeError) as err:
        run(model)
    return str(err.value)


def nodal_load(load_id, node_id, direction, magnitude=P, case=1):
    return {"id": load_id, "node": node_id, "load_case": case, "magnitude": magnitude, "direction": direction,
            "load_type": "Dead"}


def load_case(case_id, name, nodal_loads=(), nodal_moments=(), distributed_loads=()):
    return {"id": case_id, "name": name, "nodal_loads": list(nodal_loads), "nodal_moments": list(nodal_moments),
            "distributed_loads": list(distributed_loads), "rotation_imperfections": [],
            "translation_imperfections": []}


def second_order(model, method="PDelta"):
    """Second order, iterated until the step is at round-off: the balance of a state converged
    only to the default tolerance of 1e-6 m holds only to the stiffness times that."""
    model["settings"]["analysis_options"].update({"order": "Nonlinear", "nonlinear_method": method,
                                                  "tolerance": 1e-12})
    return model


def every_set(out):
    return list(out["results"]["loadcases"].values()) + list(out["results"]["loadcombinations"].values())


def assert_every_set_balances(model, out):
    """ΣR + ΣF = 0 for every result set, a second-order one on its deformed structure."""
    nonlinear = model["settings"]["analysis_options"]["order"] == "Nonlinear"
    for entry in every_set(out):
        if nonlinear:
            # The P-delta kinematics are linearised: the balance holds to the rotations involved.
            assert_reactions_balance_loads(model, entry, rel_tol=max(1e-9, linearisation_tolerance(model, entry)),
                                           deformed=True)
        else:
            assert_reactions_balance_loads(model, entry)


# ---- 1. springs ------------------------------------------------------------------------------

K_T = 5.0e4  # N/m
K_R = 2.0e6  # N·m/rad


def spring(k):
    return {"condition_type": "Spring", "stiffness": k}


# A cantilever along X (3 m) whose base is held on every axis but one, where a spring holds it.
# The tip load acts along that spring's axis (a force for a translation, a force across the beam
# whose base moment the spring takes for a rotation, a torque for the twist), so the tip moves by
# the member's own closed form plus the base's motion, and the base moves by what the spring
# carries over its stiffness. The spring reports k·u with the base's displacement u.
#   (name, group, axis, k, tip load direction, nodal moment?, DOF, tip motion, base motion, reported)
SPRING_CASES = [
    ("UX", "displacement", "X", K_T, [1.0, 0.0, 0.0], False, "dx",
     P / K_T + P * L / (E * AREA), P / K_T, P),
    ("UY", "displacement", "Y", K_T, [0.0, -1.0, 0.0], False, "dy",
     -(P / K_T + P * L ** 3 / (3 * E * I_Z)), -P / K_T, -P),
    ("UZ", "displacement", "Z", K_T, [0.0, 0.0, -1.0], False, "dz",
     -(P / K_T + P * L ** 3 / (3 * E * I_Y)), -P / K_T, -P),
    # A torque T about +X twists the base by T/k and the member by TL/GJ (warping free).
    ("RX", "rotation", "X", K_R, [1.0, 0.0, 0.0], True, "rx",
     P / K_R + P * L / (G * J), P / K_R, P),
    # A load down at the tip bends the base about +Y by PL/k (+Y turns +Z towards +X, so the tip
    # goes down by that times L).
    ("RY", "rotation", "Y", K_R, [0.0, 0.0, -1.0], False, "dz",
     -(P * L * L / K_R + P * L ** 3 / (3 * E * I_Y)), P * L / K_R, P * L),
    # A load along −Y turns the base about −Z by PL/k.
    ("RZ", "rotation", "Z", K_R, [0.0, -1.0, 0.0], False, "dy",
     -(P * L * L / K_R + P * L ** 3 / (3 * E * I_Z)), -P * L / K_R, -P * L),
]
BASE_DOF = {"X": ("dx", "fx", "rx", "mx"), "Y": ("dy", "fy", "ry", "my"), "Z": ("dz", "fz", "rz", "mz")}


def cantilever_on_spring(group, axis, k, direction, moment):
    base = support(BASE)
    base[group + "_conditions"][axis] = spring(k)
    beam = member(1, node(1, 0.0, support=BASE), node(2, L))
    load = nodal_load(1, 2, direction)
    model = model_with([beam], [base], {"nodal_moments": [load]} if moment else {"nodal_loads": [load]})
    model["load_combinations"] = [{"id": 1, "name": "Twice", "load_cases_factors": {"1": 2.0}, "check": "ALL"}]
    return model


@pytest.mark.parametrize("order", ["Linear", "PDelta"])
@pytest.mark.parametrize("name,group,axis,k,direction,moment,dof,tip,base_motion,reported", SPRING_CASES,
                         ids=[c[0] for c in SPRING_CASES])
def test_cantilever_on_a_spring_support(name, group, axis, k, direction, moment, dof, tip, base_motion, reported,
                                        order):
    model = cantilever_on_spring(group, axis, k, direction, moment)
    if order != "Linear":
        second_order(model, order)
    out = json.loads(vc.calculate_from_json(dumps(model)))
    translation = group == "displacement"
    base_dof = BASE_DOF[axis][0 if translation else 2]
    force_key = BASE_DOF[axis][1 if translation else 3]
    for entry, factor in ((out["results"]["loadcases"]["LC"], 1.0), (out["results"]["loadcombinations"]["Twice"], 2.0)):
        d = entry["displacement_nodes"]
        # The held axes of the base take the penalty of 1e10 times the stiffest diagonal: they
        # move by 1e-10 of what the load would make them, which is what the closed forms miss
        # (the element is exact for a cantilever; no axial force bends it, so P-delta adds
        # nothing either).
        assert d["2"][dof] == pytest.approx(factor * tip, rel=1e-8), name
        assert d["1"][base_dof] == pytest.approx(factor * base_motion, rel=1e-8), name
        # The spring reports k·u, the force on it ...
        assert entry["reaction_nodes"]["1"]["nodal_forces"][force_key] == pytest.approx(factor * reported, rel=1e-8)
    # ... and turned, it balances the load.
    assert_every_set_balances(model, out)


def test_frame_on_elastic_bearings_balances():
    # The example's portal with both bases on vertical and rotational springs.
    model = load_example()
    model["nodal_supports"][0]["displacement_conditions"]["Z"] = spring(5.0e4)
    model["nodal_supports"][0]["rotation_conditions"]["Y"] = spring(2.0e4)
    out = json.loads(vc.calculate_from_json(dumps(model)))
    assert len(every_set(out)) == 4
    assert_every_set_balances(model, out)


# ---- 2. load cases of moments alone --------------------------------------------------------

M = 1000.0  # N·m


def cantilever_under_moments(moments, sections=None):
    beam = member(1, node(1, 0.0, support=FIXED_ALL), node(2, L))
    return model_with([beam], [support(FIXED_ALL)],
                      {"nodal_moments": [nodal_load(i + 1, 2, d, M) for i, d in enumerate(moments)]},
                      sections=sections)


# A tip moment bends or twists a cantilever uniformly: θ = ML/EI (or TL/GJ), and the base
# reacts with the opposite moment and no force. A shear-centre offset couples twist and bending
# in the element, not the statics.
MOMENT_CASES = [
    ("about Y", [0.0, 1.0, 0.0], None, "ry", M * L / (E * I_Y), "my"),
    ("about Z", [0.0, 0.0, 1.0], None, "rz", M * L / (E * I_Z), "mz"),
    ("torque", [1.0, 0.0, 0.0], None, "rx", M * L / (G * J), "mx"),
    ("torque, shear centre off the centroid", [1.0, 0.0, 0.0], {"y_s": 0.02, "z_s": 0.01}, "rx", None, "mx"),
    ("about Z, shear centre off the centroid", [0.0, 0.0, 1.0], {"y_s": 0.02, "z_s": 0.01}, "rz", None, "mz"),
]


@pytest.mark.parametrize("order", ["Linear", "PDelta"])
@pytest.mark.parametrize("name,direction,offset,dof,rotation,reaction", MOMENT_CASES,
                         ids=[c[0] for c in MOMENT_CASES])
def test_cantilever_under_a_tip_moment_alone(name, direction, offset, dof, rotation, reaction, order):
    sec = dict(SECTION, **(offset or {}))
    model = cantilever_under_moments([direction], sections=[sec])
    if order != "Linear":
        second_order(model, order)
    out = json.loads(vc.calculate_from_json(dumps(model)))
    entry = out["results"]["loadcases"]["LC"]
    if rotation is not None:
        # The penalty supports give 1e-10 of the load's motion at the base (see the spring cases).
        assert entry["displacement_nodes"]["2"][dof] == pytest.approx(rotation, rel=1e-8), name
    f = entry["reaction_nodes"]["1"]["nodal_forces"]
    assert f[reaction] == pytest.approx(-M, rel=1e-8), name
    # The reaction forces are zero but for round-off of the member end forces (eps times the
    # element's largest term times the rotation, far below 1e-9 of M over the length).
    assert max(abs(f["fx"]), abs(f["fy"]), abs(f["fz"])) <= 1e-9 * M / L, name
    assert_every_set_balances(model, out)


def moments_on_the_example(path):
    """The example portal with two load cases of nodal moments alone, on the path asked for."""
    model = load_example()
    model["load_cases"] = [
        load_case(1, "Moments 1", nodal_moments=[nodal_load(1, 2, [0.0, 1.0, 0.0], 3.0),
                                                 nodal_load(2, 3, [0.0, 0.0, 1.0], 2.0)]),
        load_case(2, "Moments 2", nodal_moments=[nodal_load(3, 2, [1.0, 0.0, 0.0], 1.5, case=2)]),
    ]
    if path == "one by one":
        model["load_cases"] = model["load_cases"][:1]
        model["load_combinations"] = []
    elif path == "cached":
        # A tie across the portal's corners sends the combinations to the cached system.
        model["member_sets"][0]["members"].append(
            {"id": 4, "start_node": model["member_sets"][0]["members"][0]["start_node"],
             "end_node": model["member_sets"][0]["members"][2]["end_node"], "section": 1, "rotation_angle": 0.0,
             "classification": "Brace", "weight": 0.0, "member_type": "Tension"})
    return model


@pytest.mark.parametrize("order", ["Linear", "Nonlinear"])
@pytest.mark.parametrize("path", ["one by one", "batched", "cached"])
def test_nodal_moments_alone_on_every_path(path, order):
    model = moments_on_the_example(path)
    if order == "Nonlinear":
        second_order(model)
    out = json.loads(vc.calculate_from_json(dumps(model)))
    assert len(every_set(out)) == len(model["load_cases"]) + len(model["load_combinations"])
    assert_every_set_balances(model, out)


# ---- 4 and 5. rigid links whose slaves are supported ------------------------------------------

FREE = {"condition_type": "Free"}


def held_on(support_id, translations="XYZ", rotations="XYZ", **springs):
    """A support holding the axes named, free on the others; a spring where `springs` says."""
    s = {"id": support_id, "classification": "Support",
         "displacement_conditions": {a: {"condition_type": "Fixed"} if a in translations else FREE for a in "XYZ"},
         "rotation_conditions": {a: {"condition_type": "Fixed"} if a in rotations else FREE for a in "XYZ"}}
    for key, k in springs.items():
        group = "displacement_conditions" if key[0] == "U" else "rotation_conditions"
        s[group][key[1]] = spring(k)
    return s


def rigid(member_id, start, end):
    m = member(member_id, start, end, member_type="Rigid")
    return m


def linked_cantilever(slave_support):
    """A rigid link 1→2 (2 m along X); master 1 held in UX, UY, UZ, RX, RZ (free to turn about Y),
    slave 2 on `slave_support`; a cantilever 2→3 (4 m) beyond it with P down at 3."""
    master = held_on(1, rotations="XZ")
    members = [rigid(1, node(1, 0.0, support=1), node(2, 2.0, support=2)),
               member(2, node(2, 2.0, support=2), node(3, 6.0))]
    return model_with(members, [master, slave_support], {"nodal_loads": [nodal_load(1, 3, [0.0, 0.0, -1.0])]})


def rigid_floor():
    """Three nodes of a rigid floor in the XY plane, master 1 at the origin held in UX, UY, UZ,
    node 2 at (4, 0) in UY, UZ, node 3 at (0, 3) in UZ (six independent axes, none twice); a
    cantilever 4→5 (2 m along X) from a fourth floor node at (1, 1), P down at its tip (3, 1)."""
    supports = [held_on(1, rotations=""), held_on(2, translations="YZ", rotations=""),
                held_on(3, translations="Z", rotations="")]
    master = node(1, 0.0, support=1)
    members = [rigid(1, master, node(2, 4.0, support=2)), rigid(2, master, node(3, 0.0, 3.0, support=3)),
               rigid(3, master, node(4, 1.0, 1.0)), member(4, node(4, 1.0, 1.0), node(5, 3.0, 1.0))]
    return model_with(members, supports, {"nodal_loads": [nodal_load(1, 5, [0.0, 0.0, -1.0])]})


K_SLAVE = 2.0e5  # N/m

# Statics of the rigid body: the slave's support (or spring) takes the moment about the master's
# free axis, P·6 m over its 2 m lever, and the master the rest; the floor's three vertical
# supports take P by moments about X and Y (R₃·3 = P·1, R₂·4 = P·3). The tip moves as the
# cantilever on what holds its root: a clamp, or a root turning with the link on the slave's
# spring (the slave sinks by 3P/k, the link turns by 3P/2k, the 4 m beam beyond adds 4 times
# that to its own PL³/3EI). A RigidMember link is a beam 1e4 times stiffer than the stiffest
# material with a member's section: in line with the cantilever it lets the root turn by about
# 1e-4 of what the beam beyond bends (5e-5 of the tip's motion is seen); the floor's diagonal
# link twists under the cantilever's moment with 1e4 times a torsion constant two hundred times
# smaller than the beam's bending one, which is no longer rigid to a percent, so the tip is
# compared there only for eliminated links, which are exact.
#   (name, model, reactions, (tip node, DOF, closed form, RigidMember's relative tolerance))
SLAVE_CASES = [
    ("slave held in UZ", lambda: linked_cantilever(held_on(2, translations="Z", rotations="")),
     {"1": {"fz": -2.0 * P}, "2": {"fz": 3.0 * P}}, ("3", "dz", -P * 4.0 ** 3 / (3 * E * I_Y), 2e-4)),
    ("slave on a spring in UZ", lambda: linked_cantilever(held_on(2, translations="", rotations="", UZ=K_SLAVE)),
     {"1": {"fz": -2.0 * P}, "2": {"fz": -3.0 * P}},
     ("3", "dz", -9.0 * P / K_SLAVE - P * 4.0 ** 3 / (3 * E * I_Y), 2e-4)),
    ("slave held on every axis", lambda: linked_cantilever(held_on(2)),
     {"2": {"fz": P, "my": -4.0 * P}}, ("3", "dz", -P * 4.0 ** 3 / (3 * E * I_Y), 2e-4)),
    ("rigid floor on three supports", rigid_floor,
     {"1": {"fz": -P / 12.0, "fx": 0.0, "fy": 0.0}, "2": {"fz": 0.75 * P, "fy": 0.0}, "3": {"fz": P / 3.0}},
     ("5", "dz", -P * 2.0 ** 3 / (3 * E * I_Y), None)),
]


def reversed_members(model):
    model["member_sets"][0]["members"].reverse()
    return model


@pytest.mark.parametrize("order", ["Linear", "PDelta"])
@pytest.mark.parametrize("strategy", ["LinearMpc", "RigidMember"])
@pytest.mark.parametrize("member_order", ["as listed", "reversed"])
@pytest.mark.parametrize("name,build,reactions,tip", SLAVE_CASES, ids=[c[0] for c in SLAVE_CASES])
def test_rigid_link_with_a_supported_slave(name, build, reactions, tip, member_order, strategy, order):
    model = build()
    if member_order == "reversed":
        reversed_members(model)
    model["settings"]["analysis_options"]["rigid_strategy"] = strategy
    if order != "Linear":
        second_order(model, order)
    out = json.loads(vc.calculate_from_json(dumps(model)))
    entry = out["results"]["loadcases"]["LC"]
    node_id, dof, expected, stiff_beam_rel = tip
    # Eliminated links are exact: the penalties of the supports leave 1e-10 of the motion.
    rel = 1e-8 if strategy == "LinearMpc" else stiff_beam_rel
    if rel is not None:
        assert entry["displacement_nodes"][node_id][dof] == pytest.approx(expected, rel=rel)
    # The supports of a rigid body held on six independent axes (or a slave on all six) carry
    # what statics gives them, whatever the links' stiffness; round-off of the member forces.
    for reaction_node, values in reactions.items():
        f = entry["reaction_nodes"][reaction_node]["nodal_forces"]
        for key, value in values.items():
            assert f[key] == pytest.approx(value, rel=1e-8, abs=1e-8 * P), (name, reaction_node, key)
    assert_every_set_balances(model, out)


@pytest.mark.parametrize("member_order", ["as listed", "reversed"])
def test_eliminated_links_keep_the_masters_exact_conditions(member_order):
    # The master's held axes stay exactly at rest whatever order the members come in: the
    # slave's condition is imposed on what the master's exact conditions leave free.
    model = linked_cantilever(held_on(2, translations="Z", rotations=""))
    if member_order == "reversed":
        reversed_members(model)
    model["settings"]["analysis_options"]["rigid_strategy"] = "LinearMpc"
    d = run(model)["results"]["loadcases"]["LC"]["displacement_nodes"]
    assert [d["1"][k] for k in ("dx", "dy", "dz", "rx", "ry", "rz")] == [0.0] * 6
    assert d["2"]["dz"] == 0.0


# ---- 3. a combination that fails fails the call -------------------------------------------

PINNED = 3


def pinned(support_id=PINNED):
    return held_on(support_id, rotations="")


def node_on_ties(combinations):
    """Node 3 hangs 1 m below the middle of two pinned points 4 m apart on two ties; load case 1
    pulls it down, case 2 pushes it up (then both ties go slack: a mechanism). Only the
    combinations are solved."""
    ties = [member(1, node(1, 0.0, support=PINNED), node(3, 2.0, 0.0, -1.0), "Tension"),
            member(2, node(2, 4.0, support=PINNED), node(3, 2.0, 0.0, -1.0), "Tension")]
    model = model_with(ties, [pinned()], {"nodal_loads": [nodal_load(1, 3, [0.0, 0.0, -1.0])]})
    model["load_cases"].append(load_case(2, "Up", [nodal_load(2, 3, [0.0, 0.0, 1.0], case=2)]))
    model["load_combinations"] = combinations
    model["settings"]["analysis_options"]["solve_loadcases"] = False
    return model


def swaying_bars(combinations):
    """Two columns and a beam, all pin-jointed bars on pinned feet, loaded sideways: a mechanism
    that only the combinations load."""
    bars = [member(1, node(1, 0.0, support=PINNED), node(2, 0.0, 0.0, 3.0), "Truss"),
            member(2, node(2, 0.0, 0.0, 3.0), node(3, 3.0, 0.0, 3.0), "Truss"),
            member(3, node(3, 3.0, 0.0, 3.0), node(4, 3.0, support=PINNED), "Truss")]
    model = model_with(bars, [pinned()], {"nodal_loads": [nodal_load(1, 2, [1.0, 0.0, 0.0])]})
    model["load_combinations"] = combinations
    model["settings"]["analysis_options"]["solve_loadcases"] = False
    return model


def combination(combo_id, name, factors):
    return {"id": combo_id, "name": name, "load_cases_factors": {str(k): f for k, f in factors.items()},
            "check": "ALL"}


def example_in_one_iteration(method):
    """The example's combinations alone, second order, one Newton iteration per step: the
    superposed start of ULS needs more (SLS does not)."""
    model = load_example()
    model["settings"]["analysis_options"].update({"order": "Nonlinear", "nonlinear_method": method,
                                                  "max_iterations": 1, "solve_loadcases": False})
    return model


FAILING_COMBINATIONS = [
    # Batched (no ties): the whole batch fails with the prefix of its path.
    ("batched, a mechanism", lambda: swaying_bars([combination(1, "Twice", {1: 2.0})]),
     "Batched combo solve error: Structure is a mechanism: node 2 is free to move in UX (Combo 1)"),
    # Cached (ties): the combination that fails, listed after one that stands.
    ("cached, every tie slack",
     lambda: node_on_ties([combination(1, "Down", {1: 1.0}), combination(2, "Up", {2: 1.0})]),
     "Combo 2 error: Structure is a mechanism: node 3 is free to move in UZ (Combo 2)"),
    # Second order in parallel: the first failure in list order names its combination.
    ("second order, every tie slack",
     lambda: second_order(node_on_ties([combination(1, "Down", {1: 1.0}), combination(2, "Up", {2: 1.0})])),
     "Combo 2 second-order error: Structure is a mechanism: node 3 is free to move in UZ (Combo 2)"),
    ("P-delta, one iteration per step", lambda: example_in_one_iteration("PDelta"),
     "Combo 1 second-order error: Second-order: step 1/20480 did not converge and max substepping reached"),
    ("co-rotational, one iteration per step", lambda: example_in_one_iteration("Corotational"),
     "Combo 1 second-order error: Second-order: step 1/20480 did not converge and max substepping reached"),
]


@pytest.mark.parametrize("name,build,message", FAILING_COMBINATIONS, ids=[c[0] for c in FAILING_COMBINATIONS])
def test_a_combination_that_fails_fails_the_call_naming_it(name, build, message):
    # Whichever task ends first, the message is that of the first failure in list order.
    model = build()
    for _ in range(3):
        assert refusal(model) == message, name


def test_every_combination_of_a_successful_call_is_there():
    for model in (node_on_ties([combination(1, "Down", {1: 1.0}), combination(2, "Down twice", {1: 2.0})]),
                  second_order(node_on_ties([combination(1, "Down", {1: 1.0}),
                                             combination(2, "Down twice", {1: 2.0})]))):
        out = json.loads(vc.calculate_from_json(dumps(model)))
        assert sorted(out["results"]["loadcombinations"]) == ["Down", "Down twice"]
        assert_every_set_balances(model, out)


# ---- 6. the diagnosis names the real cause -------------------------------------------------

def pinned_portal(order):
    """The example portal on bases free to turn about Y, its beam pinned (about local y) at both
    ends: the columns sway about their feet with nothing to stop them."""
    model = load_example()
    model["nodal_supports"][0]["rotation_conditions"]["Y"] = FREE
    model["memberhinges"] = [{"id": 1, "hinge_type": "Pin", "rotational_release_my": 0.0}]
    beam = model["member_sets"][0]["members"][1]
    beam["start_hinge"] = beam["end_hinge"] = 1
    if order != "Linear":
        second_order(model, order)
    return model


def pin_jointed_portal(order):
    """Two columns and a beam, all bars, on pinned feet, pushed sideways at a corner."""
    model = swaying_bars([])
    model["settings"]["analysis_options"]["solve_loadcases"] = True
    if order != "Linear":
        second_order(model, order)
    return model


def portal_of_beams_on_pins(order):
    """Columns and a beam of beams on feet pinned about every axis, the beam pinned at both ends
    about local y: second order loses the line search before it meets an indefinite tangent."""
    columns = [member(1, node(1, 0.0, support=PINNED), node(2, 0.0, 0.0, 3.0)),
               member(3, node(4, 4.0, support=PINNED), node(3, 4.0, 0.0, 3.0))]
    beam = member(2, node(2, 0.0, 0.0, 3.0), node(3, 4.0, 0.0, 3.0))
    beam["start_hinge"] = beam["end_hinge"] = 1
    model = model_with([columns[0], beam, columns[1]], [pinned()], {"nodal_loads": [nodal_load(1, 2, [1.0, 0.0, 0.0])]})
    model["memberhinges"] = [{"id": 1, "hinge_type": "Pin", "rotational_release_my": 0.0}]
    if order != "Linear":
        second_order(model, order)
    return model


# The sway of a portal moves its corners along X and turns its columns about Y; a pin-jointed
# frame's corners move along X and Y as well.
SWAY = r"Structure is a mechanism: node [1-4] is free to move in (UX|RY) \((LC [12])\)"
MECHANISM_DIAGNOSES = [
    ("portal with a pinned beam", pinned_portal, "Linear", r"Batched LC solve error: " + SWAY),
    ("portal with a pinned beam", pinned_portal, "PDelta", r"LC 1 second-order error: " + SWAY),
    ("pin-jointed portal", pin_jointed_portal, "PDelta",
     r"LC 1 second-order error: Structure is a mechanism: node [23] is free to move in U[XY] \(LC 1\)"),
    ("portal of beams on pins", portal_of_beams_on_pins, "PDelta",
     r"LC 1 second-order error: Second-order: non-descent at αmin; flip-left failed; max substepping reached\. "
     + SWAY),
    ("portal of beams on pins", portal_of_beams_on_pins, "Corotational",
     r"LC 1 second-order error: Second-order: non-descent at αmin; flip-left failed; max substepping reached\. "
     + SWAY),
]


@pytest.mark.parametrize("name,build,order,pattern", MECHANISM_DIAGNOSES,
                         ids=[f"{c[0]}, {c[2]}" for c in MECHANISM_DIAGNOSES])
def test_a_mechanism_is_named_in_both_orders(name, build, order, pattern):
    message = refusal(build(order))
    assert re.fullmatch(pattern, message), message


def overflowing(record):
    """A cantilever with one value that overflows what the solves can hold."""
    base = support(BASE)
    model = model_with([member(1, node(1, 0.0, support=BASE), node(2, L))], [base],
                       {"nodal_loads": [nodal_load(1, 2, [0.0, 0.0, -1.0])]})
    if record == "material":
        model["materials"][0]["e_mod"] = 1e308
    elif record == "section":
        model["sections"][0]["area"] = 1e308
    else:
        base["displacement_conditions"]["Z"] = spring(1e308)
    return model


OVERFLOWS = [
    ("material", "Member 1 is too stiff to analyse: its stiffness (from section 1 and material 1) overflows the "
                 "floating-point range of the solves."),
    ("section", "Member 1 is too stiff to analyse: its stiffness (from section 1 and material 1) overflows the "
                "floating-point range of the solves."),
    ("spring", "Support 2 displacement Z Spring stiffness is too large to analyse."),
]


@pytest.mark.parametrize("order", ["Linear", "PDelta"])
@pytest.mark.parametrize("record,message", OVERFLOWS, ids=[c[0] for c in OVERFLOWS])
def test_a_value_that_overflows_the_solves_is_named(record, message, order):
    model = overflowing(record)
    prefix = "LC 1 linear error: "
    if order != "Linear":
        second_order(model, order)
        prefix = "LC 1 second-order error: "
    assert refusal(model) == prefix + message


# ---- 7. loads that would be lost ------------------------------------------------------------

def cantilever_with_two_cases(first_case_loads):
    """A cantilever with load cases 1 (holding the loads given) and 2 (empty)."""
    model = model_with([member(1, node(1, 0.0, support=FIXED_ALL), node(2, L))], [support(FIXED_ALL)],
                       first_case_loads)
    model["load_cases"].append(load_case(2, "Other"))
    return model


def line_load_on(member_id, case, direction=(0.0, 0.0, -1.0)):
    return {"member": member_id, "load_case": case, "magnitude": 100.0, "direction": list(direction),
            "start_frac": 0.0, "end_frac": 1.0, "end_magnitude": 100.0}


LOST_LOADS = [
    ("distributed load naming another case",
     {"distributed_loads": [line_load_on(1, 1), line_load_on(1, 2)]},
     "Distributed load 2 of load case 1 (on member 1) names load case 2; a load belongs to the load case that "
     "lists it."),
    ("nodal load naming another case", {"nodal_loads": [nodal_load(4, 2, [0.0, 0.0, -1.0], case=2)]},
     "Nodal load 4 of load case 1 names load case 2; a load belongs to the load case that lists it."),
    ("nodal moment naming another case", {"nodal_moments": [nodal_load(5, 2, [0.0, 1.0, 0.0], case=2)]},
     "Nodal moment 5 of load case 1 names load case 2; a load belongs to the load case that lists it."),
    ("nodal load without a direction", {"nodal_loads": [nodal_load(4, 2, [0.0, 0.0, 0.0])]},
     "Nodal load 4 of load case 1 has a direction of zero length."),
    ("nodal moment without a direction", {"nodal_moments": [nodal_load(5, 2, [0.0, -0.0, 0.0])]},
     "Nodal moment 5 of load case 1 has a direction of zero length."),
    ("distributed load without a direction", {"distributed_loads": [line_load_on(1, 1, (0.0, 0.0, 0.0))]},
     "Distributed load 1 of load case 1 (on member 1) has a direction of zero length."),
]


@pytest.mark.parametrize("order", ["Linear", "Nonlinear"])
@pytest.mark.parametrize("name,loads,message", LOST_LOADS, ids=[c[0] for c in LOST_LOADS])
def test_a_load_that_would_act_on_nothing_is_refused(name, loads, message, order):
    model = cantilever_with_two_cases(loads)
    model["settings"]["analysis_options"]["order"] = order
    assert refusal(model) == message, name


# A one-sided support on a rigid body that other supports hold already: master 1 clamped, the
# link's slave 2 on a support that only pushes up (PositiveOnly in Z), the cantilever 2→3 beyond.
# A RigidMember link is a stiff beam, so the body's supports share the load elastically: the
# link is a cantilever from the clamp propped at its tip by the slave's support, which is far
# stiffer than the link. The prop takes the tip force P and 3M/2a of the tip moment M = 4P
# over the link's a = 2 m: R₂ = P + 3P = 4P up, and the clamp R₁ = −3P. Loaded upwards the
# support would have to pull, so it is released and the clamp carries everything.
@pytest.mark.parametrize("direction,r1,r2", [(-1.0, -3.0 * P, 4.0 * P), (1.0, -P, 0.0)],
                         ids=["pressed: held", "lifted: released"])
def test_one_sided_support_on_a_rigid_body_held_more_than_once(direction, r1, r2):
    slave = held_on(2, translations="", rotations="")
    slave["displacement_conditions"]["Z"] = {"condition_type": "PositiveOnly"}
    model = linked_cantilever(slave)
    model["member_sets"][0]["members"][0]["start_node"]["nodal_support"] = 3
    model["nodal_supports"].append(held_on(3))
    model["load_cases"][0]["nodal_loads"][0]["direction"] = [0.0, 0.0, direction]
    model["settings"]["analysis_options"]["rigid_strategy"] = "RigidMember"
    out = run(model)
    entry = out["results"]["loadcases"]["LC"]
    # The prop's penalty is some 1e6 times the link's bending stiffness: that share of 1e-6.
    assert entry["reaction_nodes"]["1"]["nodal_forces"]["fz"] == pytest.approx(r1, rel=1e-5)
    assert entry["reaction_nodes"]["2"]["nodal_forces"]["fz"] == pytest.approx(r2, abs=1e-5 * P)
    assert_every_set_balances(model, out)
