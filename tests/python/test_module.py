"""The module boundary: registration, signatures, argument checks, error translation, files,
concurrency and the one-time initialisation."""
import ctypes
import inspect
import json
import threading

import pytest

import varn_calculations as vc
from conftest import chain_model, dumps, nothing_to_solve

FUNCTIONS = [
    (vc.calculate_from_json, "json_data"),
    (vc.calculate_from_file, "path"),
    (vc.load_varn_from_file, "path"),
]

TROUBLESHOOTING = (
    "\nGeneral troubleshooting:\n"
    "  - Ensure all required fields are present\n"
    "  - Verify field types match the schema (objects vs. primitives)\n"
    "  - Check for missing or extra commas/brackets\n"
    "  - Validate array elements are of consistent type\n"
)

BROKEN_REPORT = (
    "JSON deserialization error: expected `,` or `}` at line 5 column 3\n"
    "  Location: line 5, column 3\n"
    "\n  Context:\n"
    '    3 |   "load_cases": [],\n'
    '    4 |   "load_combinations": []\n'
    '  > 5 |   "imperfection_cases": [],\n'
    "      |   ^\n"
    '    6 |   "settings": null\n'
    "    7 | }\n"
    "\n"
    "Hint: Type mismatch detected.\n"
    "      - Verify the field type matches the expected schema\n"
    "      - Check if you're using a primitive where an object is expected (or vice versa)\n"
    + TROUBLESHOOTING
)


def test_functions_registered_in_order():
    public = [name for name in vars(vc) if not name.startswith("_")]
    assert public == ["calculate_from_json", "calculate_from_file", "load_varn_from_file"]


@pytest.mark.parametrize("func,arg", FUNCTIONS)
def test_signature_is_introspectable(func, arg):
    assert str(inspect.signature(func)) == f"({arg})"
    assert func.__text_signature__ == f"({arg})"
    assert func.__doc__ is None


@pytest.mark.parametrize("value", [b"{}", bytearray(b"{}"), 3, 2.5, None, ["{}"]], ids=repr)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
@pytest.mark.parametrize("func,arg", FUNCTIONS)
def test_non_str_argument_is_type_error_naming_it(func, arg, by_keyword, value):
    with pytest.raises(TypeError) as info:
        if by_keyword:
            func(**{arg: value})
        else:
            func(value)
    message = str(info.value)
    assert f"'{arg}'" in message
    assert f"{func.__name__}()" in message
    assert type(value).__name__ in message


@pytest.mark.parametrize("func,arg", FUNCTIONS)
def test_wrong_keyword_or_count_is_type_error(func, arg):
    with pytest.raises(TypeError):
        func(wrong_name="{}")
    with pytest.raises(TypeError):
        func()
    with pytest.raises(TypeError):
        func("{}", "{}")


def test_calculate_from_json_by_keyword(example):
    text = dumps(nothing_to_solve(example))
    assert vc.calculate_from_json(json_data=text) == vc.calculate_from_json(text)


def test_example_runs_through_all_three_functions(example_path):
    text = open(example_path, encoding="utf-8").read()
    from_json = vc.calculate_from_json(text)
    assert vc.calculate_from_file(example_path) == from_json
    assert vc.calculate_from_file(path=example_path) == from_json
    out = json.loads(from_json)
    loaded = json.loads(vc.load_varn_from_file(example_path))
    assert loaded["results"] is None
    # The analysed model is the model as read; only "results" is the run's.
    del out["results"], loaded["results"]
    assert out == loaded


def test_parse_error_report_for_broken_file(fixtures_dir):
    path = str(fixtures_dir / "broken_model.json")
    with pytest.raises(RuntimeError) as from_file:
        vc.calculate_from_file(path)
    assert type(from_file.value) is RuntimeError
    assert str(from_file.value) == BROKEN_REPORT
    with pytest.raises(RuntimeError) as from_json:
        vc.calculate_from_json(open(path, encoding="utf-8").read())
    assert str(from_json.value) == BROKEN_REPORT


def test_load_varn_from_file_gives_the_one_line_reader_message(fixtures_dir):
    with pytest.raises(RuntimeError) as info:
        vc.load_varn_from_file(str(fixtures_dir / "broken_model.json"))
    assert type(info.value) is RuntimeError
    assert str(info.value) == "expected `,` or `}` at line 5 column 3"


