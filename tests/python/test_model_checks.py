"""Model mistakes that would change the structure without a word are refused before any solve,
with a message naming the records; files that are not regular files are refused unread."""
import copy
import json
import os
import pathlib
import subprocess
import sys

import pytest

import varn_calculations as vc
from conftest import EXAMPLE, FIXTURES, dumps, load_example, nothing_to_solve


def refusal(model):
    with pytest.raises(RuntimeError) as info:
        vc.calculate_from_json(dumps(model))
    assert type(info.value) is RuntimeError
    return str(info.value)


def members_of(model):
    return [m for s in model["member_sets"] for m in s["members"]]


def member(model, member_id):
    return next(m for m in members_of(model) if m["id"] == member_id)


# Each edit is made on the example portal frame (members 1 and 3 columns on supported nodes 1
# and 4, member 2 the beam from node 2 to node 3; sections 1 and 2 of material 1; load cases 1
# and 2; combinations 1 and 2 of both cases).
def duplicate_member_other_set(m):
    m["member_sets"].append({"id": 2, "members": [copy.deepcopy(member(m, 2))]})


def duplicate_member_same_set(m):
    m["member_sets"][0]["members"].append(copy.deepcopy(member(m, 3)))


def duplicate_load_case(m):
    m["load_cases"].append(dict(copy.deepcopy(m["load_cases"][0]), name="Dead load again"))


def duplicate_combination(m):
    m["load_combinations"][1]["id"] = 1


def duplicate_section(m):
    m["sections"][1]["id"] = 1


def duplicate_material(m):
    m["materials"].append(dict(m["materials"][0], e_mod=1.0))


def duplicate_hinge(m):
    hinge = {"id": 5, "hinge_type": "Pinned", "rotational_release_my": 0.0}
    m["memberhinges"] = [hinge, dict(hinge)]


def duplicate_support(m):
    m["nodal_supports"].append(dict(m["nodal_supports"][0], displacement_conditions={}))


def missing_section(m):
    member(m, 2)["section"] = 9


def missing_section_of_tie(m):
    member(m, 2)["member_type"] = "Tension"
    member(m, 2)["section"] = 9


def missing_material(m):
    m["sections"][1]["material"] = 4


def missing_start_hinge(m):
    member(m, 2)["start_hinge"] = 6


def missing_end_hinge(m):
    m["memberhinges"] = [{"id": 6, "hinge_type": "Pinned", "rotational_release_my": 0.0}]
    member(m, 2)["start_hinge"] = 6
    member(m, 2)["end_hinge"] = 7


def missing_support(m):
    member(m, 3)["start_node"]["nodal_support"] = 2


def missing_case_of_combination(m):
    m["load_combinations"][1]["load_cases_factors"]["8"] = 1.0


def node_in_two_places(m):
    member(m, 3)["end_node"]["X"] = 6.5


def node_with_two_supports(m):
    m["nodal_supports"].append(dict(m["nodal_supports"][0], id=2))
    member(m, 2)["start_node"]["nodal_support"] = 2


def node_supported_in_one_member_only(m):
    member(m, 2)["end_node"]["nodal_support"] = 1


def no_section(member_type, key_present):
    # A member with no section has no stiffness; only a rigid link needs none.
    def edit(m):
        member(m, 2)["member_type"] = member_type
        if key_present:
            member(m, 2)["section"] = None
        else:
            del member(m, 2)["section"]
    return edit


def beam_without_length(m):
    member(m, 2)["end_node"] = copy.deepcopy(member(m, 2)["start_node"])


def rigid_link_without_length(m):
    top = copy.deepcopy(member(m, 2)["end_node"])
    m["member_sets"][0]["members"].append({"id": 4, "start_node": top, "end_node": copy.deepcopy(top),
                                           "rotation_angle": 0.0, "classification": "Link", "weight": 0.0,
                                           "member_type": "Rigid"})


def column_beyond_the_float_range(m):
    # The coordinate itself is a double, its square is not.
    member(m, 1)["start_node"]["Y"] = 1e200


def beam_shortened_to(length, unit):
    # Node 3 (end of the beam, top of member 3) moved to just beside node 2; the shortest chord
    # is taken in metres, so 1e-10 is a beam in metres and no length at all in millimetres.
    def edit(m):
        m["settings"]["unit_settings"]["lengthUnit"] = unit
        for x in members_of(m):
            for end in ("start_node", "end_node"):
                if x[end]["id"] == 3:
                    x[end]["X"] = length
    return edit


def negative(record_list, index, key):
    def edit(m):
        m[record_list][index][key] = -1.0
    return edit


