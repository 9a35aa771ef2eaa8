"""One-sided supports through the module: a beam on one fixed and one positive-only support,
loaded down (the support holds and props the beam) and up (it releases and the clamp takes the
load); the same in load combinations solved against the cached all-held system, in the mirror
of a negative-only support and in second-order solves, one of them a portal whose sway lifts a
base that the first-order state holds; and a model whose active-set states cycle, which ends
with a message however large max_iterations is."""
import json

import pytest

import varn_calculations as vc
from conftest import dumps, load_example, node
from equilibrium import assert_reactions_balance_loads, linearisation_tolerance

E = 2.1e11  # Pa
I = 2e-5  # m⁴ about both axes, so the closed forms need not name the bending axis
P = 1.0e4  # N
L = 4.0  # m
CLAMP = 1
ONE_SIDED = 2


def section(section_id, area=1e-2, i=I):
    return {"id": section_id, "name": f"S{section_id}", "material": 1, "h": 0.2, "b": 0.2, "i_y": i, "i_z": i,
            "j": 3e-6, "area": area, "i_w": 0.0}


def conditions(kind):
    return {a: {"condition_type": kind} for a in "XYZ"}


def clamp():
    return {"id": CLAMP, "classification": "Support", "displacement_conditions": conditions("Fixed"),
            "rotation_conditions": conditions("Fixed")}


def one_sided(kind, axes="Z"):
    s = {"id": ONE_SIDED, "classification": "Support", "displacement_conditions": conditions("Free"),
         "rotation_conditions": conditions("Free")}
    for a in axes:
        s["displacement_conditions"][a] = {"condition_type": kind}
    return s


def member(member_id, start, end, member_type="Normal", section_id=1):
    return {"id": member_id, "start_node": start, "end_node": end, "section": section_id, "rotation_angle": 0.0,
            "classification": "Beam", "weight": 0.0, "member_type": member_type}


def load_case(case_id, nodal_loads):
    return {"id": case_id, "name": f"LC{case_id}", "nodal_loads": nodal_loads, "nodal_moments": [],
            "distributed_loads": [], "rotation_imperfections": [], "translation_imperfections": []}


def nodal_load(load_id, node_id, case_id, magnitude, direction):
    return {"id": load_id, "node": node_id, "load_case": case_id, "magnitude": magnitude, "direction": direction,
            "load_type": "Force"}


def combination(combo_id, name, factors):
    return {"id": combo_id, "name": name, "load_cases_factors": factors, "check": "ALL", "limit_state": "ULS"}


def model_with(members, supports, cases, sections=None, combinations=None, order="LINEAR"):
    """An SI model without shear deformation, so that the bending closed forms hold exactly."""
    model = load_example()
    model["settings"]["unit_settings"] = {"lengthUnit": "m", "forceUnit": "N", "densityUnit": "kg/m3",
                                          "pressureUnit": "Pa"}
    options = model["settings"]["analysis_options"]
    options["include_shear_deformation"] = False
    options["solve_loadcases"] = True
    options["order"] = order
    model["materials"] = [{"id": 1, "name": "Steel", "e_mod": E, "g_mod": 8.1e10, "density": 7850.0,
                           "yield_stress": 3.55e8}]
    model["sections"] = sections or [section(1)]
    model["nodal_supports"] = supports
    model["member_sets"] = [{"id": 1, "members": members}]
    model["load_cases"] = cases
    model["load_combinations"] = combinations or []
    return model


def propped_beam(kind, cases, combinations=None, order="LINEAR"):
    """Cantilever clamped at node 1 (x = 0), loads at mid-span node 2, the one-sided Z support at
    node 3 (x = L)."""
    members = [member(1, node(1, 0.0, support=CLAMP), node(2, L / 2)),
               member(2, node(2, L / 2), node(3, L, support=ONE_SIDED))]
    return model_with(members, [clamp(), one_sided(kind)], cases, combinations=combinations, order=order)


def run(model):
    return json.loads(vc.calculate_from_json(dumps(model)))


# Held, the support props the cantilever's end: R = 5P/16 against the load, no settlement.
# Released, the end moves as a free cantilever's, 5PL³/(48EI), and carries nothing.
PROP_REACTION = 5.0 / 16.0
FREE_END = 5.0 * L ** 3 / (48.0 * E * I)

# (kind, load sign in Z, held)
BEAM_CASES = [
    ("PositiveOnly", -1.0, True),
    ("PositiveOnly", 1.0, False),
    ("NegativeOnly", 1.0, True),
    ("NegativeOnly", -1.0, False),
]


