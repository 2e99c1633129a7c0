#!/usr/bin/env python3
"""The benchmark suite: start-up, step throughput and latency, the per-step breakdown
and peak memory, each figure beside its limit measured in the same run.

Every measurement runs unpinned and pinned (both ends on one core with taskset), a few
times in alternating order; the table shows medians. Only loopback traffic; every loop
is bounded.

Besides the limits the targets are judged against (the raw ping-pong of each transport,
with no simulator behind it), the suite measures the floor of any server that relays to
a simulator process: the raw client, a bare relay and the same simulator ("relay").

The Python client (clients/python) is measured beside the loop a user would write on
the generated gRPC stubs, and its VectorEnv beside its Env.

The raw ping-pongs are also measured in every variant the libraries offer: gRPC's
synchronous, callback and completion-queue APIs with and without the channel and server
arguments that may matter on loopback, and cpp-httplib beside the hand-written HTTP
client and server ("variants").

Usage: bench/suite.py [--quick] [--build-dir DIR] [--json FILE] [--only SECTIONS]
                      [--client-python PYTHON]
(sections: startup, steps, breakdown, cpu, instructions, variants, memory, python)
"""
import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HELP_MARGIN_MS = 3.0
HELP_RSS_LIMIT_KB = 10 * 1024
RUN_RSS_LIMIT_KB = 40 * 1024
PYTHON_GRPC_PINNED = 2700  # Python grpcio unary round trips per second, pinned
MODES = {"unpinned": [], "pinned": ["taskset", "-c", "0"]}
SOURCE = Path(__file__).resolve().parent.parent
VECTOR_ENVS = 4
# The ping-pong variants: (client, server) as tarvo_bench_raw and tarvo_bench_echo take
# them. The first of each protocol is the one tarvo itself uses.
VARIANTS = {
    "grpc": [
        ("grpc:sync", "grpc:async"),
        ("grpc:async", "grpc:async"),
        ("grpc:callback", "grpc:callback"),
        ("grpc:sync", "grpc:sync"),
        ("grpc:sync", "grpc:sync+onepoller"),
        ("grpc:sync", "grpc:async2"),
        ("grpc:callback", "grpc:async"),
        ("grpc:async", "grpc:callback"),
        ("grpc:async", "grpc:sync"),
        ("grpc:sync+nobdp", "grpc:async+nobdp"),
        ("grpc:sync+noretry", "grpc:async"),
        ("grpc:sync+minimal", "grpc:async+minimal"),
        ("grpc:sync+latency", "grpc:async+latency"),
    ],
    "http": [
        ("http", "http"),
        ("http:httplib", "http"),
        ("http", "http:httplib"),
        ("http:httplib", "http:httplib"),
    ],
}


