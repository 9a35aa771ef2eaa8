#!/usr/bin/env python3
"""Seeds for the pipeline fuzz target: the fixtures and the example as compact JSON, and small
variants of the portal frame that reach each analysis path (second order by P-delta and
co-rotational, tension-only and compression-only members, rigid links by both strategies,
springs, stiffness curves, hinges, combinations alone, imperfections, other units).

    fuzz/make_pipeline_seeds.py OUT_DIR
"""
import copy
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def compact(model):
    return json.dumps(model, separators=(",", ":"))


def portal():
    return json.loads((ROOT / "examples" / "portal_frame.json").read_text())


def options(m):
    return m["settings"]["analysis_options"]


def members(m):
    return m["member_sets"][0]["members"]


def second_order(method):
    def f(m):
        options(m).update(order="Nonlinear", nonlinear_method=method, max_iterations=30)
    return f


def member_type(kind):
    def f(m):
        members(m)[1]["member_type"] = kind
    return f


def rigid(strategy):
    def f(m):
        members(m)[1]["member_type"] = "Rigid"
        options(m)["rigid_strategy"] = strategy
    return f


def spring(m):
    m["nodal_supports"].append({
        "id": 2, "classification": "Elastic base",
        "displacement_conditions": {"X": {"condition_type": "Spring", "stiffness": 5.0e4},
                                    "Y": {"condition_type": "Fixed"}, "Z": {"condition_type": "Fixed"}},
        "rotation_conditions": {"X": {"condition_type": "Free"}, "Y": {"condition_type": "Spring", "stiffness": 1.0e3},
                                "Z": {"condition_type": "Fixed"}}})
    members(m)[2]["start_node"]["nodal_support"] = 2


def one_sided(m):
    spring(m)
    m["nodal_supports"][1]["displacement_conditions"]["Z"] = {"condition_type": "PositiveOnly"}


def curve(m):
    spring(m)
    second_order("P_DELTA")(m)
    m["nodal_supports"][1]["displacement_conditions"]["X"] = {
        "condition_type": "StiffnessCurve",
        "stiffness_curve": {"depends_on": "Fx", "points": [[0, 5.0e4], [20, 2.0e4]]}}


def hinges(m):
    m["memberhinges"] = [{"id": 1, "hinge_type": "pinned_my", "rotational_release_my": 0.0},
                         {"id": 2, "hinge_type": "semi_rigid", "rotational_release_mz": 5.0e3,
                          "stiffness_curve_mz": [[0, 5.0e3], [10, 2.0e3]]}]
    members(m)[1]["start_hinge"] = 1
    members(m)[1]["end_hinge"] = 2


def combinations_only(m):
    options(m)["solve_loadcases"] = False


def imperfection(m):
    second_order("P_DELTA")(m)
    m["imperfection_cases"] = [{"imperfection_case_id": 1, "load_combinations": [1],
                                "rotation_imperfections": [{"memberset_ids": [1], "magnitude": 0.004,
                                                            "axis": [0, 1, 0]}],
                                "translation_imperfections": []}]


def millimetres(m):
    for mem in members(m):
        for end in ("start_node", "end_node"):
            for k in ("X", "Y", "Z"):
                mem[end][k] *= 1000.0
    m["settings"]["unit_settings"]["lengthUnit"] = "mm"
    for s in m["sections"]:
        for k, p in (("h", 1), ("b", 1), ("i_y", 4), ("i_z", 4), ("j", 4), ("area", 2), ("i_w", 6)):
            s[k] *= 1000.0 ** p
    m["settings"]["unit_settings"]["pressureUnit"] = "MPa"


def two_d(m):
    options(m)["dimensionality"] = "2D"


VARIANTS = {
    "portal_linear": [],
    "portal_pdelta": [second_order("P_DELTA")],
    "portal_corotational": [second_order("COROTATIONAL")],
    "portal_pdelta_simplified": [second_order("P_DELTA"),
                                 lambda m: options(m).update(pdelta_formulation="SIMPLIFIED",
                                                             pdelta_mode="IN_PLANE_ONLY")],
    "portal_tension_beam": [member_type("Tension")],
    "portal_compression_beam": [member_type("Compression")],
    "portal_truss_beam": [member_type("Truss")],
    "portal_rigid_member": [rigid("RigidMember")],
    "portal_rigid_mpc": [rigid("LinearMpc")],
    "portal_rigid_corotational": [rigid("LinearMpc"), second_order("COROTATIONAL")],
    "portal_spring": [spring],
    "portal_one_sided_support": [one_sided],
    "portal_stiffness_curve": [curve],
    "portal_hinges": [hinges],
    "portal_hinges_corotational": [hinges, second_order("COROTATIONAL")],
    "portal_combinations_only": [combinations_only],
    "portal_imperfection": [imperfection],
    "portal_millimetres": [millimetres],
    "portal_2d": [two_d],
}


def main(out):
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    for name, steps in VARIANTS.items():
        m = copy.deepcopy(portal())
        for step in steps:
            step(m)
        (out / (name + ".json")).write_text(compact(m))
    for f in sorted((ROOT / "tests" / "fixtures").glob("*.json")):
        try:
            m = json.loads(f.read_text())
        except ValueError:
            (out / f.name).write_bytes(f.read_bytes())  # the broken fixture stays as it is
            continue
        m.pop("results", None)  # the fuzzer reaches the writer through the analysis
        (out / f.name).write_text(compact(m))


if __name__ == "__main__":
    main(sys.argv[1])
