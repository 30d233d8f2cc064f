"""extract_many over a few hundred session logs vs the same files one by one.

Copies the corpus files (both kinds) into a temporary folder until there are
--files of them, then times, alternating in one run, extract_many over the whole
set and the single-file calls on the calling thread, and prints the medians and
their ratio (batch / sequential).

    python bench/batch_speedup.py [--corpus DIR] [--files 300] [--runs 7] [--include-tools]
"""
import argparse
import glob
import os
import shutil
import statistics
import tempfile
import time

from sessionrows import extract_claude, extract_codex, extract_many

HERE = os.path.dirname(os.path.abspath(__file__))


def replicate(corpus, count, folder):
    sources = [(kind, path) for kind in ("claude", "codex")
               for path in sorted(glob.glob(os.path.join(corpus, kind, "*.jsonl")))]
    if not sources:
        raise SystemExit(f"no session logs under {corpus}")
    jobs = []
    for i in range(count):
        kind, path = sources[i % len(sources)]
        copy = os.path.join(folder, f"{i:04d}-{kind}.jsonl")
        shutil.copyfile(path, copy)
        jobs.append((kind, copy))
    return jobs


def sequential(jobs, include_tools):
    return [(extract_codex if kind == "codex" else extract_claude)(path, include_tools) for kind, path in jobs]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", default=os.path.join(HERE, "..", "..", "shared", "corpus"))
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--include-tools", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        jobs = replicate(args.corpus, args.files, folder)
        size = sum(os.path.getsize(path) for _, path in jobs)
        assert extract_many(jobs, args.include_tools) == sequential(jobs, args.include_tools)  # and warm the cache
        times = {"batch": [], "sequential": []}
        cpu = dict.fromkeys(times, 0.0)
        for _ in range(args.runs):
            for name, call in (("batch", extract_many), ("sequential", sequential)):
                start, start_cpu = time.perf_counter(), time.process_time()
                call(jobs, args.include_tools)
                times[name].append(time.perf_counter() - start)
                cpu[name] += time.process_time() - start_cpu
    batch, seq = statistics.median(times["batch"]), statistics.median(times["sequential"])
    busy = {name: cpu[name] / sum(times[name]) for name in times}  # processors kept busy, on average
    print(f"{len(jobs)} files, {size / 1e6:.1f} MB, {len(os.sched_getaffinity(0))} processors, "
          f"median of {args.runs} runs, include_tools={args.include_tools}")
    print(f"extract_many: {batch * 1e3:8.1f} ms (cpu/wall {busy['batch']:.2f})   "
          f"one by one: {seq * 1e3:8.1f} ms (cpu/wall {busy['sequential']:.2f})   ratio {batch / seq:.3f}")


if __name__ == "__main__":
    main()
