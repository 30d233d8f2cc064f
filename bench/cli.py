"""The sessionrows command on the benchmark's replicated logs: first index (with the
archive and without it, in turns), searches with nothing changed, after one appended
line, and on a warm index, `show` of a session in place and archived, a first index
of each assistant's logs alone; and where the time goes.

    python bench/cli.py --report bench/out/cli.md     # about 2 minutes
    python bench/cli.py --quick                       # smoke run on small data
    python bench/cli.py --scale 4 --report bench/out/scale.md   # four copies of every log

With --scale N the history is N copies of every replicated log (copies, not links: a
file reached twice is indexed once), about 24,000 logs and 8.6 GB at N=4, and the
report gives what a large history costs: first index, searches with nothing changed
and after an appended line, the broadest and prefix queries, stats, and the peak
memory of each.

The replicated logs (bench/datagen.py, about 1 GB and 3,000 files per agent) are laid
out as links in a HOME of their own, in the places where Claude Code and Codex keep
their logs, and the command runs as a person runs it: the installed console script,
output to a pipe, a fresh process each time. Figures are medians over repetitions.
MB means 10**6 bytes.
"""

import argparse
import json
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time
import uuid

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datagen  # noqa: E402

from sessionrows import discovery, index, reader  # noqa: E402
from sessionrows.query import parse  # noqa: E402

SCRIPT = pathlib.Path(sys.executable).with_name("sessionrows")
QUERIES = ["docker compose", '"pytest -x"', "flaky test", "TypeError", "useState", "git rebase",
           "migration", "src/app"]
TARGETS = {"index MB/s": 150, "search unchanged s": 0.3, "search after append s": 0.3,
           "query in process ms": 20, "query process s": 0.3}


def log(msg):
    print("[%6.1fs] %s" % (time.perf_counter() - T0, msg), file=sys.stderr, flush=True)


T0 = time.perf_counter()


def layout(data_dir, home):
    """Links to the replicated logs where the two assistants keep theirs."""
    if (home / ".done").exists():
        return
    shutil.rmtree(home, ignore_errors=True)
    rng = random.Random(7)
    for fmt in ("claude", "codex"):
        for i, src in enumerate(sorted((data_dir / "set" / fmt).glob("*.jsonl"))):
            sid = str(uuid.UUID(int=rng.getrandbits(128)))
            if fmt == "claude":
                dst = home / ".claude" / "projects" / ("-home-user-proj%02d" % (i % 40)) / (sid + ".jsonl")
            else:
                dst = (home / ".codex" / "sessions" / "2026" / ("%02d" % (1 + i % 12)) / ("%02d" % (1 + i % 28))
                       / ("rollout-2026-01-01T00-00-00-%s.jsonl" % sid))
            dst.parent.mkdir(parents=True, exist_ok=True)
            dst.symlink_to(src)
    (home / ".done").write_text("")


def run(env, *args):
    started = time.perf_counter()
    proc = subprocess.run([str(SCRIPT), *args], env=env, capture_output=True, text=True)
    elapsed = time.perf_counter() - started
    if proc.returncode not in (0, 1):
        raise SystemExit("sessionrows %s failed: %s" % (" ".join(args), proc.stderr))
    return elapsed, proc


