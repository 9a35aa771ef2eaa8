"""End-to-end timing of `calculate_from_json` on building-like space frames.

Each frame is a rectangular grid of columns on fixed bases with beams in both directions on
every floor; two load cases (dead load on every beam, wind on one facade) and three
combinations. The braced variant adds crossed tension-only rods in the end bays of every
storey, in both directions, so that the load cases go through the active-set loop and the
combinations through the cached system with its re-solve. The contact-base variant stands the
plain frame on bases that hold Z only while they push (PositiveOnly): the same loop then
switches the bases, and a combination whose wind lifts a column off its base is re-solved.

The second-order frame (--second-order) is a 9,620-member building of 12 x 12 bays of 6 m x 5 m
and 20 storeys of 3.5 m on fixed bases, one section for every member, with one load case of
5 kN in +X and 10 kN down at every node above the base, analysed "Nonlinear" with P-delta and
with the co-rotational method, side by side; then long lines of short members (cantilever
chains of 500 and 1,000 members under a tip load, a column of 2,000 members at half its Euler
load), whose residual stalls at the round-off of their operator.

The building frame (--targets) is the plain frame of 12 x 12 bays and 20 storeys (9,620
members, 24,843 DOFs) with the first-order sections and loads. --targets prints the figures the
linear path is held to: the building frame end to end beside a bare CHOLMOD analyse + factorise
+ solve of its penalised operator (bench_first_order --bare, from the build directory of the
module) and their ratio; the braced 10k frame end to end with the analyses, factorisations and
low-rank updates of each load case and combination solved alone (bench_first_order --counts);
the cost of the plain and braced frames over the sizes with the fitted exponent of time against
members (the sizes run in turn, round after round, so that the machine's load weighs on all of
them alike); and whether repeated runs gave identical output bytes.

--memory prints the peak resident memory of one request on the building frame, end to end
(the model text handed in, the analysis, the result text returned as a str), each run in a
fresh interpreter: the peak of the whole process, its level before the call (the interpreter,
the module and the input text) and the size of the output.

Run:  PYTHONPATH=build /usr/bin/python3 bench/bench_pipeline.py [--repeat N] [--sizes 1000,5000,10000]
      PYTHONPATH=build /usr/bin/python3 bench/bench_pipeline.py --second-order [--repeat N]
      PYTHONPATH=build /usr/bin/python3 bench/bench_pipeline.py --targets [--repeat N] [--sizes ...]
      PYTHONPATH=build /usr/bin/python3 bench/bench_pipeline.py --memory [--repeat N]
Phase timings of the same frames: bench_pipeline.py --write-models DIR, then
      build/bench_first_order DIR/frame_plain_9889.json
      build/bench_first_order DIR/frame_building_9620.json
      build/bench_second_order DIR/frame_pdelta_9620.json
      build/bench_corotational DIR/frame_pdelta_9620.json
"""
import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time

import varn_calculations as vc

BAY_X, BAY_Y, STOREY = 6.0, 5.0, 3.5


def section(i, name, area, i_y, i_z, j):
    return {"id": i, "name": name, "material": 1, "h": 0.3, "b": 0.3, "i_y": i_y, "i_z": i_z, "j": j,
            "area": area, "i_w": 0.0}


