#!/usr/bin/env python3
"""The product's modules and their includes: each layer includes only its own and
the layers below it, and no modules include each other in a circle.

    python3 tests/source/check_layers.py [checkout]      (prints the graph with -v)

A module is a header and its source (core/text.h and core/text.cpp are one); an
edge runs from a module to every module whose header one of its files includes.

The engine is in parts, each a folder and a library of its own: the watch at the
bottom; the history, forwarding and the link above it, side by side, each
including of the others only the modules they show (FACES); and the rounds, which
put them together, on top.
"""
import os
import re
import sys

LAYERS = ["core", "rules", "engine", "windows", "app"]
# The engine's parts, by height: a part includes its own and those lower; parts of
# one height include only each other's faces.
ENGINE_PARTS = {"watch": 0, "history": 1, "forward": 1, "link": 1, "rounds": 2}
FACES = {
    "history": {"history_store", "history_status", "history_search", "history_row"},
    "forward": {"forwarder", "forwarding_control"},
    "link": {"wire", "pipe_server", "pipe_client"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def modules_of(root):
    modules = {}
    folders = [layer for layer in LAYERS if layer != "engine"] + [f"engine/{part}" for part in ENGINE_PARTS]
    for relative in folders:
        folder = os.path.join(root, relative)
        for name in sorted(os.listdir(folder)):
            stem, extension = os.path.splitext(name)
            if extension in (".h", ".cpp"):
                modules.setdefault(f"{relative}/{stem}", []).append(os.path.join(folder, name))
    stray = [name for name in os.listdir(os.path.join(root, "engine")) if name not in ENGINE_PARTS]
    if stray:
        raise SystemExit("in engine/ but in none of its parts: " + ", ".join(sorted(stray)))
    return modules


def engine_fault(module, target):
    """Why an include from one engine part into another is not allowed, or None."""
    _, part, _ = module.split("/")
    _, target_part, stem = target.split("/")
    if part == target_part or ENGINE_PARTS[target_part] < ENGINE_PARTS[part]:
        return None
    if ENGINE_PARTS[target_part] > ENGINE_PARTS[part]:
        return f"{module} includes {target}, a part of the engine above it"
    if stem in FACES.get(target_part, set()):
        return None
    return f"{module} includes {target}, inside another part of the engine (it shows only " \
           f"{', '.join(sorted(FACES.get(target_part, set()))) or 'nothing'})"


def edges_of(root, modules):
    edges = {module: set() for module in modules}
    for module, files in modules.items():
        for path in files:
            with open(path, encoding="utf-8", errors="replace") as source:
                for included in INCLUDE.findall(source.read()):
                    target = os.path.splitext(included)[0]
                    if target in modules and target != module:
                        edges[module].add(target)
    return edges


def circles(edges):
    """Strongly connected components of more than one module (Tarjan)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = [0]

    def visit(module):
        index[module] = low[module] = counter[0]
        counter[0] += 1
        stack.append(module)
        on_stack.add(module)
        for target in sorted(edges[module]):
            if target not in index:
                visit(target)
                low[module] = min(low[module], low[target])
            elif target in on_stack:
                low[module] = min(low[module], index[target])
        if low[module] == index[module]:
            component = []
            while True:
                top = stack.pop()
                on_stack.discard(top)
                component.append(top)
                if top == module:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    sys.setrecursionlimit(10000)
    for module in sorted(edges):
        if module not in index:
            visit(module)
    return found


def faults_of(root):
    modules = modules_of(root)
    edges = edges_of(root, modules)
    faults = []
    for module, targets in sorted(edges.items()):
        layer = LAYERS.index(module.split("/")[0])
        for target in sorted(targets):
            if LAYERS.index(target.split("/")[0]) > layer:
                faults.append(f"{module} includes {target}, a layer above it")
            elif module.startswith("engine/") and target.startswith("engine/"):
                fault = engine_fault(module, target)
                if fault:
                    faults.append(fault)
    for component in circles(edges):
        faults.append("modules in a circle: " + ", ".join(component))
    return modules, edges, faults


def prove():
    """The check on small trees made for it: each forbidden include is found, and the
    allowed ones pass."""
    import tempfile
    trees = [
        ("history into forwarding's insides", {"engine/history/store.cpp": "engine/forward/forward_spool.h",
                                                "engine/forward/forward_spool.h": None}, "inside another part"),
        ("watch into the history", {"engine/watch/poll.cpp": "engine/history/history_store.h",
                                    "engine/history/history_store.h": None}, "a part of the engine above it"),
        ("link into the rounds", {"engine/link/wire.cpp": "engine/rounds/engine_host.h",
                                  "engine/rounds/engine_host.h": None}, "a part of the engine above it"),
        ("a part beside the engine's", {"engine/stray/one.cpp": None}, "in none of its parts"),
        ("link into the faces, history into the watch", {"engine/link/wire.cpp": "engine/forward/forwarder.h",
                                                         "engine/forward/forwarder.h": "engine/watch/event_record.h",
                                                         "engine/watch/event_record.h": None,
                                                         "engine/history/history_db.cpp": "engine/watch/event_record.h"},
         None),
    ]
    failed = []
    for name, files, expected in trees:
        with tempfile.TemporaryDirectory() as root:
            for folder in [layer for layer in LAYERS if layer != "engine"] + [f"engine/{p}" for p in ENGINE_PARTS]:
                os.makedirs(os.path.join(root, folder))
            for path, included in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as source:
                    source.write(f'#include "{included}"\n' if included else "")
            try:
                faults = faults_of(root)[2]
            except SystemExit as refusal:
                faults = [str(refusal)]
        found = any(expected in fault for fault in faults) if expected else not faults
        print(f"{'ok' if found else 'FAILED'}: {name}: {'; '.join(faults) or 'no fault'}")
        if not found:
            failed.append(name)
    return 1 if failed else 0


def main():
    if "--prove" in sys.argv:
        return prove()
    arguments = [a for a in sys.argv[1:] if a != "-v"]
    root = arguments[0] if arguments else os.path.join(os.path.dirname(__file__), "..", "..")
    modules, edges, faults = faults_of(root)
    if "-v" in sys.argv:
        for module in sorted(edges):
            print(f"{module} -> {', '.join(sorted(edges[module])) or '-'}")
    if faults:
        print("\n".join(faults))
        return 1
    print(f"{len(modules)} modules in {len(LAYERS)} layers and {len(ENGINE_PARTS)} engine parts, no include runs "
          "upward or into another part's insides, no circle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
