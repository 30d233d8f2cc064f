"""extract_many: results in job order, failed files as [], argument errors, the worker
pool across threads and forks, a thread that cannot start, memory that runs out."""

import collections
import concurrent.futures
import os
import resource
import sys
import threading

import pytest

from conftest import CLAUDE_SAMPLE as CLAUDE, CODEX_SAMPLE as CODEX, EXTRACT, SANITIZED, child
from sessionrows import extract_many

MISSING = CLAUDE + ".missing"
not_under_asan = pytest.mark.skipif(SANITIZED, reason="not meaningful under AddressSanitizer")


def one_by_one(jobs, tools=False):
    """What extract_many must return, from the single-file calls."""
    out = []
    for kind, path in jobs:
        try:
            out.append(EXTRACT["codex" if kind == "codex" else "claude"](path, tools))
        except OSError:
            out.append([])
    return out


JOBS = [(kind, path) for kind in ("codex", "Codex", "", "claude", "x", "codex ") for path in (CLAUDE, CODEX)]
FAILING = [("codex", MISSING), ("claude", "/"), ("x", "nul\0byte")]


@pytest.mark.parametrize("count", [0, 1, 2, 3, 15, 10_000])   # a single job runs on the calling thread
def test_many_matches_single_calls_in_job_order(count):   # a failed job gives []; only "codex" selects Codex rules
    jobs, tools = [(JOBS + FAILING)[i % 15] for i in range(count)], count % 2 == 1
    assert extract_many(jobs, tools) == one_by_one(jobs, tools)
    assert extract_many([("claude", MISSING)] * count) == [[]] * count
    assert [extract_many([job])[0] for job in JOBS] == one_by_one(JOBS)


class Seq:
    """A sequence read through __getitem__, with whatever length it claims; or one whose items raise."""

    def __init__(self, length, error=None):
        self.length, self.error = length, error

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if self.error:
            raise self.error
        return JOBS[i]


@pytest.mark.parametrize("jobs", [
    tuple(JOBS), [collections.namedtuple("Job", "kind path")(*job) for job in JOBS],
    Seq(10**15),   # a huge length hint must not be reserved
    Seq(10**30),   # a length that does not fit is ignored
    Seq(0),        # the hint never limits what is read
], ids=["tuple", "namedtuple", "huge-len", "overflowing-len", "zero-len"])
def test_accepted_job_sequences_in_batch(jobs):
    assert extract_many(jobs) == one_by_one(JOBS)


JOBS_ERR = "argument 'jobs': "


