"""read_arrow against extract_many plus a pyarrow table built from its tuples, side by side.

    python bench/arrow.py --report bench/out/arrow.md     # about 2 minutes on the 1 GB sets
    python bench/arrow.py --quick                         # smoke run on small data

The data are bench/run.py's: the real logs replicated to about 1 GB and 3,000 files per
format (bench/datagen.py), with include_tools=True. Contenders, timed in one process on
the same job list, in an order that rotates from repetition to repetition:
  tuples      extract_many(jobs, True), then pa.table of a job column and the four
              text columns built from the tuples
  arrow       pa.table(read_arrow(jobs, True)), all available processors
  arrow 1     pa.table(read_arrow(jobs, True, threads=1)), on the calling thread
  stream 1    read_arrow(jobs, True, threads=1) through pa.RecordBatchReader, each
              batch dropped after use: the like of the scan-only floor, which drops
              its rows too (a table that holds them all pays for fresh pages)
  scan only   C++: sr::run per file on one thread (bench/floors.cpp), rows dropped
Ratios are taken within each repetition, then summarised by their median (min-max).
Peak memory: a fresh process streams the whole set batch by batch through
pa.RecordBatchReader, dropping each batch, and reports the growth of its VmHWM over
its resident size after the imports.
"""

import argparse
import gc
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

# pyarrow loads numpy, whose BLAS threads may spin for a while on a 2-core machine;
# nothing here uses them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import datagen  # noqa: E402
from run import Floors, Table, cpu_model, fmt_range, git_head, summary, uptime  # noqa: E402

import pyarrow as pa  # noqa: E402

import sessionrows  # noqa: E402

TARGETS = [  # (ratio, what it is, minimum or maximum)
    ("tuples/arrow", "pa.table(read_arrow) vs extract_many + table from tuples", ">=", 2.0),
    ("arrow1/arrow", "read_arrow on all cores vs threads=1", ">=", 1.8),
    ("stream1/scan", "read_arrow threads=1, streamed, vs scan only (time)", "<=", 1.10),
    ("arrow1/scan", "pa.table(read_arrow threads=1) vs scan only (time)", None, None),
]
MEMORY_TARGET = 100 * 2**20


def log(msg):
    print("[%7.1fs] %s" % (time.perf_counter() - T0, msg), file=sys.stderr, flush=True)


T0 = time.perf_counter()


def table_from_tuples(jobs):
    out = sessionrows.extract_many(jobs, True)
    job = [i for i, rows in enumerate(out) for _ in rows]
    flat = [row for rows in out for row in rows]
    del out
    columns = list(zip(*flat)) if flat else [()] * 4
    del flat
    return pa.table([pa.array(job, pa.int32())] + [pa.array(c, pa.string()) for c in columns],
                    names=["job", "role", "text", "timestamp", "source"])


def streamed(stream):
    rows = 0
    for batch in pa.RecordBatchReader.from_stream(stream):
        rows += batch.num_rows
    return rows


def contenders(fmt, jobs, floors, cpaths):
    c = {"tuples": lambda: table_from_tuples(jobs).num_rows,
         "arrow": lambda: pa.table(sessionrows.read_arrow(jobs, True)).num_rows,
         "arrow1": lambda: pa.table(sessionrows.read_arrow(jobs, True, threads=1)).num_rows,
         "stream1": lambda: streamed(sessionrows.read_arrow(jobs, True, threads=1))}
    if floors:
        c["scan"] = lambda: floors.run("scan", fmt, True, cpaths)["rows"]
    return c


def time_all(fmt, jobs, floors, repeat):
    cpaths = Floors.paths([p for _, p in jobs]) if floors else None
    c = contenders(fmt, jobs, floors, cpaths)
    names = list(c)
    times = {n: [] for n in names}
    rows = {}
    for r in range(repeat):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            gc.collect()
            t = time.perf_counter()
            rows[name] = c[name]()
            times[name].append(time.perf_counter() - t)
    return times, rows


MEMORY_PROBE = r"""
import json, sys
import pyarrow as pa
import sessionrows
jobs = [tuple(j) for j in json.loads(open(sys.argv[1]).read())]
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
pa.table(sessionrows.read_arrow(jobs[:20], True))   # code paths, pools and allocators warm
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS")
rows = batches = 0
for batch in pa.RecordBatchReader.from_stream(sessionrows.read_arrow(jobs, True)):
    rows += batch.num_rows
    batches += 1
    del batch
print(json.dumps({"base": base, "peak": status("VmHWM") - base, "rows": rows, "batches": batches}))
"""