def frame(nx, ny, storeys, braced, contact_bases=False):
    node_ids = {}

    def node(i, j, k):
        key = (i, j, k)
        if key not in node_ids:
            node_ids[key] = len(node_ids) + 1
        n = {"id": node_ids[key], "X": i * BAY_X, "Y": j * BAY_Y, "Z": k * STOREY}
        if k == 0:
            n["nodal_support"] = 1
        return n

    members = []

    def add(a, b, sec, kind, cls):
        members.append({"id": len(members) + 1, "start_node": a, "end_node": b, "section": sec,
                        "rotation_angle": 0.0, "classification": cls, "weight": 0.0, "member_type": kind})

    for k in range(storeys):
        for i in range(nx):
            for j in range(ny):
                add(node(i, j, k), node(i, j, k + 1), 1, "Normal", "Column")
        for i in range(nx):
            for j in range(ny):
                if i + 1 < nx:
                    add(node(i, j, k + 1), node(i + 1, j, k + 1), 2, "Normal", "Beam")
                if j + 1 < ny:
                    add(node(i, j, k + 1), node(i, j + 1, k + 1), 2, "Normal", "Beam")
        if braced:
            # Crossed rods in the first and last bay of the two long facades (X direction) and of
            # the two short ones (Y direction).
            for j in (0, ny - 1):
                for i in (0, nx - 2):
                    add(node(i, j, k), node(i + 1, j, k + 1), 3, "Tension", "Brace")
                    add(node(i + 1, j, k), node(i, j, k + 1), 3, "Tension", "Brace")
            for i in (0, nx - 1):
                for j in (0, ny - 2):
                    add(node(i, j, k), node(i, j + 1, k + 1), 3, "Tension", "Brace")
                    add(node(i, j + 1, k), node(i, j, k + 1), 3, "Tension", "Brace")

    beams = [m["id"] for m in members if m["classification"] == "Beam"]
    dead = {"id": 1, "name": "Dead", "nodal_loads": [], "nodal_moments": [],
            "distributed_loads": [{"member": b, "load_case": 1, "magnitude": 12.0, "direction": [0.0, 0.0, -1.0],
                                   "start_frac": 0.0, "end_frac": 1.0, "end_magnitude": 12.0} for b in beams],
            "rotation_imperfections": [], "translation_imperfections": []}
    facade = [node_ids[(0, j, k)] for k in range(1, storeys + 1) for j in range(ny)]
    wind = {"id": 2, "name": "Wind X", "nodal_loads": [
        {"id": n, "node": n, "load_case": 2, "magnitude": 8.0, "direction": [1.0, 0.0, 0.0], "load_type": "Wind"}
        for n in facade], "nodal_moments": [], "distributed_loads": [],
        "rotation_imperfections": [], "translation_imperfections": []}
    combos = [
        {"id": 1, "name": "ULS 1.35 G + 1.5 W", "load_cases_factors": {"1": 1.35, "2": 1.5}, "check": "ALL"},
        {"id": 2, "name": "SLS G + W", "load_cases_factors": {"1": 1.0, "2": 1.0}, "check": "ALL"},
        {"id": 3, "name": "ULS 1.0 G - 1.5 W", "load_cases_factors": {"1": 1.0, "2": -1.5}, "check": "ALL"},
    ]
    model = {
        "member_sets": [{"id": 1, "classification": "Building", "members": members}],
        "load_cases": [dead, wind], "load_combinations": combos, "imperfection_cases": [],
        "settings": {"id": 1, "analysis_options": {
            "id": 1, "solve_loadcases": True, "solver": "direct", "tolerance": 1e-6, "max_iterations": 20,
            "dimensionality": "3D", "order": "Linear", "rigid_strategy": "LinearMpc", "axial_slack": 0.001},
            "general_info": {"project_name": "bench", "author": "bench", "version": "1"},
            "unit_settings": {"lengthUnit": "m", "forceUnit": "kN", "densityUnit": "kg/m3", "pressureUnit": "MPa"}},
        "materials": [{"id": 1, "name": "S355", "e_mod": 210000.0, "g_mod": 80770.0, "density": 7850.0,
                       "yield_stress": 355.0}],
        "sections": [section(1, "HEB 300", 1.491e-2, 2.517e-4, 8.563e-5, 1.85e-6),
                     section(2, "IPE 400", 8.446e-3, 2.313e-4, 1.318e-5, 5.11e-7),
                     section(3, "Rod 30", 7.07e-4, 4.0e-8, 4.0e-8, 8.0e-8)],
        "nodal_supports": [{"id": 1, "classification": "Fixed base",
                            "displacement_conditions": {a: {"condition_type": "Fixed"} for a in "XYZ"},
                            "rotation_conditions": {a: {"condition_type": "Fixed"} for a in "XYZ"}}],
    }
    if contact_bases:
        model["nodal_supports"][0]["displacement_conditions"]["Z"] = {"condition_type": "PositiveOnly"}
    return model, len(members), len(node_ids)


def members_per_storey(nx, ny, braced):
    n = nx * ny + (nx - 1) * ny + nx * (ny - 1)
    return n + (16 if braced else 0)


def frame_of_size(target, braced, nx=11, ny=11, contact_bases=False):
    per_storey = members_per_storey(nx, ny, braced)
    storeys = max(1, round(target / per_storey))
    while storeys > 1 and storeys * per_storey > 10000:  # the pipeline's member limit
        storeys -= 1
    return frame(nx, ny, storeys, braced, contact_bases)


def building_frame(bays_x=12, bays_y=12, storeys=20):
    """The plain building of the first-order targets: 9,620 members, 3,549 nodes."""
    return frame(bays_x + 1, bays_y + 1, storeys, False)