def zero(record_list, index, key, member_type="Normal"):
    def edit(m):
        m[record_list][index][key] = 0.0
        for x in members_of(m):
            x["member_type"] = member_type
    return edit


CASES = [
    (duplicate_member_other_set, "Duplicate member id 2 (member sets 1 and 2)"),
    (duplicate_member_same_set, "Duplicate member id 3 (member sets 1 and 1)"),
    (duplicate_load_case, "Duplicate load case id 1"),
    (duplicate_combination, "Duplicate load combination id 1"),
    (duplicate_section, "Duplicate section id 1"),
    (duplicate_material, "Duplicate material id 1"),
    (duplicate_hinge, "Duplicate member hinge id 5"),
    (duplicate_support, "Duplicate nodal support id 1"),
    (missing_section, "Member 2 refers to section 9, which does not exist."),
    (missing_section_of_tie, "Member 2 refers to section 9, which does not exist."),
    (no_section("Normal", True), "Member 2 (Normal) is missing a section id."),
    (no_section("Truss", False), "Member 2 (Truss) is missing a section id."),
    (no_section("Tension", True), "Member 2 (Tension) is missing a section id."),
    (no_section("Compression", False), "Member 2 (Compression) is missing a section id."),
    (missing_material, "Section 2 refers to material 4, which does not exist."),
    (missing_start_hinge, "Member 2 refers to start hinge 6, which does not exist."),
    (missing_end_hinge, "Member 2 refers to end hinge 7, which does not exist."),
    (missing_support, "Node 4 of member 3 refers to nodal support 2, which does not exist."),
    (missing_case_of_combination, "Load combination 2 refers to load case 8, which does not exist."),
    (node_in_two_places, "Node 3 has different coordinates in members 2 and 3"),
    (node_with_two_supports, "Node 2 has different nodal supports in members 1 and 2 (none and 2)"),
    (node_supported_in_one_member_only, "Node 3 has different nodal supports in members 2 and 3 (1 and none)"),
    (beam_without_length, "Member 2 has no length: its start node 2 and end node 2 lie at the same point."),
    (rigid_link_without_length, "Member 4 has no length: its start node 3 and end node 3 lie at the same point."),
    (beam_shortened_to(1e-10, "mm"), "Member 2 has no length: its start node 2 and end node 3 lie at the same point."),
    (column_beyond_the_float_range, "Member 1 is too long to analyse: the distance between its start node 1 and "
                                    "end node 2 exceeds the floating-point range."),
    (negative("materials", 0, "e_mod"), "Material 1 has a negative e_mod."),
    (negative("materials", 0, "g_mod"), "Material 1 has a negative g_mod."),
    (negative("sections", 1, "area"), "Section 2 has a negative area."),
    (negative("sections", 0, "i_y"), "Section 1 has a negative i_y."),
    (negative("sections", 0, "i_z"), "Section 1 has a negative i_z."),
    (negative("sections", 1, "j"), "Section 2 has a negative j."),
    (negative("sections", 1, "i_w"), "Section 2 has a negative i_w."),
    (zero("materials", 0, "e_mod"), "Material 1 has a zero e_mod, which member 1 (Normal) needs."),
    (zero("materials", 0, "g_mod"), "Material 1 has a zero g_mod, which member 1 (Normal) needs."),
    (zero("sections", 1, "area"), "Section 2 has a zero area, which member 2 (Normal) needs."),
    (zero("sections", 1, "area", "Truss"), "Section 2 has a zero area, which member 2 (Truss) needs."),
    (zero("materials", 0, "e_mod", "Compression"), "Material 1 has a zero e_mod, which member 1 (Compression) needs."),
]


@pytest.mark.parametrize("edit,message", CASES, ids=[c[1] for c in CASES])
@pytest.mark.parametrize("order", ["Linear", "Nonlinear"])
def test_model_mistake_is_refused_before_any_solve(edit, message, order):
    model = load_example()
    model["settings"]["analysis_options"]["order"] = order
    edit(model)
    assert refusal(model) == message


@pytest.mark.parametrize("edit,message", CASES[:3])
def test_file_entry_point_refuses_the_same(tmp_path, edit, message):
    model = load_example()
    edit(model)
    path = tmp_path / "model.json"
    path.write_text(dumps(model), encoding="utf-8")
    with pytest.raises(RuntimeError) as info:
        vc.calculate_from_file(str(path))
    assert str(info.value) == message
    # Reading alone checks nothing beyond the format.
    loaded = json.loads(vc.load_varn_from_file(str(path)))
    assert [m["id"] for m in members_of(loaded)] == [m["id"] for m in members_of(model)]
    assert [c["id"] for c in loaded["load_cases"]] == [c["id"] for c in model["load_cases"]]


