#!/usr/bin/env python3
"""The world-motion report in JSON read back with Python's json module.

agrees LWHEADLESS PLUGIN EXAMPLES WORK: every example that re-parents keeping
world motion, and runs that warn, give one JSON line a run whose figures,
items, parents and warnings print as the text report prints them.
hostile LWHEADLESS PLUGIN WORK: names with a quote, a backslash, a line break,
a byte that is no UTF-8 and UTF-8 proper give valid JSON holding them."""
import json, math, os, subprocess, sys

def run(tool, plugin, jsonl, steps):
    args = [tool, plugin, "-e", "report-json " + jsonl]
    for step in steps:
        args += ["-e", step] if isinstance(step, bytes) or not step.endswith(".lwh") else [step]
    text = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode("utf-8", "replace")
    with open(jsonl, "rb") as f:
        return text, [json.loads(line) for line in f.read().splitlines()]

def g3(x): return "%.3g" % x
def g6(x): return "%.6g" % x
def label(item): return "(none)" if item is None else "%s [%s]" % (item["name"] if item["name"] is not None else "<gone>", item["id"])
def plural(n, one, many): return "%d %s" % (n, one if n == 1 else many)

def change_line(where, c, verified):
    return ("    %s: world position moved at most %s, world rotation turned at most %s deg%s%s" %
            (where, g3(c["position"]), g3(c["degrees"]), "" if c["all_numbers"] else " (some samples are not numbers)",
             "" if verified else " (not verified by this host)"))

def printed(run):
    """The text report as the tool prints it, made from the JSON alone."""
    lines = ["world motion report:"]
    if not run["items"]:
        return lines + ["  no item was selected"]
    tol, frames = run["tolerance"], run["frames"]
    if tol:
        lines.append("  tolerance: %s units, %s deg, %s %% scale (judged at %s times)" %
                     (g6(tol["distance"]), g6(tol["degrees"]), g6(tol["scale_percent"]), g6(tol["judged_at"])))
    for item in run["items"]:
        name = label(item)
        if not item["present"]:
            lines.append("  %s: no longer in the scene" % name)
            continue
        warnings = ["  warning: " + w for w in item["warnings"]]
        if item["nothing_to_unparent"]:
            lines.append(warnings.pop(0))
        if not item["changed"]:
            if not item["nothing_to_unparent"]: lines.append("  %s: unchanged" % name)
            continue
        v, nv = item["verified"], "" if item["verified"] else " (not verified by this host)"
        line = "  %s %s: %s -> %s; keys given new values %d, keys created %d" % (
            "re-parented" if item["reparented"] else "re-keyed", name, label(item["old_parent"]),
            label(item["new_parent"]), item["keys_rewritten"], item["keys_created"])
        if item["scale_keys_rewritten"] or item["scale_keys_created"]:
            line += ", scale keys given new values %d, created %d" % (item["scale_keys_rewritten"], item["scale_keys_created"])
        lines += [line, change_line("at " + plural(item["key_times"], "key time", "key times"), item["at_keys"], v)]
        if run["frames_too_many"]:
            lines.append("    frames: not checked (too many frames to hold for these items)")
        elif frames is None:
            lines.append("    frames: not sampled (no usable frame range)")
        else:
            span = "%d to %d" % (frames["first"], frames["last"])
            lines.append(change_line("every frame " + span if frames["last"] - frames["first"] + 1 == frames["count"] else
                                     "%d frames from %s (the render range and the keyed frames)" % (frames["count"], span),
                                     item["at_frames"], v))
        lines.append("    world scale: %s%s" % ("changed by a factor of at most " + g3(item["scale_factor"])
                                               if item["scale_changed"] else "kept", nv))
        j = item["judged"]
        if j:
            lines.append("    tolerance: judged at %s and %s: at most %s units, %s deg, %s %% scale%s" % (
                plural(j["frames"], "frame", "frames"), plural(j["half_frames"], "half frame", "half frames"),
                g3(j["position"]), g3(j["degrees"]), g3(j["scale_percent"]),
                "" if j["all_numbers"] else " (some samples are not numbers)"))
        if item["descendants"] == 0:
            lines.append("    descendants: none")
        else:
            lines.append("    descendants: %d, moved at most %s (most: %s)%s" % (
                item["descendants"], g3(item["descendants_moved"]), label(item["most_moved"]),
                "" if not item["not_verified"] else " (not verified by this host)"))
        lines += warnings
        lines += ["    %s %s: %s" % (d["relation"], label(d["item"]), d["what"]) for d in item["not_verified"]]
    return lines

