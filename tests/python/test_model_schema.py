"""The published JSON Schema of the model (docs/model.schema.json) against the reader itself:
every fixture and example gets the same verdict from both, the array form of records is
accepted by both, and the mistakes the format reference names are refused by both."""
import copy
import json
import pathlib
import re
import tempfile

import jsonschema
import pytest

import varn_calculations as vc
from conftest import FIXTURES, REPO, dumps, load_example

SCHEMA = json.loads((REPO / "docs" / "model.schema.json").read_text(encoding="utf-8"))
VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)

MODEL_FILES = sorted(FIXTURES.glob("*.json")) + sorted((REPO / "examples").glob("*.json"))


def schema_accepts(model):
    return VALIDATOR.is_valid(model)


def reader_error(model):
    """The reader's message for the model, or None when it reads: the model goes through
    load_varn_from_file, which reads and writes back without analysing."""
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "model.json"
        path.write_text(dumps(model), encoding="utf-8")
        try:
            vc.load_varn_from_file(str(path))
        except RuntimeError as e:
            return str(e)
    return None


def test_schema_is_a_valid_draft_2020_12_schema():
    jsonschema.Draft202012Validator.check_schema(SCHEMA)


@pytest.mark.parametrize("path", MODEL_FILES, ids=lambda p: p.name)
def test_every_fixture_and_example_gets_the_same_verdict_from_schema_and_reader(path):
    try:
        reader_ok = json.loads(vc.load_varn_from_file(str(path))) is not None
    except RuntimeError:
        reader_ok = False
    try:
        model = json.loads(path.read_text(encoding="utf-8"))
        schema_ok = schema_accepts(model)
    except json.JSONDecodeError:
        schema_ok = False
    assert schema_ok == reader_ok
    if path.parent.name == "examples":
        assert schema_ok


def test_the_analysed_output_is_a_model_the_schema_accepts(example):
    # The output carries "results" and every default filled in; it must read back as input.
    out = json.loads(vc.calculate_from_json(dumps(example)))
    assert out["results"]["loadcombinations"]
    errors = [e.message for e in VALIDATOR.iter_errors(out)]
    assert errors == []


def node_as_array(n):
    return [n["id"], n["X"], n["Y"], n["Z"], n.get("nodal_support")]


def members_of(model):
    for s in model["member_sets"]:
        yield from s["members"]


def arrays_everywhere(model):
    """The example with nodes, unit settings and analysis options in array form."""
    m = copy.deepcopy(model)
    for member in members_of(m):
        member["start_node"] = node_as_array(member["start_node"])
        member["end_node"] = node_as_array(member["end_node"])
    m["settings"]["unit_settings"] = []  # every unit has its default
    o = m["settings"]["analysis_options"]
    m["settings"]["analysis_options"] = [o["id"], o["solve_loadcases"], o["solver"], o["tolerance"],
                                         o.get("max_iterations"), o["dimensionality"], o["order"],
                                         o["rigid_strategy"]]
    return m


def test_records_in_array_form_are_accepted_by_both():
    model = arrays_everywhere(load_example())
    assert schema_accepts(model)
    assert reader_error(model) is None


def edit(path, value=None, delete=False):
    """A change of the example at a key path; list indices and dict keys mixed."""
    def apply(model):
        target = model
        for key in path[:-1]:
            target = target[key]
        if delete:
            del target[path[-1]]
        else:
            target[path[-1]] = value
        return model
    return apply


MEMBER = ["member_sets", 0, "members", 0]

# The mistakes the format reference warns about, with the reader's words for each.
MISTAKES = [
    ("missing required key", edit(["settings", "analysis_options", "tolerance"], delete=True),
     "missing field `tolerance`"),
    ("missing member type", edit(MEMBER + ["member_type"], delete=True), "missing field `member_type`"),
    ("unknown member type", edit(MEMBER + ["member_type"], "Beam"),
     "unknown variant `Beam`, expected one of `Normal`, `Truss`, `Tension`, `Compression`, `Rigid`"),
    ("member type in lower case", edit(MEMBER + ["member_type"], "normal"), "unknown variant `normal`"),
    ("unknown support condition",
     edit(["nodal_supports", 0, "displacement_conditions", "X", "condition_type"], "Pinned"),
     "unknown variant `Pinned`"),
    ("unknown length unit", edit(["settings", "unit_settings", "lengthUnit"], "in"), "unknown variant `in`"),
    ("coordinate as text", edit(MEMBER + ["start_node", "X"], "0.0"),
     'invalid type: string "0.0", expected f64'),
    ("id as text", edit(MEMBER + ["id"], "1"), 'invalid type: string "1", expected u32'),
    ("negative id", edit(MEMBER + ["id"], -1), "invalid value: integer `-1`, expected u32"),
    ("two-component direction", edit(["load_cases", 0, "distributed_loads", 0, "direction"], [0.0, -1.0]),
     "invalid length 2, expected a tuple of size 3"),
    ("combination factor keyed by name", edit(["load_combinations", 0, "load_cases_factors"], {"Dead": 1.0}),
     "expected key to be a number in quotes"),
    ("null where a number is required", edit(["materials", 0, "e_mod"], None),
     "invalid type: null, expected f64"),
    ("node in a short array", edit(MEMBER + ["end_node"], [2, 0.0, 0.0]),
     "invalid length 3, expected struct Node with 5 elements"),
]


