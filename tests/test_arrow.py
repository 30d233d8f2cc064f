"""read_arrow: the same rows as extract_many, as Arrow record batches filled on the worker threads; the
batch cut, one consumption per stream, the capsules' release rules, and the consumers that take them."""

import concurrent.futures
import gc
import os
import random
import re
import threading

import pytest

import arrow_c
from conftest import CLAUDE_SAMPLE as CLAUDE, CODEX_SAMPLE as CODEX, EXTRACT, SANITIZED, child, corpus_files
from sessionrows import RowStream, _arrow, extract_many, read_arrow
from test_batch import FAILING as CORE_FAILING, JOBS as CORE_JOBS, Seq
from test_differential import claude_line, codex_line, dump, mutate

# read_arrow takes only the names of the kinds ("Codex" or "" are errors, where _core reads them as Claude logs).
JOBS = [job for job in CORE_JOBS if job[0] in ("claude", "codex")]
FAILING = [job for job in CORE_FAILING if job[0] in ("claude", "codex")]
CONSUMED = ("this sessionrows row stream has already been consumed; call read_arrow() again for a new one")
CONSUMED_RE = re.escape(CONSUMED)
SCHEMA = [("+s", "", 0), ("i", "job", 0), ("u", "role", 0), ("u", "text", 0), ("u", "timestamp", 0),
          ("u", "source", 0)]
limits = _arrow._read_arrow_limits


def expected(jobs, tools):
    """What a stream of these jobs must hold: extract_many's rows with their job index, and the message of
    the OSError each failed job raises on its own."""
    rows = [(i, *r) for i, rs in enumerate(extract_many(jobs, tools)) for r in rs]
    failures = {}
    for i, (kind, path) in enumerate(jobs):
        try:
            EXTRACT["codex" if kind == "codex" else "claude"](path, tools)
        except OSError as e:
            failures[i] = str(e)
    return rows, failures


def generated_files(tmp_path, count):
    """Session logs of random and mutated lines, as the differential tests make them."""
    r, paths = random.Random(5), []
    for i in range(count):
        lines = [mutate(r, dump(r, claude_line(r) if r.random() < 0.5 else codex_line(r)).encode())
                 for _ in range(r.randrange(0, 200))]
        (path := tmp_path / f"gen{i}.jsonl").write_bytes(b"\n".join(lines))
        paths.append(str(path))
    return paths


JOB_LISTS = {
    "empty": lambda tmp: [],
    "samples-and-failures": lambda tmp: JOBS + FAILING + JOBS[:3],
    "only-failures": lambda tmp: FAILING * 3,
    "generated": lambda tmp: [(k, p) for p in generated_files(tmp, 40) for k in ("claude", "codex")],
    "corpus": lambda tmp: [(k, str(p)) for p in corpus_files() for k in ("claude", "codex")],
}


@pytest.mark.parametrize("threads", [1, 2, None])
@pytest.mark.parametrize("tools", [False, True])
@pytest.mark.parametrize("case", JOB_LISTS)
def test_rows_match_extract_many_on_any_threads(tmp_path, case, tools, threads):
    jobs = JOB_LISTS[case](tmp_path)
    if case == "corpus" and not jobs:
        pytest.skip("no corpus (set SESSIONROWS_CORPUS)")
    stream = read_arrow(jobs, tools, threads=threads)
    assert stream.failures == {} and arrow_c.schema_of(arrow_c.stream_of(stream.__arrow_c_stream__())) == SCHEMA
    rows, batches = arrow_c.read(stream, move_children=threads == 2)
    assert (rows, stream.failures) == expected(jobs, tools)
    assert all(n > 0 for n, _ in batches) and sum(n for n, _ in batches) == len(rows)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("max_bytes", [1, 100, 2000])
def test_batches_are_cut_before_a_column_passes_the_limit_in_any_thread(max_bytes, threads):
    jobs = [("claude", CLAUDE), ("codex", CODEX)] * 20   # one piece: only the limit cuts batches
    rows, batches = arrow_c.read(limits(jobs, True, threads, max_bytes, 1 << 20))
    assert rows == expected(jobs, True)[0] and len(batches) >= 6
    first = 0
    for (n, sizes), (after, _) in zip(batches, batches[1:] + [(0, None)]):
        assert n == 1 or max(sizes) <= max_bytes   # a row that alone passes the limit has a batch of its own
        if after:   # and a batch is cut only where the next row would have passed the limit
            following = [len(x.encode()) for x in rows[first + n][1:]]
            assert any(size + more > max_bytes for size, more in zip(sizes, following))
        first += n