def frames_wrong(run, item):
    """Where the largest changes lie: whole frames in the range, half frames
    between, the judged largest the larger of the two, at the warned frame."""
    wrong, whole, half, j = [], item.get("at_frames"), item.get("at_half_frames"), item.get("judged")
    for c, offset in ((whole, 0.0), (half, 0.5)):
        for key in ("position_frame", "degrees_frame"):
            if c and not (c[key] is not None and c[key] - offset == math.floor(c[key]) and
                          run["frames"]["first"] <= c[key] <= run["frames"]["last"]):
                wrong.append("%s %s" % (key, c[key]))
    if j and whole and half:
        worst = max((whole, half), key=lambda c: c["position"])
        if j["position"] != worst["position"]: wrong.append("judged position %r" % j["position"])
        if j["motion_there"]["position_frame"] != j["motion_worst_frame"]: wrong.append("worst frame")
        for w in item["warnings"]:
            if "world motion beyond" in w and " at frame %g: " % j["motion_worst_frame"] not in w:
                wrong.append("warned elsewhere than %r" % j["motion_worst_frame"])
    return wrong

def reports(text):
    """Each printed report's lines."""
    found, lines = [], text.split("\n")
    for i, line in enumerate(lines):
        if line == "world motion report:":
            block = [line]
            for after in lines[i + 1:]:
                if not after.startswith("  "): break
                block.append(after)
            found.append(block)
    return found

def agrees(tool, plugin, examples, work):
    cup, rig = os.path.join(examples, "carried_cup.lws"), os.path.join(examples, "character_rig.lws")
    cases = {name: [os.path.join(examples, name)] for name in sorted(os.listdir(examples))
             if name.endswith(".lwh") and "_wPos" in open(os.path.join(examples, name)).read()}
    # Runs that warn: a tolerance the host passes the plug-in no arguments
    # for, items Layout moves by more than keys, an item without a parent.
    cases["not held"] = ["load " + cup, "generic-version 5", "select Cart", "run KR_memItem", "select Cup",
                         "run KR_setParent_wPos 0.001 0.05"]
    cases["drivers"] = ["load " + rig, "select Character Head ForeArm.L", "run KR_unParent_wPos"]
    failures, runs, warned = [], 0, 0
    for name, steps in cases.items():
        text, objects = run(tool, plugin, os.path.join(work, "agrees.jsonl"), steps)
        blocks = reports(text)
        if len(blocks) != len(objects) or not objects:
            failures.append("%s: %d reports printed, %d JSON lines" % (name, len(blocks), len(objects)))
            continue
        for block, obj in zip(blocks, objects):
            runs += 1
            warned += obj["warnings"]
            if printed(obj) != block:
                failures.append("%s: the JSON prints as\n%s\nbut the report is\n%s" %
                                (name, "\n".join(printed(obj)), "\n".join(block)))
            if obj["warnings"] != sum(1 for line in block if line.startswith("  warning: ")):
                failures.append("%s: %d warnings in JSON" % (name, obj["warnings"]))
            for item in obj["items"]:
                failures += ["%s: %s: %s" % (name, item["name"], f) for f in frames_wrong(obj, item)]
                if item["changed"] and item["tolerance_held"] is not (None if item["judged"] is None else
                        not any("beyond the tolerance" in w for w in item["warnings"])):
                    failures.append("%s: %s: tolerance_held %s" % (name, item["name"], item["tolerance_held"]))
    if warned < 3: failures.append("only %d warnings over the runs: the cases that warn did not" % warned)
    return failures, runs

def hostile(tool, plugin, work):
    name = b'q"b\\c\nd\xff \xc3\xa9 \xe2\x82 \x01'
    steps = [b"object Parent", b"object " + name, b"parent 0x10000001 0x10000000", b"select 0x10000001",
             b"run KR_unParent_wPos"]
    _, objects = run(tool, plugin, os.path.join(work, "hostile.jsonl"), steps)  # raises on invalid JSON
    got = objects[0]["items"][0]["name"] if objects and objects[0]["items"] else None
    want = 'q"b\\c\nd\u00ff \u00e9 \u00e2\u0082 \x01'  # bytes that are no UTF-8 read as Latin-1
    return ([] if got == want else ["the name came back as %r, not %r" % (got, want)]), len(objects)

if __name__ == "__main__":
    mode, tool, plugin, work = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[-1]
    os.makedirs(work, exist_ok=True)
    failures, runs = agrees(tool, plugin, sys.argv[4], work) if mode == "agrees" else hostile(tool, plugin, work)
    for failure in failures: print("FAILED:", failure)
    print("report_json_test %s: %d runs, %s" % (mode, runs, "failed" if failures else "passed"))
    sys.exit(1 if failures or not runs else 0)
