import collections
import concurrent.futures
import glob
import os
import resource
import signal
import subprocess
import sys
import threading

import pytest

from sessionrows import extract_claude, extract_codex, extract_many

HERE = os.path.dirname(os.path.abspath(__file__))
CLAUDE = os.path.join(HERE, "data", "claude_sample.jsonl")
CODEX = os.path.join(HERE, "data", "codex_sample.jsonl")
MISSING = os.path.join(HERE, "data", "no_such_file.jsonl")
CORPUS = next((p for p in (os.path.join(HERE, "..", "..", "shared", "corpus"), "/work/shared/corpus")
               if os.path.isdir(p)), None)


def one_by_one(jobs, include_tools=False):
    """What extract_many must return, from the single-file calls."""
    out = []
    for kind, path in jobs:
        try:
            out.append((extract_codex if kind == "codex" else extract_claude)(path, include_tools))
        except OSError:
            out.append([])
    return out


def run_script(code, *args, env=None, timeout=60):
    """Runs code in a fresh interpreter, so that a hang or a crash fails the test only.
    On a hang the whole process group goes, forked children included."""
    with subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, env=dict(os.environ, **(env or {})), start_new_session=True) as proc:
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            raise
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


@pytest.mark.parametrize("include_tools", [False, True])
def test_mixed_batch_matches_single_calls_in_job_order(include_tools):
    jobs = [("claude", CLAUDE), ("codex", CODEX), ("codex", MISSING), ("codex", CODEX), ("claude", HERE),
            ("claude", "nul\0byte"), ("codex", CLAUDE), ("claude", CLAUDE)]
    result = extract_many(jobs, include_tools)
    assert result == one_by_one(jobs, include_tools)
    assert result[2] == result[4] == result[5] == [] and result[0] and result[1] and result[0] == result[7]
    # a failing job leaves the others as they are without it
    assert extract_many([j for j in jobs if j[1] != MISSING], include_tools) == result[:2] + result[3:]


@pytest.mark.parametrize("kind", ["codex", "Codex", "", "claude", "x", "codex "])
@pytest.mark.parametrize("copies", [1, 3])  # one job runs on the calling thread, more on the pool
def test_only_exact_codex_selects_codex_rules(kind, copies):
    extract = extract_codex if kind == "codex" else extract_claude
    for path in (CLAUDE, CODEX):
        assert extract_many([(kind, path)] * copies) == [extract(path)] * copies


@pytest.mark.parametrize("count", [0, 1, 2, 3, 10_000])
def test_batch_sizes(count):
    jobs = [[("claude", CLAUDE), ("codex", CODEX), ("codex", MISSING)][i % 3] for i in range(count)]
    assert extract_many(jobs) == one_by_one(jobs)
    assert extract_many([("claude", MISSING)] * count) == [[]] * count


class Seq:
    """A sequence read through __getitem__, with whatever length it claims."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if isinstance(self.items, BaseException):
            raise self.items
        return self.items[i]


@pytest.mark.parametrize("jobs", [
    (("claude", CLAUDE), ("codex", CODEX)),
    [collections.namedtuple("Pair", "kind path")(*job) for job in [("claude", CLAUDE), ("codex", CODEX)]],
    Seq([("claude", CLAUDE), ("codex", CODEX)], 10**15),  # a huge hint must not be reserved
    Seq([("claude", CLAUDE), ("codex", CODEX)], 10**30),  # a length that does not fit is ignored
    Seq([("claude", CLAUDE), ("codex", CODEX)], 0),       # the hint never limits what is read
], ids=["tuple", "namedtuple", "huge-len", "overflowing-len", "zero-len"])
def test_accepted_job_sequences(jobs):
    assert extract_many(jobs) == [extract_claude(CLAUDE), extract_codex(CODEX)]


@pytest.mark.parametrize("args, kwargs, error, message", [
    (("claude",), {}, TypeError, "argument 'jobs': a str cannot be taken as a sequence of (kind, path) jobs"),
    (((p for p in [("claude", CLAUDE)]),), {}, TypeError,
     "argument 'jobs': 'generator' object cannot be converted to 'Sequence'"),
    (({"claude": CLAUDE},), {}, TypeError, "argument 'jobs': 'dict' object cannot be converted to 'Sequence'"),
    (({("claude", CLAUDE)},), {}, TypeError, "argument 'jobs': 'set' object cannot be converted to 'Sequence'"),
    (([["claude", CLAUDE]],), {}, TypeError, "argument 'jobs': 'list' object cannot be converted to 'PyTuple'"),
    (([("claude", CLAUDE), ("claude", CLAUDE, "x")],), {}, ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (([(1, CLAUDE)],), {}, TypeError, "argument 'jobs': 'int' object cannot be converted to 'PyString'"),
    (([("claude", "\udc80")],), {}, UnicodeEncodeError, None),
    ((Seq(TypeError("boom"), 1),), {}, TypeError, "argument 'jobs': boom"),
    ((Seq(KeyError("boom"), 1),), {}, KeyError, None),
    (("claude", 1), {}, TypeError, "argument 'jobs': a str cannot be taken as a sequence of (kind, path) jobs"),
    (([(1, 2)],), {"include_tools": None}, TypeError,
     "argument 'jobs': 'int' object cannot be converted to 'PyString'"),
    (([],), {"include_tools": 1}, TypeError,
     "argument 'include_tools': 'int' object cannot be converted to 'PyBool'"),
    ((), {}, TypeError, "extract_many() missing 1 required positional argument: 'jobs'"),
])
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        extract_many(*args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("thread_count", [2, 8])
def test_concurrent_callers_get_their_own_results(thread_count):
    base = [("claude", CLAUDE), ("codex", CODEX), ("codex", MISSING), ("codex", CLAUDE)] * 3
    batches = [(base[i:] + base[:i], i % 2 == 1) for i in range(thread_count)]
    expected = [one_by_one(jobs, tools) for jobs, tools in batches]
    start = threading.Barrier(thread_count)

    def call(batch):
        start.wait()
        return [extract_many(*batch) for _ in range(30)]

    with concurrent.futures.ThreadPoolExecutor(thread_count) as callers:
        got = list(callers.map(call, batches))
    assert got == [[e] * 30 for e in expected]


FORK_CHILD = """
import os, sys, threading
from sessionrows import extract_many
jobs = [("claude", sys.argv[1]), ("codex", sys.argv[2])] * 8
expected = extract_many(jobs)  # the pool exists from here on
done = threading.Event()
def keep_busy():  # forks happen while the parent's workers are at work
    while not done.is_set():
        assert extract_many(jobs) == expected