def test_rows_cross_batches_and_pieces_in_job_order():
    jobs = [("codex" if i % 3 else "claude", CODEX if i % 2 else CLAUDE) for i in range(50)]
    for threads in (1, 2):   # pieces of one file each, several batches per job
        rows, batches = arrow_c.read(limits(jobs, True, threads, 200, 1))
        assert rows == expected(jobs, True)[0] and len(batches) > 50


def test_a_stream_is_consumed_once():
    stream = read_arrow([("claude", CLAUDE)] * 3)
    first, second = stream.__arrow_c_stream__(), stream.__arrow_c_stream__()   # schema-only exports are fine
    rows, _ = arrow_c.read_capsule(first)
    assert len(rows) == 3 * len(EXTRACT["claude"](CLAUDE))
    with pytest.raises(arrow_c.StreamError) as info:   # an export taken before another one read
        arrow_c.read_capsule(second)
    assert (info.value.code, info.value.message) == (22, CONSUMED)
    with pytest.raises(ValueError, match="^" + CONSUMED_RE + "$"):
        stream.__arrow_c_stream__()
    assert "consumed, 3 jobs read" in repr(stream)


def test_stream_object_face():
    stream = read_arrow(JOBS, include_tools=True, threads=1)
    assert isinstance(stream, RowStream) and repr(stream) == \
        f"<sessionrows.RowStream of {len(JOBS)} jobs, include_tools=True, threads=1: unread>"
    rows, batches = arrow_c.read(stream)
    assert repr(stream).endswith(f": consumed, {len(JOBS)} jobs read, {len(batches)} batches, {len(rows)} rows, "
                                 "0 failed jobs>")
    with pytest.raises(TypeError, match="made by sessionrows.read_arrow"):
        RowStream()
    assert _arrow.__all__ == ["RowStream", "read_arrow"] and read_arrow.__text_signature__ == \
        "(jobs, include_tools=False, *, threads=None)"
    capsule = stream.__arrow_c_schema__()
    schema = arrow_c.Schema.from_address(arrow_c._get_pointer(capsule, b"arrow_schema"))
    assert (schema.format, schema.n_children) == (b"+s", 5)


A_ERR, T_ERR = "argument 'jobs': ", "argument 'threads': expected None or an int >= 1, got "