@pytest.mark.parametrize(
    "text,starts",
    [
        ("", "JSON deserialization error: EOF while parsing a value at line 1 column 0\n"),
        ("{", "JSON deserialization error: EOF while parsing an object at line 1 column 1\n"),
        ("[]", "JSON deserialization error: invalid length 0, expected struct VARN with 11 elements at line 1 column 2\n"),
        ("5", "JSON deserialization error: invalid type: integer `5`, expected struct VARN at line 1 column 1\n"),
    ],
)
def test_unreadable_json_raises_runtime_error_with_report(text, starts):
    with pytest.raises(RuntimeError) as info:
        vc.calculate_from_json(text)
    assert type(info.value) is RuntimeError
    assert str(info.value).startswith(starts)
    assert str(info.value).endswith(TROUBLESHOOTING)


@pytest.mark.parametrize("pad", range(4))
def test_report_snippet_of_non_ascii_one_line_input_is_readable(pad):
    # One line long enough for the snippet window to start and end inside two-byte
    # characters for some of the paddings.
    text = "[" + " " * pad + '"' + "\u00e9" * 70 + '"' + "x" * pad + "]"
    with pytest.raises(RuntimeError) as info:
        vc.calculate_from_json(text)
    report = str(info.value)
    assert "\n  JSON snippet:\n    ..." in report
    assert "\ufffd" not in report


def missing(tmp_path):
    return str(tmp_path / "no_such_model.json")


def directory(tmp_path):
    return str(tmp_path)


def not_utf8(tmp_path):
    path = tmp_path / "latin1.json"
    path.write_bytes(b'{"member_sets": [], "name": "caf\xe9"}')
    return str(path)


def nul_in_path(tmp_path):
    (tmp_path / "model").write_text("{}")
    return str(tmp_path / "model") + "\0.json"


@pytest.mark.parametrize(
    "make_path,description",
    [
        (missing, "No such file or directory"),
        (directory, "Is a directory"),
        (not_utf8, "stream did not contain valid UTF-8"),
        (nul_in_path, "file name contained an unexpected NUL byte"),
    ],
    ids=["missing", "directory", "not_utf8", "nul_in_path"],
)
def test_unreadable_file(tmp_path, make_path, description):
    path = make_path(tmp_path)
    with pytest.raises(RuntimeError) as calc:
        vc.calculate_from_file(path)
    assert type(calc.value) is RuntimeError
    assert str(calc.value) == f"Failed to read JSON file '{path}': {description}"
    with pytest.raises(RuntimeError) as load:
        vc.load_varn_from_file(path)
    assert type(load.value) is RuntimeError
    assert str(load.value) == description


def test_empty_file_is_a_parse_failure(tmp_path):
    path = tmp_path / "empty.json"
    path.write_bytes(b"")
    with pytest.raises(RuntimeError) as calc:
        vc.calculate_from_file(str(path))
    assert str(calc.value).startswith(
        "JSON deserialization error: EOF while parsing a value at line 1 column 0\n"
        "  Location: line 1, column 0\n\n"
    )
    with pytest.raises(RuntimeError) as load:
        vc.load_varn_from_file(str(path))
    assert str(load.value) == "EOF while parsing a value at line 1 column 0"


def test_non_ascii_text_round_trips(example):
    model = nothing_to_solve(example)
    model["settings"]["general_info"]["project_name"] = "Träger über €-Halle \U0001F3D7"
    model["sections"][0]["name"] = "HEA 200 – Stütze"
    out = json.loads(vc.calculate_from_json(dumps(model)))
    assert out["settings"]["general_info"]["project_name"] == model["settings"]["general_info"]["project_name"]
    assert out["sections"][0]["name"] == "HEA 200 – Stütze"


LONG_CHAIN = 6000  # members: the output text then spans several of the megabyte blocks it is copied in


def test_long_ascii_output_is_the_text_written():
    model = chain_model(LONG_CHAIN)
    text = vc.calculate_from_json(dumps(model))
    assert len(text) > 2 << 20
    assert text.isascii()
    out = json.loads(text)
    assert [m["id"] for m in out["member_sets"][0]["members"]] == list(range(1, LONG_CHAIN + 1))
    assert out["member_sets"][0]["members"][-1]["end_node"]["X"] == float(LONG_CHAIN)