def second_order_frame(bays_x=12, bays_y=12, storeys=20):
    """The P-delta building: every member E = 210 GPa, G = 81 GPa, A = 0.01 m2, Iy = Iz = 1e-4 m4,
    J = 2e-5 m4; 5 kN in +X and 10 kN down at every node above the base (SI units)."""
    model, _, _ = frame(bays_x + 1, bays_y + 1, storeys, False)
    for m in model["member_sets"][0]["members"]:
        m["section"] = 1
    model["sections"] = [section(1, "Uniform", 0.01, 1e-4, 1e-4, 2e-5)]
    model["materials"] = [{"id": 1, "name": "Steel", "e_mod": 210e9, "g_mod": 81e9, "density": 7850.0,
                           "yield_stress": 355e6}]
    nodes = sorted({n["id"]: n for m in model["member_sets"][0]["members"]
                    for n in (m["start_node"], m["end_node"])}.values(), key=lambda n: n["id"])
    loads = []
    for n in nodes:
        if n["Z"] > 0.0:
            loads.append({"id": len(loads) + 1, "node": n["id"], "load_case": 1, "magnitude": 5000.0,
                          "direction": [1.0, 0.0, 0.0], "load_type": "Wind"})
            loads.append({"id": len(loads) + 1, "node": n["id"], "load_case": 1, "magnitude": 10000.0,
                          "direction": [0.0, 0.0, -1.0], "load_type": "Dead"})
    model["load_cases"] = [{"id": 1, "name": "Sway", "nodal_loads": loads, "nodal_moments": [],
                            "distributed_loads": [], "rotation_imperfections": [],
                            "translation_imperfections": []}]
    model["load_combinations"] = []
    options = model["settings"]["analysis_options"]
    options["order"] = "Nonlinear"
    options["nonlinear_method"] = "P_DELTA"
    model["settings"]["unit_settings"].update({"forceUnit": "N", "pressureUnit": "Pa"})
    return model, len(model["member_sets"][0]["members"]), len(nodes)


def peak_rss_mb():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def memory_run():
    """One request on the building frame in this interpreter; prints its three figures."""
    model, members, _ = building_frame()
    text = json.dumps(model)
    del model
    before = peak_rss_mb()
    out = vc.calculate_from_json(text)
    print(f"{members} {before:.1f} {peak_rss_mb():.1f} {len(out) / 1e6:.1f}")


def bench_memory(repeat):
    runs = []
    for _ in range(repeat):
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-run"], check=True,
                              capture_output=True, text=True)
        members, before, peak, out_mb = done.stdout.split()
        runs.append((float(peak), float(before), float(out_mb), int(members)))
    peak = statistics.median(r[0] for r in runs)
    before = statistics.median(r[1] for r in runs)
    print(f"building frame, {runs[0][3]} members: peak RSS {peak:.0f} MB (median of {repeat} fresh processes; "
          f"{before:.0f} MB before the call, output {runs[0][2]:.0f} MB)")


def bench_second_order(repeat):
    model, members, nodes = second_order_frame()
    print(f"second-order frame: {members} members, {nodes} nodes, {7 * nodes} DOFs")
    for method, name in (("P_DELTA", "P-delta"), ("COROTATIONAL", "co-rotational")):
        model["settings"]["analysis_options"]["nonlinear_method"] = method
        text = json.dumps(model)
        times, outputs = [], set()
        for _ in range(repeat):
            t = time.perf_counter()
            out = vc.calculate_from_json(text)
            times.append(time.perf_counter() - t)
            outputs.add(out)
        results = json.loads(out)["results"]["loadcases"]
        sway = max(d["dx"] for d in results["Sway"]["displacement_nodes"].values())
        print(f"  {name:<14} best {min(times):.3f} s, median {statistics.median(times):.3f} s over {repeat} runs; "
              f"largest sway {sway:.6e} m; "
              f"{'identical output on every run' if len(outputs) == 1 else 'OUTPUT DIFFERS BETWEEN RUNS'}")


