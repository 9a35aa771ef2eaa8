"""Sound models are solved and every failure is said, through the module: small models whose
answers are known by hand (a cantilever on an elastic bearing, load cases of moments alone,
rigid links whose slave is supported too, combinations that fail, mechanisms, loads that would
act on nothing), each against its closed form or its statics, ΣR + ΣF = 0 for forces and
moments with a spring's reported k·u turned to the force it exerts on the node."""
import json

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
