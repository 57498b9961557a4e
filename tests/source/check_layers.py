#!/usr/bin/env python3
"""The product's modules and their includes: each layer includes only its own and
the layers below it, and no modules include each other in a circle.

    python3 tests/source/check_layers.py [checkout]      (prints the graph with -v)

A module is a header and its source (core/text.h and core/text.cpp are one); an
edge runs from a module to every module whose header one of its files includes.
"""
import os
import re
import sys

LAYERS = ["core", "rules", "engine", "windows", "app"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def modules_of(root):
    modules = {}
    for layer in LAYERS:
        folder = os.path.join(root, layer)
        for name in sorted(os.listdir(folder)):
            stem, extension = os.path.splitext(name)
            if extension in (".h", ".cpp"):
                modules.setdefault(f"{layer}/{stem}", []).append(os.path.join(folder, name))
    return modules


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


def main():
    arguments = [a for a in sys.argv[1:] if a != "-v"]
    root = arguments[0] if arguments else os.path.join(os.path.dirname(__file__), "..", "..")
    modules = modules_of(root)
    edges = edges_of(root, modules)
    if "-v" in sys.argv:
        for module in sorted(edges):
            print(f"{module} -> {', '.join(sorted(edges[module])) or '-'}")
    faults = []
    for module, targets in sorted(edges.items()):
        layer = LAYERS.index(module.split("/")[0])
        for target in sorted(targets):
            if LAYERS.index(target.split("/")[0]) > layer:
                faults.append(f"{module} includes {target}, a layer above it")
    for component in circles(edges):
        faults.append("modules in a circle: " + ", ".join(component))
    if faults:
        print("\n".join(faults))
        return 1
    print(f"{len(modules)} modules in {len(LAYERS)} layers, no include runs upward, no circle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
