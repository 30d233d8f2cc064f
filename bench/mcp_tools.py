"""The MCP server and redaction: how fast secrets are redacted, how soon the server
answers `initialize`, and what a warm `search_history` costs in it.

    python bench/mcp_tools.py                                   # a HOME made of the corpus logs
    python bench/mcp_tools.py --home /tmp/sessionrows-bench/cli-full/home --repeat 5

Redaction is timed over the texts of every row of the logs (tool calls and results
included), whole texts and the parts a search hit shows. The server is the installed
console script (else `python -m sessionrows`), started afresh each repetition by the
MCP SDK's client; its index lives in a cache folder of the benchmark's own. Figures
are medians (min-max). MB means 10**6 bytes of UTF-8.
"""

import argparse
import asyncio
import os
import pathlib
import statistics
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
SCRIPT = pathlib.Path(sys.executable).with_name("sessionrows")
QUERIES = ["docker compose", '"pytest -x"', "flaky test", "TypeError", "useState", "git rebase", "migration",
           "src/app", "api_key", "retry"]


def corpus():
    env = os.environ.get("SESSIONROWS_CORPUS")
    for root in ([pathlib.Path(env)] if env else []) + [REPO.parent / "shared" / "corpus"]:
        if root.is_dir():
            return root
    raise SystemExit("no corpus: set SESSIONROWS_CORPUS or give --home")


def corpus_home(where):
    """A HOME whose default places hold links to the corpus logs."""
    root = corpus()
    home = pathlib.Path(where) / "home"
    for path in sorted(root.rglob("*.jsonl")):
        if path.parent.name == "claude":
            link = home / ".claude" / "projects" / "-corpus" / path.name
        else:
            link = home / ".codex" / "sessions" / "2026" / "01" / "01" / ("rollout-" + path.name)
        link.parent.mkdir(parents=True, exist_ok=True)
        link.symlink_to(path)
    return home


def spread(values, scale=1.0, unit=""):
    return "%.3g%s (%.3g-%.3g)" % (statistics.median(values) * scale, unit, min(values) * scale,
                                  max(values) * scale)


def redaction(home, repeat):
    import sessionrows
    from sessionrows import discovery, redact

    os.environ["HOME"] = str(home)
    logs = discovery.find_logs(None)[:600]
    jobs = [(log.agent or "claude", log.path) for log in logs]
    texts, size = [], 0
    for rows in sessionrows.extract_many(jobs, True):
        for row in rows if isinstance(rows, list) else ():
            if size < 20e6:     # enough to time
                texts.append(row[1])
                size += len(row[1].encode("utf-8", "surrogatepass"))
    t = time.perf_counter()
    rules = redact.rules()
    load = time.perf_counter() - t
    whole, parts = [], []
    for _ in range(repeat):
        t = time.perf_counter()
        for text in texts:
            redact.redact_text(text)
        whole.append(time.perf_counter() - t)
        t = time.perf_counter()
        for text in texts:
            redact.redact_part(text, len(text) // 2, len(text) // 2 + 800)
        parts.append(time.perf_counter() - t)
    found = sum(len(rules.find(text)) for text in texts)
    print("redaction: %d rules (%d left out), loaded and compiled in %.2f s" % (len(rules.rules),
                                                                                 len(rules.skipped), load))
    print("  %d texts, %.1f MB, %d secrets found" % (len(texts), size / 1e6, found))
    print("  whole texts: %s MB/s" % spread([size / 1e6 / s for s in whole]))
    print("  a hit's part (800 characters and the margins): %s ms per text"
          % spread([s / len(texts) for s in parts], 1000))


async def server_run(home, cache, redact):
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "sessionrows"]
    env = dict(os.environ, HOME=str(home), XDG_CACHE_HOME=str(cache))
    for name in ("CLAUDE_CONFIG_DIR", "CODEX_HOME"):
        env.pop(name, None)
    params = StdioServerParameters(command=command[0], args=command[1:] + ["mcp"] + ([] if redact else
                                                                                      ["--no-redact"]), env=env)
    with open(os.devnull, "w") as errors:
        started = time.perf_counter()
        async with stdio_client(params, errlog=errors) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                init = time.perf_counter() - started
                t = time.perf_counter()
                await session.call_tool("search_history", {"query": QUERIES[0]})
                first = time.perf_counter() - t
                warm = []
                for _ in range(3):
                    for q in QUERIES:
                        t = time.perf_counter()
                        result = await session.call_tool("search_history", {"query": q})
                        warm.append(time.perf_counter() - t)
                        assert not result.is_error, result.content[0].text
                return init, first, statistics.median(warm), max(warm)


def in_process(home, cache):
    """search_history without the protocol, on the index the server made."""
    os.environ.update(HOME=str(home), XDG_CACHE_HOME=str(cache))
    from sessionrows.mcp_server import History
    out = {}
    for redact in (True, False):
        h = History(redact=redact)
        h.search_history(QUERIES[0])
        times = []
        for _ in range(3):
            for q in QUERIES:
                t = time.perf_counter()
                h.search_history(q)
                times.append(time.perf_counter() - t)
        h.close()
        out[redact] = times
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--home", help="a HOME whose logs to use (default: one made of the corpus logs)")
    ap.add_argument("--repeat", type=int, default=5)
    a = ap.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="sessionrows-mcp-bench-") as tmp:
        home = pathlib.Path(a.home) if a.home else corpus_home(tmp)
        cache = pathlib.Path(tmp) / "cache"
        redaction(home, a.repeat)
        for redact in (True, False):
            runs = [asyncio.run(server_run(home, cache, redact)) for _ in range(a.repeat)]
            print("server%s, %d starts (the first builds the index):" % ("" if redact else " --no-redact", a.repeat))
            print("  start to initialize: %s s" % spread([r[0] for r in runs[1:] or runs]))
            print("  first search_history: %s ms" % spread([r[1] for r in runs[1:] or runs], 1000))
            print("  warm search_history, round trip: median %s ms, worst %s ms"
                  % (spread([r[2] for r in runs], 1000), spread([r[3] for r in runs], 1000)))
        for redact, times in in_process(home, cache).items():
            print("in process, redact=%s: search_history %s ms (worst %.1f ms)"
                  % (redact, spread(times, 1000), max(times) * 1000))


if __name__ == "__main__":
    main()
