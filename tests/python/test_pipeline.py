"""The request pipeline as seen from Python: limits, refusals, units and the output model."""
import copy
import json

import pytest

import varn_calculations as vc
from conftest import chain_model, dumps, node, nothing_to_solve

TOP_LEVEL_KEYS = [
    "member_sets", "load_cases", "load_combinations", "imperfection_cases", "settings", "results",
    "memberhinges", "materials", "sections", "nodal_supports", "shape_paths",
]

CURVE_MESSAGE = (
    "StiffnessCurve support conditions require NonLinear (second-order) analysis order. "
    'Set analysis_options.order to "Nonlinear".'
)


def run(model):
    return json.loads(vc.calculate_from_json(dumps(model)))


def refusal(model):
    with pytest.raises(RuntimeError) as info:
        vc.calculate_from_json(dumps(model))
    assert type(info.value) is RuntimeError
    return str(info.value)


def get(doc, path):
    for key in path:
        doc = doc[key]
    return doc


def test_output_is_the_model_as_read_with_results_null(example):
    model = nothing_to_solve(example)
    model["comment"] = {"ignored": [1, 2, 3]}
    out = run(model)
    assert list(out) == TOP_LEVEL_KEYS
    assert "comment" not in out
    assert out["results"] is None
    assert out == json.loads(vc.calculate_from_json(vc.calculate_from_json(dumps(model))))


@pytest.mark.parametrize(
    "path,value",
    [
        (["memberhinges"], None),
        (["shape_paths"], None),
        (["member_sets", 0, "l_y"], None),
        (["member_sets", 0, "members", 0, "mirror"], False),
        (["member_sets", 0, "members", 0, "start_hinge"], None),
        (["member_sets", 0, "members", 0, "end_node", "nodal_support"], None),
        (["settings", "analysis_options", "order"], "LINEAR"),
        (["settings", "analysis_options", "axial_slack"], 0.001),
        (["settings", "analysis_options", "include_warping"], True),
        (["settings", "analysis_options", "nonlinear_method"], "COROTATIONAL"),
        (["settings", "analysis_options", "pdelta_formulation"], "CONSISTENT"),
        (["settings", "analysis_options", "pdelta_suppress_axes"], []),
        (["settings", "analysis_options", "pdelta_mode"], "FULL"),
        (["settings", "unit_settings", "system"], "metric"),
        (["settings", "unit_settings", "forceUnit"], "kN"),
        (["sections", 0, "y_s"], None),
        (["sections", 0, "i_w"], 1.08e-7),
        (["nodal_supports", 0, "warping_condition"], None),
        (["nodal_supports", 0, "displacement_conditions", "X", "stiffness"], None),
        (["load_combinations", 1, "situation"], None),
    ],
)
def test_defaults_are_filled_in(example, tmp_path, path, value):
    # Through the pipeline (with nothing to solve) and through the reader alone.
    path_file = tmp_path / "example.json"
    path_file.write_text(dumps(example), encoding="utf-8")
    loaded = json.loads(vc.load_varn_from_file(str(path_file)))
    assert get(loaded, path) == value
    if path[0] != "load_combinations":
        assert get(run(nothing_to_solve(example)), path) == value


@pytest.mark.parametrize("members,sets,accepted", [(10000, 1, True), (10000, 3, True), (10001, 1, False), (10001, 4, False)])
def test_member_limit(tmp_path, members, sets, accepted):
    model = chain_model(members, sets)
    if accepted:
        out = run(model)
        assert sum(len(s["members"]) for s in out["member_sets"]) == members
    else:
        assert refusal(model) == f"Number of members ({members}) exceeds allowed maximum of 10000"
        path = tmp_path / "big.json"
        path.write_text(dumps(model), encoding="utf-8")
        with pytest.raises(RuntimeError) as info:
            vc.calculate_from_file(str(path))
        assert str(info.value) == f"Number of members ({members}) exceeds allowed maximum of 10000"
        # Reading alone applies no limit.
        loaded = json.loads(vc.load_varn_from_file(str(path)))
        assert sum(len(s["members"]) for s in loaded["member_sets"]) == members


def one_member(start_id, end_id):
    model = chain_model(1)
    member = model["member_sets"][0]["members"][0]
    member["start_node"] = node(start_id, 0.0, support=1)
    member["end_node"] = node(end_id, 3.0)
    return model


