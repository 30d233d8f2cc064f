"""The sessionrows command on the benchmark's replicated logs: first index, searches with
nothing changed, after one appended line, and on a warm index; and where the time goes.

    python bench/cli.py --report bench/out/cli.md     # about 2 minutes
    python bench/cli.py --quick                       # smoke run on small data

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
import time
import uuid

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datagen  # noqa: E402

from sessionrows import commands, index, reader, sessions  # noqa: E402
from sessionrows.query import to_fts  # noqa: E402

SCRIPT = pathlib.Path(sys.executable).with_name("sessionrows")
QUERIES = ["docker compose", '"pytest -x"', "flaky test", "TypeError", "useState", "git rebase",
           "migration", "src/app"]
TARGETS = {"index MB/s": 250, "search unchanged s": 0.5, "search after append s": 0.5,
           "query in process ms": 50, "query process s": 0.3}


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


def median(values):
    return statistics.median(values)


def stages(env):
    """Each stage of a first index alone, in this process: the walk, the native
    reading, the preparation of rows in Python, and the database writes."""
    os.environ.update(env)
    t = time.perf_counter()
    scope = commands.find(None)
    walk = time.perf_counter() - t
    logs = scope.logs
    t = time.perf_counter()
    batches = [list(b) for b in reader.read_batches(logs, True, lambda p: None)]
    read = time.perf_counter() - t
    report = index.UpdateReport()
    t = time.perf_counter()
    prepared, next_id = [], 1
    for batch in batches:
        ups = []
        for log, rows in batch:
            ups.append(index._prepare_file(next_id, log, rows, None, report, None))
            next_id += 1
        prepared.append(ups)
    prep = time.perf_counter() - t
    del batches
    path = pathlib.Path(env["XDG_CACHE_HOME"]) / "stages.sqlite"
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(str(path) + suffix):
            os.remove(str(path) + suffix)
    ix = index.Index.open(str(path))
    t = time.perf_counter()
    bind = fts = 0.0
    for ups in prepared:
        t0 = time.perf_counter()
        ix._begin(ups, ())
        t1 = time.perf_counter()
        ix._finish()
        bind += t1 - t0
        fts += time.perf_counter() - t1
    ix.close()
    t = time.perf_counter()
    for log in logs:
        if log.agent == "claude":
            sessions.custom_title(log.path)
    titles = time.perf_counter() - t
    return {"walk": walk, "read": read, "prepare": prep, "of which custom titles": titles,
            "rows into SQLite": bind, "full-text index and commit": fts}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--repeat", type=int)
    ap.add_argument("--report", metavar="PATH")
    ap.add_argument("--data-dir", metavar="DIR")
    a = ap.parse_args(argv)
    repeat = a.repeat or (3 if a.quick else 5)
    source = "synthetic" if datagen.corpus_dir() is None else "corpus"
    data_dir = pathlib.Path(a.data_dir or "/tmp/sessionrows-bench/%s-%s" % (source, "quick" if a.quick else "full"))
    datagen.ensure(data_dir, quick=a.quick, log=log)
    work = pathlib.Path("/tmp/sessionrows-bench/cli-%s" % ("quick" if a.quick else "full"))
    home = work / "home"
    layout(data_dir, home)
    cache = work / "cache"
    env = dict(os.environ, HOME=str(home), XDG_CACHE_HOME=str(cache))
    for k in ("CLAUDE_CONFIG_DIR", "CODEX_HOME", "NO_COLOR"):
        env.pop(k, None)
    files = sorted(p for p in home.rglob("*.jsonl"))
    total = sum(p.stat().st_size for p in files)
    log("%d logs, %.0f MB; warming the page cache" % (len(files), total / 1e6))
    for p in files:
        p.read_bytes()

    results = {}
    firsts = []
    for _ in range(repeat if not a.quick else 2):
        shutil.rmtree(cache, ignore_errors=True)
        elapsed, proc = run(env, "index")
        firsts.append(elapsed)
        log("first index: %.2f s (%s)" % (elapsed, proc.stderr.strip()[:80]))
    results["index MB/s"] = [total / 1e6 / t for t in firsts]
    results["first index s"] = firsts

    unchanged = [run(env, "search", "docker compose", "--json")[0] for _ in range(repeat * 2)]
    results["search unchanged s"] = unchanged
    log("search, nothing changed: median %.3f s" % median(unchanged))

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
            word = "zq%08dxv" % random.Random(i).getrandbits(26)
            line = ({"type": "user", "sessionId": "s", "cwd": "/w", "timestamp": "2026-12-01T00:00:00.000Z",
                     "message": {"role": "user", "content": "appended " + word}} if ".claude" in str(target) else
                    {"timestamp": "2026-12-01T00:00:00.000Z", "type": "event_msg",
                     "payload": {"type": "user_message", "message": "appended " + word}})
            with open(target, "a") as f:
                f.write(json.dumps(line) + "\n")
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
        fts = to_fts(q)
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
    text = "\n".join(lines)
    print(text)
    if a.report:
        pathlib.Path(a.report).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(a.report).write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