def slender_line(count, member_length, direction, tip_loads, method):
    """`count` equal members in a line along `direction` from a clamped node 1 (E = 210 GPa,
    A = 0.01 m2, Iy = Iz = 1e-4 m4), `tip_loads` (magnitude, direction) at the far end (SI)."""
    def node(i):
        n = {"id": i + 1, "X": member_length * i * direction[0], "Y": member_length * i * direction[1],
             "Z": member_length * i * direction[2]}
        if i == 0:
            n["nodal_support"] = 1
        return n
    members = [{"id": i + 1, "start_node": node(i), "end_node": node(i + 1), "section": 1, "rotation_angle": 0.0,
                "classification": "Column", "weight": 0.0, "member_type": "Normal"} for i in range(count)]
    fixed = {"condition_type": "Fixed"}
    return {
        "member_sets": [{"id": 1, "classification": "Line", "members": members}],
        "load_cases": [{"id": 1, "name": "Tip", "nodal_loads": [
            {"id": k + 1, "node": count + 1, "load_case": 1, "magnitude": mag, "direction": list(d),
             "load_type": "Dead"} for k, (mag, d) in enumerate(tip_loads)],
            "nodal_moments": [], "distributed_loads": [], "rotation_imperfections": [],
            "translation_imperfections": []}],
        "load_combinations": [], "imperfection_cases": [],
        "settings": {"id": 1, "analysis_options": {
            "id": 1, "solve_loadcases": True, "solver": "direct", "tolerance": 1e-6, "max_iterations": 20,
            "dimensionality": "3D", "order": "Nonlinear", "rigid_strategy": "LinearMpc", "nonlinear_method": method},
            "general_info": {"project_name": "slender line", "author": "bench", "version": "1"},
            "unit_settings": {"lengthUnit": "m", "forceUnit": "N", "densityUnit": "kg/m3", "pressureUnit": "Pa"}},
        "materials": [{"id": 1, "name": "Steel", "e_mod": 210e9, "g_mod": 81e9, "density": 7850.0,
                       "yield_stress": 355e6}],
        "sections": [section(1, "Uniform", 0.01, 1e-4, 1e-4, 2e-5)],
        "nodal_supports": [{"id": 1, "classification": "Support",
                            "displacement_conditions": {a: fixed for a in "XYZ"},
                            "rotation_conditions": {a: fixed for a in "XYZ"}}],
    }


def bench_slender_lines(repeat):
    """Long chains of short members, whose residual stalls at the round-off of their operator:
    cantilevers under a tip load without axial force (P-delta), and a 5 m column at half its
    Euler load in 2,000 members (co-rotational)."""
    p_cr = math.pi ** 2 * 210e9 * 1e-4 / (2.0 * 5.0) ** 2
    cases = [(f"chain of {n} x {l} m, P-delta", slender_line(n, l, (1, 0, 0), [(1000.0, (0, 0, -1))], "P_DELTA"))
             for n, l in ((500, 0.01), (1000, 0.01), (1000, 0.1))]
    cases.append(("column of 2000 members at 0.5 Pcr, co-rotational",
                  slender_line(2000, 5.0 / 2000, (0, 0, 1), [(0.5 * p_cr, (0, 0, -1)), (1000.0, (1, 0, 0))],
                               "COROTATIONAL")))
    for name, model in cases:
        times, outputs = timed_runs(json.dumps(model), repeat)
        print(f"  {name:<50} best {min(times):.3f} s, median {statistics.median(times):.3f} s over {repeat} runs; "
              f"{'identical output on every run' if len(outputs) == 1 else 'OUTPUT DIFFERS BETWEEN RUNS'}")


def timed_runs(text, repeat):
    """Times of `repeat` runs after one warm-up (pool threads, allocator), and the set of outputs."""
    outputs = {vc.calculate_from_json(text)}
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        out = vc.calculate_from_json(text)
        times.append(time.perf_counter() - t)
        outputs.add(out)
    return times, outputs


def interleaved_medians(texts, rounds):
    """Median time of each model over `rounds` rounds that run every model once in turn, after
    one warm-up each: a load on the machine at any moment then weighs on every size alike, which
    a fitted exponent needs more than any single figure does. Also whether each model gave
    identical outputs."""
    outputs = [{vc.calculate_from_json(text)} for text in texts]
    times = [[] for _ in texts]
    for _ in range(rounds):
        for i, text in enumerate(texts):
            t = time.perf_counter()
            out = vc.calculate_from_json(text)
            times[i].append(time.perf_counter() - t)
            outputs[i].add(out)
    return [statistics.median(ts) for ts in times], all(len(o) == 1 for o in outputs)


def bench_tool(name):
    """A benchmark program of the build directory the module was loaded from."""
    return os.path.join(os.path.dirname(os.path.abspath(vc.__file__)), name)


