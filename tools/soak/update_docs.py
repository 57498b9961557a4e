#!/usr/bin/env python3
"""Rewrites the soak region of docs/reliability.md from the recorded runs
(docs/reliability/soak-*.json). Everything outside the region is left as it is;
the file is made, with a title and the region, when it is missing."""

import json
import pathlib
import sys

BEGIN = "<!-- soak:begin -->"
END = "<!-- soak:end -->"


def mib(value):
    return f"{value / 1048576:.1f}"


def triple(resource, scale=None):
    if resource is None or resource.get("start", -1) < 0:
        return "not measured"
    show = scale or str
    return f"{show(resource['start'])} / {show(resource['end'])} / {show(resource['peak'])}"


def yes(flag):
    return "yes" if flag else "**no**"


def row(run):
    res = run["resources"]
    responsive = run["responsive"]
    tray = responsive["tray_click_shows"] and responsive["tray_icon_present"] and responsive["answers_messages"]
    if responsive["hot_key_toggles"]:
        hot_key = "yes"
    elif responsive["hot_key_registered"]:
        hot_key = "registered (key not delivered)"
    else:
        hot_key = "**no**"
    ran = run["ran_seconds"]
    duration = f"{ran // 60} min {ran % 60} s" if ran >= 60 else f"{ran} s"
    return (
        f"| {run['label']} | {run['finished']} | {duration} | {run['computers']} / {run['sessions']} / {run['opens']} "
        f"| {run['events_compared']} ({run['events_must']} must) | {run['missing']} | {run['twice']} | {run['invented']} "
        f"| {triple(res['handles'])} | {triple(res['gdi'])} | {triple(res['user'])} "
        f"| {triple(res['private_bytes'], mib)} | {yes(tray)} / {hot_key} | {run['result']} |"
    )


def region(runs):
    lines = [
        BEGIN,
        "## Soak runs",
        "",
        "The real `quorvel.exe` under Wine against the simulated server playing a generated scenario "
        "(`tools/soak/make_scenario.py`): computers connecting and leaving, file opens held from a fraction of "
        "a second to the whole session, a banned computer coming back every few seconds, visitors cut off in "
        "the whitelist periods, computers blocked for a minute from the Monitoring page, the list mode "
        "switched on the Black list page, the main window shown (tray, menu, hot key) and hidden while the "
        "notify window pops up. Every connection and file open in the server's journal is looked up in the "
        "day's text and CSV logs; resources are sampled from outside throughout.",
        "",
        "| run | finished | ran | computers / sessions / opens | events compared | missing | twice | invented "
        "| handles start / end / peak | GDI start / end / peak | USER start / end / peak "
        "| private MiB start / end / peak | tray / hot key | result |",
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    lines += [row(run) for run in runs]
    measured = runs[0]["measured_as"] if runs else {}
    lines += [
        "",
        "Missing, twice and invented count both logs. *Must* events are the ones the program's polling cannot "
        "miss: a session that lived 2.5 s or more (and began 1.5 s or more after that computer and user last "
        "left), a file open 0.6 s or more while an open-files poll answered; the others (closed within a poll, "
        "cut off by a block before a scan) may be logged at most once. An invented line is one no journaled "
        "event explains.",
        "",
        f"Measured as: handles — {measured.get('handles', '?')}; GDI — {measured.get('gdi', '?')}; "
        f"USER — {measured.get('user', '?')}; private memory — {measured.get('private_bytes', '?')}. "
        "Under Wine 8 `GetProcessHandleCount`, `GetGuiResources` and `PrivateUsage` read 0, so the soak counts "
        "the process's entries in the system handle list, the live non-stock entries of its GDI handle table "
        "(read through its PEB), its windows (top-level, message-only and children; menus, icons and cursors "
        "are not counted among USER objects, though an icon's bitmaps are GDI objects) and `PagefileUsage` "
        "(Wine: anonymous resident memory plus swap). A figure *held* when its most in the last third of the "
        "run, and its end, stay within a small allowance of its most in the first third after the warm-up "
        "(the first minute; a quarter of a short run): handles 10, GDI 10, USER 2, threads 2, memory 1 MiB plus "
        "what the two stores bounded by design filled in the meantime (the run's fixed 2 MiB copy of the CSV "
        "records; the Log page's last 256 K characters, counted at 4 bytes a character).",
        "",
        "Rerun: `tools/soak/soak.sh` (30 minutes; `tools/soak/soak.sh 45` for longer) or "
        "`tools/soak/soak.sh short` (90 s); either records its summary in `docs/reliability/` and rewrites "
        "this table. The short run is also part of `scripts/test.sh` (`bash scripts/test.sh -R quorvel_soak`).",
        END,
    ]
    return "\n".join(lines)


def main():
    root = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]
    docs = root / "docs"
    order = {"short": 0, "long": 1}
    runs = [json.loads(path.read_text()) for path in sorted((docs / "reliability").glob("soak-*.json"))
            if not path.name.endswith("-samples.json")]
    runs.sort(key=lambda run: (order.get(run["label"], 2), run["label"]))
    page = docs / "reliability.md"
    text = page.read_text() if page.exists() else "# Reliability\n\n" + BEGIN + "\n" + END + "\n"
    if BEGIN not in text or END not in text:
        text = text.rstrip("\n") + "\n\n" + BEGIN + "\n" + END + "\n"
    before, rest = text.split(BEGIN, 1)
    _, after = rest.split(END, 1)
    page.write_text(before + region(runs) + after)


if __name__ == "__main__":
    main()
