#!/usr/bin/env python3
"""Writes the table of faults, bad input and load that the tests tried, and what
held, into docs/reliability.md, between its <!-- tests:begin --> and
<!-- tests:end --> lines. The rows come from the GoogleTest results of the normal
and the checked build (build/mingw*/test-results/*.xml): a test that calls
RecordTrial (or records the properties area, tried and held) is a row."""
import datetime
import pathlib
import sys
import xml.etree.ElementTree as ElementTree

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOC = ROOT / "docs" / "reliability.md"
BUILDS = [("normal build", ROOT / "build" / "mingw"), ("checked build", ROOT / "build" / "mingw-hardened")]
AREAS = ["load", "faults", "bad input"]
BEGIN, END = "<!-- tests:begin -->", "<!-- tests:end -->"


def read_results(folder):
    """{(suite, test): (properties, outcome)} from every result file of a build."""
    results = {}
    for path in sorted((folder / "test-results").glob("*.xml")):
        try:
            tree = ElementTree.parse(path)
        except ElementTree.ParseError as error:
            print(f"{path}: unreadable ({error}), skipped", file=sys.stderr)
            continue
        for case in tree.iter("testcase"):
            properties = {p.get("name"): p.get("value") for p in case.iter("property")}
            for key in ("area", "tried", "held"):  # older GoogleTest writes them as attributes
                if key in case.attrib:
                    properties[key] = case.get(key)
            if case.get("status") == "notrun" or case.get("result") == "skipped":
                outcome = "not run"
            elif case.find("failure") is not None:
                outcome = "**failed**"
            else:
                outcome = "held"
            results[(case.get("classname"), case.get("name"))] = (properties, outcome)
    return results


def cell(text):
    return (text or "").replace("|", "\\|").replace("\n", " ")


def table():
    per_build = [(name, read_results(folder)) for name, folder in BUILDS]
    rows = {}
    for _, results in per_build:
        for key, (properties, _) in results.items():
            if "tried" in properties:
                rows[key] = properties
    ordered = sorted(rows.items(), key=lambda item: (AREAS.index(item[1].get("area"))
                                                     if item[1].get("area") in AREAS else len(AREAS), item[0]))
    lines = ["| area | what was tried | what held | test | " + " | ".join(name for name, _ in per_build) + " |",
             "| --- | --- | --- | --- | " + " | ".join("---" for _ in per_build) + " |"]
    for key, properties in ordered:
        outcomes = [results.get(key, ({}, "not run"))[1] for _, results in per_build]
        lines.append(f"| {cell(properties.get('area'))} | {cell(properties.get('tried'))} | "
                     f"{cell(properties.get('held'))} | `{key[0]}.{key[1]}` | " + " | ".join(outcomes) + " |")
    stamp = datetime.date.today().isoformat()
    header = [f"Written by `tools/reliability/make-table.py` from the test results of {stamp} "
              f"({len(ordered)} tests; \"held\" means the test passed in that build). "
              "Rerun with `tools/reliability/update-table.sh`.", ""]
    return "\n".join(header + lines)


def main():
    text = DOC.read_text(encoding="utf-8") if DOC.exists() else "# Reliability\n"
    body = f"{BEGIN}\n{table()}\n{END}"
    if BEGIN in text and END in text:
        before, rest = text.split(BEGIN, 1)
        text = before + body + rest.split(END, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n## Faults, bad input and load\n\n" + body + "\n"
    DOC.parent.mkdir(parents=True, exist_ok=True)
    DOC.write_text(text, encoding="utf-8")
    print(f"{DOC}: table updated")


if __name__ == "__main__":
    main()