def peak_memory(jobs, tmp):
    path = tmp / "jobs.json"
    path.write_text(json.dumps(jobs))
    r = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path)], check=True, capture_output=True, text=True)
    return json.loads(r.stdout)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--report", metavar="PATH", help="write a Markdown report here")
    ap.add_argument("--quick", action="store_true", help="the small data set and 3 repetitions")
    ap.add_argument("--repeat", type=int, help="repetitions (default 5, quick 3)")
    ap.add_argument("--data-dir", metavar="DIR", help="data folder (default: bench/run.py's, under /tmp)")
    ap.add_argument("--corpus", metavar="DIR", help="real logs (default $SESSIONROWS_CORPUS or ../shared/corpus)")
    ap.add_argument("--synthetic", action="store_true", help="use made-up sessions even if the corpus is there")
    ap.add_argument("--build-dir", metavar="DIR", default=str(HERE / "out" / "build"),
                    help="where the C++ floors are built (default bench/out/build)")
    ap.add_argument("--formats", default="claude,codex", help="comma-separated subset of claude,codex")
    a = ap.parse_args(argv)
    repeat = a.repeat or (3 if a.quick else 5)

    source = "synthetic" if a.synthetic or datagen.corpus_dir(a.corpus) is None else "corpus"
    data_dir = pathlib.Path(a.data_dir or "/tmp/sessionrows-bench/%s-%s" % (source, "quick" if a.quick else "full"))
    manifest = datagen.ensure(data_dir, quick=a.quick, corpus=a.corpus, synthetic=a.synthetic, log=log)
    facts = {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "CPU": cpu_model(),
             "processors": len(os.sched_getaffinity(0)), "Python": platform.python_version(),
             "pyarrow": pa.__version__, "tree": git_head(), "data": "%s (%s)" % (data_dir, manifest["source"]),
             "repetitions": repeat, "load at start": uptime()}
    try:
        floors = Floors(pathlib.Path(a.build_dir))
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        floors = None
        log("scan-only floor unavailable: %s" % e)

    results = {}
    for fmt in [f for f in a.formats.split(",") if f]:
        paths = sorted(str(p) for p in (data_dir / "set" / fmt).glob("*.jsonl"))
        size = sum(os.path.getsize(p) for p in paths)
        jobs = [(fmt, p) for p in paths]
        for p in paths:   # page cache warm
            with open(p, "rb") as f:
                while f.read(1 << 24):
                    pass
        log("%s: %d files, %.0f MB: checking that the tables are equal" % (fmt, len(jobs), size / 1e6))
        want = table_from_tuples(jobs)
        same = pa.table(sessionrows.read_arrow(jobs, True)).cast(want.schema).equals(want)   # nullability aside
        del want
        if not same:
            log("read_arrow and extract_many disagree: timings would compare unequal work")
            return 3
        log("%s: timing, %d repetitions" % (fmt, repeat))
        times, rows = time_all(fmt, jobs, floors, repeat)
        log("%s: peak memory while streaming" % fmt)
        memory = peak_memory(jobs, pathlib.Path(a.build_dir))
        results[fmt] = {"files": len(jobs), "bytes": size, "times": times, "rows": rows, "memory": memory}
    facts["load at end"] = uptime()

    tables, verdicts = [], []
    t = Table("Seconds for the whole set, include_tools=True: median (min-max)",
              ["format", "files", "MB", "rows", "tuples", "arrow", "arrow 1", "stream 1", "scan only"])
    for fmt, r in results.items():
        tt = r["times"]
        t.add(fmt, r["files"], "%.0f" % (r["bytes"] / 1e6), r["rows"]["arrow"],
              *(fmt_range(tt[n], 3) if n in tt else "n/a" for n in ("tuples", "arrow", "arrow1", "stream1", "scan")))
    tables.append(t)
    t = Table("Ratios within each repetition: median (min-max)", ["format", "ratio", "measured", "target", "result"])
    for fmt, r in results.items():
        tt = r["times"]
        for key, what, op, want in TARGETS:
            num, den = key.split("/")
            if num not in tt or den not in tt:
                continue
            ratios = [x / y for x, y in zip(tt[num], tt[den])]
            med = summary(ratios)[0]
            if op is None:
                t.add(fmt, what, fmt_range(ratios, 2, "x"), "-", "-")
                continue
            ok = med >= want if op == ">=" else med <= want
            t.add(fmt, what, fmt_range(ratios, 2, "x"), "%s %.2f" % (op, want), "PASS" if ok else "FAIL")
            verdicts.append(ok)
        m = r["memory"]
        ok = m["peak"] < MEMORY_TARGET
        t.add(fmt, "peak memory streaming the set batch by batch (%d batches), over a resident %.0f MB"
              % (m["batches"], m["base"] / 2**20),
              "%.1f MB" % (m["peak"] / 2**20), "< %d MB" % (MEMORY_TARGET >> 20), "PASS" if ok else "FAIL")
        verdicts.append(ok)
    tables.append(t)

    text = ["sessionrows read_arrow benchmark"] + ["  %-14s %s" % (k + ":", v) for k, v in facts.items()]
    for t in tables:
        text += ["", t.text()]
    print("\n".join(text))
    if a.report:
        md = ["# sessionrows read_arrow benchmark", ""] + ["- **%s**: %s" % kv for kv in facts.items()]
        md += ["", "Command: `python bench/arrow.py %s`" % " ".join(argv if argv is not None else sys.argv[1:])]
        for t in tables:
            md += ["", t.markdown()]
        pathlib.Path(a.report).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(a.report).write_text("\n".join(md) + "\n")
        log("report written to " + a.report)
    return 0 if all(verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())
