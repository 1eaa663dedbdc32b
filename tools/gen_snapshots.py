#!/usr/bin/env python3
"""Writes the example machine snapshots for orvik.

  examples/snapshot.json    one snapshot, pretty-printed
  examples/snapshots.jsonl  one hour of snapshots, one every 15 seconds,
                            each a whole snapshot on one line

The machine is a workstation with 8 cores, two logical disks ("C:\\" and
"D:\\") and two network interfaces (wired and Wi-Fi). The output depends
only on the constants below: the same script writes the same bytes on any
machine, so the files can be checked and regenerated.

Counters grow as they do on the machine: CPU seconds per core and mode,
uptime, and the raw values behind the "per second" fields (disk and network
bytes, operations and packets, context switches, system calls), which are
cumulative counts; a rate comes from rate() over them. Percentages,
frequencies, memory, queue lengths and process counts vary from line to
line. Each line carries its time in a top-level "timestamp_ms" member (the
ingest call ignores it; pass it as the call's timestamp) and in its one
free-form metric entry.

Usage: tools/gen_snapshots.py [--out-dir DIR]   (default: examples/)
       tools/gen_snapshots.py --check [--out-dir DIR]
                 exits 1, naming the file, when a file differs from what
                 this script writes
"""

import argparse
import json
import os
import random
import sys

SEED = 20231114
START_MS = 1700000000000
STEP_MS = 15000
COUNT = 240
CORES = 8
STEP_S = STEP_MS // 1000

TOTAL_PHYSICAL = 34185723904
COMMIT_LIMIT = TOTAL_PHYSICAL + 5100273664
DISKS = [
    # name, size, free at the start, bytes read and written so far
    ("C:\\", 511101620224, 187432165376, 88412365824, 61245980672),
    ("D:\\", 1000186310656, 412876083200, 27815428096, 9418768384),
]
NICS = [
    # name, typical receive and send rates in bytes per second
    ("Intel(R) Ethernet Connection (7) I219-LM", 420000, 95000),
    ("Intel(R) Wi-Fi 6 AX201 160MHz", 18000, 6000),
]
# Lines during which the Wi-Fi adapter is disconnected.
WIFI_DOWN = range(150, 163)


def triangle(phase):
    """0 at phase 0, 1 at 0.5, back to 0 at 1: a smooth-enough daily-work
    curve that needs no libm, so every platform computes the same bits."""
    phase -= int(phase)
    return 2 * phase if phase < 0.5 else 2 * (1 - phase)