def check_prop(result, load_z, held):
    """load_z: the mid-span load in units of P, signed along Z."""
    end = result["reaction_nodes"]["3"]["nodal_forces"]["fz"]
    root = result["reaction_nodes"]["1"]["nodal_forces"]["fz"]
    dz = result["displacement_nodes"]["3"]["dz"]
    if held:
        # The penalty (1e10 times the stiffest diagonal) leaves 1e-10 of the free motion; a
        # hundredfold margin covers the round-off of the factorisation.
        assert abs(dz) <= 1e-8 * P * FREE_END
        assert end == pytest.approx(-load_z * PROP_REACTION * P, rel=1e-8)
        assert root == pytest.approx(-load_z * (1.0 - PROP_REACTION) * P, rel=1e-8)
    else:
        # A two-member cantilever is well conditioned: the solve's round-off is near 1e-14.
        assert end == pytest.approx(0.0, abs=1e-9 * P)
        assert root == pytest.approx(-load_z * P, rel=1e-9)
        assert dz == pytest.approx(load_z * P * FREE_END, rel=1e-9)


@pytest.mark.parametrize("kind,load_z,held", BEAM_CASES,
                         ids=[f"{k}-{'up' if z > 0 else 'down'}" for k, z, _ in BEAM_CASES])
def test_beam_on_a_fixed_and_a_one_sided_support(kind, load_z, held):
    model = propped_beam(kind, [load_case(1, [nodal_load(1, 2, 1, P, [0.0, 0.0, load_z])])])
    result = run(model)["results"]["loadcases"]["LC1"]
    check_prop(result, load_z, held)
    assert_reactions_balance_loads(model, result)


def test_combinations_hold_or_release_the_support_by_their_own_load():
    # LC1 pushes down by P, LC2 lifts by 3P. The cached all-held system stands for the
    # combinations that press the support; the one that lifts the beam is re-solved with the
    # support released.
    cases = [load_case(1, [nodal_load(1, 2, 1, P, [0.0, 0.0, -1.0])]),
             load_case(2, [nodal_load(2, 2, 2, 3.0 * P, [0.0, 0.0, 1.0])])]
    combos = [combination(1, "down", {"1": 1.0}), combination(2, "lifted", {"1": 1.0, "2": 1.0}),
              combination(3, "mostly down", {"1": 2.0, "2": 0.5})]
    model = propped_beam("PositiveOnly", cases, combinations=combos)
    out = run(model)["results"]
    check_prop(out["loadcases"]["LC1"], -1.0, True)
    check_prop(out["loadcases"]["LC2"], 3.0, False)
    # Net loads in units of P: −1 (held), +2 (released), −0.5 (held).
    for name, net, held in (("down", -1.0, True), ("lifted", 2.0, False), ("mostly down", -0.5, True)):
        result = out["loadcombinations"][name]
        end = result["reaction_nodes"]["3"]["nodal_forces"]["fz"]
        dz = result["displacement_nodes"]["3"]["dz"]
        if held:
            assert end == pytest.approx(-net * PROP_REACTION * P, rel=1e-8), name
            assert abs(dz) <= 1e-8 * P * FREE_END, name
        else:
            assert end == pytest.approx(0.0, abs=1e-9 * P), name
            assert dz == pytest.approx(net * P * FREE_END, rel=1e-9), name
        assert_reactions_balance_loads(model, result)


SECOND_ORDER_CASES = [(method, load_z) for method in ("P_DELTA", "COROTATIONAL") for load_z in (-1.0, 1.0)]


@pytest.mark.parametrize("method,load_z", SECOND_ORDER_CASES,
                         ids=[f"{m}-{'up' if z > 0 else 'down'}" for m, z in SECOND_ORDER_CASES])
def test_second_order_holds_and_releases_the_one_sided_support(method, load_z):
    model = propped_beam("PositiveOnly", [load_case(1, [nodal_load(1, 2, 1, P, [0.0, 0.0, load_z])])],
                         order="Nonlinear")
    options = model["settings"]["analysis_options"]
    options["nonlinear_method"] = method
    options["tolerance"] = 1e-8
    result = run(model)["results"]["loadcases"]["LC1"]
    end = result["reaction_nodes"]["3"]["nodal_forces"]["fz"]
    dz = result["displacement_nodes"]["3"]["dz"]
    # No member carries an axial force, so the P-delta solution is the linear one; the
    # co-rotational one departs from it by the square of the chord rotations (1/250 here),
    # well inside 1e-3.
    if load_z < 0:
        assert end == pytest.approx(PROP_REACTION * P, rel=1e-3)
        assert abs(dz) <= 1e-6 * P * FREE_END
    else:
        # Released: the end carries no more than the equilibrium tolerance of the Newton
        # iterations leaves of the load.
        assert end == pytest.approx(0.0, abs=1e-6 * P)
        assert dz == pytest.approx(P * FREE_END, rel=1e-3)
    assert_reactions_balance_loads(model, result, rel_tol=max(linearisation_tolerance(model, result), 1e-9),
                                   deformed=True)