@pytest.mark.parametrize("where", [0, LONG_CHAIN // 2, LONG_CHAIN - 1])
@pytest.mark.parametrize("name", ["Stütze", "Träger – €", "Kran \U0001F3D7"])
def test_non_ascii_name_anywhere_in_a_long_output(where, name):
    # One character beyond ASCII, in the first, a middle or the last block of the text, makes
    # the whole result a str of that character's width, every other character unchanged.
    model = chain_model(LONG_CHAIN)
    model["member_sets"][0]["members"][where]["classification"] = name
    text = vc.calculate_from_json(dumps(model))
    assert not text.isascii()
    members = json.loads(text)["member_sets"][0]["members"]
    assert members[where]["classification"] == name
    assert {m["classification"] for i, m in enumerate(members) if i != where} == {"Beam"}


def test_module_stays_usable_after_failures(example):
    good = dumps(nothing_to_solve(example))
    expected = vc.calculate_from_json(good)
    for bad in ["{", "[]", "null"]:
        with pytest.raises(RuntimeError):
            vc.calculate_from_json(bad)
        assert vc.calculate_from_json(good) == expected


def test_concurrent_calls_from_python_threads(example):
    mm = nothing_to_solve(example)
    mm["settings"]["unit_settings"]["lengthUnit"] = "mm"
    inputs = [dumps(example), dumps(nothing_to_solve(example)), dumps(mm), "{broken"]

    def run(text):
        try:
            return vc.calculate_from_json(text)
        except RuntimeError as e:
            return ("error", str(e))

    expected = [run(t) for t in inputs]
    workers = 4
    rounds = 8
    barrier = threading.Barrier(workers)
    got = [[None] * rounds for _ in range(workers)]
    errors = []

    def worker(w):
        try:
            barrier.wait()
            for r in range(rounds):
                got[w][r] = run(inputs[(w + r) % len(inputs)])
        except BaseException as e:  # surfaced below, not lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for w in range(workers):
        for r in range(rounds):
            assert got[w][r] == expected[(w + r) % len(inputs)]


def test_second_initialisation_is_refused():
    lib = ctypes.PyDLL(vc.__file__)
    init = lib.PyInit_varn_calculations
    init.restype = ctypes.py_object
    with pytest.raises(ImportError):
        init()
    # The module that was imported first keeps working.
    assert vc.load_varn_from_file.__name__ == "load_varn_from_file"
    with pytest.raises(RuntimeError):
        vc.calculate_from_json("{")


def zero_length_member(example, phase):
    model = json.loads(json.dumps(example))
    beam = model["member_sets"][0]["members"][1]
    # Node 3 placed on node 2, in both members that it joins.
    beam["end_node"] = dict(beam["start_node"], id=3)
    model["member_sets"][0]["members"][2]["end_node"] = dict(beam["end_node"])
    if phase == "combinations_cached":
        # Combinations only, and a tie so that they run in parallel against the cached system.
        model["settings"]["analysis_options"]["solve_loadcases"] = False
        model["member_sets"][0]["members"][0]["member_type"] = "Tension"
    return model


def long_chain_with_one_zero_length_member(_example, _phase):
    model = chain_model(300)
    model["settings"]["analysis_options"]["solve_loadcases"] = True
    model["load_cases"] = [{
        "id": 1, "name": "Tip load",
        "nodal_loads": [{"id": 1, "node": 301, "load_case": 1, "magnitude": 1.0,
                         "direction": [0.0, 0.0, -1.0], "load_type": "Point"}],
        "nodal_moments": [], "distributed_loads": [],
        "rotation_imperfections": [], "translation_imperfections": [],
    }]
    member = model["member_sets"][0]["members"][222]
    member["end_node"]["X"] = member["start_node"]["X"]
    model["member_sets"][0]["members"][223]["start_node"]["X"] = member["start_node"]["X"]
    return model


# A member without length once reached the element kernel and ended as an internal panic from
# each of these phases; the model checks now name it before any phase starts. (The panic
# boundary itself, also for faults carried out of pool workers, is tested in test_panic.cpp.)
@pytest.mark.parametrize(
    "build,phase,message",
    [
        (zero_length_member, "load_cases", "Member 2 has no length: its start node 2 and end node 3 lie at the same point."),
        (zero_length_member, "combinations_cached",
         "Member 2 has no length: its start node 2 and end node 3 lie at the same point."),
        (long_chain_with_one_zero_length_member, "member_loop",
         "Member 223 has no length: its start node 223 and end node 224 lie at the same point."),
    ],
    ids=["load_cases", "combinations_cached", "member_loop"],
)
def test_member_without_length_is_refused_and_the_module_goes_on(example, build, phase, message):
    with pytest.raises(RuntimeError) as info:
        vc.calculate_from_json(dumps(build(example, phase)))
    assert type(info.value) is RuntimeError
    assert str(info.value) == message
    out = json.loads(vc.calculate_from_json(dumps(example)))
    assert out["results"]["loadcombinations"]