def fitted_exponent(members, seconds):
    """Least-squares slope of log(time) against log(members)."""
    xs = [math.log(m) for m in members]
    ys = [math.log(t) for t in seconds]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def bench_targets(repeat, sizes):
    identical = True
    with tempfile.TemporaryDirectory() as tmp:
        model, members, nodes = building_frame()
        path = os.path.join(tmp, "building.json")
        text = json.dumps(model)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        times, outputs = timed_runs(text, repeat)
        identical &= len(outputs) == 1
        end_to_end = statistics.median(times)
        bare_out = subprocess.run([bench_tool("bench_first_order"), "--bare", path, str(repeat)],
                                  capture_output=True, text=True, check=True).stdout
        bare = float(bare_out.split()[1])
        print(f"building frame: {members} members, {7 * nodes} DOFs: end to end {end_to_end:.3f} s (median of "
              f"{repeat}, target 0.35 s); bare CHOLMOD analyse + factorise + solve {bare:.3f} s; "
              f"ratio {end_to_end / bare:.2f}")

        model, members, nodes = frame_of_size(10000, True)
        path = os.path.join(tmp, "braced.json")
        text = json.dumps(model)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        times, outputs = timed_runs(text, repeat)
        identical &= len(outputs) == 1
        print(f"tension-only X-braced frame: {members} members, {7 * nodes} DOFs: end to end "
              f"{statistics.median(times):.3f} s (median of {repeat}, target 1.5 s)")
        print(subprocess.run([bench_tool("bench_first_order"), "--counts", path],
                             capture_output=True, text=True, check=True).stdout, end="")

    for braced in (False, True):
        ms, texts = [], []
        for target in sizes:
            model, members, _ = frame_of_size(target, braced)
            ms.append(members)
            texts.append(json.dumps(model))
        ts, same = interleaved_medians(texts, max(repeat, 9))
        identical &= same
        per_member = ", ".join(f"{m}: {1e6 * t / m:.1f}" for m, t in zip(ms, ts))
        print(f"{'braced' if braced else 'plain'} frames, us per member ({per_member}); time ~ members^"
              f"{fitted_exponent(ms, ts):.2f} (target 1.2 or less)")
    print("identical output bytes on every repeated run" if identical else "OUTPUT DIFFERS BETWEEN RUNS")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sizes", default="1000,5000,10000")
    parser.add_argument("--second-order", action="store_true",
                        help="time the second-order building frame (P-delta and co-rotational) instead of "
                             "the first-order frames")
    parser.add_argument("--targets", action="store_true",
                        help="print the figures of the linear path against their targets")
    parser.add_argument("--memory", action="store_true",
                        help="print the peak resident memory of a request on the building frame")
    parser.add_argument("--memory-run", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--write-models", metavar="DIR",
                        help="only write the frames as JSON files (for bench_first_order) and stop")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.memory_run:
        memory_run()
        return
    if args.memory:
        bench_memory(args.repeat)
        return
    if args.write_models:
        for braced in (False, True):
            for target in sizes:
                model, members, _ = frame_of_size(target, braced)
                path = f"{args.write_models}/frame_{'braced' if braced else 'plain'}_{members}.json"
                with open(path, "w", encoding="utf-8") as f:
                    json.dump(model, f)
                print(path)
        model, members, _ = building_frame()
        path = f"{args.write_models}/frame_building_{members}.json"
        with open(path, "w", encoding="utf-8") as f:
            json.dump(model, f)
        print(path)
        model, members, _ = second_order_frame()
        path = f"{args.write_models}/frame_pdelta_{members}.json"
        with open(path, "w", encoding="utf-8") as f:
            json.dump(model, f)
        print(path)
        return
    if args.second_order:
        bench_second_order(args.repeat)
        bench_slender_lines(args.repeat)
        return
    if args.targets:
        bench_targets(args.repeat, sizes)
        return

    print(f"{'variant':<22}{'members':>8}{'nodes':>7}{'DOFs':>8}{'best s':>9}{'median s':>10}{'us/member':>11}")
    for braced, contact in ((False, False), (True, False), (False, True)):
        for target in sizes:
            model, members, nodes = frame_of_size(target, braced, contact_bases=contact)
            text = json.dumps(model)
            vc.calculate_from_json(text)  # warm-up: pool threads, allocator
            times = []
            for _ in range(args.repeat):
                t = time.perf_counter()
                out = vc.calculate_from_json(text)
                times.append(time.perf_counter() - t)
            results = json.loads(out)["results"]
            assert len(results["loadcases"]) == 2 and len(results["loadcombinations"]) == 3
            best, median = min(times), statistics.median(times)
            name = "tension-only X-braced" if braced else "contact bases" if contact else "plain frame"
            print(f"{name:<22}{members:>8}{nodes:>7}{7 * nodes:>8}{best:>9.3f}{median:>10.3f}"
                  f"{1e6 * best / members:>11.1f}")


if __name__ == "__main__":
    main()
