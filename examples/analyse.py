#!/usr/bin/env python3
"""Analyse a model file and print a summary of its result sets.

    PYTHONPATH=build /usr/bin/python3 examples/analyse.py [model.json] [--json]

Without a path it analyses the portal frame next to this script; --json prints the whole
analysed model instead of the summary.
"""
import json
import pathlib
import sys

import varn_calculations


def main(argv):
    args = [a for a in argv if a != "--json"]
    path = args[0] if args else str(pathlib.Path(__file__).with_name("portal_frame.json"))
    text = varn_calculations.calculate_from_file(path)
    if "--json" in argv:
        print(text)
        return 0
    model = json.loads(text)
    units = model["settings"]["unit_settings"]
    results = model["results"] or {"loadcases": {}, "loadcombinations": {}}
    sets = [("load case", n, r) for n, r in results["loadcases"].items()]
    sets += [("combination", n, r) for n, r in results["loadcombinations"].items()]
    print(f"{path}: {sum(len(s['members']) for s in model['member_sets'])} members, "
          f"{len(model['load_cases'])} load cases, {len(model['load_combinations'])} combinations")
    if not sets:
        print("no result sets")
    for kind, name, r in sets:
        worst = max(r["displacement_nodes"].items(),
                    key=lambda kv: max(abs(kv[1][k]) for k in ("dx", "dy", "dz")), default=None)
        line = f"{kind} {name!r}: {len(r['displacement_nodes'])} nodes, {len(r['member_results'])} members"
        if worst:
            node_id, d = worst
            line += (f"; largest translation at node {node_id}: dx={d['dx']:.6g} dy={d['dy']:.6g} "
                     f"dz={d['dz']:.6g} {units['lengthUnit']}")
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