@pytest.mark.parametrize("what,change,message", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_documented_mistakes_are_refused_by_schema_and_reader(what, change, message):
    model = change(load_example())
    assert not schema_accepts(model)
    error = reader_error(model)
    assert error is not None and message in error


def test_unknown_keys_are_ignored_by_both():
    # A comment beside a record is skipped by the reader, so the schema allows it too.
    model = load_example()
    model["comment"] = {"by": "checker"}
    model["member_sets"][0]["members"][0]["note"] = "column A"
    assert schema_accepts(model)
    assert reader_error(model) is None


def test_every_enumeration_spelling_of_the_schema_is_read():
    # The spellings come from the reader's tables; each one must reach a model that reads.
    defs = SCHEMA["$defs"]
    places = {
        "MemberType": MEMBER + ["member_type"],
        "SupportConditionType": ["nodal_supports", 0, "displacement_conditions", "X", "condition_type"],
        "LengthUnit": ["settings", "unit_settings", "lengthUnit"],
        "ForceUnit": ["settings", "unit_settings", "forceUnit"],
        "PressureUnit": ["settings", "unit_settings", "pressureUnit"],
        "DensityUnit": ["settings", "unit_settings", "densityUnit"],
        "AnalysisOrder": ["settings", "analysis_options", "order"],
        "RigidStrategy": ["settings", "analysis_options", "rigid_strategy"],
        "Dimensionality": ["settings", "analysis_options", "dimensionality"],
        "NonlinearMethod": ["settings", "analysis_options", "nonlinear_method"],
        "PdeltaFormulation": ["settings", "analysis_options", "pdelta_formulation"],
        "PdeltaMode": ["settings", "analysis_options", "pdelta_mode"],
        "LimitState": ["load_combinations", 0, "limit_state"],
    }
    for name, path in places.items():
        for spelling in defs[name]["anyOf"][0]["enum"]:
            for value in (spelling, {spelling: None}):
                model = edit(path, value)(load_example())
                assert schema_accepts(model), (name, value)
                assert reader_error(model) is None, (name, value)


FORMAT_REFERENCE = REPO / "docs" / "model-format.md"


def reference_examples():
    """The JSON blocks of the format reference: whole models, or members of a record."""
    text = FORMAT_REFERENCE.read_text(encoding="utf-8")
    blocks = re.findall(r"```json\n(.*?)```", text, re.S)
    assert blocks
    examples = []
    for block in blocks:
        try:
            examples.append(json.loads(block))
        except json.JSONDecodeError:
            examples.append(json.loads("{" + block + "}"))
    return examples


def test_every_json_example_of_the_format_reference_is_json():
    assert len(reference_examples()) >= 5


def test_the_minimal_model_of_the_format_reference_is_a_cantilever_with_the_closed_form_tip_deflection():
    model = reference_examples()[0]
    assert schema_accepts(model)
    out = json.loads(vc.calculate_from_json(dumps(model)))
    tip = out["results"]["loadcases"]["Tip load"]["displacement_nodes"]["2"]
    p, length, e, i_y = 1000.0, 3.0, 2.1e11, 8.356e-5
    # Euler-Bernoulli (the section has no shear area): PL³/3EI down, PL²/2EI about +Y. The
    # element is exact for an end load; what remains is the penalty of the fixed base (1e10
    # times the largest stiffness, so a relative error of order 1e-10 in the base rotation
    # and below it elsewhere) and round-off of a one-element system (condition ~ A·L²/I ~ 1e3,
    # times 1e-16), both well inside 1e-9.
    assert tip["dz"] == pytest.approx(-p * length**3 / (3 * e * i_y), rel=1e-9)
    assert tip["ry"] == pytest.approx(p * length**2 / (2 * e * i_y), rel=1e-9)
    base = out["results"]["loadcases"]["Tip load"]["reaction_nodes"]["1"]["nodal_forces"]
    assert base["fz"] == pytest.approx(p, rel=1e-9)
    assert base["my"] == pytest.approx(-p * length, rel=1e-9)


def test_the_results_excerpt_of_the_format_reference_is_what_the_example_gives(example):
    excerpt = next(e for e in reference_examples() if "result_type" in e)
    actual = json.loads(vc.calculate_from_json(dumps(example)))["results"]["loadcases"]["Dead load"]

    def compare(shown, computed, where):
        if isinstance(shown, dict):
            for key, value in shown.items():
                compare(value, computed[key], f"{where}.{key}")
        elif isinstance(shown, list):
            # The excerpt shows the midspan station only.
            if where.endswith("section_forces"):
                computed = [s for s in computed if s["x_frac"] == shown[0]["x_frac"]]
            for k, value in enumerate(shown):
                compare(value, computed[k], f"{where}[{k}]")
        elif isinstance(shown, float):
            # The document rounds to four significant figures and writes tiny values as 0.
            assert computed == pytest.approx(shown, rel=5e-4, abs=1e-9), where
        else:
            assert computed == shown, where

    compare(excerpt, actual, "Dead load")