def test_values_that_a_member_does_not_use_may_be_zero():
    # A bar neither bends nor twists, and a rigid link takes none of its section's values.
    model = load_example()
    for x in members_of(model):
        x["member_type"] = "Truss"
    for s in model["sections"]:
        s["i_y"] = s["i_z"] = s["j"] = 0.0
    model["materials"][0]["g_mod"] = 0.0
    model["load_cases"], model["load_combinations"] = [], []
    vc.calculate_from_json(dumps(model))
    rigid = nothing_to_solve(load_example())
    member(rigid, 2)["member_type"] = "Rigid"
    del member(rigid, 2)["section"]
    rigid["sections"][1]["area"] = 0.0
    vc.calculate_from_json(dumps(rigid))


def test_consistent_node_copies_and_hinges_pass():
    # The same node repeated with the same position and support, hinges that exist.
    model = load_example()
    model["memberhinges"] = [{"id": 6, "hinge_type": "Pinned", "rotational_release_my": 0.0}]
    member(model, 2)["start_hinge"] = 6
    member(model, 2)["end_hinge"] = 6
    out = json.loads(vc.calculate_from_json(dumps(model)))
    assert set(out["results"]["loadcases"]) == {"Dead load", "Wind"}


def carried_results(kind, group, key):
    def edit(model, solved):
        sets = solved["results"][kind]
        name = sorted(sets)[0]
        entries = sets[name][group]
        entries[key] = copy.deepcopy(next(iter(entries.values())))
        model["results"] = solved["results"]
        return name
    return edit


@pytest.mark.parametrize("kind,group,key,label,what", [
    ("loadcases", "displacement_nodes", "9", "Load case", "node 9"),
    ("loadcases", "reaction_nodes", "7", "Load case", "node 7"),
    ("loadcases", "member_results", "12", "Load case", "member 12"),
    ("loadcombinations", "member_results", "4", "Load combination", "member 4"),
    ("loadcombinations", "displacement_nodes", "5", "Load combination", "node 5"),
])
def test_carried_results_naming_records_the_model_lacks(kind, group, key, label, what):
    model = load_example()
    solved = json.loads(vc.calculate_from_json(dumps(model)))
    # The run's own output carried in again is a valid input.
    vc.calculate_from_json(dumps(solved))
    name = carried_results(kind, group, key)(model, solved)
    assert refusal(model) == f'{label} result set "{name}" names {what}, which the model does not have.'


# Every model the other tests and the documentation use must pass the checks (the broken one
# is not JSON of a model by design).
@pytest.mark.parametrize("path", [p for p in sorted(FIXTURES.glob("*.json")) if p.name != "broken_model.json"]
                         + [EXAMPLE], ids=lambda p: p.name)
def test_fixtures_and_example_are_valid_models(path):
    model = json.loads(path.read_text(encoding="utf-8"))
    vc.calculate_from_json(dumps(nothing_to_solve(model)))


# Reading a FIFO would wait for a writer that never comes, /dev/zero never ends: each runs in
# a child interpreter that is killed if it does not return, so a regression fails instead of
# hanging the suite.
PROBE = """
import sys
import varn_calculations as vc
for fn, want in ((vc.calculate_from_file, "Failed to read JSON file '{p}': not a regular file"),
                 (vc.load_varn_from_file, "not a regular file")):
    try:
        fn(sys.argv[1])
    except RuntimeError as e:
        got = str(e).replace(sys.argv[1], "{p}")
        assert got == want, got
    else:
        raise AssertionError("accepted")
print("refused")
"""


def probe(path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(pathlib.Path(vc.__file__).parent), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", PROBE, path], env=env, capture_output=True, text=True,
                          timeout=120)  # a guard against a hang, not a measure of speed
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "refused"


def test_fifo_is_refused_unread(tmp_path):
    fifo = tmp_path / "model.json"
    os.mkfifo(fifo)
    probe(str(fifo))


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/null"])
def test_device_is_refused_unread(device):
    if not os.path.exists(device):
        pytest.skip(f"{device} is not available")
    probe(device)


def test_directory_keeps_its_message(tmp_path):
    with pytest.raises(RuntimeError) as info:
        vc.calculate_from_file(str(tmp_path))
    assert str(info.value) == f"Failed to read JSON file '{tmp_path}': Is a directory"