@pytest.mark.parametrize("args, kwargs, error, message", [
    (("claude",), {}, TypeError, A_ERR + "a str cannot be taken as a sequence of (kind, path) jobs"),
    (([["claude", CLAUDE]],), {}, TypeError, A_ERR + "'list' object cannot be converted to 'PyTuple'"),
    (([("claude", CLAUDE, "x")],), {}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (([("claude", CLAUDE), ("Codex", CODEX)],), {}, ValueError,
     "unknown kind 'Codex' (the kinds are claude, codex, gemini, copilot, pi)"),
    (([("", CLAUDE)],), {}, ValueError, "unknown kind '' (the kinds are claude, codex, gemini, copilot, pi)"),
    ((Seq(1, TypeError("boom")),), {}, TypeError, A_ERR + "boom"),
    (([], 1), {}, TypeError, "argument 'include_tools': 'int' object cannot be converted to 'PyBool'"),
    (([], False, 2), {}, TypeError, "read_arrow() takes from 1 to 2 positional arguments but 3 were given"),
    ((), {"threads": 2}, TypeError, "read_arrow() missing 1 required positional argument: 'jobs'"),
    (([],), {"thread": 2}, TypeError, "read_arrow() got an unexpected keyword argument 'thread'"),
    (([],), {"threads": 0}, ValueError, T_ERR + "0"),
    (([],), {"threads": -(10**30)}, ValueError, T_ERR + str(-(10**30))),
    (([],), {"threads": True}, TypeError, T_ERR + "'bool'"),
    (([],), {"threads": 2.0}, TypeError, T_ERR + "'float'"),
    (([],), {"threads": "2"}, TypeError, T_ERR + "'str'"),
])
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        read_arrow(*args, **kwargs)
    assert type(info.value) is error and str(info.value) == message


@pytest.mark.parametrize("threads", [1, 2, 10**30])   # more threads than processors: as many as there are
def test_equivalent_ways_to_pass_arguments_in_thread(threads):
    want = expected(JOBS[:4], True)[0]
    for stream in (read_arrow(JOBS[:4], True, threads=threads), read_arrow(jobs=tuple(JOBS[:4]), threads=threads,
                                                                          include_tools=True)):
        assert f"threads={min(threads, len(os.sched_getaffinity(0)))}:" in repr(stream)
        assert arrow_c.read(stream)[0] == want


def test_thread_stream_released_midway_stops_its_scans():
    jobs = [("claude", CLAUDE), ("codex", CODEX)] * 200
    for _ in range(20):   # released with pieces in flight on the workers, then dropped
        stream = limits(jobs, True, 2, 1 << 30, 1)
        s = arrow_c.stream_of(stream.__arrow_c_stream__())
        arrow_c.release(arrow_c.next_array(s))
        arrow_c.RELEASE_STREAM(s.release)(arrow_c.ctypes.byref(s))
        assert "released before its end" in repr(stream)
        with pytest.raises(ValueError, match=CONSUMED_RE):
            stream.__arrow_c_stream__()
    gc.collect()


@pytest.mark.parametrize("thread_count", [2, 6])
def test_concurrent_streams_each_get_their_own_rows(thread_count):
    jobs = (JOBS + FAILING) * 3
    want = expected(jobs, True)
    start = threading.Barrier(thread_count)

    def call(i):
        start.wait()
        stream = limits(jobs[i:] + jobs[:i], True, 1 + i % 2, 2000 * (i + 1), 1 << (10 + i))
        got = arrow_c.read(stream)[0]
        return [(r[0] + i) % len(jobs) for r in got], stream.failures

    with concurrent.futures.ThreadPoolExecutor(thread_count) as callers:
        for i, (job_column, failures) in enumerate(callers.map(call, range(thread_count))):
            assert sorted(job_column) == sorted(r[0] for r in want[0])
            assert {(k + i) % len(jobs): v for k, v in failures.items()} == want[1]


FORK = """
import os, sys
sys.path.insert(0, sys.argv[1])
import arrow_c
from sessionrows import extract_claude, read_arrow
jobs = [("claude", sys.argv[2])] * 100
rows = len(extract_claude(sys.argv[2])) * 100
begun = read_arrow(jobs, threads=2)
s = arrow_c.stream_of(begun.__arrow_c_stream__())
arrow_c.release(arrow_c.next_array(s))
if (pid := os.fork()) == 0:   # a stream begun in the parent fails; a new one reads on the child's own pool
    try:
        arrow_c.next_array(s)
        os._exit(1)
    except arrow_c.StreamError as e:
        ok = "another process" in e.message
    os._exit(0 if ok and len(arrow_c.read(read_arrow(jobs, threads=2))[0]) == rows else 2)
assert os.waitpid(pid, 0)[1] == 0
"""


@pytest.mark.skipif(SANITIZED or not hasattr(os, "fork"), reason="needs fork, not under AddressSanitizer")
def test_forked_child_of_a_threaded_reader(tmp_path):
    child(FORK, os.path.dirname(__file__), CLAUDE, timeout=60)


# ---- consumers, where installed

needs = pytest.importorskip


def test_pyarrow_batches_validate_and_match():
    pa = needs("pyarrow")
    jobs = JOBS * 3 + FAILING
    reader = pa.RecordBatchReader.from_stream(limits(jobs, True, 2, 4000, 1 << 12))
    batches = list(reader)
    for b in batches:
        b.validate(full=True)
    assert len(batches) > 3 and str(reader.schema) == "\n".join(
        ["job: int32 not null"] + [f"{c}: string not null" for c in ("role", "text", "timestamp", "source")])
    table = pa.Table.from_batches(batches, reader.schema)
    assert list(zip(*table.to_pydict().values())) == expected(jobs, True)[0]
    stream = read_arrow(jobs, True)
    assert pa.table(stream).equals(table) and stream.failures == expected(jobs, True)[1]
    with pytest.raises(ValueError, match=CONSUMED_RE):
        pa.table(stream)
    assert pa.table(read_arrow([])).num_rows == 0 and pa.schema(read_arrow([])) == reader.schema


def test_polars_takes_the_stream():
    pl = needs("polars")
    jobs = JOBS + FAILING
    rows = expected(jobs, True)[0]
    assert list(pl.DataFrame(read_arrow(jobs, True)).iter_rows()) == rows
    frame = pl.from_arrow(read_arrow(jobs, True))
    if isinstance(frame, pl.Series):   # polars 2 makes a struct Series of a stream, polars 1 a DataFrame
        frame = frame.struct.unnest()
    assert frame.rows() == rows


def test_duckdb_takes_the_stream():
    duckdb = needs("duckdb")
    jobs = JOBS + FAILING
    stream = read_arrow(jobs, True)  # noqa: F841 (DuckDB finds it by its name; exports it for the schema, then scans)
    relation = duckdb.sql("select job, role, text, timestamp, source from stream")   # in insertion order
    assert relation.fetchall() == expected(jobs, True)[0]
    # Running the query again would read the rows a second time. DuckDB 2.0 asks the stream object
    # again and passes on its message; 1.4 kept its first export and finds it used up.
    with pytest.raises(duckdb.Error, match=CONSUMED_RE + "|ArrowArrayStream was released"):
        relation.fetchall()
