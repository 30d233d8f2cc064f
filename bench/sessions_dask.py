"""sessionrows.dask on the benchmark's replicated logs: counting every row on a
LocalCluster against read_arrow in this process on every core, and the overhead of a
partition (scheduling, and the temporary copies of a memory:// source).

    python bench/sessions_dask.py --report bench/out/dask.md   # about 2 minutes
    python bench/sessions_dask.py --quick

Layouts compared, side by side in one run, each repeated:
  in process      pa.table(read_arrow(jobs, True)) on every core, rows counted
  2 x 1 thread    LocalCluster(n_workers=2, threads_per_worker=1), partitions threads=1
  1 x 1, 2 cores  LocalCluster(n_workers=1, threads_per_worker=1), partitions threads=2
each over the logs as folders of loose files (agents told from their first lines) and
in the default places of a HOME (agents told from where they lie).
Figures are medians; ratios are taken within each repetition.
"""

import argparse
import os
import pathlib
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datagen  # noqa: E402
from cli import layout  # noqa: E402

import dask  # noqa: E402
import distributed  # noqa: E402
import fsspec  # noqa: E402
import pyarrow as pa  # noqa: E402

import sessionrows  # noqa: E402
from sessionrows import dask as srdask  # noqa: E402


def log(msg):
    print("[%6.1fs] %s" % (time.perf_counter() - T0, msg), file=sys.stderr, flush=True)


T0 = time.perf_counter()


def in_process(files):
    jobs = [("codex" if "/codex/" in f else "claude", f) for f in files]
    return pa.table(sessionrows.read_arrow(jobs, True)).num_rows


def on_cluster(client, folders, threads):
    """folders=None reads the default places (of the HOME that bench/cli.py lays out).
    Returns (rows, partitions, seconds of the listing on the client)."""
    t = time.perf_counter()
    with dask.config.set({"sessionrows.partition-threads": threads}):
        ddf = srdask.read_sessions(folders, include_tools=True)
    listing = time.perf_counter() - t
    return sum(ddf.map_partitions(len).compute()), ddf.npartitions, listing


def count_rows(files, per_partition):
    return sum(srdask.read_sessions(files, True, files_per_partition=per_partition).map_partitions(len).compute())


