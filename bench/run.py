"""Throughput and memory of sessionrows against its peers and C++ floors.

    python bench/run.py --report bench/out/report.md        # a few minutes
    python bench/run.py --quick                             # smoke run on small data

Contenders, timed side by side on the same files in one process:
  sessionrows         extract_claude / extract_codex, called once per file
  pyrules json        bench/pyrules.py with json.loads, the straightforward Python peer
  pyrules orjson      the same with orjson.loads
  floor a             C++: the module's chunked reader and line split, nothing else
  floor b             C++: floor a + the module's prefilter + the JSON parser on the
                      lines the prefilter passes (no rules, no rows)
  scan only           C++: sr::run per file (prefilter, parser, rules, rows as C++
                      strings); the module's time minus this is the cost of Python objects
  extract_many        the whole set in one call (n/a while the module lacks it)

Each repetition walks the set in blocks of files and runs every contender on a block
before the next block, in an order that rotates, so that a change of machine load
hits all contenders alike. Figures are medians over repetitions with min and max;
a ratio is taken within each repetition and then summarised the same way.
MB means 10**6 bytes.
"""

import argparse
import ctypes
import datetime
import gc
import json
import os
import pathlib
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import datagen  # noqa: E402
import pyrules  # noqa: E402

import sessionrows  # noqa: E402

try:
    import orjson
except ImportError:  # the peer is then reported as n/a
    orjson = None

FORMATS = datagen.FORMATS
TARGETS = {  # (format, contender): minimum ratio sessionrows / contender
    ("claude", "json"): 6.0,
    ("claude", "orjson"): 4.0,
    ("claude", "floor_b"): 0.85,
    ("codex", "json"): 12.0,
    ("codex", "orjson"): 10.0,
}
MANY_TARGET = 1.8          # extract_many over the per-file loop, on this machine's cores
MEMORY_SLACK = 8 * (1 << 20)  # peak memory allowed beyond the returned rows


def log(msg):
    print("[%7.1fs] %s" % (time.perf_counter() - T0, msg), file=sys.stderr, flush=True)


T0 = time.perf_counter()


# ---------------------------------------------------------------------------
# Statistics and tables

def summary(values):
    return statistics.median(values), min(values), max(values)


def fmt_range(values, digits=0, suffix=""):
    if not values:
        return "n/a"
    med, lo, hi = summary(values)
    f = "%%.%df" % digits
    return (f % med) + suffix + " (" + (f % lo) + "-" + (f % hi) + ")"


class Table:
    def __init__(self, title, headers, note=None):
        self.title, self.headers, self.rows, self.note = title, headers, [], note

    def add(self, *cells):
        self.rows.append([str(c) for c in cells])

    def text(self):
        widths = [max(len(h), *(len(r[i]) for r in self.rows)) if self.rows else len(h)
                  for i, h in enumerate(self.headers)]
        line = lambda cells: "  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip()
        out = [self.title, line(self.headers), line(["-" * w for w in widths])]
        out += [line(r) for r in self.rows]
        if self.note:
            out.append(self.note)
        return "\n".join(out)

    def markdown(self):
        out = ["### " + self.title, "", "| " + " | ".join(self.headers) + " |",
               "|" + "|".join("---" for _ in self.headers) + "|"]
        out += ["| " + " | ".join(r) + " |" for r in self.rows]
        if self.note:
            out += ["", self.note]
        return "\n".join(out)


# ---------------------------------------------------------------------------
# The C++ floors

FLOOR_MODES = {"floor_a": 0, "floor_b": 1, "scan": 2}