busy = threading.Thread(target=keep_busy)
busy.start()
for _ in range(20):
    pid = os.fork()
    if pid == 0:
        os._exit(0 if extract_many(jobs) == expected and extract_many([]) == [] else 1)
    assert os.waitpid(pid, 0)[1] == 0
done.set()
busy.join()
"""

FORK_POOL = """
import multiprocessing, sys
from sessionrows import extract_many
jobs = [("claude", sys.argv[1]), ("codex", sys.argv[2])] * 4
def work(i):
    return extract_many(jobs[i:] + jobs[:i])
if __name__ == "__main__":
    expected = [work(i) for i in range(6)]  # the pool exists before the fork
    with multiprocessing.get_context("fork").Pool(2) as workers:
        assert workers.map(work, range(6)) == expected
"""


# ASan's runtime reserves terabytes of address space (so an address-space limit
# stops it first) and can deadlock in a child forked while other threads allocate.
SANITIZED = os.environ.get("SESSIONROWS_SANITIZED") == "1"
not_under_asan = pytest.mark.skipif(SANITIZED, reason="not meaningful under AddressSanitizer")


@not_under_asan
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("script", [FORK_CHILD, FORK_POOL], ids=["os.fork", "multiprocessing"])
def test_forked_child_makes_its_own_pool(script):
    done = run_script(script, CLAUDE, CODEX)
    assert done.returncode == 0, done.stderr


MEMORY_LIMIT = """
import os, resource, sys
from sessionrows import extract_many
def vm_size():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
def thread_count():
    return len(os.listdir("/proc/self/task"))
jobs = [("claude", sys.argv[1])] * 4
expected = extract_many(jobs) if sys.argv[3] == "warm" else [[]] * 4
threads = thread_count()
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + int(sys.argv[2]), resource.RLIM_INFINITY))
try:
    extract_many(jobs)
    outcome = "no error"
except Exception as e:
    outcome = type(e).__name__
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
print(outcome, thread_count() == threads, extract_many(jobs) == expected)
"""


@not_under_asan
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and RLIMIT_AS")
@pytest.mark.parametrize("room", ["no thread", "one thread"])
def test_worker_that_cannot_start_raises(room):
    if room == "one thread" and len(os.sched_getaffinity(0)) < 2:
        pytest.skip("a pool of one worker cannot be left half-made")
    stack = resource.getrlimit(resource.RLIMIT_STACK)[0]  # glibc's default thread stack size
    margin = 0 if room == "no thread" else (stack if 0 < stack < 1 << 30 else 8 << 20) * 3 // 2
    done = run_script(MEMORY_LIMIT, MISSING, str(margin), "cold")
    assert done.returncode == 0, done.stderr
    if done.stdout.startswith("no error"):
        pytest.skip("the address space limit did not stop thread creation here")
    # refused, half-made workers stopped and joined, and a later call makes the pool
    assert done.stdout.split() == ["RuntimeError", "True", "True"]


@not_under_asan
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc and RLIMIT_AS")
def test_out_of_memory_in_a_job_raises_memory_error(tmp_path):
    line = ('{"type":"user","message":{"role":"user","content":"hi"},"timestamp":"2024-01-01T00:00:00Z",'
            '"cwd":"/home/someone/some/rather/long/project/folder","sessionId":"0123456789abcdef0123456789"}\n')
    big = tmp_path / "big.jsonl"
    big.write_text(line * 60_000)
    # One malloc arena and no memory held back for reuse, so that the workers' own
    # allocations hit the limit (glibc; elsewhere the conversion to Python may).
    glibc_env = {"MALLOC_ARENA_MAX": "1", "MALLOC_MMAP_THRESHOLD_": "65536"}
    done = run_script(MEMORY_LIMIT, str(big), str(1 << 20), "warm", env=glibc_env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError", "True", "True"]


@pytest.mark.skipif(CORPUS is None, reason="corpus not present")
@pytest.mark.parametrize("include_tools", [False, True])
def test_whole_corpus_batch_equals_one_by_one(include_tools):
    jobs = [(kind, path) for kind in ("claude", "codex")
            for path in sorted(glob.glob(os.path.join(CORPUS, kind, "*.jsonl")))]
    assert jobs
    assert extract_many(jobs, include_tools=include_tools) == one_by_one(jobs, include_tools)