class Suite:
    def __init__(self, build, quick, client_python=None):
        self.build = build
        self.quick = quick
        self.client_python = client_python
        self.tarvo = str(build / "bin" / "tarvo")
        self.sim_dir = str(build / "examples" / "cpp-sim")
        self.rounds = 1 if quick else 5
        self.steps = 300 if quick else 5000
        self.results = {}

    def program(self, name):
        return str(self.build / "bin" / name)

    # -- start-up ---------------------------------------------------------------

    def startup(self):
        commands = {
            "/bin/true": "/bin/true",
            "tarvo --help": f"{self.tarvo} --help",
            "tarvo sim --help": f"{self.tarvo} sim --help",
            "tarvo compute connect --help": f"{self.tarvo} compute connect --help",
            "usage error": f"{self.tarvo} --no-such-option",
            # A body runs: the command library is loaded, then the body refuses.
            "first body (sim validate)": f"{self.tarvo} sim validate",
        }
        runs = 10 if self.quick else 200
        rounds = 1 if self.quick else 10
        times = {name: [] for name in commands}
        with tempfile.TemporaryDirectory() as work:
            for round in range(rounds):
                out = Path(work, f"{round}.json")
                argv = ["hyperfine", "--shell=none", "--warmup", "3", "--runs",
                        str(max(1, runs // rounds)), "--style", "none", "-i",
                        "--export-json", str(out)]
                for name, command in commands.items():
                    argv += ["-n", name, command]
                subprocess.run(argv, check=True, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                for result in json.loads(out.read_text())["results"]:
                    times[result["command"]].extend(result["times"])
        medians = {name: statistics.median(samples) * 1000 for name, samples in times.items()}
        base = medians["/bin/true"]
        self.results["startup"] = [
            {"command": name, "median_ms": ms, "vs_true_ms": ms - base,
             "target": None if name in ("/bin/true", "first body (sim validate)")
             else ms - base <= HELP_MARGIN_MS}
            for name, ms in medians.items()]

    # -- step throughput ---------------------------------------------------------

    def run_json(self, argv, env=None):
        out = subprocess.run(argv, check=True, capture_output=True, text=True, timeout=120,
                             env=env)
        return json.loads(out.stdout.strip().splitlines()[-1])

    def raw(self, mode, transport, port, clients):
        return self.run_json(MODES[mode] + [self.program("tarvo_bench_raw"), transport,
                                            str(port), str(self.steps), str(clients)])

    def tarvo_steps(self, mode, protocol, port, clients):
        return self.run_json(MODES[mode] + [self.program("tarvo_bench_steps"), protocol,
                                            "127.0.0.1", str(port), str(self.steps),
                                            str(clients)])

    def steps_section(self):
        samples = {}  # (mode, what, clients) -> list of figures

        def add(mode, figures):
            samples.setdefault((mode, figures["what"], figures["clients"]), []).append(figures)

        for round in range(self.rounds):
            for mode in MODES:
                for clients in (1, 4):
                    add(mode, self.raw(mode, "pipe", 1, clients))
                for protocol in ("grpc", "http"):
                    with EchoServer(MODES[mode] + [self.program("tarvo_bench_echo"),
                                                   protocol]) as echo:
                        for clients in (1, 4):
                            add(mode, self.raw(mode, protocol, echo.port, clients))
                    with EchoServer(MODES[mode] + [self.program("tarvo_bench_echo"), protocol,
                                                   self.sim_dir, "./cartpole"]) as relay:
                        for clients in (1, 4):
                            figures = self.raw(mode, protocol, relay.port, clients)
                            figures["what"] = f"relay {protocol}"
                            add(mode, figures)
                    with TarvoServer(MODES[mode], self.tarvo, self.sim_dir, protocol) as server:
                        for clients in (1, 4):
                            add(mode, self.tarvo_steps(mode, protocol, server.port, clients))
        rows = []
        for (mode, what, clients), runs in samples.items():
            rows.append({
                "mode": mode, "what": what, "clients": clients, "runs": len(runs),
                "steps_per_s": statistics.median(r["steps_per_s"] for r in runs),
                "by_round": [r["steps_per_s"] for r in runs],
                "p50_us": statistics.median(r["p50_us"] for r in runs),
                "p99_us": statistics.median(r["p99_us"] for r in runs),
            })
        self.results["steps"] = rows

    @staticmethod
    def share_check(name, ours, limit, share):
        # Each round measures both within seconds of each other: the share round by
        # round shows how far the machine's drift moves the verdict.
        return {"check": name, "value": ours["steps_per_s"],
                "limit": share * limit["steps_per_s"],
                "ok": ours["steps_per_s"] >= share * limit["steps_per_s"], "share": share,
                "share_by_round": [a / b for a, b in zip(ours["by_round"], limit["by_round"])]}

    def fastest_grpc_check(self):
        """tarvo's gRPC steps beside the fastest raw gRPC variant: the raw ping-pong of the
        steps section (tarvo's own variant, measured beside tarvo's steps) scaled by the
        fastest variant's share of it, when one beat it in every round (the best of a
        dozen noisy medians would beat it by chance)."""
        for mode in MODES:
            ours = self.figure(mode, "tarvo grpc", 1)
            raw = self.figure(mode, "raw grpc", 1)
            variants = [r for r in self.results["variants"]
                        if (r["protocol"], r["mode"]) == ("grpc", mode)]
            best = max(variants, key=lambda r: min(r["share_by_round"]))
            scale = max(1.0, min(best["share_by_round"]))
            check = self.share_check(
                f"grpc 1 client {mode}: tarvo >= 0.9 x the fastest raw variant "
                f"({best['client']} / {best['server']}, x{scale:.2f} raw)", ours, raw, 0.9)
            check["limit"] *= scale
            check["ok"] = ours["steps_per_s"] >= check["limit"]
            check["share_by_round"] = [s / scale for s in check["share_by_round"]]
            self.results["targets"].append(check)

    def figure(self, mode, what, clients):
        for row in self.results.get("steps", []):
            if (row["mode"], row["what"], row["clients"]) == (mode, what, clients):
                return row
        return None

    def targets(self):
        checks = []
        for mode in MODES:
            for protocol in ("grpc", "http"):
                for clients in (1, 4):
                    # Four HTTP clients unpinned keep both cores busy even raw, and a
                    # relay's two more context switches per step cannot fit: that one is
                    # set against the bare relay instead.
                    against, share = ("relay", 0.8) if (
                        protocol, clients, mode) == ("http", 4, "unpinned") else ("raw", 0.5)
                    checks.append(self.share_check(
                        f"{protocol} {clients} client(s) {mode}: tarvo >= {share} x {against}",
                        self.figure(mode, f"tarvo {protocol}", clients),
                        self.figure(mode, f"{against} {protocol}", clients), share))
                one = self.figure(mode, f"tarvo {protocol}", 1)
                four = self.figure(mode, f"tarvo {protocol}", 4)
                raw_scaling = (self.figure(mode, f"raw {protocol}", 4)["steps_per_s"] /
                               self.figure(mode, f"raw {protocol}", 1)["steps_per_s"])
                check = {
                    "check": f"{protocol} {mode}: 4 clients >= 1.5 x 1 client "
                             f"(raw: {raw_scaling:.2f} x)",
                    "value": four["steps_per_s"], "limit": 1.5 * one["steps_per_s"],
                    "ok": four["steps_per_s"] >= 1.5 * one["steps_per_s"]}
                # On one core, more clients only share the same CPU: scaling needs a
                # second core to scale onto, so the pinned figure is shown, not judged.
                if MODES[mode]:
                    check["ok"] = None
                    check["check"] += ", one core: not judged"
                checks.append(check)
        for mode in MODES:
            check = self.share_check(
                f"grpc 1 client {mode}: tarvo grpc >= 0.8 x tarvo http",
                self.figure(mode, "tarvo grpc", 1), self.figure(mode, "tarvo http", 1), 0.8)
            # Judged unpinned, where users step; pinned it is shown.
            if MODES[mode]:
                check["ok"] = None
                check["check"] += ", one core: not judged"
            checks.append(check)
        pinned = self.figure("pinned", "tarvo grpc", 1)
        checks.append({
            "check": "grpc 1 client pinned >= 2 x Python grpcio (pinned 2,700/s)",
            "value": pinned["steps_per_s"], "limit": 2 * PYTHON_GRPC_PINNED,
            "ok": pinned["steps_per_s"] >= 2 * PYTHON_GRPC_PINNED})
        self.results["targets"] = checks

    # -- the Python client ---------------------------------------------------------

    def python_client(self):
        """Steps per second of tarvo_client's Env beside the loop on the generated gRPC
        stubs (single sessions, the C++ example), and of a VectorEnv of 4 beside Env with
        the C++ example (a step costs it less than the Python client spends) and the
        Python one (whose steps take work of their own, as real simulators' do)."""
        python = self.client_python or find_client_python()
        program = [python, str(SOURCE / "bench" / "python_client.py")]
        env = dict(os.environ, PYTHONPATH=f"{SOURCE / 'clients' / 'python'}:"
                                          f"{self.build / 'python'}")
        simulators = {"C++ example": self.sim_dir,
                      "Python example": str(SOURCE / "examples" / "python-sim")}
        samples = {}
        for round in range(self.rounds):
            for mode in MODES:
                for simulator, sim_dir in simulators.items():
                    if MODES[mode] and simulator != "C++ example":
                        continue  # on one core a slow simulator only shows the same again
                    for protocol in ("grpc", "http"):
                        with TarvoServer(MODES[mode], self.tarvo, sim_dir, protocol) as server:
                            address = f"{protocol}://127.0.0.1:{server.port}"
                            runs = [("env", []), ("vector", [str(VECTOR_ENVS)])]
                            if protocol == "grpc" and simulator == "C++ example":
                                runs.insert(0, ("raw-grpc", []))
                            for what, extra in runs:
                                figures = self.run_json(MODES[mode] + program + [
                                    what, address, str(self.steps)] + extra, env=env)
                                path = {"raw-grpc": "raw grpcio loop", "env": "Env",
                                        "vector": f"VectorEnv({VECTOR_ENVS})"}[what]
                                key = (mode, simulator, protocol, path)
                                samples.setdefault(key, []).append(figures)
        rows = [{"mode": mode, "simulator": simulator, "protocol": protocol, "what": path,
                 "runs": len(runs),
                 "steps_per_s": statistics.median(r["steps_per_s"] for r in runs),
                 "by_round": [r["steps_per_s"] for r in runs],
                 "p50_us": statistics.median(r["p50_us"] for r in runs),
                 "p99_us": statistics.median(r["p99_us"] for r in runs)}
                for (mode, simulator, protocol, path), runs in samples.items()]
        self.results["python"] = rows

        def figure(*key):
            return next(r["steps_per_s"] for r in rows
                        if (r["mode"], r["simulator"], r["protocol"], r["what"]) == key)

        checks = []
        for mode in MODES:
            env_grpc = figure(mode, "C++ example", "grpc", "Env")
            raw = figure(mode, "C++ example", "grpc", "raw grpcio loop")
            checks.append({"check": f"Python Env >= 0.9 x the raw grpcio loop, {mode}",
                           "value": env_grpc, "limit": 0.9 * raw, "ok": env_grpc >= 0.9 * raw})
            for simulator in simulators:
                for protocol in ("grpc", "http"):
                    if not any((r["mode"], r["simulator"]) == (mode, simulator) for r in rows):
                        continue
                    single = figure(mode, simulator, protocol, "Env")
                    vector = figure(mode, simulator, protocol, f"VectorEnv({VECTOR_ENVS})")
                    check = {"check": f"Python VectorEnv({VECTOR_ENVS}) >= 1.5 x Env, "
                                      f"{simulator}, {protocol}, {mode}",
                             "value": vector, "limit": 1.5 * single,
                             "ok": vector >= 1.5 * single}
                    if MODES[mode]:  # one core: nothing to run in parallel on
                        check["ok"] = None
                        check["check"] += ", one core: not judged"
                    checks.append(check)
        self.results["python_targets"] = checks

    # -- where the time goes -------------------------------------------------------

    def breakdown(self):
        micro = {}
        for mode in MODES:
            argv = MODES[mode] + [self.program("tarvo_bench_micro"),
                                  "--benchmark_format=json",
                                  f"--benchmark_min_time={0.05 if self.quick else 0.5}"]
            out = subprocess.run(argv, check=True, capture_output=True, text=True, timeout=120)
            micro[mode] = {b["name"].split("/")[0]: b["real_time"] / 1000.0  # ns -> us
                           for b in json.loads(out.stdout)["benchmarks"]}
        rows = []
        # Pinned only: across two cores each hand-off may wait for a sleeping core to
        # wake, so the pieces measured apart overlap and do not add up to a step.
        for mode in ("pinned",):
            m = micro[mode]
            pipe = self.figure(mode, "raw pipe", 1)["p50_us"]
            for protocol in ("grpc", "http"):
                total = self.figure(mode, f"tarvo {protocol}", 1)["p50_us"]
                wire = self.figure(mode, f"raw {protocol}", 1)["p50_us"]
                sim = m["SessionStep"]
                client = m["ClientCall"]
                rows.append({
                    "mode": mode, "protocol": protocol, "total_us": total,
                    "wire_us": wire,
                    "simulator_pipe_us": sim, "pipe_limit_us": pipe,
                    "server_json_us": m["ReplyCheck"],
                    "client_json_us": client,
                    "proto_codec_us": m["ProtoCodec"] if protocol == "grpc" else 0.0,
                    # What is left once the measured pieces are taken away: the
                    # server's own hand-offs and the client library's.
                    "rest_us": total - wire - sim - client,
                })
        self.results["micro"] = micro
        self.results["breakdown"] = rows

    # -- CPU per step ----------------------------------------------------------

    def cpu(self):
        """CPU time per step of client and server, pinned, 1 client: tarvo beside the
        bare relay with the raw client, so that each side's own cost shows."""
        steps = 300 if self.quick else 30000
        pinned = MODES["pinned"]
        rows = []
        for protocol in ("grpc", "http"):
            relay = EchoServer(pinned + [self.program("tarvo_bench_echo"), protocol,
                                         self.sim_dir, "./cartpole"])
            with relay:
                client = [self.program("tarvo_bench_raw"), protocol, str(relay.port),
                          str(steps), "1"]
                rows.append(self.cpu_row(protocol, "bare relay", relay.process.pid,
                                         pinned + client, steps))
            with TarvoServer(pinned, self.tarvo, self.sim_dir, protocol) as server:
                client = [self.program("tarvo_bench_steps"), protocol, "127.0.0.1",
                          str(server.port), str(steps), "1"]
                rows.append(self.cpu_row(protocol, "tarvo", server.process.pid,
                                         pinned + client, steps))
        self.results["cpu"] = rows

    @staticmethod
    def cpu_row(protocol, what, server_pid, client_argv, steps):
        before = process_cpu_s(server_pid)
        with tempfile.NamedTemporaryFile("r") as out:
            subprocess.run(["/usr/bin/time", "-f", "%U %S", "-o", out.name] + client_argv,
                           check=True, stdout=subprocess.DEVNULL, timeout=120)
            client_user, client_sys = (float(x) for x in out.read().split()[-2:])
        after = process_cpu_s(server_pid)
        per_step = 1e6 / steps
        return {"protocol": protocol, "path": what,
                "client_user_us": client_user * per_step, "client_sys_us": client_sys * per_step,
                "server_user_us": (after[0] - before[0]) * per_step,
                "server_sys_us": (after[1] - before[1]) * per_step}

    # -- instructions per step ---------------------------------------------------

    def instructions(self):
        """Instructions per step of client and server under callgrind: a count, not a
        time, so it comes out the same however busy the machine is. Each figure is the
        difference of two runs of different lengths, which takes start-up and session
        set-up away."""
        short, long = (20, 60) if self.quick else (1000, 4000)
        rows = []
        for protocol in ("http",) if self.quick else ("grpc", "http"):
            counts = {}
            for steps in (short, long):
                counts[steps] = self.instruction_counts(protocol, steps)
            per_step = {what: (counts[long][what] - counts[short][what]) / (long - short)
                        for what in counts[long]}
            rows.append({"protocol": protocol, **per_step})
        self.results["instructions"] = rows

    def instruction_counts(self, protocol, steps):
        counts = {}
        with tempfile.TemporaryDirectory() as work:
            def callgrind(name):
                return ["valgrind", "-q", "--tool=callgrind", "--callgrind-out-file=" +
                        str(Path(work, name))]

            with TarvoServer(callgrind("tarvo_server"), self.tarvo, self.sim_dir, protocol,
                             start_timeout=60) as server:
                subprocess.run(callgrind("tarvo_client") + [
                    self.program("tarvo_bench_steps"), protocol, "127.0.0.1",
                    str(server.port), str(steps), "1"],
                    check=True, capture_output=True, timeout=600)
            for server, extra in (("raw_server", []), ("relay_server", [self.sim_dir,
                                                                         "./cartpole"])):
                with EchoServer(callgrind(server) + [self.program("tarvo_bench_echo"),
                                                     protocol] + extra) as echo:
                    # The raw client is counted once, beside the raw server.
                    counted = callgrind("raw_client") if server == "raw_server" else []
                    subprocess.run(counted + [
                        self.program("tarvo_bench_raw"), protocol, str(echo.port),
                        str(steps), "1"], check=True, capture_output=True, timeout=600)
            for name in ("tarvo_server", "tarvo_client", "raw_server", "relay_server",
                         "raw_client"):
                counts[name] = callgrind_total(Path(work, name))
        return counts

    # -- the ping-pong variants ----------------------------------------------------

    def variants(self):
        """Every variant's raw ping-pong, 1 client, unpinned and pinned, in alternating
        order round by round; each round's figure also as a share of tarvo's own variant
        of the round. Context switches per round trip (both ends, from their resource
        usage at exit) and, in a full run, callgrind's instructions per round trip."""
        samples = {}
        for round in range(self.rounds):
            for mode in MODES:
                for protocol, pairs in VARIANTS.items():
                    order = pairs if round % 2 == 0 else pairs[::-1]
                    for client, server in order:
                        samples.setdefault((mode, client, server), []).append(
                            self.variant_run(mode, client, server))
        rows = []
        for protocol, pairs in VARIANTS.items():
            for mode in MODES:
                ours = samples[(mode, *pairs[0])]
                for client, server in pairs:
                    runs = samples[(mode, client, server)]
                    shares = [r["steps_per_s"] / o["steps_per_s"] for r, o in zip(runs, ours)]
                    rows.append({
                        "protocol": protocol, "mode": mode, "client": client, "server": server,
                        "steps_per_s": statistics.median(r["steps_per_s"] for r in runs),
                        "by_round": [r["steps_per_s"] for r in runs],
                        "share_of_ours": statistics.median(shares),
                        "share_by_round": shares,
                        "p50_us": statistics.median(r["p50_us"] for r in runs),
                        "switches": statistics.median(r["switches"] for r in runs)})
        if not self.quick:
            short, long = 300, 1500
            for row in rows:
                if row["mode"] == "unpinned":
                    counts = [self.variant_instructions(row["client"], row["server"], steps)
                              for steps in (short, long)]
                    row["client_instructions"] = (counts[1][0] - counts[0][0]) / (long - short)
                    row["server_instructions"] = (counts[1][1] - counts[0][1]) / (long - short)
        self.results["variants"] = rows

    def variant_run(self, mode, client, server):
        """One raw ping-pong; its figures and both ends' context switches per round trip."""
        echo = subprocess.Popen(MODES[mode] + [self.program("tarvo_bench_echo"), server],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            port = echo.stdout.readline().strip()
            raw = subprocess.Popen(MODES[mode] + [self.program("tarvo_bench_raw"), client, port,
                                                  str(self.steps), "1"],
                                   stdout=subprocess.PIPE, text=True)
            out = raw.stdout.read()
            _, status, client_usage = os.wait4(raw.pid, 0)
            raw.returncode = os.waitstatus_to_exitcode(status)
            if raw.returncode != 0:
                raise RuntimeError(f"tarvo_bench_raw {client} against {server} failed")
        finally:
            echo.stdin.close()
        _, _, server_usage = os.wait4(echo.pid, 0)
        echo.returncode = 0
        figures = json.loads(out.strip().splitlines()[-1])
        figures["switches"] = sum(u.ru_nvcsw + u.ru_nivcsw for u in
                                  (client_usage, server_usage)) / figures["steps"]
        return figures

    def variant_instructions(self, client, server, steps):
        with tempfile.TemporaryDirectory() as work:
            def callgrind(name):
                return ["valgrind", "-q", "--tool=callgrind", "--callgrind-out-file=" +
                        str(Path(work, name))]

            with EchoServer(callgrind("server") + [self.program("tarvo_bench_echo"),
                                                   server]) as echo:
                subprocess.run(callgrind("client") + [self.program("tarvo_bench_raw"), client,
                                                      str(echo.port), str(steps), "1"],
                               check=True, capture_output=True, timeout=600)
            return (callgrind_total(Path(work, "client")),
                    callgrind_total(Path(work, "server")))

    # -- memory ----------------------------------------------------------------

    def memory(self):
        help_kb = max(peak_rss_kb([self.tarvo, "--help"]) for _ in range(3))
        rows = [{"what": "tarvo --help", "peak_rss_kb": help_kb, "limit_kb": HELP_RSS_LIMIT_KB,
                 "ok": help_kb < HELP_RSS_LIMIT_KB}]
        for protocol in ("grpc", "http"):
            with TarvoServer([], self.tarvo, self.sim_dir, protocol, measure_rss=True) as server:
                subprocess.run([self.program("tarvo_bench_steps"), protocol, "127.0.0.1",
                                str(server.port), str(self.steps), "1"],
                               check=True, capture_output=True, timeout=120)
            kb = server.peak_rss_kb
            rows.append({"what": f"tarvo sim run, one {protocol} session", "peak_rss_kb": kb,
                         "limit_kb": RUN_RSS_LIMIT_KB, "ok": kb < RUN_RSS_LIMIT_KB})
        self.results["memory"] = rows


def callgrind_total(path):
    """The instruction count callgrind wrote for a program that has ended."""
    for line in path.read_text().splitlines():
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    raise RuntimeError(f"no total in {path}")


def process_cpu_s(pid):
    """User and system CPU seconds of one process (all its threads, not its children)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / ticks, int(fields[12]) / ticks


def find_client_python():
    """A python3 that has Debian's grpcio and numpy (another one earlier on PATH, a pyenv
    one say, may not see them)."""
    for candidate in (sys.executable, "/usr/bin/python3"):
        probe = subprocess.run([candidate, "-c", "import grpc, google.protobuf, numpy"],
                               capture_output=True)
        if probe.returncode == 0:
            return candidate
    raise RuntimeError("no python3 with grpcio, protobuf and numpy for the Python client: "
                       "run scripts/setup")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Measured by GNU time, not by wait4() here: a child forked from this Python process
# keeps the parent's high-water mark through exec, and would report Python's size.
def peak_rss_kb(argv):
    with tempfile.NamedTemporaryFile("r") as out:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out.name] + argv,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return int(out.read().split()[-1])


class EchoServer:
    """A raw echo server; it ends when its standard input closes."""

    def __init__(self, argv):
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)
        self.port = int(self.process.stdout.readline())

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.process.stdin.close()
        self.process.wait(timeout=10)


class TarvoServer:
    """`tarvo sim run` on loopback; Ctrl-C (SIGINT) ends it, and its peak memory is kept."""

    def __init__(self, prefix, tarvo, sim_dir, protocol, measure_rss=False, start_timeout=15):
        self.port = free_port()
        self.rss_file = tempfile.NamedTemporaryFile("r") if measure_rss else None
        if self.rss_file:
            prefix = prefix + ["/usr/bin/time", "-f", "%M", "-o", self.rss_file.name]
        # A process group of its own: Ctrl-C goes to the whole group, as at a terminal.
        # Not a session of its own: with autogroup scheduling a new session is a new
        # scheduling group, which would share the CPU with the clients as one task
        # while the raw and relay servers compete thread by thread.
        self.process = subprocess.Popen(
            prefix + [tarvo, "sim", "run", sim_dir, "--host", "127.0.0.1", "--port",
                      str(self.port), "--protocol", protocol],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, process_group=0)
        deadline = time.monotonic() + start_timeout
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.02)
        self.process.kill()
        raise RuntimeError(f"tarvo sim run did not start serving {protocol}")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        os.killpg(self.process.pid, signal.SIGINT)
        self.process.wait(timeout=60)
        if self.rss_file:
            self.peak_rss_kb = int(self.rss_file.read().split()[-1])
            self.rss_file.close()


def print_table(results):
    def line(*cells):
        print("| " + " | ".join(str(c) for c in cells) + " |")

    def verdict(ok):
        return "" if ok is None else ("yes" if ok else "**no**")

    if "startup" in results:
        print("\nStart-up (median of hyperfine runs; target: within 3 ms of /bin/true)\n")
        line("command", "median", "vs /bin/true", "target met")
        line("---", "---:", "---:", "---")
        for r in results["startup"]:
            line(r["command"], f"{r['median_ms']:.2f} ms", f"{r['vs_true_ms']:+.2f} ms",
                 verdict(r["target"]))
    if "steps" in results:
        print("\nSteps through tarvo beside the raw ping-pong of the same transport and a "
              "bare relay to the same simulator (medians of the runs)\n")
        line("mode", "path", "clients", "steps/s", "p50", "p99", "limit (raw) steps/s",
             "share of limit", "bare relay steps/s", "share of relay")
        line("---", "---", "---:", "---:", "---:", "---:", "---:", "---:", "---:", "---:")
        for mode in MODES:
            for what in ("tarvo grpc", "tarvo http", "raw grpc", "raw http", "relay grpc",
                         "relay http", "raw pipe"):
                for clients in (1, 4):
                    row = next((r for r in results["steps"] if (r["mode"], r["what"],
                                r["clients"]) == (mode, what, clients)), None)
                    if not row:
                        continue
                    cells = ["", "", "", ""]
                    if what.startswith("tarvo"):
                        protocol = what.split()[1]
                        for at, name in ((0, "raw"), (2, "relay")):
                            other = next(r for r in results["steps"] if (r["mode"], r["what"],
                                         r["clients"]) == (mode, f"{name} {protocol}", clients))
                            cells[at] = f"{other['steps_per_s']:,.0f}"
                            cells[at + 1] = f"{row['steps_per_s'] / other['steps_per_s']:.2f}"
                    line(mode, what, clients, f"{row['steps_per_s']:,.0f}",
                         f"{row['p50_us']:.0f} us", f"{row['p99_us']:.0f} us", *cells)
    if "targets" in results:
        print("\nThroughput targets\n")
        line("target", "figure", "needed", "met", "share round by round")
        line("---", "---:", "---:", "---", "---")
        for c in results["targets"]:
            rounds = c.get("share_by_round")
            spread = ""
            if rounds:
                held = sum(share >= c["share"] for share in rounds)
                spread = (f"{min(rounds):.2f}–{max(rounds):.2f} "
                          f"(≥ {c['share']} in {held} of {len(rounds)})")
            line(c["check"], f"{c['value']:,.0f}/s", f"{c['limit']:,.0f}/s", verdict(c["ok"]),
                 spread)
    if "breakdown" in results:
        print("\nWhere one step's time goes (1 client, p50, microseconds; pinned, where the "
              "pieces add up)\n")
        line("mode", "protocol", "total", "wire (raw ping-pong)", "simulator over its pipe",
             "(pipe limit)", "client per call", "of which server reply check",
             "rest: server + client hand-offs")
        line("---", "---", "---:", "---:", "---:", "---:", "---:", "---:", "---:")
        for r in results["breakdown"]:
            line(r["mode"], r["protocol"], f"{r['total_us']:.0f}", f"{r['wire_us']:.0f}",
                 f"{r['simulator_pipe_us']:.1f}", f"{r['pipe_limit_us']:.1f}",
                 f"{r['client_json_us']:.1f}", f"{r['server_json_us']:.2f}",
                 f"{r['rest_us']:.0f}")
    if "cpu" in results:
        print("\nCPU per step, pinned, 1 client (microseconds; the server without its "
              "simulators)\n")
        line("protocol", "path", "client user", "client system", "server user",
             "server system")
        line("---", "---", "---:", "---:", "---:", "---:")
        for r in results["cpu"]:
            line(r["protocol"], r["path"], f"{r['client_user_us']:.1f}",
                 f"{r['client_sys_us']:.1f}", f"{r['server_user_us']:.1f}",
                 f"{r['server_sys_us']:.1f}")
    if "instructions" in results:
        print("\nInstructions per step, 1 client (callgrind: the same whatever the machine's "
              "load; servers without their simulators)\n")
        line("protocol", "tarvo client", "raw client", "tarvo server", "bare relay",
             "raw echo server")
        line("---", "---:", "---:", "---:", "---:", "---:")
        for r in results["instructions"]:
            line(r["protocol"], f"{r['tarvo_client']:,.0f}", f"{r['raw_client']:,.0f}",
                 f"{r['tarvo_server']:,.0f}", f"{r['relay_server']:,.0f}",
                 f"{r['raw_server']:,.0f}")
    if "variants" in results:
        print("\nThe raw ping-pongs in every variant, 1 client (medians of the runs; share: "
              "of tarvo's own variant, the first of each protocol, round by round; "
              "instructions per round trip by callgrind, in a full run)\n")
        line("client", "server", "unpinned steps/s", "share", "pinned steps/s", "share",
             "switches per round trip", "client instructions", "server instructions")
        line("---", "---", "---:", "---:", "---:", "---:", "---:", "---:", "---:")
        rows = results["variants"]
        for r in rows:
            if r["mode"] != "unpinned":
                continue
            pinned = next(p for p in rows if p["mode"] == "pinned" and
                          (p["client"], p["server"]) == (r["client"], r["server"]))
            count = [f"{r[k]:,.0f}" if k in r else "" for k in ("client_instructions",
                                                                "server_instructions")]
            line(r["client"], r["server"], f"{r['steps_per_s']:,.0f}",
                 f"{r['share_of_ours']:.2f}", f"{pinned['steps_per_s']:,.0f}",
                 f"{pinned['share_of_ours']:.2f}", f"{r['switches']:.1f}", *count)
    if "python" in results:
        print(f"\nThe Python client: steps/s of Env beside the loop on the generated stubs, "
              f"and of VectorEnv({VECTOR_ENVS}) (every environment's steps) beside Env "
              f"(medians of the runs)\n")
        line("mode", "simulator", "protocol", "path", "steps/s", "p50 per call",
             "p99 per call")
        line("---", "---", "---", "---", "---:", "---:", "---:")
        for r in results["python"]:
            line(r["mode"], r["simulator"], r["protocol"], r["what"],
                 f"{r['steps_per_s']:,.0f}", f"{r['p50_us']:.0f} us", f"{r['p99_us']:.0f} us")
        print()
        line("target", "figure", "needed", "met")
        line("---", "---:", "---:", "---")
        for c in results["python_targets"]:
            line(c["check"], f"{c['value']:,.0f}/s", f"{c['limit']:,.0f}/s", verdict(c["ok"]))
    if "memory" in results:
        print("\nPeak resident memory\n")
        line("process", "peak RSS", "limit", "met")
        line("---", "---:", "---:", "---")
        for r in results["memory"]:
            line(r["what"], f"{r['peak_rss_kb'] / 1024:.1f} MB", f"{r['limit_kb'] / 1024:.0f} MB",
                 verdict(r["ok"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="a short run that only proves the suite works")
    parser.add_argument("--build-dir", default=os.environ.get("TARVO_BUILD_DIR", "build"))
    parser.add_argument("--json", help="where to write the results (default "
                        "<build>/bench/results.json)")
    parser.add_argument("--only",
                        default="startup,steps,breakdown,cpu,instructions,variants,memory,"
                        "python",
                        help="comma-separated sections")
    parser.add_argument("--client-python",
                        help="the python3 that runs the Python client (default: this one, "
                        "else /usr/bin/python3, whichever has grpcio and numpy)")
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    suite = Suite(build, args.quick, args.client_python)
    sections = args.only.split(",")
    if "breakdown" in sections and "steps" not in sections:
        sections.insert(0, "steps")
    if "startup" in sections:
        suite.startup()
    if "steps" in sections:
        suite.steps_section()
        suite.targets()
    if "breakdown" in sections:
        suite.breakdown()
    if "cpu" in sections:
        suite.cpu()
    if "instructions" in sections:
        suite.instructions()
    if "variants" in sections:
        suite.variants()
        if "steps" in sections:
            suite.fastest_grpc_check()
    if "memory" in sections:
        suite.memory()
    if "python" in sections:
        suite.python_client()
    suite.results["machine"] = {"cpus": os.cpu_count(), "load": os.getloadavg(),
                                "quick": args.quick}
    print_table(suite.results)
    out = Path(args.json) if args.json else build / "bench" / "results.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(suite.results, indent=2) + "\n")
    print(f"\nresults written to {out}")


if __name__ == "__main__":
    sys.exit(main())