def leaning_portal(base, order):
    """A portal of 4 m columns and a 4 m beam in the XZ plane: the leeward column (node 4) is
    clamped; the windward one (node 1) is pinned in plane on a base whose Z condition is
    `base`. 200 kN down on each column head, 340 kN sideways at the windward head."""
    heavy = {"id": 3, "classification": "Support", "displacement_conditions": conditions("Fixed"),
             "rotation_conditions": conditions("Fixed")}
    heavy["displacement_conditions"]["Z"] = {"condition_type": base}
    heavy["rotation_conditions"]["Y"] = {"condition_type": "Free"}
    members = [member(1, node(1, 0.0, support=3), node(2, 0.0, z=4.0)),
               member(2, node(2, 0.0, z=4.0), node(3, 4.0, z=4.0)),
               member(3, node(4, 4.0, support=CLAMP), node(3, 4.0, z=4.0))]
    loads = [nodal_load(1, 2, 1, 3.4e5, [1.0, 0.0, 0.0]), nodal_load(2, 2, 1, 2e5, [0.0, 0.0, -1.0]),
             nodal_load(3, 3, 1, 2e5, [0.0, 0.0, -1.0])]
    model = model_with(members, [clamp(), heavy], [load_case(1, loads)], sections=[section(1, i=4e-5)], order=order)
    model["settings"]["analysis_options"]["nonlinear_method"] = "P_DELTA"
    model["settings"]["analysis_options"]["tolerance"] = 1e-8
    return model


def test_second_order_releases_a_base_that_the_first_order_state_holds():
    # First order, the overturning leaves the windward base pressed (about +15 kN); the sway of
    # the heavy heads adds P·Δ to the overturning, and held in second order the base would have
    # to pull. The second-order solve starts from the first-order support state, finds the
    # base pulling, releases it and solves again: the base lifts and the clamp carries all of
    # the 400 kN.
    linear = run(leaning_portal("PositiveOnly", "LINEAR"))["results"]["loadcases"]["LC1"]
    assert linear["reaction_nodes"]["1"]["nodal_forces"]["fz"] > 1e4
    assert abs(linear["displacement_nodes"]["1"]["dz"]) <= 1e-9
    held = run(leaning_portal("Fixed", "Nonlinear"))["results"]["loadcases"]["LC1"]
    assert held["reaction_nodes"]["1"]["nodal_forces"]["fz"] < -1e3
    model = leaning_portal("PositiveOnly", "Nonlinear")
    result = run(model)["results"]["loadcases"]["LC1"]
    # Released: the base carries what the Newton tolerance (1e-8 of the load) leaves.
    assert result["reaction_nodes"]["1"]["nodal_forces"]["fz"] == pytest.approx(0.0, abs=1e-6 * 4e5)
    assert result["reaction_nodes"]["4"]["nodal_forces"]["fz"] == pytest.approx(4e5, rel=1e-6)
    assert result["displacement_nodes"]["1"]["dz"] > 1e-3
    assert_reactions_balance_loads(model, result, rel_tol=linearisation_tolerance(model, result), deformed=True)


# A node held by three bars along the eigenvectors of the nodal stiffness
# K = [[1.206, 1.324, −0.518], [1.324, 2.082, −1.01], [−0.518, −1.01, 0.623]] MN/m, standing on
# positive-only supports in X, Y and Z under the load (6, 524, −355) N. The switching passes go
# from all held to X and Y released, to Y and Z released, and back to all held: a cycle.
EIGENVALUES = [0.052155755904804195, 0.37828877397066885, 3.4805554701245263]  # MN/m
EIGENVECTORS = [[0.3521093179160987, -0.5908526224427918, -0.7258871859932062],
                [0.7721247998980345, -0.25497019798895526, 0.5820768776715778],
                [-0.5290012491658975, -0.7654301906052233, 0.3664345803700459]]


def test_cycling_states_end_with_a_message_whatever_max_iterations_says():
    bars = []
    sections = []
    for i, (lam, n) in enumerate(zip(EIGENVALUES, EIGENVECTORS), start=1):
        # Bars of 1 m: EA/L = λ.
        sections.append(section(i, area=lam * 1e6 / E, i=1e-6))
        bars.append(member(i, node(1, 0.0, support=ONE_SIDED), node(i + 1, n[0], n[1], n[2], support=CLAMP),
                           member_type="Truss", section_id=i))
    loads = [nodal_load(1, 1, 1, 6.0, [1.0, 0.0, 0.0]), nodal_load(2, 1, 1, 524.0, [0.0, 1.0, 0.0]),
             nodal_load(3, 1, 1, 355.0, [0.0, 0.0, -1.0])]
    model = model_with(bars, [clamp(), one_sided("PositiveOnly", "XYZ")], [load_case(1, loads)], sections=sections)
    # The largest count the format takes: the loop must stop at the repeated state.
    model["settings"]["analysis_options"]["max_iterations"] = 4294967295
    with pytest.raises(RuntimeError) as info:
        run(model)
    assert str(info.value) == "LC 1 linear error: Active-set iteration cycles between 3 states without settling"
