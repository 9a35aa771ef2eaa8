"""Result sets compared value by value: every number of a set that superposes linearly (node
displacements, reactions, member end forces and displacements, station forces), each against
the scale of its kind in the set."""

# Leaves of a member result that superpose linearly (the extremes are maxima of the two ends).
LINEAR_MEMBER_KEYS = [
    "start_node_forces", "end_node_forces", "local_start_forces", "local_end_forces",
    "local_displacement_start_node", "local_displacement_end_node",
]


def set_values(results):
    """Every number of a result set that superposes linearly, keyed by its path."""
    out = {}
    for node, d in results["displacement_nodes"].items():
        for k, v in d.items():
            out[("u", node, k)] = v
    for node, r in results["reaction_nodes"].items():
        for k, v in r["nodal_forces"].items():
            out[("r", node, k)] = v
    for member, r in results["member_results"].items():
        for group in LINEAR_MEMBER_KEYS:
            for k, v in r[group].items():
                out[("m", member, group, k)] = v
        for i, station in enumerate(r["section_forces"]):
            for k, v in station["forces"].items():
                out[("s", member, i, k)] = v
    return out


def assert_sets_close(actual, expected, rel):
    """Each quantity agrees to rel of the largest magnitude of its kind (translations,
    rotations, forces and moments of the set), so that values at round-off level compare
    against the scale of the structure rather than against themselves."""
    a, e = set_values(actual), set_values(expected)
    assert a.keys() == e.keys()
    scale = {}
    for key, v in e.items():
        kind = (key[0], key[-1])
        scale[kind] = max(scale.get(kind, 0.0), abs(v))
    for key, v in e.items():
        tol = rel * max(scale[(key[0], key[-1])], 1e-300)
        assert abs(a[key] - v) <= tol, f"{key}: {a[key]} != {v} (tol {tol})"