@pytest.mark.parametrize("args, kwargs, error, message", [
    (("claude",), {}, TypeError, JOBS_ERR + "a str cannot be taken as a sequence of (kind, path) jobs"),
    (("claude", 1), {}, TypeError, JOBS_ERR + "a str cannot be taken as a sequence of (kind, path) jobs"),
    (((j for j in JOBS),), {}, TypeError, JOBS_ERR + "'generator' object cannot be converted to 'Sequence'"),
    (({"claude": CLAUDE},), {}, TypeError, JOBS_ERR + "'dict' object cannot be converted to 'Sequence'"),
    (([["claude", CLAUDE]],), {}, TypeError, JOBS_ERR + "'list' object cannot be converted to 'PyTuple'"),
    (([JOBS[0], ("claude", CLAUDE, "x")],), {}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (([(1, CLAUDE)],), {"include_tools": None}, TypeError, JOBS_ERR + "'int' object cannot be converted to 'PyString'"),
    (([("claude", "\udc80")],), {}, UnicodeEncodeError, None),
    ((Seq(1, TypeError("boom")),), {}, TypeError, JOBS_ERR + "boom"),
    ((Seq(1, KeyError("boom")),), {}, KeyError, None),
    (([],), {"include_tools": 1}, TypeError, "argument 'include_tools': 'int' object cannot be converted to 'PyBool'"),
    ((), {}, TypeError, "extract_many() missing 1 required positional argument: 'jobs'"),
])
def test_batch_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        extract_many(*args, **kwargs)
    assert type(info.value) is error and (message is None or str(info.value) == message)


@pytest.mark.parametrize("thread_count", [2, 8])
def test_concurrent_callers_get_their_own_results(thread_count):
    # a batch of one job runs on the calling thread, as the single-file calls do
    base = [("claude", CLAUDE), ("codex", CODEX), ("codex", MISSING), ("codex", CLAUDE)] * 3
    batches = [((base[i:] + base[:i])[:1 + i % 3 * 6], i % 2 == 1) for i in range(thread_count)]
    start = threading.Barrier(thread_count)

    def call(batch):
        start.wait()
        return [extract_many(*batch) for _ in range(30)]

    with concurrent.futures.ThreadPoolExecutor(thread_count) as callers:
        assert list(callers.map(call, batches)) == [[one_by_one(*batch)] * 30 for batch in batches]


FORK = """
import multiprocessing, os, sys, threading
from sessionrows import extract_many
jobs = [("claude", sys.argv[1]), ("codex", sys.argv[2])] * 8
def work(i):
    return extract_many(jobs[i:] + jobs[:i])
if __name__ == "__main__":
    expected, done = [work(i) for i in range(6)], threading.Event()   # the pool exists from here on
    def keep_busy():   # forks happen while the parent's workers are at work
        while not done.is_set():
            assert work(0) == expected[0]
    busy = threading.Thread(target=keep_busy)
    busy.start()
    for _ in range(20):
        if (pid := os.fork()) == 0:
            os._exit(0 if work(0) == expected[0] and extract_many([]) == [] else 1)
        assert os.waitpid(pid, 0)[1] == 0
    done.set()
    busy.join()
    with multiprocessing.get_context("fork").Pool(2) as workers:
        assert workers.map(work, range(6)) == expected
"""


@not_under_asan
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_makes_its_own_pool_for_many():
    child(FORK, CLAUDE, CODEX, timeout=60)


# Calls extract_many under an address-space limit of the process's size plus argv[2] bytes, then without it.
LIMITED = """
import os, resource, sys
from sessionrows import extract_many
jobs = [("claude", sys.argv[1])] * 4
expected = extract_many(jobs) if sys.argv[3] == "warm" else [[]] * 4
threads = len(os.listdir("/proc/self/task"))
size = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + int(sys.argv[2]), resource.RLIM_INFINITY))
try:
    extract_many(jobs)
    outcome = "no-error"
except Exception as e:
    outcome = type(e).__name__
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
print(outcome, len(os.listdir("/proc/self/task")) == threads, extract_many(jobs) == expected)
"""
LINE = ('{"type":"user","message":{"role":"user","content":"hi"},"timestamp":"2024-01-01T00:00:00Z",'
        '"cwd":"/home/someone/some/rather/long/project/folder","sessionId":"0123456789abcdef0123456789"}\n')


@not_under_asan
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and RLIMIT_AS")
@pytest.mark.parametrize("room", ["no thread", "one thread", "no memory"])
def test_batch_that_cannot_start_a_worker_or_allocate_raises(tmp_path, room):
    if room == "one thread" and len(os.sched_getaffinity(0)) < 2:
        pytest.skip("a pool of one worker cannot be left half-made")
    if room == "no memory":   # one malloc arena and none held back, so that the workers' allocations hit the limit
        (path := tmp_path / "big.jsonl").write_text(LINE * 60_000)
        out = child(LIMITED, path, 1 << 20, "warm", env={"MALLOC_ARENA_MAX": "1", "MALLOC_MMAP_THRESHOLD_": "65536"})
    else:
        stack = resource.getrlimit(resource.RLIMIT_STACK)[0]   # glibc's default thread stack size
        margin = 0 if room == "no thread" else (stack if 0 < stack < 1 << 30 else 8 << 20) * 3 // 2
        out = child(LIMITED, MISSING, margin, "cold")
        if out.startswith("no-error"):
            pytest.skip("the address space limit did not stop thread creation here")
    # refused, half-made workers stopped and joined, and a later call works
    assert out.split() == ["MemoryError" if room == "no memory" else "RuntimeError", "True", "True"]