class Machine:
    def __init__(self, rng):
        self.rng = rng
        self.uptime = 277413
        self.cpu = []
        for core in range(CORES):
            share = self.uptime * (0.97 - 0.01 * core)
            self.cpu.append({
                "user": share * 0.071, "system": share * 0.034, "idle": share * 0.888,
                "interrupt": share * 0.0042, "dpc": share * 0.0028,
            })
        self.available = 15870418944
        self.committed = 21473058816
        self.paged = 851427328
        self.nonpaged = 517963776
        self.cache = 3318960128
        self.disks = [{"free": d[2], "read": d[3], "written": d[4],
                       "reads": d[3] // 24576, "writes": d[4] // 16384} for d in DISKS]
        self.nics = [{"recv": 0, "sent": 0, "precv": 0, "psent": 0, "ein": 0, "eout": 0}
                     for _ in NICS]
        self.nics[0].update(recv=31958112256, sent=7203344384, precv=26101785, psent=11805620, ein=3)
        self.nics[1].update(recv=1265188864, sent=402653184, precv=1120344, psent=603772, ein=12, eout=1)
        self.processes = 287
        self.threads = 4011
        self.handles = 126480
        self.switches = 25806117442
        self.syscalls = 118432096117

    def noise(self, spread):
        return (self.rng.random() - 0.5) * 2 * spread

    def step(self, line):
        """Advances the machine to the given line and returns its snapshot."""
        rng = self.rng
        if line > 0:
            self.uptime += STEP_S
        # A working hour: load rises towards the middle, with a build burst.
        base = 0.10 + 0.30 * triangle(line / COUNT)
        if 95 <= line < 118:
            base += 0.35
        busy = [min(0.98, max(0.01, base + self.noise(0.08) + (0.12 if c == 0 else 0)))
                for c in range(CORES)]

        cores = []
        for c, b in enumerate(busy):
            t = self.cpu[c]
            if line > 0:
                t["user"] += STEP_S * b * 0.66
                t["system"] += STEP_S * b * 0.29
                t["interrupt"] += STEP_S * b * 0.03
                t["dpc"] += STEP_S * b * 0.02
                t["idle"] += STEP_S * (1 - b)
            cores.append({
                "core": c,
                "usage_percent": round(b * 100, 1),
                "frequency_mhz": int(2300 + b * 2200 + self.noise(60)),
                "user_seconds": round(t["user"], 3),
                "system_seconds": round(t["system"], 3),
                "idle_seconds": round(t["idle"], 3),
                "interrupt_seconds": round(t["interrupt"], 3),
                "dpc_seconds": round(t["dpc"], 3),
            })
        load = sum(busy) / CORES

        self.available = int(min(TOTAL_PHYSICAL * 0.7, max(TOTAL_PHYSICAL * 0.2,
                             self.available - load * 40e6 + self.noise(30e6) + 12e6)))
        self.committed = int(max(16e9, self.committed + load * 30e6 + self.noise(25e6) - 9e6))
        self.paged = int(self.paged + self.noise(2e6))
        self.nonpaged = int(self.nonpaged + self.noise(6e5))
        self.cache = int(max(2e9, self.cache + self.noise(20e6) + load * 8e6))
        memory = {
            "available_physical_bytes": self.available,
            "total_physical_bytes": TOTAL_PHYSICAL,
            "committed_bytes": self.committed,
            "total_commit_bytes": COMMIT_LIMIT,
            "pool_paged_bytes": self.paged,
            "pool_nonpaged_bytes": self.nonpaged,
            "cache_bytes": self.cache,
            # Reported as a whole percentage, as the platform does.
            "memory_load_percent": int(100 * (TOTAL_PHYSICAL - self.available) / TOTAL_PHYSICAL + 0.5),
        }

        disks = []
        for (name, size, _, _, _), d, weight in zip(DISKS, self.disks, (1.0, 0.25)):
            if line > 0:
                read = int(STEP_S * weight * (2.5e6 + load * 30e6) * (0.5 + rng.random()))
                written = int(STEP_S * weight * (1.2e6 + load * 18e6) * (0.5 + rng.random()))
                d["read"] += read
                d["written"] += written
                d["reads"] += read // 24576 + 1
                d["writes"] += written // 16384 + 1
                d["free"] -= written // 8
                if rng.random() < 0.05:  # a temporary folder emptied
                    d["free"] += int(rng.random() * 400e6)
            disks.append({
                "name": name,
                "total_bytes": size,
                "free_bytes": d["free"],
                "read_bytes_sec": d["read"],
                "write_bytes_sec": d["written"],
                "read_iops": d["reads"],
                "write_iops": d["writes"],
                "queue_length": round(max(0.0, weight * load * 3 + self.noise(0.3)), 2),
            })

        network = []
        for i, ((name, recv_rate, sent_rate), n) in enumerate(zip(NICS, self.nics)):
            up = not (i == 1 and line in WIFI_DOWN)
            if line > 0 and up:
                recv = int(STEP_S * recv_rate * (0.3 + load * 2) * (0.5 + rng.random()))
                sent = int(STEP_S * sent_rate * (0.3 + load * 2) * (0.5 + rng.random()))
                n["recv"] += recv
                n["sent"] += sent
                n["precv"] += recv // 1100 + 1
                n["psent"] += sent // 640 + 1
                if rng.random() < 0.02:
                    n["ein"] += 1
            network.append({
                "name": name,
                "bytes_recv_sec": n["recv"],
                "bytes_sent_sec": n["sent"],
                "packets_recv_sec": n["precv"],
                "packets_sent_sec": n["psent"],
                "errors_in": n["ein"],
                "errors_out": n["eout"],
                "is_up": up,
            })

        self.processes = max(240, self.processes + int(self.noise(3.5)))
        self.threads = max(3500, self.threads + int(self.noise(40)) + int(load * 10) - 3)
        self.handles = max(100000, self.handles + int(self.noise(900)))
        if line > 0:
            self.switches += int(STEP_S * (18000 + load * 90000) * (0.8 + 0.4 * rng.random()))
            self.syscalls += int(STEP_S * (90000 + load * 400000) * (0.8 + 0.4 * rng.random()))
        system = {
            "uptime_seconds": self.uptime,
            "process_count": self.processes,
            "thread_count": self.threads,
            "handle_count": self.handles,
            "context_switches_sec": self.switches,
            "system_calls_sec": self.syscalls,
        }

        t = START_MS + line * STEP_MS
        return {
            "timestamp_ms": t,
            "host": "WS-ENG-0417",
            "metrics": [{
                "name": "windows_exporter_collector_duration_seconds",
                "labels": {"collector": "snapshot"},
                "value": round(0.004 + load * 0.01 + rng.random() * 0.003, 6),
                "timestamp_ms": t,
            }],
            "cpu": {"total_usage_percent": round(load * 100, 1), "cores": cores},
            "memory": memory,
            "disks": disks,
            "network": network,
            "system": system,
        }


def render():
    """The example files, by name, as the bytes to write."""
    machine = Machine(random.Random(SEED))
    snapshots = [machine.step(line) for line in range(COUNT)]
    return {
        "snapshot.json": json.dumps(snapshots[0], indent=2) + "\n",
        "snapshots.jsonl": "".join(json.dumps(s, separators=(",", ":")) + "\n" for s in snapshots),
    }


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out-dir", default=os.path.join(root, "examples"))
    parser.add_argument("--check", action="store_true",
                        help="compare the files with what would be written; write nothing")
    args = parser.parse_args()

    files = render()
    if args.check:
        stale = []
        for name, text in files.items():
            try:
                with open(os.path.join(args.out_dir, name), "rb") as f:
                    if f.read() != text.encode("ascii"):
                        stale.append(name)
            except OSError:
                stale.append(name)
        for name in stale:
            print(f"gen_snapshots: {name} differs from what tools/gen_snapshots.py writes; rerun it",
                  file=sys.stderr)
        return 1 if stale else 0

    os.makedirs(args.out_dir, exist_ok=True)
    for name, text in files.items():
        with open(os.path.join(args.out_dir, name), "w", encoding="ascii", newline="\n") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
