"""The terminal interface on a large history, driven headless: the time from the
start of the process to a screen ready to type in, on a warm index, and each
keystroke's query answered and drawn.

    python bench/tui.py --report bench/out/tui.md      # about a minute, once the index is built

The history is the one bench/cli.py lays out (6,062 replicated logs, 2.1 GB, in a
HOME of their own); the index is built once, in a cache folder of this benchmark's
own. Each start is a fresh process (Python, the imports of Textual and of the
package, opening the index, the first screen). The keystrokes are the queries of
bench/cli.py typed one character at a time, each waiting for its results; for each
one the interface reports when its key was handled, when its query started (after
the debounce) and when its results were drawn.
"""

import argparse
import asyncio
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
QUERIES = ["docker compose", '"pytest -x"', "flaky test", "TypeError", "useState", "git rebase",
           "migration", "src/app"]
SIZE = (120, 40)
TARGETS = {"keystroke ms": 100, "ready s": 1.0}


def percentile(values, p):
    values = sorted(values)
    k = (len(values) - 1) * p / 100
    lo = int(k)
    hi = min(lo + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (k - lo)


# -- in the child processes ---------------------------------------------------------

def child_ready(t0: float) -> None:
    """From the process's start: the first frame with the box focused, the first
    results drawn (the newest sessions), and the index checked against the logs."""
    from sessionrows.tui.app import SessionrowsApp
    imported = time.time() - t0
    marks = {"imported": imported}

    async def main():
        app = SessionrowsApp()
        app.drawn = lambda seq, started, typed: marks.setdefault("first results", time.time() - t0)
        async with app.run_test(size=SIZE) as pilot:
            marks["ready"] = time.time() - t0
            assert app.box.has_focus
            while app.indexing or "first results" not in marks:
                await pilot.pause(0.005)
            marks["up to date"] = time.time() - t0
    asyncio.run(main())
    print(json.dumps(marks))


def child_keys(repeat: int) -> None:
    from sessionrows import commands
    from sessionrows.query import QueryError, parse
    from sessionrows.tui import app as tui_app
    from sessionrows.tui.present import read_box, typing_delay

    searched = []
    search_opened = commands.search_opened

    def timed(*args, **kwargs):
        started = time.perf_counter()
        result = search_opened(*args, **kwargs)
        searched.append(time.perf_counter() - started)
        return result

    tui_app.commands.search_opened = timed
    records = []
    refined = []
    paused = []

    async def main():
        app = tui_app.SessionrowsApp()
        drawn = asyncio.Event()
        last = {}

        def on_drawn(seq, started, typed):
            last.update(seq=seq, started=started, typed=typed, at=time.perf_counter(),
                        query=app._query.text if app._query else "")
            drawn.set()

        app.drawn = on_drawn
        async with app.run_test(size=SIZE) as pilot:
            while app.indexing:
                await pilot.pause(0.01)
            await pilot.pause(0.2)
            for round_ in range(repeat):
                for query in QUERIES:
                    app.box.value = ""
                    await pilot.pause(0.15)
                    previous = read_box("").key
                    for i in range(1, len(query) + 1):
                        text = query[:i]
                        box = read_box(text)
                        try:
                            parse(box.query)
                            runs = box.key != previous
                        except QueryError:
                            runs = False
                        previous = box.key
                        if runs and typing_delay(box.query, tui_app.DEBOUNCE, tui_app.PAUSE) > tui_app.DEBOUNCE:
                            paused.append(text)     # runs once typing pauses, not at this keystroke
                            runs = False
                            previous = None
                        drawn.clear()
                        searched.clear()
                        await pilot.press(query[i - 1])
                        if not runs:
                            continue
                        while True:
                            await asyncio.wait_for(drawn.wait(), 10)
                            drawn.clear()
                            if last["query"] == box.query:
                                break
                        records.append({"round": round_, "text": text, "hits": app._results_text,
                                        "query+draw ms": (last["at"] - last["started"]) * 1000,
                                        "key to drawn ms": (last["at"] - last["typed"]) * 1000,
                                        "query ms": searched[-1] * 1000 if searched else None})
                        await pilot.pause(0.02)
                    # Typing stopped: a broad query is ranked again in full.
                    drawn.clear()
                    if "newest" not in app._results_text:
                        continue
                    try:
                        await asyncio.wait_for(drawn.wait(), tui_app.REFINE_DELAY + 2)
                        refined.append({"text": query, "hits": app._results_text,
                                        "query+draw ms": (last["at"] - last["started"]) * 1000})
                    except asyncio.TimeoutError:
                        pass
    asyncio.run(main())
    print(json.dumps({"keys": records, "refined": refined, "paused": paused}))


# -- the parent ----------------------------------------------------------------------

def run_child(env, *args):
    proc = subprocess.run([sys.executable, str(HERE / "tui.py"), *args], env=env, capture_output=True, text=True,
                          timeout=900)
    if proc.returncode:
        raise SystemExit("child failed: %s" % proc.stderr[-3000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--home", default="/tmp/sessionrows-bench/cli-full/home",
                        help="a HOME holding the history (bench/cli.py lays it out)")
    parser.add_argument("--cache", default="/tmp/sessionrows-bench/tui-cache", help="XDG_CACHE_HOME for the index")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--report", help="write a Markdown report here")
    parser.add_argument("--child", choices=("ready", "keys"), help=argparse.SUPPRESS)
    parser.add_argument("--t0", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child == "ready":
        return child_ready(args.t0)
    if args.child == "keys":
        return child_keys(args.repeat)

    home = pathlib.Path(args.home)
    if not (home / ".claude").is_dir():
        raise SystemExit("no history at %s: run bench/cli.py first (it lays the logs out)" % home)
    os.makedirs(args.cache, mode=0o700, exist_ok=True)
    env = dict(os.environ, HOME=str(home), XDG_CACHE_HOME=args.cache, TZ="UTC")
    for name in ("CLAUDE_CONFIG_DIR", "CODEX_HOME", "NO_COLOR"):
        env.pop(name, None)
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "sessionrows", "index"], env=env, check=True, capture_output=True)
    print("index up to date in %.1f s" % (time.perf_counter() - started), file=sys.stderr)
    logs = sum(1 for _ in home.rglob("*.jsonl"))

    ready = []
    for _ in range(args.repeat):
        ready.append(run_child(env, "--child", "ready", "--t0", repr(time.time())))
    typed = run_child(env, "--child", "keys", "--repeat", str(args.repeat))
    keys, refined, paused = typed["keys"], typed["refined"], typed["paused"]

    def line(name, values, unit, target=None):
        med = statistics.median(values)
        text = "| %s | %.3g %s | %.3g-%.3g | %s |" % (name, med, unit, min(values), max(values),
                                                       "at most %s %s" % (target, unit) if target else "")
        return text

    from sessionrows.tui.app import DEBOUNCE, PAUSE
    qd = [r["query+draw ms"] for r in keys]
    kd = [r["key to drawn ms"] for r in keys]
    qo = [r["query ms"] for r in keys if r["query ms"] is not None]
    out = ["# sessionrows tui on %d logs" % logs, "",
           "Headless at %dx%d; %d starts; %d keystrokes (%d rounds of %d queries typed a character at a time;"
           " %d more, whose last word was one letter, wait for typing to pause, %d ms)."
           % (SIZE[0], SIZE[1], len(ready), len(keys), args.repeat, len(QUERIES), len(paused), 1000 * PAUSE), "",
           "| measure | median | min-max | target |", "|---|---|---|---|",
           line("start to the box ready to type (warm index)", [r["ready"] for r in ready], "s",
                TARGETS["ready s"]),
           line("start to the first results drawn", [r["first results"] for r in ready], "s"),
           line("start to the index checked against every log", [r["up to date"] for r in ready], "s"),
           line("of which the imports (Python, Textual, the package)", [r["imported"] for r in ready], "s"),
           line("a keystroke's query and drawing", qd, "ms", TARGETS["keystroke ms"]),
           line("a keystroke, from its key to its results drawn (with the %d ms debounce)"
                % (1000 * DEBOUNCE), kd, "ms"),
           line("the query alone (search_opened)", qo, "ms")]
    if refined:
        out.append(line("a broad query ranked in full once typing stops (%d of them), query and drawing"
                        % len(refined), [r["query+draw ms"] for r in refined], "ms"))
    out += ["",
            "Keystrokes, p95: query and drawing %.0f ms, key to drawn %.0f ms, query alone %.0f ms; slowest: %s."
            % (percentile(qd, 95), percentile(kd, 95), percentile(qo, 95),
               ", ".join("%r %.0f ms" % (r["text"], r["query+draw ms"])
                         for r in sorted(keys, key=lambda r: -r["query+draw ms"])[:4])), ""]
    per_query = {}
    for r in keys:
        per_query.setdefault(r["text"], []).append(r["query+draw ms"])
    out += ["| typed | query and drawing, median ms | hits |", "|---|---|---|"]
    for text in sorted(per_query, key=lambda t: -statistics.median(per_query[t]))[:12]:
        hits = next(r["hits"] for r in keys if r["text"] == text)
        out.append("| `%s` | %.1f | %s |" % (text, statistics.median(per_query[text]), hits))
    report = "\n".join(out) + "\n"
    print(report)
    if args.report:
        pathlib.Path(args.report).parent.mkdir(parents=True, exist_ok=True)
        pathlib.Path(args.report).write_text(report)


if __name__ == "__main__":
    main()
