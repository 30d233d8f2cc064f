"""Redaction's cost, this tree's rules beside an earlier commit's: every row's text of
the corpus's Claude and Codex logs (tool output included), repeated to SIZE MB, redacted row by row;
and hostile texts (long runs of =, a, quotes, names) that a regex which backtracks
would take quadratic time over.

    python bench/redact.py [--before COMMIT] [--mb 50] [--repeat 5]

Prints the median of the runs and the ratio of the two."""

import argparse
import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests"))


def corpus_texts(mb):
    from conftest import corpus_files
    from sessionrows import _core
    texts, size = [], 0
    jobs = [(kind, str(p)) for p in corpus_files() for kind in ("claude", "codex") if "/%s/" % kind in str(p)]
    if not jobs:
        sys.exit("no corpus logs (SESSIONROWS_CORPUS)")
    base = [row[1] for rows in _core.extract_many(jobs, include_tools=True) for row in rows if row[1]]
    while size < mb * 1_000_000:
        for t in base:
            texts.append(t)
            size += len(t)
    return texts, size


def module_at(commit):
    """redact.py as it was at `commit`, as a module of its own."""
    source = subprocess.run(["git", "-C", REPO, "show", "%s:python/sessionrows/redact.py" % commit],
                            check=True, capture_output=True, text=True).stdout
    path = os.path.join(tempfile.mkdtemp(), "redact_before.py")
    with open(path, "w") as f:
        f.write(source)
    spec = importlib.util.spec_from_file_location("redact_before", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["redact_before"] = module
    spec.loader.exec_module(module)
    return module


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


HOSTILE = {
    "=": "=" * 1_000_000, "a": "a" * 1_000_000, "quotes": "\"'" * 500_000, "password=": "password=" * 110_000,
    "password: '": "password: '" * 90_000, "token=a": "token=" + "a" * 1_000_000,
    "key names": "api_key_" * 125_000, "--password ": "--password " * 90_000, "sk-": "sk-" * 330_000,
    "xox": "xoxb-" * 200_000, "eyJ.": "eyJabcdefghij." * 70_000, "://:@": "a://b:c@" * 120_000,
    "mysql -p": "mysql " * 160_000 + "-p", "backslashes": "password=" + "\\" * 1_000_000,
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--before", default="033c413", help="the commit whose rules are timed beside this tree's")
    ap.add_argument("--mb", type=float, default=50)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--hostile-only", action="store_true")
    args = ap.parse_args()
    from sessionrows import redact
    gitleaks = next(p for p in redact.RULE_FILES if os.path.isfile(p))
    now, before = redact.load(gitleaks), module_at(args.before).load(gitleaks)
    for name, text in HOSTILE.items():
        t_now = median_time(lambda: now.redact(text), 1)
        t_before = median_time(lambda: before.redact(text), 1)
        print("hostile %-12s %7d chars: now %.3f s, before %.3f s" % (name, len(text), t_now, t_before))
    if args.hostile_only:
        return
    texts, size = corpus_texts(args.mb)
    print("corpus: %d texts, %.1f MB" % (len(texts), size / 1e6))
    results = {}
    for label, rules in (("before", before), ("now", now)):
        results[label] = median_time(lambda: [rules.redact(t) for t in texts], args.repeat)
        print("%-6s median of %d: %.2f s, %.1f MB/s" % (label, args.repeat, results[label],
                                                        size / 1e6 / results[label]))
    print("now / before: %.2f" % (results["now"] / results["before"]))


if __name__ == "__main__":
    main()
