#!/usr/bin/env python3
"""Writes the soak scenario for the simulated server: many computers coming and
going, many file opens, two computers that the driver blocks for a minute, a
banned one and visitors that the whitelist periods cut off.

The same seed and length always give the same file. Lines the driver acts on are
`note driver ...`; `#ini` comment lines are the settings file the driver writes
before the start (the server skips comments)."""

import argparse
import random

PERMS = [("r", 12), ("rw", 6), ("rwc", 2), ("w", 1), ("rc", 1)]
HOT_KEY = 0x0600 | ord("M")  # Ctrl+Alt+M


def pick_perm(rng):
    total = sum(weight for _, weight in PERMS)
    roll = rng.uniform(0, total)
    for perm, weight in PERMS:
        roll -= weight
        if roll <= 0:
            return perm
    return PERMS[0][0]


def quote(text):
    return '"' + text + '"' if (" " in text or text == "") else text


class Scenario:
    def __init__(self):
        self.lines = []  # (time, order, text)

    def add(self, time, text):
        self.lines.append((round(time, 3), len(self.lines), text))

    def render(self):
        return [f"{t:.3f} {text}" for t, _, text in sorted(self.lines)]


def driver_schedule(seconds):
    """The driver's actions: (time, action). Blocks fall in blacklist periods long
    enough for the minute to run out (the countdown runs only in blacklist mode)."""
    actions = []
    if seconds >= 600:
        blocks = [(0.10 * seconds, "PC-TEMP1"), (0.60 * seconds, "PC-TEMP2")]
        whitelist = [(0.25 * seconds, 0.45 * seconds), (0.70 * seconds, 0.85 * seconds)]
        cycle, shown = 45.0, 8.0
    else:
        blocks = [(6.0, "PC-TEMP1")]
        whitelist = [(70.0, seconds - 8.0)]
        cycle, shown = 15.0, 4.0
    for at, computer in blocks:
        actions.append((at, f"block {computer} 1"))
    for start, end in whitelist:
        actions.append((start, "mode whitelist"))
        actions.append((end, "mode blacklist"))
    # Shown for a moment, then hidden again (the notify window only pops up while hidden).
    shows = ["show tray", "show menu", "show hotkey"]
    pages = ["page monitoring", "page blacklist", "page shares", "page logs"]
    hides = ["hide close", "hide hotkey"]
    k = 0
    at = 10.0
    while at + shown < seconds - 4:
        actions.append((at, shows[k % len(shows)]))
        actions.append((at + 1.0, pages[k % len(pages)]))
        actions.append((at + shown, hides[k % len(hides)]))
        k += 1
        at += cycle
    return blocks, whitelist, actions


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=90)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--computers", type=int, default=0, help="default: 40 for a short run, 220 for a long one")
    parser.add_argument("--opens-per-second", type=float, default=20.0)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    seconds = args.seconds
    if seconds < 90:
        parser.error("at least 90 seconds: the temporary block alone takes a minute")
    rng = random.Random(args.seed)
    computers = args.computers or (40 if seconds < 600 else 220)
    if computers + 2 > 250:
        parser.error("the whitelist holds 256 computers")
    last_start = seconds - 5.0  # nothing new in the last seconds: every event has time to be seen

    scenario = Scenario()
    blocks, whitelist, actions = driver_schedule(seconds)
    long_run = seconds >= 600
    session_length = (8.0, 240.0) if long_run else (8.0, 40.0)
    gap_length = (2.0, 40.0) if long_run else (2.0, 8.0)
    online_share = 0.8
    per_session_rate = args.opens_per_second / max(1.0, computers * online_share)

    scenario.add(0, "share Soak disk D:\\Soak remark=\"Soak files\"")
    scenario.add(0, "share Projects disk D:\\Projects")
    scenario.add(0, "share C$ disk+special C:\\ remark=\"Default share\"")
    scenario.add(0, "share IPC$ ipc+special \"\"")

    counts = {"sessions": 0, "opens": 0}

    def play_session(computer, user, flags, start, end, root, file_stem):
        """One session with its files; `end` None: it stays to the end of the run."""
        counts["sessions"] += 1
        scenario.add(start, f"connect {computer} {quote(user)}{flags}")
        stop = (end if end is not None else seconds) - 0.3
        t = start + 0.3
        k = 0
        while True:
            t += rng.expovariate(per_session_rate)
            if t >= min(stop, last_start):
                break
            k += 1
            folder = "My Documents" if k % 7 == 0 else "work"
            path = f"{root}\\{folder}\\{file_stem}{k}.dat"
            scenario.add(t, f"open {computer} {quote(user)} {quote(path)} perm={pick_perm(rng)}")
            counts["opens"] += 1
            kind = rng.random()
            if kind < 0.35:
                held = rng.uniform(0.05, 0.3)  # often closed before any scan sees it
            elif kind < 0.85:
                held = rng.uniform(1.5, 20.0)
            else:
                held = None  # open until the session ends
            if held is not None and (end is None or t + held < end - 0.1):
                scenario.add(t + held, f"close {computer} {quote(user)} {quote(path)}")
        if end is not None:
            scenario.add(end, f"disconnect {computer} {quote(user)}")

    def play_computer(computer, user, flags, root, first):
        t = first
        session = 0
        while t < last_start:
            session += 1
            length = rng.uniform(*session_length)
            end = t + length
            if end > seconds - 1.0:
                end = None
            play_session(computer, user, flags, t, end, f"{root}\\s{session}", "f")
            if end is None:
                break
            t = end + rng.uniform(*gap_length)

    whitelisted = []
    for n in range(1, computers + 1):
        computer = f"WS{n:03d}"
        whitelisted.append(computer)
        if n % 25 == 0:
            user, flags = "", ""  # anonymous: logged as Guest
        elif n % 10 == 0:
            user, flags = "Guest", " guest"
        else:
            user, flags = f"user{n:03d}", ""
        play_computer(computer, user, flags, f"D:\\Soak\\{computer}", rng.uniform(3.0, min(40.0, seconds / 3)))
        if n % 15 == 0:  # a second person on the same computer
            play_computer(computer, "admin", "", f"D:\\Projects\\{computer}-admin", rng.uniform(5.0, seconds / 2))

    # Blocked by the driver for a minute: they come back every 3 s while blocked, and stay after.
    for k, (at, computer) in enumerate(blocks, start=1):
        whitelisted.append(computer)
        user = f"temp{k}"
        scenario.add(2.0, f"reconnect {computer} 3 reopen")
        play_session(computer, user, "", 3.0 + k, None, f"D:\\Soak\\{computer}", "t")
        scenario.add(at - 0.5, f"note block {computer} due")

    # Banned in the settings: cut off whenever it tries, every 4 s.
    scenario.add(2.0, "reconnect PC-BANNED 4 reopen")
    scenario.add(4.0, "connect PC-BANNED mallory")
    scenario.add(4.1, "open PC-BANNED mallory D:\\Soak\\secret.dat perm=rw")
    counts["sessions"] += 1
    counts["opens"] += 1

    # Visitors, not on the whitelist: welcome in blacklist mode, cut off in whitelist mode.
    for n in range(1, 4):
        play_computer(f"VISITOR{n}", f"visitor{n}", "", f"D:\\Projects\\visitor{n}", rng.uniform(3.0, 20.0))

    for at, action in actions:
        scenario.add(at, f"note driver {action}")
    for start, end in whitelist:
        scenario.add(start, "note whitelist period starts")
        scenario.add(end, "note whitelist period ends")
    scenario.add(seconds, "note soak end")

    header = [
        f"# Soak scenario: {seconds:g} s, seed {args.seed}, {computers} computers, "
        f"{counts['sessions']} sessions, {counts['opens']} opens.",
        "#ini [main]",
        "#ini savelogs=1",
        "#ini savesess=1",
        "#ini savefiles=1",
        "#ini savecsvlogs=1",
        "#ini displaysess=1",
        "#ini displayfiles=1",
        "#ini enablenotifywindow=1",
        "#ini soundalert=1",
        "#ini soundalertevents=0",
        "#ini blockmode=0",
        f"#ini hotkey={HOT_KEY}",
        "#ini [blacklist]",
        "#ini count=1",
        "#ini comp0=PC-BANNED",
        "#ini [whitelist]",
        f"#ini count={len(whitelisted)}",
    ]
    header += [f"#ini comp{k}={name}" for k, name in enumerate(whitelisted)]
    header.append(
        f"0 note soak duration={seconds:g} seed={args.seed} computers={computers} "
        f"sessions={counts['sessions']} opens={counts['opens']}"
    )
    with open(args.out, "w", encoding="utf-8", newline="\n") as out:
        out.write("\n".join(header + scenario.render()) + "\n")


if __name__ == "__main__":
    main()