class Floors:
    """bench/floors.cpp built with the module's CMake file and flags, loaded by ctypes."""

    def __init__(self, build_dir):
        cmake = shutil.which("cmake", path=os.pathsep.join([str(pathlib.Path(sys.executable).parent),
                                                            os.environ.get("PATH", "")]))
        if not cmake:
            raise RuntimeError("cmake not found")
        build_dir.mkdir(parents=True, exist_ok=True)
        subprocess.run([cmake, "-S", str(REPO), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                        "-DSESSIONROWS_PYTHON=OFF", "-DSESSIONROWS_BENCH=ON"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        subprocess.run([cmake, "--build", str(build_dir), "--parallel", "2", "--target", "srfloors",
                        "srfloors_cli"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lib = ctypes.CDLL(str(build_dir / "libsrfloors.so"))
        self.lib.srf_run.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                     ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t,
                                     ctypes.POINTER(ctypes.c_uint64)]
        self.lib.srf_run.restype = ctypes.c_int
        cache = (build_dir / "CMakeCache.txt").read_text(errors="replace")
        self.compiler = next((l.split("=", 1)[1] for l in cache.splitlines()
                              if l.startswith("CMAKE_CXX_COMPILER:")), "?")
        self.flags = next((l.split("=", 1)[1] for l in cache.splitlines()
                           if l.startswith("CMAKE_CXX_FLAGS_RELEASE:")), "?")

    @staticmethod
    def paths(files):
        return (ctypes.c_char_p * len(files))(*[os.fsencode(p) for p in files])

    def run(self, mode, fmt, tools, cpaths):
        out = (ctypes.c_uint64 * 7)()
        rc = self.lib.srf_run(FLOOR_MODES[mode], fmt == "codex", int(tools), cpaths, len(cpaths), out)
        if rc != 0:
            raise RuntimeError("floor %s failed on file #%d" % (mode, rc - 1))
        return dict(zip(("files", "bytes", "lines", "parsed_lines", "parsed_bytes", "parse_failures", "rows"), out))


# ---------------------------------------------------------------------------
# Contenders

def module_fn(fmt):
    return sessionrows.extract_codex if fmt == "codex" else sessionrows.extract_claude


def make_contenders(fmt, tools, floors):
    """name -> callable(block) returning the number of rows (None where it has none)."""
    extract = module_fn(fmt)

    def module(block):
        n = 0
        for p in block["files"]:
            n += len(extract(p, tools))
        return n

    def peer(loads):
        def run(block):
            n = 0
            for p in block["files"]:
                n += len(pyrules.extract(fmt, p, tools, loads=loads, exact=False))
            return n
        return run

    c = {"sessionrows": module, "json": peer(json.loads)}
    if orjson is not None:
        c["orjson"] = peer(orjson.loads)
    if floors is not None:
        for mode in FLOOR_MODES:
            c[mode] = (lambda m: lambda block: floors.run(m, fmt, tools, block["cpaths"])["rows"] or None)(mode)
    return c


LABELS = {"sessionrows": "sessionrows per file", "json": "pyrules + json.loads",
          "orjson": "pyrules + orjson.loads", "floor_a": "floor a: read + split lines",
          "floor_b": "floor b: a + prefilter + parse", "scan": "scan only: sr::run, no Python",
          "many": "extract_many, whole set"}


def make_blocks(files, block_bytes, floors):
    blocks, cur, n = [], [], 0
    for p, size in files:
        cur.append(p)
        n += size
        if n >= block_bytes:
            blocks.append({"files": cur, "bytes": n})
            cur, n = [], 0
    if cur:
        blocks.append({"files": cur, "bytes": n})
    for b in blocks:
        b["cpaths"] = Floors.paths(b["files"]) if floors else None
    return blocks


def time_interleaved(contenders, blocks, repeat, rotate_seed):
    """times[name] = [seconds per repetition]; rows[name] = rows of the last one."""
    names = list(contenders)
    times = {n: [] for n in names}
    rows = {}
    for r in range(repeat):
        acc = dict.fromkeys(names, 0.0)
        got = dict.fromkeys(names, 0)
        for i, block in enumerate(blocks):
            k = (r + i + rotate_seed) % len(names)
            for name in names[k:] + names[:k]:
                t = time.perf_counter()
                n = contenders[name](block)
                acc[name] += time.perf_counter() - t
                got[name] += n or 0
        for n in names:
            times[n].append(acc[n])
        rows = got
    return times, rows


# ---------------------------------------------------------------------------
# Sections

def guard(data, fmts, sample_per_format, log_fail):
    """The module's rows equal pyrules(exact=False)'s on a sample of files."""
    rng = random.Random(7)
    checked = 0
    bad = []
    for fmt in fmts:
        files = [p for p, _ in data["set"][fmt]]
        sample = rng.sample(files, min(sample_per_format, len(files))) + [data["big"][fmt][0][1]]
        loaders = [("json", json.loads)] + ([("orjson", orjson.loads)] if orjson else [])
        for p in sample:
            for tools in (False, True):
                mine = module_fn(fmt)(p, tools)
                for lname, loads in loaders:
                    theirs = pyrules.extract(fmt, p, tools, loads=loads, exact=False)
                    checked += 1
                    if mine != theirs:
                        i = next((i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b),
                                 min(len(mine), len(theirs)))
                        bad.append("%s tools=%s %s: %d vs %d rows, first difference at row %d"
                                   % (p, tools, lname, len(mine), len(theirs), i))
    for b in bad:
        log_fail(b)
    return checked, bad


def section_per_file(data, fmt, tools, floors, repeat, block_bytes):
    files = data["set"][fmt]
    blocks = make_blocks(files, block_bytes, floors)
    contenders = make_contenders(fmt, tools, floors)
    total = sum(s for _, s in files)
    times, rows = time_interleaved(contenders, blocks, repeat, rotate_seed=int(tools))
    res = {"bytes": total, "files": len(files), "times": times, "rows": rows.get("sessionrows", 0)}
    if floors:
        res["prefilter"] = floors.run("floor_b", fmt, tools, Floors.paths([p for p, _ in files]))
    return res


def many_available():
    try:
        sessionrows.extract_many([], False)
    except (NotImplementedError, AttributeError) as e:
        return False, "%s: %s" % (type(e).__name__, e)
    return True, ""


def section_many(data, fmt, tools, repeat):
    """The per-file loop and one extract_many call over the whole set, alternated."""
    files = [p for p, _ in data["set"][fmt]]
    total = sum(s for _, s in data["set"][fmt])
    jobs = [(fmt, p) for p in files]
    extract = module_fn(fmt)
    t_one, t_many = [], []
    same, rows = None, 0
    for r in range(repeat):
        for which in (("one", "many") if r % 2 == 0 else ("many", "one")):
            gc.collect()
            t = time.perf_counter()
            if which == "one":
                out = [extract(p, tools) for p in files]
                t_one.append(time.perf_counter() - t)
            else:
                out = sessionrows.extract_many(jobs, tools)
                t_many.append(time.perf_counter() - t)
                if same is None:
                    rows = sum(len(x) for x in out)
                    same = out == [extract(p, tools) for p in files]
            out = None
    return {"bytes": total, "one": t_one, "many": t_many, "same": same, "rows": rows}


def section_scaling(data, fmt, tools, repeat, min_bytes):
    extract = module_fn(fmt)
    bigs = data["big"][fmt]
    times = {name: [] for name, _, _ in bigs}
    for r in range(repeat):
        k = r % len(bigs)
        for name, path, size in bigs[k:] + bigs[:k]:
            n = max(1, -(-min_bytes // size))
            gc.collect()
            t = time.perf_counter()
            for _ in range(n):
                extract(path, tools)
            times[name].append((time.perf_counter() - t) / n)
    return {name: {"bytes": size, "times": times[name]} for name, _, size in bigs}


# ru_maxrss is not used: Linux keeps the high-water mark across exec, so a child that
# the (large) harness process starts inherits the harness's peak. VmHWM belongs to the
# new address space, and writing 5 to clear_refs resets it to the current size.
MEMORY_PROBE = r"""
import json, sys
import sessionrows
fmt, path, tools = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
extract = sessionrows.extract_codex if fmt == "codex" else sessionrows.extract_claude
extract(sys.argv[4], tools)          # a small file first: code paths and allocator warm
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
base_peak, base_now = status("VmHWM"), status("VmRSS")
rows = extract(path, tools)
peak, held = status("VmHWM"), status("VmRSS")
def alloc(n):   # bytes an object of n bytes takes from pymalloc (<= 512) or malloc
    return (n + 15) // 16 * 16 + (16 if n > 512 else 0)
seen = set()
objs = alloc(sys.getsizeof(rows))
for t in rows:
    objs += alloc(sys.getsizeof(t))
    for s in t:
        if id(s) not in seen:
            seen.add(id(s))
            objs += alloc(sys.getsizeof(s))
print(json.dumps({"rows": len(rows), "rows_bytes": objs, "peak": peak - base_peak,
                  "held": held - base_now, "base": base_now, "reset": base_peak == base_now}))
"""


def section_memory(data, fmt, tools):
    out = []
    small = data["set"][fmt][0][0]
    for name, path, size in data["big"][fmt]:
        r = subprocess.run([sys.executable, "-c", MEMORY_PROBE, fmt, path, "1" if tools else "0", small],
                           check=True, capture_output=True, text=True)
        d = json.loads(r.stdout)
        d.update(name=name, bytes=size)
        out.append(d)
    return out


# ---------------------------------------------------------------------------
# Machine facts

READING_BYTES = 256 * 10**6


def section_readings(data_dir, repeat, quick):
    """Each assistant's rules, per MB, on as many MB of its replicated logs (what
    exists of the set, up to READING_BYTES): the search reading (`_search.read`,
    every row in full, on all cores) and `read_arrow` with tools on one thread,
    timed in turns within each repetition. Returns a Table."""
    import pyarrow as pa
    from sessionrows import _search

    limit = READING_BYTES // (16 if quick else 1)
    sets = {}
    for fmt in datagen.FORMATS + datagen.MORE_FORMATS:
        files, n = [], 0
        for p in sorted((data_dir / "set" / fmt).glob("*.jsonl")):
            if n >= limit:
                break
            files.append(str(p))
            n += p.stat().st_size
        if files:
            sets[fmt] = (files, n)
            for path in files:
                with open(path, "rb") as f:
                    while f.read(1 << 24):
                        pass
    times = {fmt: ([], []) for fmt in sets}
    order = list(sets.items())
    for r in range(repeat):
        for fmt, (files, _) in order[r % len(order):] + order[:r % len(order)]:
            t = time.perf_counter()
            for i in range(0, len(files), 200):
                _search.read([(fmt, p, 0, 0) for p in files[i:i + 200]], True)
            times[fmt][0].append(time.perf_counter() - t)
            t = time.perf_counter()
            pa.table(sessionrows.read_arrow([(fmt, p) for p in files], True, threads=1))
            times[fmt][1].append(time.perf_counter() - t)
    table = Table("Each assistant's reading, per MB (median of %d, in turns)" % repeat,
                  ["logs", "MB", "search reading MB/s", "vs Codex", "read_arrow, tools, 1 thread MB/s", "vs Codex"])
    codex = {k: sets["codex"][1] / 1e6 / statistics.median(times["codex"][k]) for k in (0, 1)} if "codex" in sets \
        else None
    for fmt, (files, n) in sets.items():
        rates = [n / 1e6 / statistics.median(times[fmt][k]) for k in (0, 1)]
        table.add(fmt, "%.0f" % (n / 1e6), "%.0f" % rates[0], "%.2fx" % (rates[0] / codex[0]) if codex else "",
                  "%.0f" % rates[1], "%.2fx" % (rates[1] / codex[1]) if codex else "")
    return table


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def uptime():
    try:
        return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "load average: %.2f, %.2f, %.2f" % os.getloadavg()


def git_head():
    try:
        r = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"],
                           capture_output=True, text=True)
        return r.stdout.strip() or "?"
    except OSError:
        return "?"


# ---------------------------------------------------------------------------
# Main

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--report", metavar="PATH", help="write a Markdown report here")
    ap.add_argument("--quick", action="store_true", help="small data and 3 repetitions, for a smoke run")
    ap.add_argument("--repeat", type=int, help="repetitions of each measurement (default 5, quick 3)")
    ap.add_argument("--data-dir", metavar="DIR", help="data folder (default under /tmp, reused)")
    ap.add_argument("--corpus", metavar="DIR", help="real logs (default $SESSIONROWS_CORPUS or ../shared/corpus)")
    ap.add_argument("--synthetic", action="store_true", help="use made-up sessions even if the corpus is there")
    ap.add_argument("--build-dir", metavar="DIR", default=str(HERE / "out" / "build"),
                    help="where the C++ floors are built (default bench/out/build)")
    ap.add_argument("--formats", default="claude,codex", help="comma-separated subset of claude,codex")
    ap.add_argument("--sections", default="perfile,many,scaling,memory,readings",
                    help="comma-separated subset of perfile,many,scaling,memory")
    ap.add_argument("--no-guard", action="store_true", help="skip the check that the peers give the same rows")
    a = ap.parse_args(argv)

    repeat = a.repeat or (3 if a.quick else 5)
    fmts = [f for f in a.formats.split(",") if f]
    sections = set(a.sections.split(","))
    block_bytes = (8 if a.quick else 32) * 10**6
    scale_bytes = (64 if a.quick else 256) * (1 << 20)

    facts = {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
             "cpu": cpu_model(), "cores": os.cpu_count(), "python": platform.python_version(),
             "platform": platform.platform(), "module": sessionrows.__version__, "git": git_head(),
             "orjson": getattr(orjson, "__version__", "not installed"), "repeat": repeat,
             "uptime_start": uptime()}
    log("load at start: " + facts["uptime_start"])

    source = "synthetic" if a.synthetic or datagen.corpus_dir(a.corpus) is None else "corpus"
    data_dir = pathlib.Path(a.data_dir or "/tmp/sessionrows-bench/%s-%s" % (source, "quick" if a.quick else "full"))
    manifest = datagen.ensure(data_dir, quick=a.quick, corpus=a.corpus, synthetic=a.synthetic, log=log)
    data = {"set": {}, "big": {}}
    for fmt in FORMATS:
        files = sorted((data_dir / "set" / fmt).glob("*.jsonl"))
        data["set"][fmt] = [(str(p), p.stat().st_size) for p in files]
        _, bigs = datagen.plan(a.quick)
        data["big"][fmt] = [(name, str(data_dir / "big" / fmt / (name + ".jsonl")),
                             (data_dir / "big" / fmt / (name + ".jsonl")).stat().st_size) for name, _ in bigs]
    facts["data"] = "%s (%s)" % (data_dir, manifest["source"])

    try:
        floors = Floors(pathlib.Path(a.build_dir))
        facts["floors"] = "%s, CMAKE_CXX_FLAGS_RELEASE=%s" % (floors.compiler, floors.flags)
        log("floors built in " + a.build_dir)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        floors = None
        detail = getattr(e, "stderr", b"") or b""
        facts["floors"] = "n/a (%s %s)" % (e, detail.decode(errors="replace")[-300:].strip())
        log("floors unavailable: " + facts["floors"])

    # Warm the page cache, so that every contender reads from memory.
    for fmt in fmts:
        for p, _ in data["set"][fmt]:
            with open(p, "rb") as f:
                while f.read(1 << 24):
                    pass
        for _, p, _ in data["big"][fmt]:
            with open(p, "rb") as f:
                while f.read(1 << 24):
                    pass
    log("page cache warm")

    if not a.no_guard:
        checked, bad = guard(data, fmts, 10, lambda m: log("MISMATCH " + m))
        if bad:
            log("the module's rows differ from pyrules(exact=False): timings would compare unequal work")
            return 3
        facts["guard"] = "%d comparisons (files x include_tools x loads), all equal" % checked
        log("guard: " + facts["guard"])
    else:
        facts["guard"] = "skipped"

    results = {"per_file": {}, "many": {}, "scaling": {}, "memory": {}}
    have_many, why_not = many_available()
    for fmt in fmts:
        for tools in (False, True):
            key = (fmt, tools)
            if "perfile" in sections:
                log("per-file %s include_tools=%s" % key)
                results["per_file"][key] = section_per_file(data, fmt, tools, floors, repeat, block_bytes)
            if "many" in sections and have_many:
                log("extract_many %s include_tools=%s" % key)
                results["many"][key] = section_many(data, fmt, tools, repeat)
            if "scaling" in sections:
                log("file size scaling %s include_tools=%s" % key)
                results["scaling"][key] = section_scaling(data, fmt, tools, repeat, scale_bytes)
            if "memory" in sections:
                log("peak memory %s include_tools=%s" % key)
                results["memory"][key] = section_memory(data, fmt, tools)
    facts["uptime_end"] = uptime()
    log("load at end: " + facts["uptime_end"])
    facts["data_sizes"] = ", ".join(
        "%s: %d files %.0f MB + single files %s" % (
            fmt, len(data["set"][fmt]), sum(s for _, s in data["set"][fmt]) / 1e6,
            "/".join("%.0f MB" % (s / 1e6) for _, _, s in data["big"][fmt]))
        for fmt in FORMATS)

    tables, verdicts = build_tables(results, have_many, why_not, floors is not None)
    if "readings" in sections:
        log("each assistant's reading")
        tables.append(section_readings(data_dir, repeat, a.quick))
    text = render_text(facts, tables, verdicts)
    print(text)
    if a.report:
        pathlib.Path(a.report).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(a.report).write_text(render_markdown(facts, tables, verdicts))
        log("report written to " + a.report)
    return 0


def build_tables(results, have_many, why_not, have_floors):
    tables, verdicts = [], []

    # Throughput per contender.
    t = Table("Per-file throughput: median (min-max) over repetitions",
              ["format", "tools", "contender", "MB/s", "rows/s (k)", "s per run"])
    for (fmt, tools), r in results["per_file"].items():
        for name, secs in r["times"].items():
            mbs = [r["bytes"] / s / 1e6 for s in secs]
            rows = [r["rows"] / s / 1e3 for s in secs] if name in ("sessionrows", "json", "orjson", "scan") else []
            t.add(fmt, "yes" if tools else "no", LABELS[name], fmt_range(mbs), fmt_range(rows) if rows else "-",
                  fmt_range(secs, 2))
        for (f2, t2), m in results["many"].items():
            if (f2, t2) == (fmt, tools):
                mbs = [m["bytes"] / s / 1e6 for s in m["many"]]
                t.add(fmt, "yes" if tools else "no", LABELS["many"], fmt_range(mbs),
                      fmt_range([m["rows"] / s / 1e3 for s in m["many"]]), fmt_range(m["many"], 2))
        if not have_many:
            t.add(fmt, "yes" if tools else "no", LABELS["many"], "n/a", "n/a", "n/a")
    if results["per_file"]:
        tables.append(t)

    # Ratios and targets.
    t = Table("Ratios: sessionrows per file / contender (throughput, same repetition), with targets",
              ["format", "tools", "versus", "ratio", "target", "result"])
    for (fmt, tools), r in results["per_file"].items():
        mod = r["times"]["sessionrows"]
        for name in ("json", "orjson", "floor_a", "floor_b", "scan"):
            if name not in r["times"]:
                continue
            ratios = [o / m for o, m in zip(r["times"][name], mod)]
            target = TARGETS.get((fmt, name))
            verdict = ""
            if target is not None:
                verdict = "PASS" if statistics.median(ratios) >= target else "FAIL"
                verdicts.append(("%s per file (tools=%s) vs %s" % (fmt, "yes" if tools else "no", LABELS[name]),
                                 "%.2f" % statistics.median(ratios), ">= %g" % target, verdict))
            t.add(fmt, "yes" if tools else "no", LABELS[name], fmt_range(ratios, 2, "x"),
                  (">= %g" % target) if target else "-", verdict or "-")
        if "orjson" not in r["times"]:
            t.add(fmt, "yes" if tools else "no", LABELS["orjson"], "n/a (orjson not installed)", "", "")
        if not have_floors:
            t.add(fmt, "yes" if tools else "no", "floors", "n/a (not built)", "", "")
    for (fmt, tools), m in results["many"].items():
        ratios = [o / n for o, n in zip(m["one"], m["many"])]
        v = "PASS" if statistics.median(ratios) >= MANY_TARGET else "FAIL"
        if m["same"] is False:
            v += " (rows differ from per-file calls!)"
        t.add(fmt, "yes" if tools else "no", "extract_many / per-file loop", fmt_range(ratios, 2, "x"),
              ">= %g" % MANY_TARGET, v)
        verdicts.append(("%s extract_many (tools=%s) vs per-file loop" % (fmt, "yes" if tools else "no"),
                         "%.2f" % statistics.median(ratios), ">= %g" % MANY_TARGET, v))
    if not have_many and results["per_file"]:
        t.add("all", "", "extract_many / per-file loop", "n/a (%s)" % why_not, ">= %g" % MANY_TARGET, "n/a")
        verdicts.append(("extract_many vs per-file loop", "n/a", ">= %g" % MANY_TARGET, "n/a"))
    if t.rows:
        tables.append(t)

    # Where the module's time goes.
    t = Table("Time split of sessionrows per file: scanning (no lock) vs building Python objects",
              ["format", "tools", "module s/GB", "scan s/GB", "Python objects s/GB", "Python share",
               "lines parsed", "bytes parsed"],
              note="Python objects = module time - scan-only time in the same repetition "
                   "(includes the call, the lock and the list of tuples of str). "
                   "lines/bytes parsed: share of the set that the prefilter hands to the parser.")
    for (fmt, tools), r in results["per_file"].items():
        if "scan" not in r["times"]:
            continue
        gb = r["bytes"] / 1e9
        mod, scan = r["times"]["sessionrows"], r["times"]["scan"]
        py = [m - s for m, s in zip(mod, scan)]
        pf = r["prefilter"]
        t.add(fmt, "yes" if tools else "no", fmt_range([x / gb for x in mod], 3), fmt_range([x / gb for x in scan], 3),
              fmt_range([x / gb for x in py], 3), fmt_range([100 * p / m for p, m in zip(py, mod)], 0, "%"),
              "%.1f%% of %d" % (100 * pf["parsed_lines"] / max(1, pf["lines"]), pf["lines"]),
              "%.1f%% of %.0f MB" % (100 * pf["parsed_bytes"] / max(1, pf["bytes"]), pf["bytes"] / 1e6))
    if t.rows:
        tables.append(t)

    # File size scaling.
    t = Table("Single files of growing size: sessionrows MB/s (should be flat)",
              ["format", "tools", "file", "MB/s", "vs smallest", "best MB/s", "best vs smallest"],
              note="Load on a shared machine only slows runs down, so the best run is the steadier "
                   "measure of how throughput depends on file size.")
    for (fmt, tools), r in results["scaling"].items():
        first = first_best = None
        for name, d in r.items():
            mbs = [d["bytes"] / s / 1e6 for s in d["times"]]
            first = first or statistics.median(mbs)
            first_best = first_best or max(mbs)
            t.add(fmt, "yes" if tools else "no", "%s (%.0f MB)" % (name, d["bytes"] / 1e6), fmt_range(mbs),
                  "%.2fx" % (statistics.median(mbs) / first), "%.0f" % max(mbs), "%.2fx" % (max(mbs) / first_best))
    if t.rows:
        tables.append(t)

    # Memory.
    t = Table("Peak memory of one call in a fresh process (growth of VmHWM over the baseline after import)",
              ["format", "tools", "file", "rows", "rows MB", "peak MB", "held after MB", "peak - rows MB", "target",
               "result"],
              note="rows MB: the returned list, its tuples and str objects (allocation sizes). "
                   "held after: resident memory growth while the rows are still referenced. "
                   "Target: the largest file's peak exceeds its rows by at most %d MB." % (MEMORY_SLACK >> 20))
    for (fmt, tools), ms in results["memory"].items():
        for i, d in enumerate(ms):
            over = d["peak"] - d["rows_bytes"]
            target, v = "-", "-"
            if i == len(ms) - 1:
                target = "<= %d" % (MEMORY_SLACK >> 20)
                v = "PASS" if over <= MEMORY_SLACK else "FAIL"
                verdicts.append(("%s peak memory, %s file (tools=%s): peak - rows MB" % (fmt, d["name"], "yes" if tools else "no"),
                                 "%.1f" % (over / 2**20), target, v))
            t.add(fmt, "yes" if tools else "no", "%s (%.0f MB)" % (d["name"], d["bytes"] / 1e6), d["rows"],
                  "%.1f" % (d["rows_bytes"] / 2**20), "%.1f" % (d["peak"] / 2**20), "%.1f" % (d["held"] / 2**20),
                  "%.1f" % (over / 2**20), target, v)
    if t.rows:
        tables.append(t)
    return tables, verdicts


def facts_lines(facts):
    keys = [("date", "date"), ("cpu", "CPU"), ("cores", "cores"), ("python", "Python"), ("platform", "platform"),
            ("module", "sessionrows"), ("git", "tree"), ("orjson", "orjson"), ("floors", "floors compiler"),
            ("data", "data"), ("data_sizes", "data sizes"), ("repeat", "repetitions"), ("guard", "row check"),
            ("uptime_start", "load at start"), ("uptime_end", "load at end")]
    return [(label, str(facts[k])) for k, label in keys if k in facts]


def render_text(facts, tables, verdicts):
    out = ["sessionrows benchmark"]
    out += ["  %-16s %s" % (k + ":", v) for k, v in facts_lines(facts)]
    for t in tables:
        out += ["", t.text()]
    if verdicts:
        v = Table("Targets", ["target", "measured", "wanted", "result"])
        for row in verdicts:
            v.add(*row)
        out += ["", v.text()]
    return "\n".join(out)


def render_markdown(facts, tables, verdicts):
    out = ["# sessionrows benchmark", ""]
    out += ["- **%s**: %s" % (k, v) for k, v in facts_lines(facts)]
    out += ["", "MB = 10^6 bytes. Medians over repetitions, (min-max) in brackets; contenders interleaved "
                "block by block on the same files in one process."]
    if verdicts:
        v = Table("Targets", ["target", "measured", "wanted", "result"])
        for row in verdicts:
            v.add(*row)
        out += ["", v.markdown()]
    for t in tables:
        out += ["", t.markdown()]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    sys.exit(main())