def timed(f, *args):
    t = time.perf_counter()
    out = f(*args)
    return time.perf_counter() - t, out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int)
    ap.add_argument("--report", metavar="PATH")
    a = ap.parse_args(argv)
    repeat = a.repeat or (2 if a.quick else 3)
    source = "synthetic" if datagen.corpus_dir() is None else "corpus"
    data_dir = pathlib.Path("/tmp/sessionrows-bench/%s-%s" % (source, "quick" if a.quick else "full"))
    datagen.ensure(data_dir, quick=a.quick, log=log)
    folders = [str(data_dir / "set" / "claude"), str(data_dir / "set" / "codex")]
    files = sorted(str(p) for f in folders for p in pathlib.Path(f).glob("*.jsonl"))
    total = sum(os.path.getsize(f) for f in files)
    for f in files:
        pathlib.Path(f).read_bytes()
    log("%d files, %.0f MB" % (len(files), total / 1e6))

    # The same logs twice over: as folders of loose files (each file's agent told from
    # its first lines, on the worker) and in the default places of a HOME laid out as
    # bench/cli.py lays it out (agents told by where the logs lie).
    home = pathlib.Path("/tmp/sessionrows-bench/cli-%s/home" % ("quick" if a.quick else "full"))
    layout(data_dir, home)
    os.environ["HOME"] = str(home)
    for key in ("CLAUDE_CONFIG_DIR", "CODEX_HOME"):
        os.environ.pop(key, None)
    sources = {"folders": folders, "default places": None}
    # One cluster at a time (an idle second cluster's processes disturb the timing),
    # each repetition timing the cluster and in-process read_arrow side by side.
    layouts = {
        "2 x 1 thread": (dict(n_workers=2, threads_per_worker=1), 1),
        "1 x 1, 2 cores": (dict(n_workers=1, threads_per_worker=1), 2),
    }
    results = {(name, src): [] for name in layouts for src in sources}
    listings = {key: [] for key in results}
    baseline = {key: [] for key in results}
    rows = parts = None
    per_partition_ms = None
    for name, (kwargs, threads) in layouts.items():
        with distributed.LocalCluster(processes=True, dashboard_address=None, **kwargs) as cluster, \
                distributed.Client(cluster) as client:
            on_cluster(client, folders, threads)          # workers import everything once
            for rep in range(repeat):
                for src, paths in sources.items():
                    t, n = timed(in_process, files)
                    rows = rows or n
                    baseline[name, src].append(t)
                    t, (n, parts, listing) = timed(on_cluster, client, paths, threads)
                    assert n == rows, (name, src, n, rows)
                    results[name, src].append(t)
                    listings[name, src].append(listing)
                    log("%s, %s, rep %d: in process %.2f s, cluster %.2f s" % (
                        name, src, rep, baseline[name, src][-1], t))
            if threads == 1:
                # Overhead of a partition: the same files, one per partition against 200 each.
                small = files[:400]
                t_many, _ = timed(count_rows, small, 1)
                t_few, _ = timed(count_rows, small, 200)
                per_partition_ms = (t_many - t_few) / (len(small) - 2) * 1000

    # memory:// against the same bytes read in place, on this process's threads.
    fs = fsspec.filesystem("memory")
    some = files[: len(files) // 10]
    for i, f in enumerate(some):
        fs.pipe("/bench/%d.jsonl" % i, pathlib.Path(f).read_bytes())
    some_bytes = sum(os.path.getsize(f) for f in some)
    t_mem = min(timed(lambda: srdask.read_sessions("memory://bench", True).map_partitions(len)
                      .compute(scheduler="threads"))[0] for _ in range(repeat))
    t_local = min(timed(lambda: srdask.read_sessions(some, True).map_partitions(len)
                        .compute(scheduler="threads"))[0] for _ in range(repeat))
    fs.rm("/bench", recursive=True)

    in_process_all = [t for v in baseline.values() for t in v]
    lines = ["## sessionrows.dask (bench/sessions_dask.py)", "",
             "%d files, %.0f MB, %d rows with tools; %d partitions of about %d MB; %s, %d cores" % (
                 len(files), total / 1e6, rows, parts, srdask.PARTITION_BYTES >> 20, time.strftime("%Y-%m-%d"),
                 os.cpu_count()), "",
             "| layout | median s | MB/s | speed vs in-process read_arrow | the same without the listing |",
             "|---|---|---|---|---|",
             "| in process, all cores | %.2f | %.0f | 1 | 1 |" % (statistics.median(in_process_all),
                                                               total / 1e6 / statistics.median(in_process_all))]
    for (name, src), times in results.items():
        ratio = statistics.median(b / t for b, t in zip(baseline[name, src], times))
        bare = statistics.median(b / (t - listing)
                                 for b, t, listing in zip(baseline[name, src], times, listings[name, src]))
        lines.append("| %s, %s | %.2f | %.0f | %.2fx | %.2fx |" % (
            name, src, statistics.median(times), total / 1e6 / statistics.median(times), ratio, bare))
    lines += ["", "The listing (the walk and the graph, on the client, before any partition runs) took %.2f s "
              "(median); in-process read_arrow is given its list of files." % statistics.median(
                  [x for v in listings.values() for x in v])]
    lines += ["", "Overhead per partition (one file each against 200 each, 400 files): %.1f ms" % per_partition_ms,
              "memory:// source, %d files, %.0f MB, threads scheduler: %.2f s against %.2f s read in place "
              "(copies cost %.0f%%)" % (len(some), some_bytes / 1e6, t_mem, t_local, (t_mem / t_local - 1) * 100)]
    text = "\n".join(lines)
    print(text)
    if a.report:
        pathlib.Path(a.report).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(a.report).write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