def run_measured(env, *args):
    """(seconds, peak resident MB) of one run of the console script."""
    started = time.perf_counter()
    proc = subprocess.Popen([str(SCRIPT), *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    drains = [threading.Thread(target=stream.read) for stream in (proc.stdout, proc.stderr)]
    for t in drains:
        t.start()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - started
    for t in drains:
        t.join()
    proc.stdout.close()
    proc.stderr.close()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode not in (0, 1):
        raise SystemExit("sessionrows %s failed with status %d" % (" ".join(args), proc.returncode))
    return elapsed, usage.ru_maxrss / 1024


def warmed(home, cache):
    """The environment of a HOME and its cache, the logs there and their size, with
    the logs read once so that every run finds them in the page cache."""
    env = dict(os.environ, HOME=str(home), XDG_CACHE_HOME=str(cache))
    for k in ("CLAUDE_CONFIG_DIR", "CODEX_HOME", "NO_COLOR"):
        env.pop(k, None)
    files = sorted(p for p in home.rglob("*.jsonl"))
    total = sum(p.stat().st_size for p in files)
    log("%d logs, %.0f MB; warming the page cache" % (len(files), total / 1e6))
    for p in files:
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass
    return env, files, total


def append_line(target, word):
    """A line that says `word`, appended to a log as its assistant writes one."""
    line = ({"type": "user", "sessionId": "s", "cwd": "/w", "timestamp": "2026-12-01T00:00:00.000Z",
             "message": {"role": "user", "content": "appended " + word}} if ".claude" in str(target) else
            {"timestamp": "2026-12-01T00:00:00.000Z", "type": "event_msg",
             "payload": {"type": "user_message", "message": "appended " + word}})
    with open(target, "a") as f:
        f.write(json.dumps(line) + "\n")


def show_archived(env, cache, repeat):
    """`show` of a session of about 1,000 rows in place and with its log gone (read
    from the archive), in turns."""
    ix = index.Index.open(str(cache / "sessionrows" / "index.sqlite"))
    record = min((r for r in ix.records("agent_id = '' AND session_id != ''")), key=lambda r: abs(r.nrows - 1000))
    ix.close()
    link = pathlib.Path(record.path)
    source = os.readlink(link)
    in_place, archived = [], []
    for _ in range(repeat * 2):
        in_place.append(run(env, "show", record.session_id, "--json")[0])
        link.unlink()
        try:
            archived.append(run(env, "show", record.session_id, "--json")[0])
        finally:
            link.symlink_to(source)
    run(env, "index")
    log("show of a session of %d rows: %.3f s in place, %.3f s archived" % (record.nrows, median(in_place),
                                                                              median(archived)))
    return in_place, archived


def formats(data_dir, work, repeat):
    """A first index of each assistant's logs alone (as many MB of each), in MB/s."""
    places = {"claude": lambda i, sid: pathlib.Path(".claude", "projects", "-p%02d" % (i % 40), sid + ".jsonl"),
              "codex": lambda i, sid: pathlib.Path(".codex", "sessions", "2026", "01", "01",
                                                   "rollout-2026-01-01T00-00-00-%s.jsonl" % sid),
              "gemini": lambda i, sid: pathlib.Path(".gemini", "tmp", "p%02d" % (i % 40), "chats",
                                                    "session-2026-01-01T00-00-%s.jsonl" % sid[:8]),
              "copilot": lambda i, sid: pathlib.Path(".copilot", "session-state", sid, "events.jsonl"),
              "pi": lambda i, sid: pathlib.Path(".pi", "agent", "sessions", "--p%02d--" % (i % 40), sid + ".jsonl")}
    sizes = {f: sum(p.stat().st_size for p in (data_dir / "set" / f).glob("*.jsonl"))
             for f in places if (data_dir / "set" / f).is_dir()}
    budget = min(sizes.values())
    out = {}
    rng = random.Random(11)
    for fmt in sizes:
        home = work / ("home-" + fmt)
        shutil.rmtree(home, ignore_errors=True)
        n = 0
        for i, src in enumerate(sorted((data_dir / "set" / fmt).glob("*.jsonl"))):
            if n >= budget:
                break
            dst = home / places[fmt](i, str(uuid.UUID(int=rng.getrandbits(128))))
            dst.parent.mkdir(parents=True, exist_ok=True)
            dst.symlink_to(src)
            n += src.stat().st_size
        env, _, total = warmed(home, work / ("cache-" + fmt))
        env["XDG_DATA_HOME"] = str(work / ("data-" + fmt))
        rates = []
        for _ in range(repeat):
            shutil.rmtree(work / ("cache-" + fmt), ignore_errors=True)
            shutil.rmtree(work / ("data-" + fmt), ignore_errors=True)
            rates.append(total / 1e6 / run(env, "index")[0])
        out[fmt] = (total, rates)
        log("first index of %s's logs alone (%.0f MB): %.1f MB/s" % (fmt, total / 1e6, median(rates)))
    return out


def scale_layout(data_dir, home, copies):
    """`copies` copies of every replicated log, each under a name of its own."""
    if (home / ".done").exists() and (home / ".done").read_text() == str(copies):
        return
    shutil.rmtree(home, ignore_errors=True)
    rng = random.Random(11)
    for copy in range(copies):
        for fmt in ("claude", "codex"):
            for i, src in enumerate(sorted((data_dir / "set" / fmt).glob("*.jsonl"))):
                sid = str(uuid.UUID(int=rng.getrandbits(128)))
                if fmt == "claude":
                    dst = home / ".claude" / "projects" / ("-home-user-c%d-proj%02d" % (copy, i % 40)) / (sid + ".jsonl")
                else:
                    dst = (home / ".codex" / "sessions" / str(2023 + copy) / ("%02d" % (1 + i % 12))
                           / ("%02d" % (1 + i % 28)) / ("rollout-2026-01-01T00-00-00-%s.jsonl" % sid))
                dst.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(str(src), str(dst))
    (home / ".done").write_text(str(copies))


SCALE_QUERIES = {"narrow": "docker compose", "identifier": "TypeError", "phrase": '"git rebase"',
                 "broad": "the", "broad two words": "the a", "prefix": "con*", "prefix short": "tes*",
                 "nothing": "zzqxvw"}


def scale(a, data_dir):
    work = pathlib.Path("/tmp/sessionrows-bench/scale")
    home = work / "home"
    log("laying out %d copies of every log (once)" % a.scale)
    scale_layout(data_dir, home, a.scale)
    cache = work / "cache"
    env, files, total = warmed(home, cache)
    results = {}
    if a.keep_index and (cache / "sessionrows" / "index.sqlite").exists():
        log("keeping the index that is there")
    else:
        shutil.rmtree(cache, ignore_errors=True)
        elapsed, peak = run_measured(env, "index")
        results["first index"] = ([elapsed], [peak])
        log("first index: %.1f s, %.0f MB/s, peak %.0f MB" % (elapsed, total / 1e6 / elapsed, peak))
    repeat = a.repeat or 3
    for name, q in SCALE_QUERIES.items():
        runs = [run_measured(env, "search", q, "--json") for _ in range(repeat)]
        results["search %s (%s)" % (name, q)] = ([r[0] for r in runs], [r[1] for r in runs])
    runs = [run_measured(env, "index") for _ in range(repeat)]
    results["index, nothing to do"] = ([r[0] for r in runs], [r[1] for r in runs])
    runs = [run_measured(env, "stats") for _ in range(repeat)]
    results["stats"] = ([r[0] for r in runs], [r[1] for r in runs])
    target = files[len(files) // 2]
    appended = []
    for i in range(repeat):
        word = "zq%08dxv" % random.Random("%s-%d" % (time.time(), i)).getrandbits(26)
        append_line(target, word)
        elapsed, proc = run(env, "search", word, "--json")
        if {json.loads(x)["path"] for x in proc.stdout.splitlines()} != {str(target)}:
            raise SystemExit("the appended line was not found")
        appended.append(elapsed)
    results["search after one appended line"] = (appended, [])
    size = sum(p.stat().st_size for p in (cache / "sessionrows").iterdir())
    lines = ["## sessionrows at scale (bench/cli.py --scale %d)" % a.scale, "",
             "%d logs, %.0f MB, %s, CPython %s, %d cores; index %.0f MB (%.0f%% of the logs)" % (
                 len(files), total / 1e6, time.strftime("%Y-%m-%d"), sys.version.split()[0], os.cpu_count(),
                 size / 1e6, 100 * size / total), "",
             "| command | median s | min-max s | peak MB |", "|---|---|---|---|"]
    for key, (times, peaks) in results.items():
        lines.append("| %s | %.3g | %.3g-%.3g | %s |" % (key, median(times), min(times), max(times),
                                                        "%.0f" % max(peaks) if peaks else ""))
    if "first index" in results:
        lines.append("")
        lines.append("First index: %.0f MB of logs per second." % (total / 1e6 / results["first index"][0][0]))
    return "\n".join(lines)


def median(values):
    return statistics.median(values)


def stages(env):
    """Each stage of a first index alone, in this process: the walk, the native
    reading, binding the rows into SQLite, and the full-text indexing with commit
    (on one shard, so the figures add up on one core)."""
    os.environ.update(env)
    t = time.perf_counter()
    fresh = discovery.changes(None).fresh
    walk = time.perf_counter() - t
    jobs = [reader.IndexJob(log, i + 1, 0) for i, log in enumerate(fresh)]
    t = time.perf_counter()
    batches = list(reader.read_for_index(jobs, lambda p: None))
    read = time.perf_counter() - t
    path = pathlib.Path(env["XDG_CACHE_HOME"]) / "stages.sqlite"
    index.remove_index(str(path))
    ix = index.Index.open(str(path), shards=1)
    db = ix.shards[0]
    bind = fts = 0.0
    text_bytes = 0
    for results in batches:
        batch = index._Batch()
        for (log, file_id, start, _), facts, rows, digest, _ in results:
            batch.records.append((file_id, os.fsencode(log.path), log.agent, log.size, log.mtime_ns, log.inode,
                                  facts[8], digest) + facts[:8] + ("{}", ""))
            batch.rows.extend(rows)
            batch.spans.append((file_id << index.ROW_BITS, (file_id + 1) << index.ROW_BITS))
            text_bytes += sum(len(r[6]) for r in rows)
        t0 = time.perf_counter()
        ix._begin(db, batch)
        t1 = time.perf_counter()
        ix._finish(db, batch.spans)
        bind += t1 - t0
        fts += time.perf_counter() - t1
    ix.close()
    index.remove_index(str(path))
    return {"walk": walk, "native reading": read, "rows into SQLite": bind,
            "full-text index and commit (one shard)": fts, "text MB": text_bytes / 1e6}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int)
    ap.add_argument("--report", metavar="PATH")
    ap.add_argument("--data-dir", metavar="DIR")
    ap.add_argument("--scale", type=int, metavar="N", help="a history of N copies of every log")
    ap.add_argument("--keep-index", action="store_true", help="with --scale: search the index already built")
    a = ap.parse_args(argv)
    repeat = a.repeat or (3 if a.quick else 5)
    source = "synthetic" if datagen.corpus_dir() is None else "corpus"
    data_dir = pathlib.Path(a.data_dir or "/tmp/sessionrows-bench/%s-%s" % (source, "quick" if a.quick else "full"))
    datagen.ensure(data_dir, quick=a.quick, log=log)
    if a.scale:
        text = scale(a, data_dir)
        print(text)
        if a.report:
            pathlib.Path(a.report).parent.mkdir(parents=True, exist_ok=True)
            pathlib.Path(a.report).write_text(text + "\n")
        return 0
    work = pathlib.Path("/tmp/sessionrows-bench/cli-%s" % ("quick" if a.quick else "full"))
    home = work / "home"
    layout(data_dir, home)
    cache = work / "cache"
    env, files, total = warmed(home, cache)

    results = {}
    data = work / "data"
    env = dict(env, XDG_DATA_HOME=str(data))
    off = dict(env, SESSIONROWS_ARCHIVE="off")
    firsts, bare, peaks, bare_peaks = [], [], [], []
    for _ in range(repeat if not a.quick else 2):    # with and without the archive, in turns
        for archiving, times, mem in ((False, bare, bare_peaks), (True, firsts, peaks)):
            shutil.rmtree(cache, ignore_errors=True)
            shutil.rmtree(data, ignore_errors=True)
            elapsed, peak = run_measured(env if archiving else off, "index")
            times.append(elapsed)
            mem.append(peak)
            log("first index%s: %.2f s, peak %.0f MB" % (" with the archive" if archiving else "", elapsed, peak))
    results["index MB/s"] = [total / 1e6 / t for t in firsts]
    results["first index s"] = firsts
    results["first index without the archive s"] = bare
    results["first index with / without the archive"] = [x / y for x, y in zip(firsts, bare)]
    results["peak MB of a first index"] = peaks
    results["peak MB without the archive"] = bare_peaks
    stored = sum(p.stat().st_size for p in (data / "sessionrows").rglob("*") if p.is_file())
    results["archive / logs"] = [stored / total]
    log("archive: %.0f MB for %.0f MB of logs (%.1f%%)" % (stored / 1e6, total / 1e6, 100 * stored / total))

    unchanged, unchanged_off = [], []
    for _ in range(repeat * 2):
        unchanged.append(run(env, "search", "docker compose", "--json")[0])
        unchanged_off.append(run(off, "search", "docker compose", "--json")[0])
    results["search unchanged s"] = unchanged
    results["search unchanged, archive off s"] = unchanged_off
    log("search, nothing changed: median %.3f s (archive off: %.3f s)" % (median(unchanged), median(unchanged_off)))
    results["show in place s"], results["show archived s"] = show_archived(env, cache, repeat)

    # One session gets a line appended before each search; the file is a copy, so
    # that the replicated data stays as it is.
    target = files[len(files) // 2]
    source = os.readlink(target)
    copy = target.read_bytes()
    target.unlink()
    target.write_bytes(copy)
    appended = []
    try:
        for i in range(repeat * 2):
            word = "zq%08dxv" % random.Random("%s-%d" % (time.time(), i)).getrandbits(26)
            append_line(target, word)
            elapsed, proc = run(env, "search", word, "--json")
            found = [json.loads(x)["path"] for x in proc.stdout.splitlines()]
            if found != [str(target)]:
                raise SystemExit("the appended line was not found: %r" % found)
            appended.append(elapsed)
    finally:
        target.unlink()
        target.symlink_to(source)
    results["search after append s"] = appended
    log("search after one appended line: median %.3f s" % median(appended))

    # The warm, up-to-date index: queries in this process, and whole processes.
    run(env, "index")
    ix = index.Index.open(str(cache / "sessionrows" / "index.sqlite"))
    per_query = {}
    for q in QUERIES:
        fts = "%s : (%s)" % (index.SAID_AND_TOOLS, parse(q).fts)
        times = []
        for _ in range(repeat * 2):
            t = time.perf_counter()
            ix.search(fts, index.Filters(), 20)
            times.append(time.perf_counter() - t)
        per_query[q] = median(times) * 1000
    ix.close()
    results["query in process ms"] = list(per_query.values())
    results["query process s"] = [run(env, "search", q, "--json")[0] for q in QUERIES for _ in range(2)]
    start = [run(env, "--version")[0] for _ in range(repeat * 2)]
    log("queries in process (ms, median of %d): %s" % (repeat * 2, ", ".join(
        "%s %.1f" % (q, ms) for q, ms in per_query.items())))

    log("stages of a first index, each alone")
    parts = stages(env)
    by_format = formats(data_dir, work, repeat)

    lines = ["## sessionrows command (bench/cli.py)", "",
             "%d logs, %.0f MB (%s), %s, CPython %s, %d cores" % (
                 len(files), total / 1e6, data_dir, time.strftime("%Y-%m-%d"), sys.version.split()[0],
                 os.cpu_count()), "",
             "| measure | median | min-max | target |", "|---|---|---|---|"]
    for key, values in results.items():
        lines.append("| %s | %.3g | %.3g-%.3g | %s |" % (key, median(values), min(values), max(values),
                                                        TARGETS.get(key, "")))
    lines += ["", "Queries in process (ms, median): " + ", ".join("`%s` %.1f" % kv for kv in per_query.items()),
              "", "Where the time of a first index goes (each stage alone, seconds): " + ", ".join(
                  "%s %.2f" % kv for kv in parts.items()) + "; Python start and imports (`sessionrows --version`): "
              "%.3f" % median(start)]
    lines += ["", "A first index of each assistant's logs alone (the same MB of each, the archive on):", "",
              "| logs | MB | MB/s median | min-max |", "|---|---|---|---|"]
    for fmt, (size, rates) in by_format.items():
        lines.append("| %s | %.0f | %.1f | %.1f-%.1f |" % (fmt, size / 1e6, median(rates), min(rates), max(rates)))
    text = "\n".join(lines)
    print(text)
    if a.report:
        pathlib.Path(a.report).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(a.report).write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
