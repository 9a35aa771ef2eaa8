"""Shared model builders for the module tests: the example portal frame and variants of it."""
import copy
import json
import os
import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "portal_frame.json"
FIXTURES = pathlib.Path(os.environ.get("VARN_FIXTURES_DIR", REPO / "tests" / "fixtures"))


def load_example():
    return json.loads(EXAMPLE.read_text(encoding="utf-8"))


def nothing_to_solve(model):
    """The model with no load-case phase and no combinations: the run solves nothing."""
    model = copy.deepcopy(model)
    model["settings"]["analysis_options"]["solve_loadcases"] = False
    model["load_combinations"] = []
    return model


def node(node_id, x, y=0.0, z=0.0, support=None):
    n = {"id": node_id, "X": x, "Y": y, "Z": z}
    if support is not None:
        n["nodal_support"] = support
    return n


def chain_model(member_count, sets=1):
    """A straight line of member_count members, nodes 1..member_count+1, split over sets."""
    model = nothing_to_solve(load_example())
    model["load_cases"] = []
    per_set = -(-member_count // sets)
    member_sets = []
    next_id = 1
    for s in range(sets):
        members = []
        for _ in range(min(per_set, member_count - (next_id - 1))):
            i = next_id
            members.append({
                "id": i,
                "start_node": node(i, float(i - 1), support=1 if i == 1 else None),
                "end_node": node(i + 1, float(i)),
                "section": 1,
                "rotation_angle": 0.0,
                "classification": "Beam",
                "weight": 0.0,
                "member_type": "Normal",
            })
            next_id += 1
        member_sets.append({"id": s + 1, "members": members})
    model["member_sets"] = member_sets
    return model


def dumps(model):
    return json.dumps(model, ensure_ascii=False)


@pytest.fixture
def example():
    return load_example()


@pytest.fixture
def example_path():
    return str(EXAMPLE)


@pytest.fixture
def fixtures_dir():
    return FIXTURES