@pytest.mark.parametrize(
    "start,end,message",
    [
        (1, 20000, None),
        (20000, 1, None),
        (0, 2, "Node id 0 of member 1 is not allowed: node ids start at 1"),
        (1, 0, "Node id 0 of member 1 is not allowed: node ids start at 1"),
        (1, 20001, "Node id 20001 of member 1 exceeds the allowed maximum of 20000"),
        (4000000000, 2, "Node id 4000000000 of member 1 exceeds the allowed maximum of 20000"),
        (1, 4294967295, "Node id 4294967295 of member 1 exceeds the allowed maximum of 20000"),
    ],
)
def test_node_ids_are_checked_before_any_numbering(start, end, message):
    model = one_member(start, end)
    if message is None:
        out = run(model)
        member = out["member_sets"][0]["members"][0]
        assert (member["start_node"]["id"], member["end_node"]["id"]) == (start, end)
    else:
        assert refusal(model) == message


def test_node_ids_are_not_checked_when_only_loading(tmp_path):
    path = tmp_path / "odd_ids.json"
    path.write_text(dumps(one_member(0, 4000000000)), encoding="utf-8")
    loaded = json.loads(vc.load_varn_from_file(str(path)))
    assert loaded["member_sets"][0]["members"][0]["end_node"]["id"] == 4000000000


CURVE = {"depends_on": "Fz", "points": [[0.0, 1000.0], [50.0, 4000.0]]}


def with_curve_support(model, where):
    model = copy.deepcopy(model)
    support = model["nodal_supports"][0]
    condition = {"condition_type": "Spring", "stiffness": 1000.0, "stiffness_curve": CURVE}
    if where == "displacement":
        support["displacement_conditions"]["Z"] = condition
    elif where == "rotation":
        support["rotation_conditions"]["Y"] = condition
    elif where == "warping":
        support["warping_condition"] = condition
    elif where == "unused_key":
        support["displacement_conditions"]["W"] = condition
    return model


@pytest.mark.parametrize("where", ["displacement", "rotation", "warping", "unused_key"])
@pytest.mark.parametrize("order,refused", [("Linear", True), ("LINEAR", True), ("Nonlinear", False)])
def test_curve_supports_need_second_order(example, where, order, refused):
    model = with_curve_support(nothing_to_solve(example), where)
    model["settings"]["analysis_options"]["order"] = order
    if refused:
        assert refusal(model) == CURVE_MESSAGE
    else:
        out = run(model)
        assert out["settings"]["analysis_options"]["order"] == "NONLINEAR"


def test_hinge_curves_do_not_stop_a_linear_run(example):
    model = nothing_to_solve(example)
    model["memberhinges"] = [{"id": 1, "hinge_type": "Semi-rigid", "stiffness_curve_my": [[0.0, 5000.0], [20.0, 1000.0]]}]
    model["member_sets"][0]["members"][1]["start_hinge"] = 1
    out = run(model)
    assert out["memberhinges"][0]["stiffness_curve_my"] == {"depends_on": "Vz", "points": [[0.0, 5000.0], [20.0, 1000.0]]}


def scaled_example(example, length_unit, factor):
    """The example in another length unit: the same structure and loads, every value rescaled."""
    model = nothing_to_solve(example)
    model["settings"]["unit_settings"]["lengthUnit"] = length_unit
    for member_set in model["member_sets"]:
        for member in member_set["members"]:
            for end in ("start_node", "end_node"):
                for axis in "XYZ":
                    member[end][axis] *= factor
    for section in model["sections"]:
        section["area"] *= factor**2
        for key in ("i_y", "i_z", "j"):
            section[key] *= factor**4
        section["i_w"] *= factor**6
    for load_case in model["load_cases"]:
        for load in load_case["distributed_loads"]:  # force per length
            load["magnitude"] /= factor
            load["end_magnitude"] /= factor
        for moment in load_case["nodal_moments"]:  # force times length
            moment["magnitude"] *= factor
    return model


CARRIED_RESULTS = {
    "loadcases": {
        "Dead load": {
            "name": "Dead load",
            "result_type": {"Loadcase": 1},
            "displacement_nodes": {"2": {"dx": 2.5, "dy": 0.0, "dz": -1.25, "rx": 0.0, "ry": 0.0015, "rz": 0.0, "warp": 0.0}},
            "reaction_nodes": {
                "1": {
                    "nodal_forces": {"fx": 1.5, "fy": 0.0, "fz": 30.0, "mx": 0.0, "my": 2.75, "mz": 0.0, "bw": 0.0},
                    "location": {"X": 0.0, "Y": 0.0, "Z": 0.0},
                    "support_id": 1,
                }
            },
            "member_results": {},
            "summary": {"total_displacements": 1, "total_reaction_forces": 1, "total_member_forces": 0},
            "unity_checks": None,
        }
    },
    "loadcombinations": {},
    "unity_checks_overview": None,
}


