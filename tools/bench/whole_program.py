#!/usr/bin/env python3
"""The whole-program benchmark's driver: starts the real quorvel.exe under Wine
against the simulated server, one run per measurement, and prints a Markdown table
of each case's figure, the floor measured the same way, their ratio and the longest
time the program's GUI thread did not answer.

tools/bench/whole-program.sh sets up Wine, the display and the build, then runs this;
the Wine prefix, DISPLAY and a running Wine server come from there. Every figure is
read from outside the program: the day's text logs, this computer's and each
watched server's (polled every 20 ms), the simulated server's journal,
/proc/<pid>/stat and /proc/<pid>/status of the Linux process that runs quorvel.exe,
and whole_program_probe.exe inside Wine."""

import argparse
import datetime
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

POLL_S = 0.02
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
DELIVERY_OFF = {"savefiles": 0, "displayfiles": 0, "savesess": 0, "displaysess": 0, "savelogs": 0,
                "savecsvlogs": 0}
SHARE_LINE = r"0 share Bench disk D:\Shares\Bench"
FILE_KEY = re.compile(rb"\\Shares\\Bench\\(\S+?)\.txt")
CONNECT_KEY = re.compile(rb"connected from (\S+)")
JOURNAL_LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) t=(\d+) (\S+) (\S+)(.*)$")
FIELD = re.compile(r' (\w+)=("(?:[^"]|"")*"|\S*)')


# ---- settings files and scenarios ----------------------------------------------------

# --history-off: every run's settings keep no history ([history] enabled=0), so that
# the same cases show the program with its history store and without it.
HISTORY_OFF = False


def settings_text(main=None, blacklist=(), servers=(), forward=None, tripwires=None):
    """The settings file: the program's defaults spelled out, then `main` over them;
    the blacklist, the file servers watched besides this computer, and [forward]."""
    values = {"loadprogramonstartup": 0, "savelogs": 1, "savesess": 1, "savefiles": 1, "savecsvlogs": 0,
              "displaysess": 1, "displayfiles": 1, "enablenotifywindow": 1, "soundalert": 0,
              "autorefresh": 1, "blockmode": 0}
    values.update(main or {})
    lines = ["[main]"] + [f"{key}={value}" for key, value in values.items()]
    lines += ["[blacklist]", f"count={len(blacklist)}"]
    lines += [f"comp{k}={name}" for k, name in enumerate(blacklist)]
    if servers:
        lines += ["[servers]", f"count={len(servers)}"]
        lines += [f"server{k}={name}" for k, name in enumerate(servers, 1)]
    if forward:
        lines += ["[forward]"] + [f"{key}={value}" for key, value in forward.items()]
    if tripwires:
        lines += ["[tripwires]"] + [f"{key}={value}" for key, value in tripwires.items()]
    if HISTORY_OFF:
        lines += ["[history]", "enabled=0"]
    return "\r\n".join(lines) + "\r\n"


def open_at_start(computers, per_computer, folder=""):
    """Files already open when the program first looks: every one at time 0, in
    `folder` (a name without spaces) under the share when one is given."""
    inside = folder + "\\" if folder else ""
    lines = [SHARE_LINE,
             f"0 repeat {computers} 0 c", "0 connect WS{c} user{c}",
             f"0 repeat {per_computer} 0 f",
             rf"0 open WS{{c}} user{{c}} D:\Shares\Bench\{inside}c{{c}}\f{{f}}.txt perm=rw", "end", "end"]
    keys = {f"{inside}c{c}\\f{f}" for c in range(1, computers + 1) for f in range(1, per_computer + 1)}
    return lines, keys


def sessions_only(count):
    return [SHARE_LINE, f"0 repeat {count} 0 c", "0 connect PC{c} user{c}", "end"]


BURST_AT_S = 8
BURST_SIZE = 2000
# Blacklisted computers connecting across the burst, one every 200 ms.
BLOCKED = [(f"BADPC{k}", BURST_AT_S + 0.1 + 0.2 * k) for k in range(5)]