@pytest.mark.parametrize("length_unit,factor,force_unit", [("mm", 1000.0, "kN"), ("cm", 100.0, "N"), ("m", 1.0, "kN")])
def test_model_comes_back_in_its_own_units(example, length_unit, factor, force_unit):
    model = scaled_example(example, length_unit, factor)
    model["settings"]["unit_settings"]["forceUnit"] = force_unit
    model["results"] = CARRIED_RESULTS
    out = run(model)
    columns = out["member_sets"][0]["members"]
    assert columns[0]["end_node"]["Z"] == 4.0 * factor
    assert columns[1]["end_node"]["X"] == 6.0 * factor
    assert out["sections"][1]["i_y"] == model["sections"][1]["i_y"]
    assert out["settings"]["unit_settings"]["lengthUnit"] == length_unit
    # Results that came with the input are already in the model's units: they stay as they came.
    assert out["results"] == CARRIED_RESULTS


def test_carried_results_survive_repeated_round_trips(example):
    model = scaled_example(example, "mm", 1000.0)
    model["results"] = CARRIED_RESULTS
    text = dumps(model)
    for _ in range(3):
        text = vc.calculate_from_json(text)
    assert json.loads(text)["results"] == CARRIED_RESULTS


def analysed(model):
    model = copy.deepcopy(model)
    model["settings"]["analysis_options"]["solve_loadcases"] = True
    return run(model)


def test_analysed_millimetre_model_comes_back_in_millimetres(example):
    in_m = analysed(example)
    mm = scaled_example(example, "mm", 1000.0)
    mm["load_combinations"] = example["load_combinations"]
    in_mm = analysed(mm)
    assert in_mm["member_sets"] == mm_members(mm)
    for kind in ("loadcases", "loadcombinations"):
        assert set(in_mm["results"][kind]) == set(in_m["results"][kind])
        for name, m_set in in_m["results"][kind].items():
            mm_set = in_mm["results"][kind][name]
            # Values at round-off level differ between the two unit systems; compare against
            # the size of the largest value of the set.
            t_scale = max(abs(d[k]) for d in m_set["displacement_nodes"].values() for k in ("dx", "dy", "dz"))
            r_scale = max(abs(d[k]) for d in m_set["displacement_nodes"].values() for k in ("rx", "ry", "rz"))
            for node_id, d in m_set["displacement_nodes"].items():
                got = mm_set["displacement_nodes"][node_id]
                for k in ("dx", "dy", "dz"):
                    assert got[k] == pytest.approx(1000.0 * d[k], rel=1e-9, abs=1e-9 * 1000.0 * t_scale)
                for k in ("rx", "ry", "rz"):
                    assert got[k] == pytest.approx(d[k], rel=1e-9, abs=1e-9 * r_scale)
            f_scale = max(abs(r["nodal_forces"][k]) for r in m_set["reaction_nodes"].values() for k in ("fx", "fy", "fz"))
            m_scale = max(abs(r["nodal_forces"][k]) for r in m_set["reaction_nodes"].values() for k in ("mx", "my", "mz"))
            for node_id, r in m_set["reaction_nodes"].items():
                got = mm_set["reaction_nodes"][node_id]
                assert got["location"] == r["location"]  # metres in both
                for k in ("fx", "fy", "fz"):
                    assert got["nodal_forces"][k] == pytest.approx(r["nodal_forces"][k], rel=1e-9, abs=1e-9 * f_scale)
                for k in ("mx", "my", "mz"):
                    assert got["nodal_forces"][k] == pytest.approx(
                        1000.0 * r["nodal_forces"][k], rel=1e-9, abs=1e-9 * 1000.0 * m_scale)


def mm_members(mm):
    # The member sets as written back: defaults filled in, values as given.
    return json.loads(vc.calculate_from_json(dumps(nothing_to_solve(mm))))["member_sets"]


def test_second_run_on_an_output_replaces_each_set_by_the_runs_own(example):
    """Re-analysing an output is the usual step after an edit: every set comes back computed
    anew, one per name, equal to the first run's (nothing of the carried sets enters a solve)."""
    mm = scaled_example(example, "mm", 1000.0)
    mm["load_combinations"] = example["load_combinations"]
    first = analysed(mm)
    second = analysed(first)
    assert second["results"] == first["results"]