def burst_scenario(with_burst):
    """Ten computers with five files each; from 8 s, 2,000 opens within one second
    (two every millisecond) by two of them; meanwhile the blacklisted computers connect."""
    lines, keys = open_at_start(10, 5)
    if with_burst:
        lines += [f"{BURST_AT_S} repeat {BURST_SIZE // 2} 0.001 k",
                  r"0 open WS1 user1 D:\Shares\Bench\burst\a{k}.txt",
                  r"0 open WS2 user2 D:\Shares\Bench\burst\b{k}.txt", "end"]
    lines += [f"{at:.1f} connect {name} intruder" for name, at in BLOCKED]
    burst = {f"burst\\{side}{k}" for side in "ab" for k in range(1, BURST_SIZE // 2 + 1)}
    return lines, keys, burst


BURST_LAST_PATH = f"D:\\Shares\\Bench\\burst\\b{BURST_SIZE // 2}.txt"


def churn_scenario(files, seconds, changes_per_second):
    """`files` open at time 0, then from 1 s on, the oldest closing and a new one
    opening, `changes_per_second` changes (a close or an open) a second."""
    sessions = 150
    lines = [SHARE_LINE, f"0 repeat {sessions} 0 c", "0 connect WS{c} user{c}", "end"]
    owner = lambda n: f"WS{n % sessions + 1} user{n % sessions + 1}"
    path = lambda n: f"D:\\Shares\\Bench\\churn\\f{n}.txt"
    lines += [f"0 open {owner(n)} {path(n)} perm=rw" for n in range(files)]
    pairs = changes_per_second // 2
    oldest, newest = 0, files
    for k in range(seconds * pairs):
        at = 1 + k / pairs
        lines.append(f"{at:.3f} close {owner(oldest)} {path(oldest)}")
        lines.append(f"{at:.3f} open {owner(newest)} {path(newest)} perm=rw")
        oldest, newest = oldest + 1, newest + 1
    return lines, {f"churn\\f{n}" for n in range(files)}


# Eight file servers watched besides this computer; in `servers8slow` the last takes
# 20 s to fail every call.
SERVERS = [f"FS{k}" for k in range(1, 9)]
SLOW_SERVER = SERVERS[-1]
ANSWERING = [None] + SERVERS[:-1]  # None: this computer
ACTIVITY_AT_S = 6
# Periods that no poll's divides, so that the events fall at every phase of the polls.
NEW_COMPUTER_EVERY_S = 1.037
INTRUDER = "BADPC"
INTRUDER_EVERY_S = 2.311


def on(server):
    """The start of a scenario command aimed at a server (None: this computer)."""
    return f"on {server} " if server else ""


def server_text(server):
    return server or "this computer"


def bench_key(server, rest):
    """A file's key in the logs: the server's folder under the share, then `rest`."""
    return (server.lower() if server else "local") + "\\" + rest


def bench_open(server, computer, rest):
    return f"0 {on(server)}open {computer} user{{c}} D:\\Shares\\Bench\\{bench_key(server, rest)}.txt perm=rw"


def servers_scenario(stretch_s):
    """Eight servers besides this computer, the last taking 20 s to fail every call. On
    this computer and each of the seven others: five computers with five files each
    open at time 0; from 6 s on, for `stretch_s` seconds, a new computer every 1.037 s
    connecting and opening five files 0.2 s apart, and the blacklisted computer
    connecting every 2.311 s (the servers' first connections 0.37 s apart). Returns the
    lines and, per server, the keys of all its files."""
    lines = [SHARE_LINE] + [f"0 server {name}" for name in SERVERS[:-1]] + [f"0 server {SLOW_SERVER} delay=20 down"]
    keys = {}
    computers = int(stretch_s / NEW_COMPUTER_EVERY_S)
    intrusions = int((stretch_s - 3.5) / INTRUDER_EVERY_S) + 1
    for k, server in enumerate(ANSWERING):
        if server:
            lines.append(f"0 on {server} share Bench disk D:\\Shares\\Bench")
        lines += ["0 repeat 5 0 c", f"0 {on(server)}connect WS{{c}} user{{c}}",
                  "0 repeat 5 0 f", bench_open(server, "WS{c}", "c{c}\\f{f}"), "end", "end"]
        lines += [f"{ACTIVITY_AT_S + 0.13 * k:.3f} repeat {computers} {NEW_COMPUTER_EVERY_S} c",
                  f"0 {on(server)}connect NEW{{c}} user{{c}}",
                  "0.1 repeat 5 0.2 f", bench_open(server, "NEW{c}", "new\\c{c}\\f{f}"), "end", "end"]
        lines += [f"{ACTIVITY_AT_S + 0.5 + 0.37 * k:.3f} repeat {intrusions} {INTRUDER_EVERY_S}",
                  f"0 {on(server)}connect {INTRUDER} intruder", "end"]
        keys[server] = {bench_key(server, f"c{c}\\f{f}") for c in range(1, 6) for f in range(1, 6)}
        keys[server] |= {bench_key(server, f"new\\c{c}\\f{f}") for c in range(1, computers + 1) for f in range(1, 6)}
    return lines, keys


# An encrypting client: 40 new files a second opened for writing from 6 s on; whenever
# its sessions are deleted it comes back half a second later and opens its files again.
TRIP_AT_S = 6
VICTIM = "PC-VICTIM"
WRITES_PER_S = 40


def trip_scenario(servers, seconds, shares=0, blocked_every_s=None):
    """The encrypting client on this computer and on each of `servers` (None: this
    computer), with `shares` disk shares besides the bench's on this computer, and the
    blacklisted computer connecting every `blocked_every_s` from the trip on."""
    lines = [SHARE_LINE] + [f"0 server {server}" for server in servers if server]
    lines += [f"0 share S{k} disk D:\\Shares\\S{k}" for k in range(shares)]
    for server in servers:
        if server:
            lines.append(f"0 on {server} share Bench disk D:\\Shares\\Bench")
        lines += [f"0 {on(server)}connect {VICTIM} mallory", f"0 {on(server)}reconnect {VICTIM} 0.5 reopen",
                  f"{TRIP_AT_S} repeat {int(seconds * WRITES_PER_S)} {1 / WRITES_PER_S}",
                  f"0 {on(server)}open {VICTIM} mallory D:\\Shares\\Bench\\enc\\f{{i}}.enc perm=wc", "end"]
    if blocked_every_s:
        lines += [f"{TRIP_AT_S} repeat {int(seconds / blocked_every_s)} {blocked_every_s}",
                  f"0 connect {INTRUDER} intruder", "end"]
    return lines


def busy_servers_scenario(files_per_server, computers):
    """Eight servers besides this computer (which has none), each with `computers`
    sessions and `files_per_server` files open at time 0."""
    lines = [SHARE_LINE] + [f"0 server {name}" for name in SERVERS]
    keys = {}
    per_computer = files_per_server // computers
    for server in SERVERS:
        lines += [f"0 on {server} share Bench disk D:\\Shares\\Bench",
                  f"0 repeat {computers} 0 c", f"0 on {server} connect WS{{c}} user{{c}}",
                  f"0 repeat {per_computer} 0 f", bench_open(server, "WS{c}", "c{c}\\f{f}"), "end", "end"]
        keys[server] = {bench_key(server, f"c{c}\\f{f}")
                        for c in range(1, computers + 1) for f in range(1, per_computer + 1)}
    return lines, keys


# ---- the History page over a busy office's year (tools/bench/bench_history.cpp) -------

HISTORY_FILE = "quorvel-history.db"
HISTORY_DAYS = 365
HISTORY_EVENTS = 10_000_000  # --history-events, or QUORVEL_BENCH_HISTORY_EVENTS, for a quicker try
HISTORY_USER = "user0042"
HISTORY_PATH_PART = "project05"
HISTORY_DAY_BACK = 165  # bench_history's "one day": day 200 of the year that ends yesterday
HISTORY_STEP_TIMEOUT_S = 60  # the probe's wait for each step
HISTORY_BACKFILL_TIMEOUT_S = 3600  # quick: a third
BACKFILL_RUNNING = "reading the daily logs"  # the page's status while the logs are read in
BACKFILL_DONE = "History is up to date"


# ---- forwarding to a real rsyslogd on 127.0.0.1 ----------------------------------------

FWD_KEY = re.compile(rb"Bench\\fwd\\([a-z]\d+)\.txt")  # the message's text: the structured data doubles "\"
FWD_AT_S = 6


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Collector:
    """rsyslogd with a RELP, a TCP and a UDP input on free ports of 127.0.0.1, each
    writing the raw messages it receives, one a line, to a file of its own."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(os.path.join(folder, "work"), exist_ok=True)
        for old in glob.glob(os.path.join(folder, "*.log")):
            os.remove(old)
        self.ports = {"relp": free_port(), "tcp": free_port(), "udp": free_port(socket.SOCK_DGRAM)}
        with open(os.path.join(folder, "rsyslog.conf"), "w") as conf:
            conf.write(f'global(workDirectory="{folder}/work" maxMessageSize="64k")\n'
                       'main_queue(queue.type="Direct")\n'
                       'module(load="imrelp")\nmodule(load="imtcp")\nmodule(load="imudp")\n'
                       'template(name="raw" type="string" string="%rawmsg%\\n")\n')
            for name, port in self.ports.items():
                conf.write(f'ruleset(name="{name}" queue.type="Direct") {{ action(type="omfile" '
                           f'file="{folder}/{name}.log" template="raw") }}\n'
                           f'input(type="im{name}" address="127.0.0.1" port="{port}" ruleset="{name}")\n')
        self.process = None
        self.offsets = {}
        self.keys = {}  # by input: the file keys in the order received

    def start(self):
        rsyslogd = shutil.which("rsyslogd") or "/usr/sbin/rsyslogd"
        self.process = subprocess.Popen([rsyslogd, "-n", "-f", os.path.join(self.folder, "rsyslog.conf"),
                                         "-i", os.path.join(self.folder, "rsyslogd.pid")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 15
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.ports["relp"]), 0.5).close()
                return
            except OSError:
                time.sleep(0.05)
        raise SystemExit("rsyslogd did not start")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=15)

    def received(self, name):
        """The file keys received on an input so far, in order, duplicates kept."""
        keys = self.keys.setdefault(name, [])
        path = os.path.join(self.folder, f"{name}.log")
        if os.path.exists(path):
            with open(path, "rb") as file:
                file.seek(self.offsets.get(name, 0))
                data = file.read()
            whole = data[:data.rfind(b"\n") + 1]
            self.offsets[name] = self.offsets.get(name, 0) + len(whole)
            for line in whole.split(b"\n"):
                match = FWD_KEY.search(line)
                if match:
                    keys.append(match.group(1).decode())
        return keys


def unanswering_listener():
    """A port on 127.0.0.1 that takes connections into its backlog and never reads
    nor answers: a collector host that never answers."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    return listener


class HangingRelpCollector:
    """A RELP collector on 127.0.0.1 that takes each connection, answers its open and
    then reads every frame and answers none: a collector hung after its start."""

    def __init__(self, port):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(8)
        self.connections = []
        self.opens = 0
        self.bytes = 0
        self.stopped = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopped:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            self.connections.append(connection)
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        data = b""
        try:
            while b"\n" not in data or not data.split(b" ", 2)[1:2] == [b"open"]:
                chunk = connection.recv(65536)
                if not chunk:
                    return
                data += chunk
                if len(data) > 65536:
                    return
            offers = b"200 OK\nrelp_version=0\nrelp_software=hang\ncommands=syslog"
            connection.sendall(data.split(b" ", 1)[0] + b" rsp " + str(len(offers)).encode() + b" " + offers + b"\n")
            self.opens += 1
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    return
                self.bytes += len(chunk)
        except OSError:
            return

    def stop(self):
        self.stopped = True
        self.listener.close()
        for connection in self.connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            connection.close()


def fwd_scenario(count, per_step, step_s, close_after_s=None, blocked_at=()):
    """From 6 s on, `count` file opens by WS1, `per_step` every `step_s`; each file
    closed `close_after_s` later (None: kept open); blacklisted computers connecting
    at the times given. Returns the lines and the keys in the order they open."""
    lines = [SHARE_LINE, "1 connect WS1 user1"]
    lines.append(f"{FWD_AT_S} repeat {count // per_step} {step_s} k")
    for side in "abcdefghij"[:per_step]:
        lines.append(rf"0 open WS1 user1 D:\Shares\Bench\fwd\{side}{{k}}.txt perm=rw")
        if close_after_s is not None:
            lines.append(rf"{close_after_s} close WS1 user1 D:\Shares\Bench\fwd\{side}{{k}}.txt")
    lines.append("end")
    lines += [f"{at:.1f} connect {name} intruder" for name, at in blocked_at]
    keys = [f"{side}{k}" for k in range(1, count // per_step + 1) for side in "abcdefghij"[:per_step]]
    return lines, keys


def day_log_keys(documents):
    """The forwarding cases' file keys in the order the day's text log holds them."""
    keys = []
    for path in glob.glob(os.path.join(documents, "quorvel_logs", "*.log")):
        with open(path, "rb") as file:
            keys += [match.group(1).decode() for match in FWD_KEY.finditer(file.read())]
    return keys


def delivery_text(received, sent_keys, in_order_of):
    """'n of N received, d twice, in order' for a collector's keys."""
    unique = set(received)
    missing = len(set(sent_keys) - unique)
    twice = len(received) - len(unique)
    first_seen = list(dict.fromkeys(received))
    order = "in the log's order" if first_seen == [key for key in in_order_of if key in unique] else "**out of order**"
    return (f"{len(unique):,} of {len(sent_keys):,} received" + (f", **{missing:,} missing**" if missing else "")
            + (f", {twice:,} received twice" if twice else ", none twice") + f", {order}")


# ---- reading what the program and the server wrote -----------------------------------

class LineFollower:
    """Reads whole new lines of the files a glob names, as they grow."""

    def __init__(self, pattern):
        self.pattern = pattern
        self.offsets = {}

    def new_lines(self):
        lines = []
        for path in sorted(glob.glob(self.pattern)):
            try:
                with open(path, "rb") as file:
                    file.seek(self.offsets.get(path, 0))
                    data = file.read()
            except OSError:
                continue
            end = data.rfind(b"\n") + 1
            self.offsets[path] = self.offsets.get(path, 0) + end
            lines += data[:end].splitlines()
        return lines


class TextLog:
    """The day's text log of this computer, or of a watched server (`server`: its
    folder in the log folder): which file opens and connections it holds, how often,
    and when this script first saw each file's line."""

    def __init__(self, documents, server=None):
        self.follower = LineFollower(os.path.join(documents, "quorvel_logs", *([server] if server else []), "*.log"))
        self.files = {}
        self.seen_at = {}  # file key: this script's time at the poll that first found it
        self.connections = {}
        self.missing = {}  # id of a set of file keys asked about: those of them not logged yet

    def update(self):
        now = time.time()
        for line in self.follower.new_lines():
            for pattern, seen in ((FILE_KEY, self.files), (CONNECT_KEY, self.connections)):
                match = pattern.search(line)
                if match:
                    key = match.group(1).decode("latin-1")
                    seen[key] = seen.get(key, 0) + 1
                    if seen is self.files:
                        self.seen_at.setdefault(key, now)
                        for missing in self.missing.values():
                            missing.discard(key)

    def holds(self, keys):
        """Whether every file of `keys` is logged; cheap to ask again with the same set."""
        if id(keys) not in self.missing:
            self.missing[id(keys)] = {key for key in keys if key not in self.files}
        return not self.missing[id(keys)]

    def check(self, keys):
        """'n of N, d twice': how many of `keys` the log holds, and lines logged more than once."""
        found = sum(1 for key in keys if key in self.files)
        twice = sum(1 for count in self.files.values() if count > 1)
        return f"{found:,} of {len(keys):,} logged" + (f", {twice:,} logged twice" if twice else "")


def server_of(entry):
    """The server a journal line is about, its name in capitals; None for this computer
    (a call's `server=null`, an event without `server`)."""
    name = entry.fields.get("server", "null")
    return None if name in ("null", "") else name.lstrip("\\").upper()


class JournalEntry:
    def __init__(self, match):
        stamp = datetime.datetime.strptime(match.group(1), "%Y-%m-%d %H:%M:%S.%f")
        self.wall = stamp.timestamp()  # the journal's clock is local time, as Python reads it
        self.t = int(match.group(2))
        self.kind = match.group(3)
        self.what = match.group(4)
        self.fields = {key: value.strip('"').replace('""', '"') for key, value in FIELD.findall(match.group(5))}


class Journal:
    def __init__(self, path):
        self.follower = LineFollower(path)
        self.entries = []
        self.by_kind = {}  # (kind, what): indexes into entries

    def update(self):
        for line in self.follower.new_lines():
            match = JOURNAL_LINE.match(line.decode("utf-8", "replace"))
            if match:
                entry = JournalEntry(match)
                self.by_kind.setdefault((entry.kind, entry.what), []).append(len(self.entries))
                self.entries.append(entry)

    def first(self, kind, what, after_t=-1, **fields):
        return self.first_where(kind, what, lambda entry: entry.t >= after_t and all(
            entry.fields.get(key) == value for key, value in fields.items()))

    def first_where(self, kind, what, matches):
        for index in self.by_kind.get((kind, what), []):
            if matches(self.entries[index]):
                return self.entries[index]
        return None

    def next_call(self, index):
        """The first call journaled after entry `index`."""
        return next((entry for entry in self.entries[index + 1:] if entry.kind == "call"), None)

    def file_scan_done(self, files, after_t=-1):
        """The first complete open-file enumeration (all its pages) of this computer
        started at or after `after_t` that holds at least `files` entries, ended by the
        program's next call to the server (in this program: freeing the last page's
        buffer). None until then."""
        read = 0
        for index in self.by_kind.get(("call", "NetFileEnum"), []):
            entry = self.entries[index]
            if server_of(entry) is not None:
                continue
            if entry.fields.get("resume") in ("0", "null"):
                read = 0
            if entry.t < after_t:
                continue
            read += int(entry.fields.get("entries", "0") or 0)
            if entry.fields.get("status") == "0" and read >= files:
                return self.next_call(index)
        return None

    def scan_starts(self, server=None, what="NetFileEnum"):
        """When each scan of a server (None: this computer) began: its first page, as
        journaled when answered."""
        scans = [self.entries[index] for index in self.by_kind.get(("call", what), [])]
        return [scan.t for scan in scans
                if scan.fields.get("resume") in ("0", "null") and server_of(scan) == server]

    def longest_scan_gap_ms(self, until_t, from_t=None, server=None, what="NetFileEnum"):
        """The longest time between the starts of two open-file scans of this computer
        (200 ms apart in a program whose timers run on time), the last one counting up to
        `until_t`; with `from_t`, only gaps that end after it. With `server` and `what`,
        the same of another server's scans, or of its session reads."""
        starts = [t for t in self.scan_starts(server, what) if t <= until_t]
        gaps = [later - earlier for earlier, later in zip(starts, starts[1:] + [until_t])
                if from_t is None or later > from_t]
        return max(gaps, default=None)


def cpu_ms(pid):
    """utime + stime of all the process's threads, in milliseconds (10 ms steps)."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 / CLOCK_TICKS


def run_and_wait_s(pid):
    """The seconds all the process's threads ran, and waited runnable for a core
    (/proc/<pid>/task/*/schedstat): the second is what a busy machine costs it."""
    ran = waited = 0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as stat:
                fields = stat.read().split()
            ran, waited = ran + int(fields[0]), waited + int(fields[1])
        except (OSError, IndexError, ValueError):
            continue
    return ran / 1e9, waited / 1e9


def memory_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def wineserver_pid(prefix):
    """The Wine server of our prefix (there may be others on the machine)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if b"wineserver" not in cmdline.read().split(b"\0")[0]:
                    continue
            with open(f"/proc/{entry}/environ", "rb") as environ:
                if f"WINEPREFIX={prefix}".encode() in environ.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---- one run of the program ----------------------------------------------------------

class Run:
    """One start of quorvel.exe (or of the enumerate-only floor) with its scenario,
    settings file and arguments; ends the program when done."""

    def __init__(self, bench, name, scenario, settings="", arguments="", enumerate_only=False, servers=(),
                 probe_period_ms=None, before_start=None):
        """`before_start(log_folder)`: puts files into the emptied log folder before the start."""
        self.bench = bench
        self.name = name
        self.folder = os.path.join(bench.out, name)
        os.makedirs(self.folder, exist_ok=True)
        self.scenario_path = os.path.join(self.folder, "scenario.txt")
        self.journal_path = os.path.join(self.folder, "journal.txt")
        self.stop_path = os.path.join(self.folder, "stop")
        # An earlier run's journal, the shares' permissions its server kept, and the denies
        # its trips left in force would carry over: each run starts from none.
        for path in (self.journal_path, self.journal_path + ".shares", self.stop_path,
                     os.path.join(bench.documents, "quorvel-denies.txt")):
            if os.path.exists(path):
                os.remove(path)
        with open(self.scenario_path, "w", newline="\n") as file:
            file.write("\n".join(scenario) + "\n")
        documents = bench.documents
        for old in glob.glob(os.path.join(documents, "quorvel_logs", "*")):
            if os.path.isdir(old):
                shutil.rmtree(old)
            else:
                os.remove(old)
        ini = os.path.join(documents, "quorvel.ini")
        if os.path.exists(ini):
            os.remove(ini)
        if settings:
            with open(ini, "w", newline="") as file:
                file.write(settings)
        if before_start:
            log_folder = os.path.join(documents, "quorvel_logs")
            os.makedirs(log_folder, exist_ok=True)
            before_start(log_folder)
        self.log = TextLog(documents)
        self.logs = {None: self.log}  # by server: this computer's, and any added by follow_server_logs
        self.journal = Journal(self.journal_path)
        self.probe_lines = []
        self.probe = None
        self.ended_early = False
        self.window = None  # (start, end) of the measured stretch of a settled run, this script's clock

        env = dict(os.environ, QUORVEL_SIM_SCENARIO=windows_path(self.scenario_path),
                   QUORVEL_SIM_JOURNAL=windows_path(self.journal_path))
        if enumerate_only:
            # quorvel.exe has its override in the prefix; this program takes it from here.
            env["WINEDLLOVERRIDES"] = "netapi32=n,b;" + os.environ.get("WINEDLLOVERRIDES", "")
            command = ["wine", os.path.join(bench.bin, "enumerate_only.exe"), windows_path(self.stop_path)]
            command += list(servers)  # each read at the rates of the program's worker for it
        else:
            command = ["wine", os.path.join(bench.bin, "quorvel.exe")] + ([arguments] if arguments else [])
        self.started = time.time()
        self.process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.output = []
        threading.Thread(target=self._collect, args=(self.process.stdout, self.output), daemon=True).start()
        if not enumerate_only:
            self.probe = subprocess.Popen(
                ["wine", os.path.join(bench.bin, "whole_program_probe.exe"), "watch", windows_path(self.stop_path)]
                + ([str(probe_period_ms)] if probe_period_ms else []),
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            threading.Thread(target=self._collect, args=(self.probe.stdout, self.probe_lines), daemon=True).start()
        self.pid = self.process.pid  # `wine` turns into the Windows process: the same Linux pid

    @staticmethod
    def _collect(stream, lines):
        for line in stream:
            lines.append(line.decode("utf-8", "replace").strip())

    def alive(self):
        return self.process.poll() is None

    def wait_for(self, condition, timeout_s):
        """Polls the log and the journal until `condition()` holds; the time it first
        held, or None on time-out or when the program ended."""
        deadline = time.time() + timeout_s
        while time.time() < deadline:
            for log in self.logs.values():
                log.update()
            self.journal.update()
            if condition():
                return time.time()
            if not self.alive():
                self.ended_early = True
                return None
            time.sleep(POLL_S)
        return None

    def hold(self, seconds):
        self.wait_for(lambda: False, seconds)

    def follow_server_logs(self, servers):
        """Follows each watched server's own daily logs too (quorvel_logs\\NAME)."""
        for server in servers:
            self.logs[server] = TextLog(self.bench.documents, server)

    def journal_zero(self):
        """Scenario time 0 on this script's clock, once the journal has its start; else None."""
        load = self.journal.first("load", "start")
        return self.journal_to_local(load) - load.t / 1000 if load else None

    def cpu_percent(self, seconds):
        """The program's CPU over `seconds`, in % of one core, and the Wine server's beside it."""
        server = wineserver_pid(self.bench.prefix)
        begin, server_begin, at = cpu_ms(self.pid), cpu_ms(server) if server else 0, time.time()
        time.sleep(seconds)  # not polling the files meanwhile: this script shares the two cores
        if not self.alive():
            return None, None
        self.window = (at, time.time())
        span_ms = (time.time() - at) * 1000
        program = (cpu_ms(self.pid) - begin) / span_ms * 100
        wine = (cpu_ms(server) - server_begin) / span_ms * 100 if server else None
        return program, wine

    def load_check(self):
        """The server's own report on the scenario: a bad line would change the case."""
        load = self.journal.first("load", "scenario")
        if load and load.fields.get("errors") != "0":
            raise SystemExit(f"{self.name}: the scenario has errors, see {self.journal_path}")

    def journal_to_local(self, entry):
        """A journal time on this script's clock. Both read the system clock; were the
        two time zones apart, the whole quarter hours between them are taken out."""
        load = self.journal.first("load", "start")
        shift = round((load.wall - self.started) / 900) * 900 if load else 0
        if shift:
            self.bench.notes.append(f"{self.name}: Wine's local time is {shift} s off this script's; corrected.")
        return entry.wall - shift

    def finish(self):
        """Ends the run: the probe's figures, then File > Exit (a kill if it does not end)."""
        self.journal.update()
        self.load_check()
        load = self.journal.first("load", "start")
        self.finished_t = int((time.time() - self.journal_to_local(load)) * 1000) if load else -1
        self.proc_cpu_ms = cpu_ms(self.pid) if self.alive() else None
        self.proc_rss_kib = memory_kib(self.pid) if self.alive() else None
        open(self.stop_path, "w").close()
        self.exit_line = "ended early" if not self.alive() else ""
        if self.probe:
            try:
                self.probe.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.probe.kill()
        if self.alive() and self.probe:
            exit_probe = subprocess.run(["wine", os.path.join(self.bench.bin, "whole_program_probe.exe"), "exit"],
                                        capture_output=True, text=True, timeout=60)
            self.exit_line = exit_probe.stdout.strip()
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.kill(self.pid, signal.SIGKILL)
            self.process.wait()
            self.exit_line += " (killed)"
        with open(os.path.join(self.folder, "probe.txt"), "w") as file:
            file.write("\n".join(self.probe_lines + self.output + [self.exit_line]) + "\n")

    def exit_note(self):
        """How the program ended when asked to exit."""
        if self.probe is None:
            return ""
        if self.exit_line == "ended early":
            return "**ended before the run did**"
        match = re.search(r"ended=(\d) code=(\d+)", self.exit_line)
        if match and match.group(1) == "1":
            return f"exit code {match.group(2)}"
        return "did not exit within 15 s of File > Exit: killed"

    def gui_stall_ms(self):
        for line in self.probe_lines:
            if line.startswith("gui "):
                return float(dict(FIELD.findall(" " + line[4:]))["longest_ms"])
        return None

    def slow_waits(self):
        """The WM_NULL waits over 50 ms: (Unix ms when sent, ms waited)."""
        waits = [dict(FIELD.findall(" " + line[5:])) for line in self.probe_lines if line.startswith("slow ")]
        return [(float(wait["sent_unix_ms"]), float(wait["ms"])) for wait in waits]

    def window_stall_ms(self):
        """The longest WM_NULL wait that overlapped the measured stretch; 0 when none
        took over 50 ms (the probe reports only those one by one)."""
        if self.window is None or self.gui_stall_ms() is None:
            return None
        start, end = (moment * 1000 for moment in self.window)
        return max((ms for sent, ms in self.slow_waits() if sent < end and sent + ms > start), default=0)

    def slow_answers_in_window(self):
        """How many WM_NULL answers slower than 50 ms overlapped the measured stretch."""
        if self.window is None:
            return None
        start, end = (moment * 1000 for moment in self.window)
        return sum(1 for sent, ms in self.slow_waits() if sent < end and sent + ms > start)

    def window_gap_ms(self):
        """The longest gap between scans ending in the measured stretch (the last one
        counted to its end)."""
        load = self.journal.first("load", "start")
        if self.window is None or load is None:
            return None
        start, end = (int((moment - self.journal_to_local(load)) * 1000) for moment in self.window)
        return self.journal.longest_scan_gap_ms(end, start)

    def platform_sample(self):
        """The probe's last reading of GetProcessTimes and the working set."""
        for line in reversed(self.probe_lines):
            if line.startswith("platform "):
                values = dict(FIELD.findall(" " + line[9:]))
                return {key: int(float(value)) for key, value in values.items()}
        return None


# ---- one run of the service -----------------------------------------------------------

SERVICE_FOLDER = "quorvel-bench-svc"  # under drive_c: the service, the simulated server beside it
SERVICE_EXE = "quorvelsvc.exe"


def process_start(pid):
    """When a Linux process started, on this script's clock (10 ms steps)."""
    with open(f"/proc/{pid}/stat") as stat:
        started_ticks = int(stat.read().rsplit(")", 1)[1].split()[19])
    return time.time() - (time.clock_gettime(time.CLOCK_BOOTTIME) - started_ticks / CLOCK_TICKS)


def service_pid(prefix):
    """The Linux process of the running service (the same pid as its Windows process),
    not that of an `install` or `uninstall` command; None when there is none."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                arguments = cmdline.read().split(b"\0")
            if not arguments[0].lower().endswith((SERVICE_FOLDER + "\\" + SERVICE_EXE).encode()):
                continue
            if any(argument in (b"install", b"uninstall") for argument in arguments[1:]):
                continue
            with open(f"/proc/{entry}/environ", "rb") as environ:
                variables = environ.read().split(b"\0")
            if any(variable.startswith(b"WINEPREFIX=") for variable in variables) and \
                    f"WINEPREFIX={prefix}".encode() not in variables:
                continue
            return int(entry)
        except OSError:
            continue
    return None


class ServiceRun(Run):
    """One install of quorvelsvc.exe, the simulated server beside it, with its settings
    file in ProgramData; optionally the window (quorvel.exe, talking to the service) and
    its probes. Uninstalled by `finish`, and by the bench's end whatever happened."""

    def __init__(self, bench, name, scenario, settings, window=False, log_page=False, probe_period_ms=None):
        self.bench = bench
        self.name = name
        self.folder = os.path.join(bench.out, name)
        os.makedirs(self.folder, exist_ok=True)
        self.stop_path = os.path.join(self.folder, "stop")
        self.scenario_path = os.path.join(self.folder, "scenario.txt")
        for path in glob.glob(os.path.join(self.folder, "*")):
            if os.path.isfile(path):
                os.remove(path)
        with open(self.scenario_path, "w", newline="\n") as file:
            file.write("\n".join(scenario) + "\n")
        bench.uninstall_service()
        service_folder = os.path.join(bench.prefix, "drive_c", SERVICE_FOLDER)
        shutil.rmtree(service_folder, ignore_errors=True)
        os.makedirs(service_folder)
        self.exe = os.path.join(service_folder, SERVICE_EXE)
        shutil.copy(os.path.join(bench.bin, SERVICE_EXE), self.exe)
        shutil.copy(os.path.join(bench.bin, "netapi32.dll"), service_folder)
        shutil.copy(self.scenario_path, os.path.join(service_folder, "netapi-sim.scenario"))
        self.journal_path = os.path.join(service_folder, "netapi-sim.journal")
        # Its settings file first: the install then carries nothing over from the user's.
        shutil.rmtree(bench.program_data, ignore_errors=True)
        os.makedirs(bench.program_data)
        with open(os.path.join(bench.program_data, "quorvel.ini"), "w", newline="") as file:
            file.write(settings)
        for old in glob.glob(os.path.join(bench.documents, "quorvel_logs", "*")) + \
                glob.glob(os.path.join(bench.documents, "quorvel.ini")) + \
                glob.glob(os.path.join(bench.documents, "quorvel-denies.txt")) + glob.glob(self.journal_path + ".shares"):
            shutil.rmtree(old) if os.path.isdir(old) else os.remove(old)
        self.log = TextLog(bench.program_data)
        self.logs = {None: self.log}
        self.journal = Journal(self.journal_path)
        self.probe_lines = []
        self.probe = None
        self.page_lines = []
        self.page_probe = None
        self.window_process = None
        self.window_started = None
        self.output = []
        self.ended_early = False
        self.window = None
        self.exit_line = ""

        self.install_started = time.time()
        self.started = self.install_started
        install = subprocess.run(["wine", self.exe, "install"], capture_output=True, text=True, timeout=120)
        bench.installed = True
        self.install_s = time.time() - self.install_started
        self.output += install.stdout.splitlines()
        self.pid = None
        deadline = time.time() + 30
        while self.pid is None and time.time() < deadline:
            self.pid = service_pid(bench.prefix)
            if self.pid is None:
                time.sleep(POLL_S)
        if install.returncode != 0 or self.pid is None:
            raise SystemExit(f"{name}: the service did not install and start (code {install.returncode}):\n"
                             + install.stdout + install.stderr)
        self.started = process_start(self.pid)
        if window:
            self.start_window(log_page, probe_period_ms)

    def start_window(self, log_page, probe_period_ms, monitor_rows=None):
        """The window beside the service, with a simulated server of its own that it
        should never ask (its journal says whether it did); with `monitor_rows`, a
        probe that reads its files list's row count and its status line."""
        window_scenario = os.path.join(self.folder, "window-scenario.txt")
        with open(window_scenario, "w", newline="\n") as file:
            file.write("0 connect PC-WINDOWS-OWN nobody\n")
        env = dict(os.environ, QUORVEL_SIM_SCENARIO=windows_path(window_scenario),
                   QUORVEL_SIM_JOURNAL=windows_path(os.path.join(self.folder, "window-journal.txt")))
        self.window_started = time.time()
        self.window_process = subprocess.Popen(["wine", os.path.join(self.bench.bin, "quorvel.exe")], env=env,
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.probe = subprocess.Popen(
            ["wine", os.path.join(self.bench.bin, "whole_program_probe.exe"), "watch", windows_path(self.stop_path)]
            + ([str(probe_period_ms)] if probe_period_ms else []), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._collect, args=(self.probe.stdout, self.probe_lines), daemon=True).start()
        if log_page:
            self.page_probe = start_log_page_probe(self.bench, self.stop_path, self.page_lines)
        if monitor_rows:
            self.page_probe = subprocess.Popen(
                ["wine", os.path.join(self.bench.bin, "whole_program_probe.exe"), "monitor", str(monitor_rows),
                 windows_path(self.stop_path)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            threading.Thread(target=self._collect, args=(self.page_probe.stdout, self.page_lines), daemon=True).start()

    def alive(self):
        try:
            os.kill(self.pid, 0)
        except OSError:
            return False
        return self.window_process is None or self.window_process.poll() is None

    def finish(self):
        """Ends the run: the window by File > Exit, then the service uninstalled; the
        journal and the service's logs are kept in the run's folder."""
        self.journal.update()
        self.load_check()
        load = self.journal.first("load", "start")
        self.finished_t = int((time.time() - self.journal_to_local(load)) * 1000) if load else -1
        self.ended_early = self.ended_early or not self.alive()
        open(self.stop_path, "w").close()
        for probe in (self.probe, self.page_probe):
            if probe:
                try:
                    probe.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    probe.kill()
        if self.window_process:
            if self.window_process.poll() is None:
                exit_probe = subprocess.run(["wine", os.path.join(self.bench.bin, "whole_program_probe.exe"), "exit"],
                                            capture_output=True, text=True, timeout=60)
                self.exit_line = exit_probe.stdout.strip()
            else:
                self.exit_line = "ended early"
            try:
                self.window_process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.window_process.kill()
                self.window_process.wait()
                self.exit_line += " (killed)"
        self.uninstalled = self.bench.uninstall_service()
        shutil.copy(self.journal_path, os.path.join(self.folder, "journal.txt"))
        shutil.copytree(os.path.join(self.bench.program_data, "quorvel_logs"), os.path.join(self.folder, "logs"),
                        dirs_exist_ok=True)
        with open(os.path.join(self.folder, "probe.txt"), "w") as file:
            file.write("\n".join(self.output + self.probe_lines + self.page_lines + [self.exit_line]) + "\n")

    def exit_note(self):
        notes = [] if self.uninstalled else ["**the service did not uninstall**"]
        if self.ended_early:
            notes.append("**the service or the window ended before the run did**")
        if self.window_process:
            match = re.search(r"ended=(\d) code=(\d+)", self.exit_line)
            if not (match and match.group(1) == "1"):
                notes.append("the window did not exit within 15 s of File > Exit: killed")
            window_journal = os.path.join(self.folder, "window-journal.txt")
            if os.path.exists(window_journal) and " call Net" in open(window_journal, errors="replace").read():
                notes.append("**the window asked its own server**")
        return "; ".join(notes)

    def platform_sample(self):
        return None


def start_log_page_probe(bench, stop_path, lines):
    """The probe that brings the Log page up and reports each line as it appears."""
    probe = subprocess.Popen(["wine", os.path.join(bench.bin, "whole_program_probe.exe"), "logpage",
                              windows_path(stop_path)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    threading.Thread(target=Run._collect, args=(probe.stdout, lines), daemon=True).start()
    return probe


# ---- the cases -----------------------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.bin = args.bin
        self.out = args.out
        self.quick = args.quick
        self.history_events = args.history_events
        self.measure_s = 8 if args.quick else 20
        self.settle_s = 60 if args.quick else 120
        self.prefix = os.environ["WINEPREFIX"]
        folders = [path for path in glob.glob(os.path.join(self.prefix, "drive_c", "users", "*", "Documents"))
                   if os.sep + "Public" + os.sep not in path]
        if not folders:
            raise SystemExit(f"no Documents folder in {self.prefix}")
        self.documents = folders[0]
        self.program_data = os.path.join(self.prefix, "drive_c", "ProgramData", "Quorvel")
        self.installed = True  # an interrupted run may have left the service: removed before the first
        self.rows = []
        self.notes = []
        self.platform_checks = []
        self.results = {}
        self.home_bin = args.bin
        self.beside_bin = args.beside_bin
        self.beside_label = args.beside_label or "beside"
        self.label = ""  # set while the commit beside runs: its runs' names and rows carry it

    def use_beside(self, beside):
        """The programs of the commit beside (True) or of this build (False) for what follows."""
        self.bin = self.beside_bin if beside else self.home_bin
        self.label = self.beside_label if beside else ""

    def start(self, name, *args, **kwargs):
        print(f"  run {name}", file=sys.stderr, flush=True)
        return Run(self, name, *args, **kwargs)

    def start_service(self, name, *args, **kwargs):
        print(f"  run {name} (service)", file=sys.stderr, flush=True)
        return ServiceRun(self, name, *args, **kwargs)

    def uninstall_service(self):
        """Removes the service when installed; True when it is gone."""
        if not self.installed:
            return True
        exe = os.path.join(self.prefix, "drive_c", SERVICE_FOLDER, SERVICE_EXE)
        if os.path.exists(exe):
            subprocess.run(["wine", exe, "uninstall"], capture_output=True, timeout=120)
        deadline = time.time() + 15
        while service_pid(self.prefix) is not None and time.time() < deadline:
            time.sleep(0.1)
        self.installed = service_pid(self.prefix) is not None
        return not self.installed

    def once(self, name, make):
        """A run's results, made the first time a case asks for them."""
        if self.label:
            name = f"{name}-{self.label}"
        if name not in self.results:
            self.results[name] = make(name)
        return self.results[name]

    def row(self, case, measured, floor, ratio_text, run, floor_run, note):
        """One line of the table. A settled run's two stall columns cover its measured
        stretch; the note gives the whole run's (start-up included) and the floor run's."""
        whole = lambda r: f"{milliseconds(r.get('stall'))} WM_NULL, {milliseconds(r.get('gap'))} between scans"
        notes = []
        if run.get("window_stall") is not None or run.get("window_gap") is not None:
            notes.append("whole run: " + whole(run))
            # In a stretch the probe names only answers slower than 50 ms.
            stall = run.get("window_stall")
            shown = ("< 50 ms" if stall == 0 else milliseconds(stall), milliseconds(run.get("window_gap")))
        else:
            shown = (milliseconds(run.get("stall")), milliseconds(run.get("gap")))
        if floor_run and floor_run.get("stall") is not None:
            notes.append("floor run: " + whole(floor_run))
        note = "; ".join(notes + [note])
        if self.beside_bin:
            case = f"{self.label or 'this build'}: {case}"
        self.rows.append((case, measured, floor, ratio_text) + shown + (note,))
        print("  = " + " | ".join(str(cell) for cell in self.rows[-1]), file=sys.stderr, flush=True)

    def finish(self, run, result):
        run.finish()
        result["stall"] = run.gui_stall_ms()
        result["gap"] = run.journal.longest_scan_gap_ms(run.finished_t) if not run.ended_early else None
        result["window_stall"] = run.window_stall_ms()
        result["window_gap"] = run.window_gap_ms()
        result["exit"] = run.exit_note()
        sample = run.platform_sample()
        if sample and run.proc_cpu_ms is not None:
            self.platform_checks.append((run.proc_cpu_ms, sample["user_ms"] + sample["kernel_ms"],
                                         run.proc_rss_kib * 1024, sample["working_set"]))
        return result

    def platform_note(self):
        """What the platform's own figures, read inside Wine, said beside /proc's."""
        if not self.platform_checks:
            return None
        proc_cpu, platform_cpu, rss, working_set = (sum(column) for column in zip(*self.platform_checks))
        worst = max(abs(w - r) / r for _, _, r, w in self.platform_checks if r > 0)
        return (f"Read inside Wine at the end of each run, GetProcessTimes gave the program {platform_cpu:,.0f} ms "
                f"of CPU in all where /proc counted {proc_cpu:,.0f} ms, so CPU is read from /proc; the working "
                f"set (GetProcessMemoryInfo) was within {worst * 100:.0f} % of VmRSS.")

    # ---- first poll: start to every file open in the log --------------------------

    def first_poll_run(self, name, computers, per_computer, arguments, timeout_s, delivery, service=False):
        lines, keys = open_at_start(computers, per_computer)
        settings = settings_text(None if delivery else DELIVERY_OFF)
        run = self.start_service(name, lines, settings) if service else self.start(name, lines, settings, arguments)
        result = {}
        if delivery:
            done = run.wait_for(lambda: run.log.holds(keys), timeout_s)
            result["seconds"] = done - run.started if done else None
            # The program's own part: from the server's first answer holding every file.
            answer = run.journal.first_where("call", "NetFileEnum",
                                             lambda entry: entry.fields.get("entries") == str(len(keys)))
            result["from_answer_s"] = done - run.journal_to_local(answer) if done and answer else None
            if service and done:
                result["from_install_s"] = done - run.install_started
                result["from_load_s"] = done - run.journal_zero() if run.journal_zero() else None
                result["cpu_ms"] = cpu_ms(run.pid)
                result["ran_s"], result["waited_s"] = run_and_wait_s(run.pid)
                result["first_line_s"] = min(run.log.seen_at.values()) - run.started
        else:
            run.wait_for(lambda: run.journal.file_scan_done(len(keys)), timeout_s)
            scan = run.journal.file_scan_done(len(keys))
            result["seconds"] = run.journal_to_local(scan) - run.started if scan else None
        run.hold(2)
        result["ended_early"] = run.ended_early
        run.log.update()
        result["check"] = run.log.check(keys) if delivery else ""
        return self.finish(run, result)

    def first_poll(self, case, computers, per_computer, arguments, timeout_s, target=""):
        make = lambda delivery: lambda name: self.first_poll_run(name, computers, per_computer, arguments,
                                                                  timeout_s, delivery)
        run = self.once(case, make(True))
        floor = self.once(case + "-floor", make(False))
        answered = (f"from the simulated server's first answer holding every file to all logged "
                    f"{run['from_answer_s']:.2f} s" if run.get("from_answer_s") is not None else "")
        self.row(f"first poll, {computers * per_computer:,} files open, " +
                 ("hidden" if arguments == "h" else "window shown"),
                 seconds_text(run, timeout_s), seconds_text(floor, timeout_s) + " (delivery off: first full scan)",
                 ratio(run["seconds"], floor["seconds"]), run, floor,
                 "; ".join(filter(None, [target, run["check"], answered, run["exit"]])))

    # ---- a burst of 2,000 opens, and a blacklisted computer during it --------------

    def burst_run(self, name, burst, delivery, service=False):
        lines, keys, burst_keys = burst_scenario(burst)
        settings = settings_text(None if delivery else DELIVERY_OFF, blacklist=[computer for computer, _ in BLOCKED])
        run = self.start_service(name, lines, settings) if service else self.start(name, lines, settings, "h")
        journal = run.journal
        last_open = lambda: journal.first("event", "open", path=BURST_LAST_PATH)
        connected = lambda computer: journal.first("event", "connect", computer=computer)
        # A deletion that worked, the client named with or without its backslashes.
        deleted = lambda computer: journal.first_where("call", "NetSessionDel", lambda entry: entry.fields.get(
            "status") == "0" and entry.fields.get("client", "").lstrip("\\").upper() == computer.upper())
        all_deleted = lambda: all(connected(computer) and deleted(computer) for computer, _ in BLOCKED)
        result = {"lag_s": None, "block_ms": []}
        if burst and delivery:
            logged = run.wait_for(lambda: run.log.holds(burst_keys), BURST_AT_S + 60)
            if logged and last_open():
                result["lag_s"] = logged - run.journal_to_local(last_open())
        elif burst:
            run.wait_for(lambda: last_open() and journal.file_scan_done(0, last_open().t), BURST_AT_S + 60)
            if last_open() and journal.file_scan_done(0, last_open().t):
                result["lag_s"] = journal.file_scan_done(0, last_open().t).wall - last_open().wall
        run.wait_for(all_deleted, BURST_AT_S + 20)
        result["block_ms"] = [deleted(computer).t - connected(computer).t for computer, _ in BLOCKED
                              if connected(computer) and deleted(computer)]
        result["ended_early"] = run.ended_early
        run.hold(2)
        run.log.update()
        result["check"] = run.log.check(burst_keys | keys) if delivery and burst else ""
        return self.finish(run, result)

    def burst(self):
        run = self.once("burst", lambda name: self.burst_run(name, True, True))
        floor = self.once("burst-floor", lambda name: self.burst_run(name, True, False))
        lag = lambda r: seconds_text({"seconds": r["lag_s"], "ended_early": r["ended_early"]}, 60)
        self.row("2,000 opens within 1 s, hidden: last open to all logged",
                 lag(run), lag(floor) + " (delivery off: last open to a scan holding it)",
                 ratio(run["lag_s"], floor["lag_s"]), run, floor, f"{run['check']}; {run['exit']}")

    def blacklist(self):
        run = self.once("burst", lambda name: self.burst_run(name, True, True))
        floor = self.once("quiet", lambda name: self.burst_run(name, False, True))
        worst = lambda r: max(r["block_ms"]) if len(r["block_ms"]) == len(BLOCKED) else None

        def text(r):
            if worst(r) is None:
                return f"{len(BLOCKED) - len(r['block_ms'])} of {len(BLOCKED)} not deleted in 20 s"
            return f"{worst(r)} ms (mean {sum(r['block_ms']) / len(r['block_ms']):.0f})"
        self.row(f"{len(BLOCKED)} blacklisted computers connecting during the burst: connect to NetSessionDel, worst",
                 text(run), text(floor) + " (no burst)", ratio(worst(run), worst(floor)), run, floor, run["exit"])

    # ---- trips: the encrypting client that keeps coming back ------------------------

    def trip_run(self, name, servers, deny, seconds, shares=0, blocked_every_s=None):
        lines = trip_scenario(servers, seconds, shares, blocked_every_s)
        tripwires = {"enabled": 1, "burstfiles": 20, "burstseconds": 10, "blockminutes": 60, "denyshares": deny}
        settings = settings_text(blacklist=[INTRUDER] if blocked_every_s else (), servers=[s for s in servers if s],
                                 tripwires=tripwires)
        run = self.start(name, lines, settings, "h")
        journal = run.journal
        run.wait_for(lambda: False, TRIP_AT_S + seconds + 2)
        journal.update()
        result = {"landed": {}, "cut_t": {}}
        for server in servers:
            cut = journal.first_where("call", "NetSessionDel", lambda entry: server_of(entry) == server and entry.fields.get(
                "client", "").lstrip("\\").upper() == VICTIM and entry.fields.get("status") == "0")
            result["cut_t"][server] = cut.t if cut else None
            landed = [entry for entry in journal.entries if entry.kind == "event" and entry.what == "open" and
                      server_of(entry) == server and entry.fields.get("computer", "").upper() == VICTIM and
                      "refused" not in entry.fields and "skipped" not in entry.fields and cut and entry.t > cut.t]
            result["landed"][server] = len(landed) if cut else None
        sets = [entry for entry in journal.entries if entry.kind == "call" and entry.what == "NetShareSetInfo" and
                entry.fields.get("status") == "0" and server_of(entry) is None]
        first_cut = result["cut_t"].get(None)
        result["deny_ms"] = sets[-1].t - first_cut if sets and first_cut is not None else None
        result["denied_shares"] = len(sets)
        # A blacklisted computer connecting while the shares are denied: cut off as ever.
        connects = [entry for entry in journal.entries if entry.kind == "event" and entry.what == "connect" and
                    entry.fields.get("computer", "").upper() == INTRUDER and server_of(entry) is None]
        block_ms = []
        for connect in connects:
            cut = journal.first_where("call", "NetSessionDel", lambda entry: entry.t >= connect.t and server_of(entry)
                                      is None and entry.fields.get("client", "").lstrip("\\").upper() == INTRUDER)
            if cut:
                block_ms.append(cut.t - connect.t)
        result["block_ms"] = block_ms
        result["ended_early"] = run.ended_early
        return self.finish(run, result)

    def trip_landed(self, case, servers, seconds):
        run = self.once(case, lambda name: self.trip_run(name, servers, 1, seconds))
        floor = self.once(case + "-today", lambda name: self.trip_run(name, servers, 0, seconds))
        text = lambda r: ", ".join(f"{server_text(s)} {r['landed'][s]}" for s in servers)
        total = lambda r: None if None in r["landed"].values() else sum(r["landed"].values())
        self.row(f"an encrypting client ({WRITES_PER_S} writes/s) coming back 0.5 s after each cut-off, on "
                 f"{len(servers)} server{'s' if len(servers) > 1 else ''}: writes that landed after the trip",
                 text(run), text(floor) + " (denyshares=0: today)", ratio(total(run), total(floor)), run, floor,
                 f"target: 0 on each; {seconds} s of writes after the trip; {run['exit']}")

    def trip_500_shares(self):
        seconds = 10 if self.quick else 20
        run = self.once("trip-500shares", lambda name: self.trip_run(name, [None], 1, seconds, 499, 0.3))
        worst = max(run["block_ms"]) if run["block_ms"] else None
        self.row("a trip on this computer with 500 shares: the trip's cut-off to the last share denied",
                 milliseconds(run["deny_ms"]), "< 2 s (target)", "–", run, None,
                 f"{run['denied_shares']} shares denied; blacklisted computer meanwhile, connect to NetSessionDel "
                 f"worst {milliseconds(worst)} of {len(run['block_ms'])}; writes landed after the trip: "
                 f"{run['landed'].get(None)}; {run['exit']}")

    # ---- CPU and memory once settled -------------------------------------------------

    def settled_run(self, name, lines, settings, arguments, settled_when, measure, enumerate_only=False,
                    settle_s=None, servers=(), probe_period_ms=None):
        """Starts, waits until `settled_when(run)` (at most the settle time), 3 s more,
        then `measure(run)`. `servers`: the watched servers whose logs are followed, or
        those the enumerate-only program reads."""
        run = self.start(name, lines, settings, arguments, enumerate_only=enumerate_only, servers=servers,
                         probe_period_ms=probe_period_ms)
        if not enumerate_only:
            run.follow_server_logs(servers)
        settled = run.wait_for(lambda: settled_when(run), settle_s or self.settle_s)
        run.hold(3)
        result = {"settled": settled is not None, "settled_s": settled - run.started if settled else None}
        result.update(measure(run))
        return self.finish(run, result)

    def measure_cpu(self, run):
        program, wine = run.cpu_percent(self.measure_s)
        return {"cpu": program, "wineserver": wine}

    def measure_memory(self, run):
        run.window = (time.time() - 5, time.time())  # from the settled moment on
        return {"rss_kib": memory_kib(run.pid) if run.alive() else None,
                "hwm_kib": memory_kib(run.pid, "VmHWM") if run.alive() else None}

    def cpu_row(self, case, run, floor, floor_what, note=""):
        # /proc counts CPU in 10 ms steps: a floor of none is "under one step".
        step = 100 * 10 / (self.measure_s * 1000)
        if floor.get("cpu") == 0 and run.get("cpu"):
            ratio_text = f"> {run['cpu'] / step:.0f}×"
        else:
            ratio_text = ratio(run.get("cpu"), floor.get("cpu"))
        self.row(case, cpu_text(run, step), cpu_text(floor, step) + f" ({floor_what})", ratio_text,
                 run, floor,
                 "; ".join(filter(None, [note, settled_note(run), run["exit"]])))

    def sessions(self):
        lines = sessions_only(1000)
        names = {f"PC{c}" for c in range(1, 1001)}
        run = self.once("sessions", lambda name: self.settled_run(name, lines, settings_text(), "",
                                                                   logged(set(), names), self.measure_cpu))
        floor = self.once("sessions-floor", lambda name: self.settled_run(name, lines, "", "", enumerated,
                                                                           self.measure_cpu, enumerate_only=True))
        self.cpu_row("1,000 sessions, window shown: CPU", run, floor, "enumeration only")

    def refresh(self):
        # Delivery off in both runs: 150 opens a second to log would drown the refresh.
        churn_s = self.settle_s + 3 + self.measure_s + 30
        lines, keys = churn_scenario(10000, churn_s, 300)
        make = lambda auto: lambda name: self.settled_run(
            name, lines, settings_text(dict(DELIVERY_OFF, autorefresh=auto)), "", scanned(len(keys)),
            self.measure_cpu)
        run = self.once("refresh", make(1))
        floor = self.once("refresh-floor", make(0))
        per_refresh = ""
        if run["cpu"] is not None and floor["cpu"] is not None:
            # % of a core is 10 ms of CPU a second; the list refreshes once a second.
            per_refresh = f"per refresh {(run['cpu'] - floor['cpu']) * 10:.0f} ms of CPU; delivery off in both runs"
        self.cpu_row("10,000 open files, 3 %/s changing, window shown, auto refresh on: CPU", run, floor,
                     "autorefresh=0", per_refresh)

    def idle(self):
        lines, keys = open_at_start(10, 5)
        lines += ["0 repeat 10 0 c", "0 connect PC{c} user{c}", "end"]
        names = {f"WS{c}" for c in range(1, 11)} | {f"PC{c}" for c in range(1, 11)}
        run = self.once("idle", lambda name: self.settled_run(name, lines, settings_text(), "", logged(keys, names),
                                                               self.measure_cpu))
        floor = self.once("idle-floor", lambda name: self.settled_run(name, lines, "", "", enumerated,
                                                                       self.measure_cpu, enumerate_only=True))
        self.cpu_row("idle, window shown, 50 files and 20 sessions: CPU", run, floor, "enumeration only")

    def memory(self):
        lines, keys = open_at_start(50, 1000)
        measure = lambda run: (run.hold(2), self.measure_memory(run))[1]
        # The start-up logging of 50,000 opens may take minutes: memory is read after it.
        run = self.once("memory", lambda name: self.settled_run(name, lines, settings_text(), "", logged(keys),
                                                                 measure, settle_s=self.settle_s * 2))
        floor = self.once("memory-floor", lambda name: self.settled_run(name, lines, "", "", enumerated, measure,
                                                                         enumerate_only=True))
        mib = lambda r: f"{r['rss_kib'] / 1024:.0f} MiB" if r.get("rss_kib") else "–"
        peak = f"peak {run['hwm_kib'] / 1024:.0f} MiB" if run.get("hwm_kib") else ""
        self.row("50,000 open files, window shown: resident memory", mib(run), mib(floor) + " (enumeration only)",
                 ratio(run.get("rss_kib"), floor.get("rss_kib")), run, None,
                 "; ".join(filter(None, [peak, settled_note(run), run["exit"]])))

    # ---- eight servers besides this computer ----------------------------------------

    def servers_slow_run(self, name, watched):
        """The scenario of `servers_scenario` with `watched` in [servers] and the
        intruder in [blacklist], window shown: blocking and logging on this computer
        and the seven answering servers over the stretch."""
        stretch_s = 20 if self.quick else 40
        lines, keys = servers_scenario(stretch_s)
        run = self.start(name, lines, settings_text(blacklist=[INTRUDER], servers=watched), "")
        run.follow_server_logs(SERVERS[:-1])
        begin_t, end_t = ACTIVITY_AT_S * 1000, (ACTIVITY_AT_S + stretch_s) * 1000
        run.wait_for(lambda: run.journal_zero() is not None, 60)
        zero = run.journal_zero()
        if zero is not None:
            # The stretch: from the first new computer to 2 s after the last one's opens.
            run.window = (zero + ACTIVITY_AT_S, zero + ACTIVITY_AT_S + stretch_s + 2)
            run.hold(run.window[1] - time.time())
            run.wait_for(lambda: all(run.logs[server].holds(keys[server]) for server in ANSWERING), 15)
        result = {"ended_early": run.ended_early, "cuts": {}, "not_cut": [], "delays": {}, "unlogged": {}}
        journal = run.journal
        journal.update()

        # Blocking: each time the intruder connects, to the first deletion of it on that server.
        deletions = [entry for entry in (journal.entries[index] for index in journal.by_kind.get(
            ("call", "NetSessionDel"), [])) if entry.fields.get("status") == "0" and
            entry.fields.get("client", "").lstrip("\\").upper() == INTRUDER]
        for index in journal.by_kind.get(("event", "connect"), []):
            connect = journal.entries[index]
            if (connect.fields.get("computer", "").upper() != INTRUDER or "skipped" in connect.fields or
                    not begin_t <= connect.t <= end_t):
                continue
            server = server_of(connect)
            cut = next((entry for entry in deletions if server_of(entry) == server and entry.t >= connect.t), None)
            if cut:
                result["cuts"].setdefault(server, []).append(cut.t - connect.t)
            else:
                result["not_cut"].append((server, connect.t))

        # Logging: each open of the stretch, to the poll of this script that first saw its line.
        for index in journal.by_kind.get(("event", "open"), []):
            opened = journal.entries[index]
            match = FILE_KEY.search(opened.fields.get("path", "").encode("latin-1", "replace"))
            server = server_of(opened)
            if opened.t < begin_t or not match or server not in run.logs:
                continue
            seen = run.logs[server].seen_at.get(match.group(1).decode("latin-1"))
            if seen is None:
                result["unlogged"][server] = result["unlogged"].get(server, 0) + 1
            else:
                result["delays"].setdefault(server, []).append(seen - run.journal_to_local(opened))
        found = sum(sum(1 for key in keys[server] if key in run.logs[server].files) for server in ANSWERING)
        twice = sum(sum(1 for count in run.logs[server].files.values() if count > 1) for server in ANSWERING)
        total = sum(len(keys[server]) for server in ANSWERING)
        result["check"] = f"{found:,} of {total:,} opens logged" + (f", {twice:,} twice" if twice else "")

        # The workers' reads of the seven, and what the slow one answered.
        gaps = [(journal.longest_scan_gap_ms(end_t + 2000, begin_t, server, what) or 0, server, what)
                for server in SERVERS[:-1] for what in ("NetSessionEnum", "NetFileEnum")]
        result["worst_session_gap"] = max((gap for gap in gaps if gap[2] == "NetSessionEnum"), default=None)
        result["worst_file_gap"] = max((gap for gap in gaps if gap[2] == "NetFileEnum"), default=None)
        result["slow_calls"] = sum(1 for entry in journal.entries
                                   if entry.kind == "call" and server_of(entry) == SLOW_SERVER)
        result = self.finish(run, result)
        result["slow_answers"] = run.slow_answers_in_window()  # the probe's last lines come at the stop
        return result

    def servers_slow(self):
        run = self.once("servers8slow", lambda name: self.servers_slow_run(name, SERVERS))
        floor = self.once("servers8slow-floor", lambda name: self.servers_slow_run(name, SERVERS[:-1]))
        floor_what = f" ({SLOW_SERVER} not watched)"
        case = f"8 servers besides this computer, {SLOW_SERVER} taking 20 s to fail every call, window shown: "

        def cut_text(r):
            cuts = [ms for values in r["cuts"].values() for ms in values]
            text = f"{max(cuts)} ms (mean {sum(cuts) / len(cuts):.0f}, {len(cuts)} cut-offs)" if cuts else "–"
            if r["not_cut"]:
                text += f", **{len(r['not_cut'])} connections not cut off**"
            return text
        worst_cut = lambda r: max((ms for values in r["cuts"].values() for ms in values), default=None)
        by_server = ", ".join(f"{server_text(server)} {max(run['cuts'][server])}" for server in ANSWERING
                              if server in run["cuts"])
        missing = [server_text(server) for server in ANSWERING if server not in run["cuts"]]
        self.row(case + f"{INTRUDER} (blacklisted) connecting to this computer and the 7 others, connect to the "
                 "NetSessionDel of it on that server, worst",
                 cut_text(run), cut_text(floor) + floor_what, ratio(worst_cut(run), worst_cut(floor)), run, floor,
                 "; ".join(filter(None, [
                     f"worst by server (ms): {by_server}",
                     f"**never connected or never cut off on {', '.join(missing)}**" if missing else "",
                     self.servers_gap_note(run), run["exit"]])))

        worst_delay = lambda r, servers: max((d for server in servers for d in r["delays"].get(server, [])),
                                             default=None)

        def delay_text(r):
            worst = worst_delay(r, ANSWERING)
            if worst is None:
                return "none logged"
            here, others = worst_delay(r, [None]), worst_delay(r, SERVERS[:-1])
            delays = [d for server in ANSWERING for d in r["delays"].get(server, [])]
            text = (f"{worst:.2f} s (mean {sum(delays) / len(delays):.2f}; worst on this computer {here or 0:.2f} s, "
                    f"on the 7 others {others or 0:.2f} s)")
            unlogged = sum(r["unlogged"].values())
            return text + (f", **{unlogged} not logged**" if unlogged else "")
        self.row(case + "each open on this computer and the 7 others, journal time to its line in that "
                 "server's log, worst",
                 delay_text(run), delay_text(floor) + floor_what, ratio(worst_delay(run, ANSWERING),
                                                                        worst_delay(floor, ANSWERING)),
                 run, floor, "; ".join(filter(None, [
                     run["check"],
                     f"{run['slow_answers']} WM_NULL answers over 50 ms in the stretch (target: none)",
                     f"calls to {SLOW_SERVER} that ended in the run: {run['slow_calls']} (each fails after 20 s)",
                     run["exit"]])))

    @staticmethod
    def servers_gap_note(r):
        """The workers' longest waits between two reads of a server, over the stretch."""
        parts = []
        for key, what in (("worst_session_gap", "session reads (due every 100 ms)"),
                          ("worst_file_gap", "open-file reads (due every 1,000 ms)")):
            if r.get(key):
                parts.append(f"{r[key][0]:,} ms between {what}, {r[key][1]}")
        return "workers of the 7 others, longest: " + "; ".join(parts) if parts else ""

    def servers_busy(self):
        files, computers = 10000, 100
        lines, keys = busy_servers_scenario(files, computers)
        settled = lambda run: all(run.logs[server].holds(keys[server]) for server in SERVERS)

        def measure(run):
            result = self.measure_cpu(run)
            result["rss_kib"] = memory_kib(run.pid) if run.alive() else None
            result["hwm_kib"] = memory_kib(run.pid, "VmHWM") if run.alive() else None
            return result
        run = self.once("servers8busy", lambda name: self.settled_run(
            name, lines, settings_text(servers=SERVERS), "h", settled, measure, settle_s=self.settle_s * 2,
            servers=SERVERS))
        floor = self.once("servers8busy-floor", lambda name: self.settled_run(
            name, lines, "", "", enumerated, measure, enumerate_only=True, servers=SERVERS))
        case = f"8 servers besides this computer, {files:,} open files and {computers} sessions each, hidden: "
        logged_note = (f"all {len(SERVERS) * files:,} opens logged {run['settled_s']:.1f} s after the start"
                       if run.get("settled_s") else "")
        self.cpu_row(case + "CPU", run, floor, "enumeration only: the 8 servers at the workers' rates",
                     "; ".join(filter(None, ["target: under 10 %", logged_note])))
        mib = lambda r: f"{r['rss_kib'] / 1024:.0f} MiB" if r.get("rss_kib") else "–"
        peak = f"peak {run['hwm_kib'] / 1024:.0f} MiB" if run.get("hwm_kib") else ""
        self.row(case + "resident memory at the end of the CPU stretch", mib(run),
                 mib(floor) + " (enumeration only)", ratio(run.get("rss_kib"), floor.get("rss_kib")), run, None,
                 "; ".join(filter(None, [peak, settled_note(run), run["exit"]])))

    # ---- forwarding to a real rsyslogd on 127.0.0.1 ----------------------------------

    def fwd_run(self, name, transport, lines, keys, blocked=(), outage_s=0, unanswered=False, spoolmb=64,
                forwarding=True):
        """The program forwarding the scenario's events; the collector stopped for
        `outage_s` from 10 s into the events, or a port that never answers instead.
        Without `forwarding`: the same run with forwarding off, the floor."""
        collector = Collector(os.path.join(self.out, name + "-collector"))
        listener = unanswering_listener() if unanswered and forwarding else None
        forward = None
        if forwarding:
            if listener:
                port = listener.getsockname()[1]
            else:
                collector.start()
                port = collector.ports[transport]
            forward = {"enabled": 1, "host": "127.0.0.1", "port": port, "transport": transport, "spoolmb": spoolmb}
        run = self.start(name, lines, settings_text(blacklist=[computer for computer, _ in blocked], forward=forward),
                         "h")
        journal = run.journal
        keyset = set(keys)
        logged_keys = {f"fwd\\{key}" for key in keys}  # as the text log's keys read
        last_path = f"D:\\Shares\\Bench\\fwd\\{keys[-1]}.txt"
        last_open = lambda: journal.first("event", "open", path=last_path)
        spool = os.path.join(self.documents, "quorvel_logs", "forward.spool")
        result = {"spool_max": 0, "collector_down": 0.0}

        def watching(condition):
            def check():
                if os.path.exists(spool):
                    result["spool_max"] = max(result["spool_max"], os.path.getsize(spool))
                return condition()
            return check
        if outage_s:
            run.wait_for(watching(lambda: run.journal_zero() is not None), 30)
            zero = run.journal_zero()
            if zero is not None:
                run.wait_for(watching(lambda: False), max(0.0, zero + FWD_AT_S + 10 - time.time()))
                collector.stop()
                down = time.time()
                run.wait_for(watching(lambda: False), outage_s)
                collector.start()
                result["collector_down"] = time.time() - down
        logged = run.wait_for(watching(lambda: run.log.holds(logged_keys)), FWD_AT_S + 60 + outage_s)
        result["lag_s"] = logged - run.journal_to_local(last_open()) if logged and last_open() else None
        zero = run.journal_zero()
        if zero is not None:  # the stalls counted: from the first event to the last one logged
            run.window = (zero + FWD_AT_S, logged or time.time())
        if forwarding and not unanswered:
            received = run.wait_for(watching(lambda: keyset <= set(collector.received(transport))), 60)
            result["forward_s"] = received - logged if received and logged else None
        else:
            run.wait_for(watching(lambda: False), 3)
        connected = lambda computer: journal.first("event", "connect", computer=computer)
        deleted = lambda computer: journal.first_where("call", "NetSessionDel", lambda entry: entry.fields.get(
            "status") == "0" and entry.fields.get("client", "").lstrip("\\").upper() == computer.upper())
        result["block_ms"] = [deleted(computer).t - connected(computer).t for computer, _ in blocked
                              if connected(computer) and deleted(computer)]
        result["ended_early"] = run.ended_early
        self.finish(run, result)
        if forwarding and not unanswered:
            result["delivery"] = delivery_text(collector.received(transport), keys, day_log_keys(self.documents))
        collector.stop()
        if listener:
            listener.close()
        return result

    @staticmethod
    def worst_block(result, blocked):
        if len(result["block_ms"]) < len(blocked):
            return f"{len(blocked) - len(result['block_ms'])} of {len(blocked)} blacklisted not deleted"
        return f"blacklisted: connect to NetSessionDel worst {max(result['block_ms'])} ms" if blocked else ""

    def fwd_relp_burst(self):
        lines, keys = fwd_scenario(10000, 10, 0.001)
        run = self.once("fwd-relp-burst", lambda name: self.fwd_run(name, "relp", lines, keys))
        seconds = lambda value: f"{value:.2f} s" if value is not None else "–"
        self.row("10,000 events within 1 s over RELP: the last logged to all received", seconds(run.get("forward_s")),
                 "–", "–", run, None, f"target under 2 s; last open to logged {seconds(run['lag_s'])}; "
                 f"{run.get('delivery', '')}; {run['exit']}")

    def fwd_relp_outage(self):
        lines, keys = fwd_scenario(4500, 1, 0.02)  # 50 a second for 90 s
        run = self.once("fwd-relp-outage", lambda name: self.fwd_run(name, "relp", lines, keys, outage_s=60))
        self.row(f"collector stopped {run['collector_down']:.0f} s during 50 events/s over RELP, then started",
                 run.get("delivery", "–"), "–", "–", run, None,
                 f"target: none lost, only in-flight ones twice; the last logged to all received "
                 f"{run['forward_s']:.1f} s; spool at most {run['spool_max'] / 1024:,.0f} KiB; {run['exit']}"
                 if run.get("forward_s") is not None else run["exit"])

    def fwd_floor(self, blocked, lines, keys):
        """The rate cases' scenario with forwarding off."""
        return self.once("fwd-off", lambda name: self.fwd_run(name, "udp", lines, keys, blocked, forwarding=False))

    def fwd_rate(self, transport):
        blocked = [(f"BADPC{k}", FWD_AT_S + 1.1 + 1.7 * k) for k in range(5)]
        lines, keys = fwd_scenario(20000, 2, 0.001, close_after_s=1, blocked_at=blocked)
        run = self.once(f"fwd-{transport}", lambda name: self.fwd_run(name, transport, lines, keys, blocked))
        floor = self.fwd_floor(blocked, lines, keys)
        lag = run.get("lag_s")
        text = lambda value: f"{value:.2f} s" if value is not None else "–"
        self.row(f"2,000 events/s for 10 s over {transport.upper()}: the last open to logged",
                 text(lag), text(floor.get("lag_s")) + " (forwarding off)", ratio(lag, floor.get("lag_s")), run, floor,
                 "; ".join(filter(None, ["targets: under 1 s behind, blocking under 300 ms",
                                         self.worst_block(run, blocked),
                                         "forwarding off: " + self.worst_block(floor, blocked),
                                         run.get("delivery"), run["exit"]])))

    def fwd_unanswered(self):
        blocked = [(f"BADPC{k}", FWD_AT_S + 1.1 + 1.7 * k) for k in range(5)]
        lines, keys = fwd_scenario(20000, 2, 0.001, close_after_s=1, blocked_at=blocked)
        run = self.once("fwd-unanswered", lambda name: self.fwd_run(name, "relp", lines, keys, blocked,
                                                                     unanswered=True, spoolmb=1))
        floor = self.fwd_floor(blocked, lines, keys)
        stall = lambda r: "< 50 ms" if r.get("window_stall") == 0 else milliseconds(r.get("window_stall"))
        self.row("a collector that never answers (RELP, spool 1 MB), 2,000 events/s for 10 s: longest WM_NULL wait "
                 "from the first event to the last logged", stall(run), stall(floor) + " (forwarding off)",
                 ratio(run.get("window_stall"), floor.get("window_stall")), run, floor,
                 "; ".join(filter(None, ["target: under 50 ms", self.worst_block(run, blocked),
                                         "forwarding off: " + self.worst_block(floor, blocked),
                                         f"spool at most {run['spool_max'] / 1024:,.0f} KiB of 1,024",
                                         f"last open to logged {run['lag_s']:.2f} s" if run.get("lag_s") else "",
                                         run["exit"]])))


    def fwd_relp_hang_run(self, name, lines, keys):
        """A RELP collector that answers the open and then nothing, for as long as the
        events come; then, on the same port, rsyslogd. Read on the Log page: when
        forwarding was said to fail and to work again; at rsyslogd: what came."""
        collector = Collector(os.path.join(self.out, name + "-collector"))
        port = collector.ports["relp"]
        hanging = HangingRelpCollector(port)
        forward = {"enabled": 1, "host": "127.0.0.1", "port": port, "transport": "relp"}
        run = self.start(name, lines, settings_text(forward=forward), "")
        page_lines = []
        run.page_probe = start_log_page_probe(self, run.stop_path, page_lines)
        page_said = lambda words: next((float(FIELD.findall(" " + line[8:])[0][1]) / 1000 for line in page_lines
                                        if line.startswith("logline ") and words in line), None)
        result = {}
        run.wait_for(lambda: run.journal_zero() is not None, 60)
        zero = run.journal_zero()
        if zero is not None:
            logged_keys = {f"fwd\\{key}" for key in keys}
            run.wait_for(lambda: run.log.holds(logged_keys), FWD_AT_S + len(keys) / 50 + 60)
            journal_last = run.journal.first("event", "open", path=f"D:\\Shares\\Bench\\fwd\\{keys[-1]}.txt")
            last = run.journal_to_local(journal_last) if journal_last else time.time()
            run.hold(max(0.0, last + 1 - time.time()))
            result["failing_s"] = (lambda at: at - (zero + FWD_AT_S) if at else None)(page_said(" fails: "))
            result["failing_line"] = next((line[line.find("text=") + 5:] for line in page_lines
                                           if line.startswith("logline ") and " fails: " in line), "")
            result["hung_opens"] = hanging.opens
            result["hung_bytes"] = hanging.bytes
            hanging.stop()
            collector.start()
            working = time.time()
            received = run.wait_for(lambda: set(keys) <= set(collector.received("relp")), 180)
            result["recovered_s"] = received - working if received else None
            run.hold(3)  # what would come twice comes now
            again = page_said(" works again")
            result["works_again_s"] = again - working if again else None
        result["ended_early"] = run.ended_early
        self.finish(run, result)
        try:
            run.page_probe.wait(timeout=30)
        except subprocess.TimeoutExpired:
            run.page_probe.kill()
        result["delivery"] = delivery_text(collector.received("relp"), keys, day_log_keys(self.documents))
        collector.stop()
        return result

    def fwd_relp_hang(self):
        minutes = 1 if self.quick else 3
        lines, keys = fwd_scenario(50 * 60 * minutes, 1, 0.02)  # 50 a second
        run = self.once("fwd-relp-hang", lambda name: self.fwd_relp_hang_run(name, lines, keys))
        seconds = lambda value: f"{value:.1f} s" if value is not None else None
        failing = seconds(run.get("failing_s")) or "**never said**"
        self.row(f"a RELP collector that answers the open and then nothing, 50 events/s for {minutes} min, then "
                 "rsyslogd on its port: the first event to \"fails\" on the Log page", failing, "–", "–", run, None,
                 "; ".join(filter(None, [
                     "target: said within 60 s; afterwards every event received, none twice",
                     f"afterwards: {run.get('delivery', '–')}, all within "
                     f"{seconds(run.get('recovered_s')) or '**not within 180 s**'} of rsyslogd's start",
                     "\"works again\" " + (f"{seconds(run['works_again_s'])} after it" if run.get("works_again_s")
                                           is not None else "**never said**"),
                     f"connections the hung collector took: {run.get('hung_opens', 0)}, bytes it read: "
                     f"{run.get('hung_bytes', 0) / 1024:,.0f} KiB",
                     f"said while it hung: {run['failing_line']}" if run.get("failing_line") else "", run["exit"]])))

    # ---- the service: the engine as a Windows service, alone or beside the window ------

    def standalone_first50k(self):
        timeout_s = 60 if self.quick else 120
        return self.once("first50k", lambda name: self.first_poll_run(name, 50, 1000, "h", timeout_s, True))

    def service_blacklist(self):
        run = self.once("svc-blacklist", lambda name: self.burst_run(name, False, True, service=True))
        floor = self.once("quiet", lambda name: self.burst_run(name, False, True))
        self.blocking_row(f"service alone, no window: {len(BLOCKED)} blacklisted computers connecting, connect to "
                          "NetSessionDel, worst", run, floor, "standalone, hidden")

    def service_burst(self):
        run = self.once("svc-burst", lambda name: self.burst_run(name, True, True, service=True))
        floor = self.once("burst", lambda name: self.burst_run(name, True, True))
        lag = lambda r: seconds_text({"seconds": r["lag_s"], "ended_early": r["ended_early"]}, 60)
        self.blocking_row(f"service alone: {len(BLOCKED)} blacklisted computers connecting during the burst of "
                          f"{BURST_SIZE:,} opens, connect to NetSessionDel, worst", run, floor, "standalone, hidden",
                          f"burst: last open to all logged {lag(run)} (standalone {lag(floor)}); {run['check']}")

    def blocking_row(self, case, run, floor, floor_what, note=""):
        worst = lambda r: max(r["block_ms"]) if len(r["block_ms"]) == len(BLOCKED) else None

        def text(r):
            if worst(r) is None:
                return f"**{len(BLOCKED) - len(r['block_ms'])} of {len(BLOCKED)} not deleted in 20 s**"
            return f"{worst(r)} ms (mean {sum(r['block_ms']) / len(r['block_ms']):.0f})"
        self.row(case, text(run), text(floor) + f" ({floor_what})", ratio(worst(run), floor and worst(floor)), run,
                 floor, "; ".join(filter(None, ["target: under 300 ms", note, run["exit"]])))

    def service_first50k(self):
        timeout_s = 60 if self.quick else 120
        run = self.once("svc-first50k", lambda name: self.first_poll_run(name, 50, 1000, "", timeout_s, True,
                                                                          service=True))
        floor = self.standalone_first50k()
        install = ""
        if run.get("from_install_s") and run.get("from_load_s"):
            install = (f"from the start of `quorvelsvc.exe install`: {run['from_install_s']:.2f} s, from the "
                       f"simulated server's load in the service (journal t=0): {run['from_load_s']:.2f} s; the "
                       f"service's CPU by then: {run['cpu_ms'] / 1000:.2f} s; its first line in the log at "
                       f"{run['first_line_s']:.2f} s; its threads ran {run['ran_s']:.2f} s and waited "
                       f"{run['waited_s']:.2f} s for a core")
        self.row("service alone: first poll, 50,000 files open, start of the service's process until its log holds "
                 "all", seconds_text(run, timeout_s), seconds_text(floor, timeout_s) + " (standalone, hidden)",
                 ratio(run["seconds"], floor["seconds"]), run, floor,
                 "; ".join(filter(None, ["target: under 3 s, all logged", run["check"], install, run["exit"]])))

    @staticmethod
    def long_paths_scenario(files, path_chars):
        """`files` open at time 0 by 200 computers, each path `path_chars` long."""
        computers = 200
        inside = "D:\\Shares\\Bench\\"
        tail = len(f"\\c{computers}\\f{files // computers}.txt")
        return open_at_start(computers, files // computers, "p" * max(1, path_chars - len(inside) - tail))

    def service_window_run(self, name, files, path_chars, blocked_at_s):
        """The service with `files` open (200 computers), each path `path_chars` long; its
        window started once the service has read them all, and watched for 60 s: its
        files list's rows and its status line, the service's memory, and a blacklisted
        computer connecting at `blocked_at_s` of the scenario's time, the window up."""
        lines, keys = self.long_paths_scenario(files, path_chars)
        lines.append(f"{blocked_at_s} connect BADPC intruder")
        run = self.start_service(name, lines, settings_text(blacklist=["BADPC"]))
        result = {"service_rss_kib": 0}

        def sampling(condition):
            def check():
                rss = memory_kib(run.pid) if run.alive() else None
                result["service_rss_kib"] = max(result["service_rss_kib"], rss or 0)
                return condition()
            return check
        scanned_at = run.wait_for(sampling(lambda: run.journal.file_scan_done(len(keys))), 120)
        result["scanned"] = scanned_at is not None
        zero = run.journal_zero()
        if scanned_at and zero is not None:
            result["alone_rss_kib"] = result["service_rss_kib"]
            shutil.copy(f"/proc/{run.pid}/smaps", os.path.join(run.folder, "service-smaps-alone.txt"))
            run.start_window(False, None, monitor_rows=len(keys))
            result["window_at_s"] = run.window_started - zero
            run.wait_for(sampling(lambda: False), max(0.0, run.window_started + 60 - time.time()))
        rows = [(float(fields["unix_ms"]) / 1000, int(fields["count"])) for fields in
                (dict(FIELD.findall(" " + line[5:])) for line in run.page_lines if line.startswith("rows "))]
        statuses = [dict(FIELD.findall(" " + line[7:])).get("text", "").strip('"') for line in run.page_lines
                    if line.startswith("status ")]
        every = next((at for at, count in rows if count == len(keys)), None)
        result["every_row_s"] = every - run.window_started if every and run.window_started else None
        result["most_rows"] = max((count for _, count in rows), default=0)
        result["statuses"] = statuses
        watching = "Watched by the protection service"
        result["connections"] = sum(1 for k, text in enumerate(statuses) if text.startswith(watching) and
                                    (k == 0 or not statuses[k - 1].startswith(watching)))
        result["service_hwm_kib"] = memory_kib(run.pid, "VmHWM") if run.alive() else None
        if run.alive():
            shutil.copy(f"/proc/{run.pid}/smaps", os.path.join(run.folder, "service-smaps-window.txt"))
        window_pid = run.window_process.pid if run.window_process else None
        result["window_rss_kib"] = memory_kib(window_pid) if window_pid and run.window_process.poll() is None else None
        result["block_ms"] = []
        result["ended_early"] = run.ended_early
        self.finish(run, result)
        journal = run.journal
        connected = journal.first("event", "connect", computer="BADPC")
        deleted = journal.first_where("call", "NetSessionDel", lambda entry: entry.fields.get("status") == "0" and
                                      entry.fields.get("client", "").lstrip("\\").upper() == "BADPC")
        result["block_ms"] = [deleted.t - connected.t] if connected and deleted else []
        return result

    def service_window_200k(self):
        run = self.once("svc-window-200k", lambda name: self.service_window_run(name, 200000, 200, 30))
        lines, _ = self.long_paths_scenario(200000, 200)
        floor = self.once("svc-window-200k-floor", lambda name: self.settled_run(
            name, lines, "", "", enumerated, lambda r: (r.hold(2), self.measure_memory(r))[1], enumerate_only=True))
        every = run.get("every_row_s")
        mib = lambda kib: f"{kib / 1024:,.0f} MB" if kib else "–"
        shown = f"{every:.1f} s" if every is not None else f"**not all within 60 s: at most {run['most_rows']:,} rows**"
        statuses = " → ".join(dict.fromkeys(run["statuses"])) if run["statuses"] else "none read"
        block = f"{run['block_ms'][0]} ms" if run["block_ms"] else "**not cut off**"
        self.row("service + window, 200,000 open files, 200-character paths, 60 s: the window's start to every row on "
                 "the Monitoring page", shown, "–", "–", run, None,
                 "; ".join(filter(None, [
                     "targets: 1 connection, every row < 10 s, a blacklisted computer cut off < 300 ms, service "
                     "memory < 400 MB",
                     f"connections {run['connections']} (status line: {statuses})",
                     f"a blacklisted computer at 30 s (the window started at {run.get('window_at_s', 0):.1f} s): "
                     f"connect to NetSessionDel {block}",
                     f"service memory at most {mib(run['service_rss_kib'])} (VmRSS every 20 ms; before the window "
                     f"{mib(run.get('alone_rss_kib'))}), peak "
                     f"{mib(run.get('service_hwm_kib'))} (VmHWM); the simulated server and the tables' reading "
                     f"alone (enumeration only) {mib(floor.get('rss_kib'))}, peak {mib(floor.get('hwm_kib'))}; the "
                     f"window's {mib(run.get('window_rss_kib'))} at the end", "" if run["scanned"] else "**the service never read all files**", run["exit"]])))

    # The Log page: from 10 s on (the window is up and joined by then), a computer every
    # 0.737 s connecting and opening a file 0.1 s later.
    LOG_PAGE_AT_S = 10

    def log_page_scenario(self):
        events = 12 if self.quick else 27
        lines, keys = open_at_start(5, 2)
        lines += [f"{self.LOG_PAGE_AT_S} repeat {events} 0.737 c", "0 connect NEW{c} user{c}",
                  r"0.1 open NEW{c} user{c} D:\Shares\Bench\new\c{c}.txt perm=rw", "end"]
        end_s = self.LOG_PAGE_AT_S + events * 0.737 + 2
        return lines, end_s

    def log_page_run(self, name, service):
        lines, end_s = self.log_page_scenario()
        if service:
            run = self.start_service(name, lines, settings_text(), window=True, log_page=True)
            page_lines = run.page_lines
        else:
            run = self.start(name, lines, settings_text(), "")
            page_lines = []
            run.page_probe = start_log_page_probe(self, run.stop_path, page_lines)
        run.wait_for(lambda: run.journal_zero() is not None, 60)
        zero = run.journal_zero()
        result = {"delays": [], "event_delays": [], "log_delays": [], "unseen": 0, "early": 0}
        if zero is not None:
            run.window = (zero + self.LOG_PAGE_AT_S, zero + end_s)
            run.hold(run.window[1] + 2 - time.time())
        run.journal.update()
        found_at = next((float(dict(FIELD.findall(" " + line[8:]))["found_unix_ms"]) / 1000
                         for line in page_lines if line.startswith("logpage found_unix_ms=")), None)
        # Each line as first read: file opens by their key, connections by the computer.
        seen = {}
        for line in page_lines:
            if not line.startswith("logline "):
                continue
            at = float(FIELD.findall(" " + line[8:])[0][1]) / 1000
            for pattern, kind in ((FILE_KEY, "open"), (CONNECT_KEY, "connect")):
                match = pattern.search(line.encode("latin-1", "replace"))
                if match:
                    seen.setdefault((kind, match.group(1).decode("latin-1")), at)
        journal = run.journal
        for kind, read in (("open", "NetFileEnum"), ("connect", "NetSessionEnum")):
            for index in journal.by_kind.get(("event", kind), []):
                event = journal.entries[index]
                if event.t < self.LOG_PAGE_AT_S * 1000:
                    continue
                if kind == "open":
                    match = FILE_KEY.search(event.fields.get("path", "").encode("latin-1", "replace"))
                    key = match.group(1).decode("latin-1") if match else None
                else:
                    key = event.fields.get("computer")
                at = run.journal_to_local(event)
                # Found: the first read of this computer's table answered after the event.
                found = journal.first_where("call", read, lambda entry: entry.t >= event.t and
                                            server_of(entry) is None)
                if found_at is None or at < found_at:
                    result["early"] += 1
                elif (kind, key) in seen and found:
                    result["delays"].append((seen[(kind, key)] - run.journal_to_local(found)) * 1000)
                    result["event_delays"].append((seen[(kind, key)] - at) * 1000)
                    # Where the time went: the text log is written by the engine's step itself.
                    if kind == "open" and key in run.log.seen_at:
                        result["log_delays"].append((run.log.seen_at[key] - run.journal_to_local(found)) * 1000)
                else:
                    result["unseen"] += 1
        result["ended_early"] = run.ended_early
        if not service:
            # The probe reads until the stop file, which the run's end makes.
            run_finish = self.finish(run, result)
            try:
                run.page_probe.wait(timeout=30)
            except subprocess.TimeoutExpired:
                run.page_probe.kill()
            return run_finish
        return self.finish(run, result)

    def service_log_page(self):
        run = self.once("svc-logline", lambda name: self.log_page_run(name, True))
        floor = self.once("logline", lambda name: self.log_page_run(name, False))

        def spread(delays):
            delays = sorted(delays)
            middle = len(delays) // 2
            median = delays[middle] if len(delays) % 2 else (delays[middle - 1] + delays[middle]) / 2
            return f"median {median:.0f} ms, worst {delays[-1]:.0f} ms"

        def text(r):
            if not r["delays"]:
                return "none seen"
            extra = [f"**{r['unseen']} never shown**" if r["unseen"] else "",
                     f"{r['early']} before the page was read" if r["early"] else ""]
            return ", ".join(filter(None, [f"{spread(r['delays'])} ({len(r['delays'])} events)"] + extra))
        event_note = lambda r: spread(r["event_delays"]) if r["event_delays"] else "–"
        log_note = lambda r: spread(r["log_delays"]) if r["log_delays"] else "–"
        self.row("service + window: each open and connection, from the first read of the server's table that "
                 "returned it (journal) to its line in the window's Log page text (read every 5 ms)",
                 text(run), text(floor) + " (standalone, window shown)",
                 ratio(max(run["delays"], default=None), max(floor["delays"], default=None)), run, floor,
                 "; ".join(filter(None, [
                     "target: median under 100 ms, worst under 250 ms",
                     f"from the event's own journal time (files are read every 200 ms, sessions once a second "
                     f"with no computer blacklisted): {event_note(run)} (standalone {event_note(floor)})",
                     f"opens, from the read to their line in the text log (polled every 20 ms): {log_note(run)} "
                     f"(standalone {log_note(floor)})",
                     run["exit"]])))

    # The idle cases' probe sends WM_NULL every 20 ms, itself some tenths of a per cent of
    # the window's CPU (see below): here once a second, for the service and its standalone twin.
    IDLE_PROBE_MS = 1000

    def service_idle(self):
        lines, keys = open_at_start(10, 5)
        lines += ["0 repeat 10 0 c", "0 connect PC{c} user{c}", "end"]
        names = {f"WS{c}" for c in range(1, 11)} | {f"PC{c}" for c in range(1, 11)}

        def make(name):
            run = self.start_service(name, lines, settings_text(), window=True, probe_period_ms=self.IDLE_PROBE_MS)
            settled = run.wait_for(lambda: logged(keys, names)(run) and any(
                line.startswith("window ") for line in run.probe_lines), self.settle_s)
            run.hold(3)
            result = {"settled": settled is not None}
            window_pid = run.window_process.pid
            server = wineserver_pid(self.prefix)
            begin = (cpu_ms(run.pid), cpu_ms(window_pid), cpu_ms(server) if server else 0, time.time())
            time.sleep(self.measure_s)
            if run.alive():
                run.window = (begin[3], time.time())
                span_ms = (time.time() - begin[3]) * 1000
                result["service_cpu"] = (cpu_ms(run.pid) - begin[0]) / span_ms * 100
                result["window_cpu"] = (cpu_ms(window_pid) - begin[1]) / span_ms * 100
                result["cpu"] = result["service_cpu"] + result["window_cpu"]
                result["wineserver"] = (cpu_ms(server) - begin[2]) / span_ms * 100 if server else None
                result["service_rss"] = memory_kib(run.pid)
            return self.finish(run, result)
        run = self.once("svc-idle", make)
        floor = self.once("idle-1s", lambda name: self.settled_run(
            name, lines, settings_text(), "", logged(keys, names), self.measure_cpu,
            probe_period_ms=self.IDLE_PROBE_MS))
        split = (f"service {run['service_cpu']:.1f} %, window {run['window_cpu']:.1f} %"
                 if run.get("cpu") is not None else "")
        usual = self.results.get("idle")
        usual_note = (f"the `idle` case (WM_NULL every 20 ms) gave the standalone program {usual['cpu']:.1f} %"
                      if usual and usual.get("cpu") is not None else "")
        self.cpu_row("service + window shown, idle, 50 files and 20 sessions: CPU of both (WM_NULL once a second)",
                     run, floor, "standalone, window shown, WM_NULL once a second",
                     "; ".join(filter(None, ["target: under 1.5 % together", split, usual_note])))

    # A flood of the service's pipe, while a blacklisted computer connects every 1.1 s.
    FLOOD_INTRUDER_EVERY_S = 1.1
    FLOOD_AT_S = 5

    def flood_run(self, name, kind):
        count = 10000
        seconds = 8 if self.quick else 20
        horizon_s = 240
        lines = [SHARE_LINE, "0 repeat 5 0 c", "0 connect WS{c} user{c}", "end",
                 f"3 repeat {int(horizon_s / self.FLOOD_INTRUDER_EVERY_S)} {self.FLOOD_INTRUDER_EVERY_S}",
                 f"0 connect {INTRUDER} intruder", "end"]
        run = self.start_service(name, lines, settings_text(blacklist=[INTRUDER]))
        run.wait_for(lambda: run.journal_zero() is not None, 60)
        zero = run.journal_zero()
        result = {"ended_early": False}
        if zero is None:
            result["ended_early"] = True
            return self.finish(run, result)
        run.hold(zero + self.FLOOD_AT_S - time.time())
        result["rss_before"] = memory_kib(run.pid)
        cpu_before, flood_started = cpu_ms(run.pid), time.time()
        flood_lines = []
        arguments = ["pipeconnect", str(count)] if kind == "connect" else ["pipegarbage", str(seconds)]
        flood = subprocess.Popen(["wine", os.path.join(self.bin, "whole_program_probe.exe")] + arguments,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=Run._collect, args=(flood.stdout, flood_lines), daemon=True).start()
        # The service's memory every half second of the flood: growth that goes on is a leak.
        samples = []

        def flood_over():
            if not samples or time.time() - samples[-1][0] >= 0.5:
                samples.append((time.time(), memory_kib(run.pid)))
            return flood.poll() is not None
        run.wait_for(flood_over, 600)
        if run.alive():
            result["flood_cpu"] = (cpu_ms(run.pid) - cpu_before) / ((time.time() - flood_started) * 1000) * 100
        result["rss_quarter"] = samples[len(samples) // 4][1] if samples else None
        result["rss_end"] = samples[-1][1] if samples else None
        if flood.poll() is None:
            flood.kill()
        run.hold(3)
        result["rss_after"] = memory_kib(run.pid) if run.alive() else None
        result["hwm"] = memory_kib(run.pid, "VmHWM") if run.alive() else None
        # The pipe still takes a client after the flood.
        after = subprocess.run(["wine", os.path.join(self.bin, "whole_program_probe.exe"), "pipeconnect", "1"],
                               capture_output=True, text=True, timeout=60)
        result["pipe_after"] = "opened=1" in after.stdout
        run.output += flood_lines + after.stdout.splitlines()
        ends = [dict(FIELD.findall(" " + line[6:])) for line in flood_lines if line.startswith("flood ")]
        start_s = float(ends[0]["start_unix_ms"]) / 1000 if ends else None
        end_s = float(ends[-1]["end_unix_ms"]) / 1000 if len(ends) > 1 else None
        result["flood"] = ends[-1] if len(ends) > 1 else {}
        result["flood_s"] = end_s - start_s if start_s and end_s else None
        run.journal.update()
        journal = run.journal
        deletions = [entry for entry in (journal.entries[index] for index in journal.by_kind.get(
            ("call", "NetSessionDel"), [])) if entry.fields.get("status") == "0" and
            entry.fields.get("client", "").lstrip("\\").upper() == INTRUDER]
        result["during"], result["outside"], result["not_cut"] = [], [], 0
        for index in journal.by_kind.get(("event", "connect"), []):
            connect = journal.entries[index]
            if connect.fields.get("computer", "").upper() != INTRUDER or "skipped" in connect.fields:
                continue
            cut = next((entry for entry in deletions if entry.t >= connect.t), None)
            at = run.journal_to_local(connect)
            if cut is None:
                if start_s and end_s and start_s <= at <= end_s:
                    result["not_cut"] += 1
                continue
            inside = start_s is not None and end_s is not None and start_s <= at <= end_s
            result["during" if inside else "outside"].append(cut.t - connect.t)
        return self.finish(run, result)

    def service_flood(self):
        floor = self.once("quiet", lambda name: self.burst_run(name, False, True))
        worst = lambda r: max(r["block_ms"]) if len(r["block_ms"]) == len(BLOCKED) else None
        floor_text = (f"{worst(floor)} ms (standalone, no flood)" if worst(floor) is not None else "–")
        for kind, what in (("connect", "10,000 connects to the pipe, each closed at once"),
                           ("garbage", f"random bytes written to the pipe for {8 if self.quick else 20} s, "
                                       "connecting again whenever dropped")):
            run = self.once(f"svc-flood-{kind}", lambda name: self.flood_run(name, kind))
            during = run.get("during", [])
            text = (f"{max(during)} ms (mean {sum(during) / len(during):.0f}, {len(during)} cut-offs)"
                    if during else "no connection during the flood")
            if run.get("not_cut"):
                text += f", **{run['not_cut']} not cut off**"
            mib = lambda kib: f"{kib / 1024:.1f} MiB" if kib else "–"
            flood = run.get("flood", {})
            flood_note = ", ".join(f"{key} {flood[key]}" for key in ("opened", "connections", "busy", "failed",
                                                                      "dropped", "stuck", "bytes") if key in flood)
            outside = run.get("outside", [])
            notes = ["target: under 300 ms; memory flat",
                     f"service VmRSS {mib(run.get('rss_before'))} before the flood, {mib(run.get('rss_quarter'))} "
                     f"a quarter into it, {mib(run.get('rss_end'))} at its end, {mib(run.get('rss_after'))} 3 s "
                     f"after (peak {mib(run.get('hwm'))})",
                     f"flood took {run['flood_s']:.1f} s ({flood_note})" if run.get("flood_s") else
                     "**flood unfinished**",
                     f"the service's CPU during it: {run['flood_cpu']:.0f} % of a core" if run.get("flood_cpu") else "",
                     f"outside the flood: worst {max(outside)} ms" if outside else "",
                     "the pipe takes a client afterwards" if run.get("pipe_after") else
                     "**the pipe took no client afterwards**", run["exit"]]
            self.row(f"service alone, {what}: {INTRUDER} (blacklisted) connecting every "
                     f"{self.FLOOD_INTRUDER_EVERY_S} s, connect to NetSessionDel during the flood, worst",
                     text, floor_text, ratio(max(during, default=None), worst(floor)), run, None,
                     "; ".join(filter(None, notes)))

    # ---- the History page over a busy office's year ---------------------------------

    def history_cache(self, kind):
        """The year made once by bench_history (`make-db`, or `make-logs` for "logs") in
        build/bench-whole-program/history-cache/<kind>-<events>, kept between runs; its
        folder and the day it was made (the year ends the day before)."""
        folder = os.path.join(self.out, "history-cache", f"{kind}-{self.history_events}")
        made_path = os.path.join(folder, "made.txt")
        if not os.path.exists(made_path):
            partial = folder + ".partial"
            shutil.rmtree(partial, ignore_errors=True)
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(partial)
            mode = "make-db" if kind == "db" else "make-logs"
            print(f"  {mode}: {self.history_events:,} events over {HISTORY_DAYS} days, once, into {folder}",
                  file=sys.stderr, flush=True)
            made = subprocess.run(["wine", os.path.join(self.bin, "bench_history.exe"), mode, windows_path(partial),
                                   str(self.history_events), str(HISTORY_DAYS)],
                                  capture_output=True, text=True, timeout=4 * 3600)
            names = os.listdir(partial)
            whole = (HISTORY_FILE in names if kind == "db"
                     else sum(1 for name in names if name.endswith(".log")) == HISTORY_DAYS)
            if made.returncode != 0 or not whole:
                raise SystemExit(f"bench_history {mode} failed (code {made.returncode}):\n{made.stdout}{made.stderr}")
            with open(os.path.join(partial, "made.txt"), "w") as file:
                file.write(f"{datetime.date.today().isoformat()}\n{made.stdout}")
            os.rename(partial, folder)
        with open(made_path) as file:
            made_on = file.readline().strip()
        return folder, made_on

    @staticmethod
    def copy_into(source, names):
        """A `before_start` that copies the cached files into the log folder (the program
        writes the database, and must never write the cache's)."""
        def copy(log_folder):
            for name in names:
                shutil.copyfile(os.path.join(source, name), os.path.join(log_folder, name))
        return copy

    @staticmethod
    def wait_quiet(run, timeout_s=60, span_s=1.0, below_percent=5.0):
        """Waits until the program's CPU over `span_s` is under `below_percent` of a core
        (its start-up work over: the database opened, the day's prune done); the
        seconds it took, or None when it never was within `timeout_s`."""
        begin = time.time()
        while time.time() - begin < timeout_s and run.alive():
            before = cpu_ms(run.pid)
            time.sleep(span_s)
            if run.alive() and (cpu_ms(run.pid) - before) / (span_s * 1000) * 100 < below_percent:
                return time.time() - begin
        return None

    def history_page_run(self, name):
        """The program started over the year's database (none with --history-off), left to
        settle, then `whole_program_probe history` works the page: open, a user and a
        path part, one day's writes."""
        before = None
        if not HISTORY_OFF:
            cache, made_on = self.history_cache("db")
            files = [entry for entry in os.listdir(cache) if entry.startswith(HISTORY_FILE)]
            before = self.copy_into(cache, files)
        run = self.start(name, [SHARE_LINE], settings_text(), "", before_start=before)
        run.logs = {}  # no text log to follow here
        result = {"steps": {}, "pages": {}, "ended_early": False}
        if not HISTORY_OFF:
            result["made_on"] = made_on
            result["db_mb"] = sum(os.path.getsize(os.path.join(cache, entry)) for entry in files) / 1e6
        run.wait_for(lambda: any(line.startswith("window ") for line in run.probe_lines), 60)
        result["quiet_s"] = self.wait_quiet(run)
        ran_before = run_and_wait_s(run.pid)
        started = time.time()
        try:
            probe = subprocess.run(["wine", os.path.join(self.bin, "whole_program_probe.exe"), "history",
                                    HISTORY_USER, HISTORY_PATH_PART, str(HISTORY_DAY_BACK)],
                                   capture_output=True, text=True, timeout=300)
            lines = probe.stdout.splitlines()
        except subprocess.TimeoutExpired as expired:
            lines = (expired.stdout or b"").decode("utf-8", "replace").splitlines() + ["error reason=\"probe killed\""]
        run.window = (started, time.time())
        if run.alive():
            ran_after = run_and_wait_s(run.pid)
            result["ran_s"], result["waited_s"] = (after - before for after, before in zip(ran_after, ran_before))
        run.output += lines
        for line in lines:
            kind, _, rest = line.partition(" ")
            fields = {key: value.strip('"') for key, value in FIELD.findall(" " + rest)}
            if kind == "histstep":
                result["steps"][fields.get("name")] = fields
            elif kind == "histpage":
                result["pages"][fields.get("when")] = fields
            elif kind == "error":
                result["error"] = fields.get("reason")
        result["ended_early"] = not run.alive()
        result["window"] = run.window
        return self.finish(run, result)

    def history_row(self, run, step, target_ms, what):
        """One step of the page's run: its first rows against the target."""
        fields = run["steps"].get(step, {})
        first = float(fields["first_rows_ms"]) if fields.get("first_rows_ms") not in (None, "-1.0") else None
        final = float(fields["final_ms"]) if fields.get("final_ms") not in (None, "-1.0") else None
        before = run["pages"].get("before", {})
        notes = []
        if HISTORY_OFF:
            measured, ratio_text = "n/a (no history)", "–"
            if fields.get("found"):
                notes.append(f"the page said \"{fields['found']}\" after {milliseconds(final)}")
        else:
            if first is not None:
                measured = f"{first:,.0f} ms"
            elif not fields or fields.get("error"):
                measured = "**not measured**"
            else:
                measured = f"**> {HISTORY_STEP_TIMEOUT_S} s**"
            ratio_text = ratio(first, target_ms)
            if fields.get("error"):
                notes.append(f"**{fields['error']}**")
            if fields:
                notes.append(f"{fields.get('items', '?')} rows, \"{fields.get('found', '')}\" at {milliseconds(final)}")
            if fields.get("row", "").strip("|"):
                notes.append(f"first row: {fields['row'].replace('|', ' · ')}")
            notes.append("store off: n/a (no history)")
        if step == "open":
            if fields.get("acted_ms"):
                notes.append(f"the click's own message answered after {float(fields['acted_ms']):.0f} ms, the page's "
                             f"search started by {float(fields['started_ms']):.0f} ms")
            status = before.get("status", "?")
            notes.append(f"status before the click: \"{status}\"")
            if "reading the daily logs" in status:
                notes.append("**the back-fill was running**")
            if not HISTORY_OFF:
                notes.append(f"database: {self.history_events:,} events, {run['db_mb']:,.0f} MB, the year made "
                             f"{run['made_on']} (bench_history make-db)")
            notes.append(f"clicked {run['quiet_s']:.1f} s after the window was found, once the program's CPU was under "
                         "5 % for a second" if run.get("quiet_s") is not None else
                         "**the program never settled under 5 % CPU within 60 s**: clicked anyway")
            if run.get("ran_s") is not None:
                span_s = run["window"][1] - run["window"][0] if run.get("window") else None
                notes.append(f"over the three steps ({span_s:.2f} s with the probe's own waits) the program's threads "
                             f"ran {run['ran_s'] * 1000:.0f} ms and waited {run['waited_s'] * 1000:.0f} ms for a core"
                             if span_s else "")
        if run.get("error"):
            notes.append(f"**probe: {run['error']}**")
        notes.append(run["exit"])
        self.row(what, measured, f"< {target_ms} ms (target)", ratio_text, run, None,
                 "; ".join(filter(None, notes)))

    def history_open(self):
        run = self.once("hist", self.history_page_run)
        self.history_row(run, "open", 100,
                         f"History page, {self.history_events:,} events over a year: the navigation bar's click to "
                         "100 rows listed and the first row read back")

    def history_search(self):
        run = self.once("hist", self.history_page_run)
        self.history_row(run, "user-path", 300,
                         f"History page, {self.history_events:,} events: {HISTORY_USER} and {HISTORY_PATH_PART} typed, "
                         "Enter to the first rows (all found, or 100)")
        self.history_row(run, "day-writes", 100,
                         f"History page, {self.history_events:,} events: what {HISTORY_USER} wrote in one day (both "
                         "pickers on the day, Writes only), Enter to the first rows")

    def history_backfill_run(self, name):
        """The year's daily logs in the log folder, no database: the program reads them in
        while the `watch` probe times its answers and `histstatus` reads the page's status."""
        cache, made_on = self.history_cache("logs")
        logs = sorted(name for name in os.listdir(cache) if name.endswith(".log"))
        run = self.start(name, [SHARE_LINE], settings_text(), "", before_start=self.copy_into(cache, logs))
        run.logs = {}  # 365 logs of the past: not this script's to read while the program does
        result = {"made_on": made_on, "logs_mb": sum(os.path.getsize(os.path.join(cache, log)) for log in logs) / 1e6,
                  "ended_early": False}
        statuses = []
        status_probe = subprocess.Popen(["wine", os.path.join(self.bin, "whole_program_probe.exe"), "histstatus",
                                         windows_path(run.stop_path)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=Run._collect, args=(status_probe.stdout, statuses), daemon=True).start()

        def parsed():
            return [(float(fields["unix_ms"]) / 1000, fields.get("text", "").strip('"'))
                    for fields in (dict(FIELD.findall(" " + line[11:])) for line in list(statuses)
                                   if line.startswith("histstatus "))]

        def finished():
            """The status that first said the history is up to date with no reading
            after one that said the logs were being read; with none of those, one that
            has said so for 3 s (a small year read in before the status's first turn)."""
            seen = parsed()
            running = [at for at, text in seen if BACKFILL_RUNNING in text]
            after = running[0] if running else 0
            done = next(((at, text) for at, text in seen
                         if at > after and BACKFILL_RUNNING not in text and BACKFILL_DONE in text), None)
            if done and not running and time.time() - done[0] < 3:
                return None
            return done
        cpu_begin = cpu_ms(run.pid)
        run.wait_for(lambda: finished() is not None, HISTORY_BACKFILL_TIMEOUT_S // (3 if self.quick else 1))
        seen = parsed()
        running = [(at, text) for at, text in seen if BACKFILL_RUNNING in text]
        done = finished()
        if running:
            result["first_seen_s"] = running[0][0] - run.started
            result["last_running"] = running[-1][1]
        if done:
            result["seconds"] = done[0] - run.started
            result["done_text"] = done[1]
            run.window = (running[0][0] if running else run.started, done[0])
            result["cpu"] = (cpu_ms(run.pid) - cpu_begin) / ((done[0] - run.started) * 1000) * 100 \
                if run.alive() else None
        result["last_status"] = seen[-1][1] if seen else None
        run.output += statuses  # kept in the run's probe.txt
        result["statuses"] = len(seen)
        result["ended_early"] = not run.alive()
        run.hold(2)
        result = self.finish(run, result)  # its stop file ends the status probe too
        if run.window:
            # Sent while the logs were read: a wait that ended as the first status was
            # read began in the start-up (the status probe waited for the same thread).
            start, end = (moment * 1000 for moment in run.window)
            during = [ms for sent, ms in run.slow_waits() if start <= sent < end]
            result["window_stall"] = max(during, default=0)
            result["slow"] = len(during)
            result["startup_stall"] = max((ms for sent, ms in run.slow_waits() if sent < start), default=0)
        try:
            status_probe.wait(timeout=30)
        except subprocess.TimeoutExpired:
            status_probe.kill()
        return result

    def history_backfill(self):
        case = f"History back-fill: a year of daily logs ({self.history_events:,} lines), no database: start to read in"
        if HISTORY_OFF:
            self.row(case, "n/a (no history)", "< 180 s (target)", "–", {}, None,
                     "nothing is read in without the history store")
            return
        run = self.once("hist-backfill", self.history_backfill_run)
        timeout_s = HISTORY_BACKFILL_TIMEOUT_S // (3 if self.quick else 1)
        measured = seconds_text(run, timeout_s)
        notes = [f"target: under 180 s for 10,000,000 lines, no WM_NULL answer over 50 ms while it runs"]
        if run.get("seconds") is not None and run.get("first_seen_s") is not None:
            notes.append(f"read in {run['seconds'] - run['first_seen_s']:.1f} s from the first status that said so "
                         f"({run['first_seen_s']:.1f} s after the start; the page's status changes once a second)")
            notes.append(f"the last status while reading: \"{run['last_running']}\"; then \"{run['done_text']}\"")
        elif run.get("seconds") is not None:
            notes.append(f"read in before the page's status first said so: \"{run['done_text']}\" (the status "
                         "changes once a second)")
        elif run.get("last_running"):
            notes.append(f"**unfinished**: \"{run['last_running']}\"")
        else:
            notes.append(f"**never read in**: the status said \"{run.get('last_status')}\"")
        if run.get("seconds") is not None:
            if run.get("cpu") is not None:
                notes.append(f"the program's CPU meanwhile: {run['cpu']:.0f} % of a core")
            if run.get("slow"):
                notes.append(f"{run['slow']} WM_NULL answers over 50 ms while reading")
            if run.get("startup_stall"):
                notes.append(f"before the reading began (the start-up): longest WM_NULL wait "
                             f"{run['startup_stall']:.0f} ms")
        notes.append(f"logs: {HISTORY_DAYS} files, {run['logs_mb']:,.0f} MB, the year made {run['made_on']} "
                     "(bench_history make-logs)")
        notes.append(run["exit"])
        self.row(case, measured, "< 180 s (target)", ratio(run.get("seconds"), 180), run, None,
                 "; ".join(filter(None, notes)))


def logged(keys, connections=()):
    """Settled: the log holds these file opens and connections."""
    return lambda run: run.log.holds(keys) and all(name in run.log.connections for name in connections)


def scanned(files):
    """Settled: the program has read an open-file table of this size once."""
    return lambda run: run.journal.file_scan_done(files) is not None


def enumerated(run):
    """Settled: the enumerate-only program has read both tables once."""
    return any(line.startswith("enumerated") for line in run.output)


def milliseconds(value):
    return f"{value:,.0f} ms" if value is not None else "–"


def seconds_text(result, timeout_s):
    if result.get("seconds") is not None:
        return f"{result['seconds']:.2f} s"
    return "ended early" if result.get("ended_early") else f"> {timeout_s} s"


def cpu_text(result, step):
    """% of one core; under one /proc step (`step` %) when none was counted."""
    if result.get("cpu") is None:
        return "ended early"
    text = f"{result['cpu']:.1f} %" if result["cpu"] > 0 else f"< {step:.2f} %"
    if result.get("wineserver") is not None:
        text += f" (wineserver +{result['wineserver']:.1f} %)"
    return text


def settled_note(result):
    return "" if result.get("settled") else "not settled (start-up logging unfinished): measured anyway"


def ratio(measured, floor):
    if measured is None or floor is None or floor <= 0:
        return "–"
    return f"{measured / floor:.1f}×"


CASES = {
    "first10k": lambda bench: bench.first_poll("first10k", 20, 500, "", 60 if bench.quick else 120),
    "first50k": lambda bench: bench.first_poll("first50k", 50, 1000, "h", 60 if bench.quick else 120),
    "first200k": lambda bench: bench.first_poll("first200k", 200, 1000, "h", 60 if bench.quick else 120,
                                                "target under 2 s, every open logged"),
    "burst": Bench.burst,
    "blacklist": Bench.blacklist,
    "sessions": Bench.sessions,
    "refresh": Bench.refresh,
    "idle": Bench.idle,
    "memory": Bench.memory,
    "servers8slow": Bench.servers_slow,
    "servers8busy": Bench.servers_busy,
    "svc-blacklist": Bench.service_blacklist,
    "svc-burst": Bench.service_burst,
    "svc-first50k": Bench.service_first50k,
    "svc-logline": Bench.service_log_page,
    "svc-idle": Bench.service_idle,
    "svc-flood": Bench.service_flood,
    "svc-window-200k": Bench.service_window_200k,
    "fwd-relp-burst": Bench.fwd_relp_burst,
    "fwd-relp-outage": Bench.fwd_relp_outage,
    "fwd-udp": lambda bench: bench.fwd_rate("udp"),
    "fwd-tcp": lambda bench: bench.fwd_rate("tcp"),
    "fwd-unanswered": Bench.fwd_unanswered,
    "fwd-relp-hang": Bench.fwd_relp_hang,
    "trip-deny": lambda bench: bench.trip_landed("trip-deny", [None], 10 if bench.quick else 20),
    "trip-deny-3": lambda bench: bench.trip_landed("trip-deny-3", ["FS1", "FS2", "FS3"], 10 if bench.quick else 20),
    "trip-500shares": Bench.trip_500_shares,
    "hist-open": Bench.history_open,
    "hist-search": Bench.history_search,
    "hist-backfill": Bench.history_backfill,
}


def table(bench, header):
    lines = header + ["",
                      "| case | measured | floor | ratio | longest WM_NULL wait | longest gap between scans | notes |",
                      "| --- | --- | --- | --- | --- | --- | --- |"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in bench.rows]
    notes = list(dict.fromkeys(note for note in bench.notes if note))
    if notes:
        lines += [""] + [f"- {note}" for note in notes]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="folder with quorvel.exe, netapi32.dll and the probes")
    parser.add_argument("--out", required=True, help="folder for each run's scenario, journal and probe output")
    parser.add_argument("--quick", action="store_true", help="8 s CPU windows and 60 s time-outs")
    parser.add_argument("--header", action="append", default=[], help="a line to print above the table")
    parser.add_argument("--history-off", action="store_true",
                        help="runs without the history store ([history] enabled=0), to set beside a run with it")
    parser.add_argument("--history-events", type=int,
                        default=int(os.environ.get("QUORVEL_BENCH_HISTORY_EVENTS", HISTORY_EVENTS)),
                        help="events in the History cases' year (default 10,000,000; also "
                             "QUORVEL_BENCH_HISTORY_EVENTS); each count's year is made once and kept")
    parser.add_argument("--beside-bin", help="a folder like --bin with another commit's programs: each case runs "
                                              "on them first, its rows named by --beside-label")
    parser.add_argument("--beside-label", help="the commit beside, as the rows name it")
    parser.add_argument("cases", nargs="*", help="any of " + ", ".join(CASES) + "; default: all")
    args = parser.parse_args()
    global HISTORY_OFF
    HISTORY_OFF = args.history_off
    args.header.append("History store: " + ("off ([history] enabled=0)." if HISTORY_OFF else "on (the default)."))
    unknown = [case for case in args.cases if case not in CASES]
    if unknown:
        parser.error("no such case: " + ", ".join(unknown))
    os.makedirs(args.out, exist_ok=True)
    bench = Bench(args)
    try:
        for case in args.cases or list(CASES):
            for beside in ([True, False] if args.beside_bin else [False]):
                print(f"{case}{' on ' + bench.beside_label if beside else ''}:", file=sys.stderr, flush=True)
                bench.use_beside(beside)
                CASES[case](bench)
    finally:
        # Whatever happened, no service is left installed in the bench's prefix.
        if not bench.uninstall_service():
            print("the Quorvel service could not be uninstalled", file=sys.stderr)
    bench.notes.append(bench.platform_note())
    text = table(bench, args.header)
    with open(os.path.join(args.out, "results.md"), "w") as file:
        file.write(text)
    print(text)


if __name__ == "__main__":
    main()
