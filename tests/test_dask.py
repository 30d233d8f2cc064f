"""sessionrows.dask.read_sessions on a LocalCluster of worker processes: the same rows
as extract_many, per file and in order, from local folders, globs and memory://."""

import os
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("pyarrow")
pytest.importorskip("fsspec")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import fsspec  # noqa: E402
import pandas as pd  # noqa: E402

import sessionrows  # noqa: E402
from conftest import REPO, SANITIZED  # noqa: E402
from sessionrows import dask as srdask  # noqa: E402

pytestmark = pytest.mark.skipif(SANITIZED, reason="worker processes under ASan are slow and noisy")
COLUMNS = ["path", "agent", "role", "text", "timestamp", "source"]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture
def folder(tmp_path):
    """The example sessions, and more Codex logs beside them."""
    root = tmp_path / "logs"
    shutil.copytree(REPO / "examples" / "sessions", root)
    codex = next(root.rglob("rollout-*.jsonl"))
    for i in range(3):
        shutil.copy(codex, codex.with_name("rollout-copy-%d.jsonl" % i))
    return root


def agent_of(path):
    return "codex" if "rollout-" in os.path.basename(path) else "claude"


def expected(paths, tools):
    rows = sessionrows.extract_many([(agent_of(p), p) for p in paths], tools)
    return {p: r for p, r in zip(paths, rows)}


def by_file(df):
    out = {}
    for rec in df.itertuples(index=False):
        out.setdefault(rec.path, []).append((rec.role, rec.text, rec.timestamp, rec.source))
    return out


@pytest.mark.parametrize("tools", [False, True])
def test_rows_equal_extract_many_per_file_in_order(client, folder, tools):
    ddf = srdask.read_sessions(str(folder), include_tools=tools, files_per_partition=2)
    assert ddf.npartitions == 4
    df = ddf.compute()
    paths = sorted(str(p) for p in folder.rglob("*.jsonl"))
    want = expected(paths, tools)
    assert by_file(df) == {p: rows for p, rows in want.items() if rows}
    assert {p: agent for p, agent in zip(df.path, df.agent)} == {p: agent_of(p) for p in paths}
    assert sorted(map(tuple, df[COLUMNS[2:]].to_numpy().tolist())) == sorted(
        row for rows in want.values() for row in rows)


def test_column_types_and_order(client, folder):
    ddf = srdask.read_sessions([str(folder / "**" / "*.jsonl")])
    assert list(ddf.columns) == COLUMNS
    df = ddf.compute()
    for frame in (ddf._meta, df):
        assert [str(t) for t in frame.dtypes] == [str(pd.StringDtype("pyarrow"))] * 6
    assert len(df) > 0


def test_a_missing_file_gives_no_rows_and_no_failure(client, folder):
    ddf = srdask.read_sessions(str(folder), files_per_partition=1)
    gone = next(folder.rglob("rollout-copy-1.jsonl"))
    gone.unlink()                      # after the listing, before the reading
    df = ddf.compute()
    assert str(gone) not in set(df.path) and len(set(df.path)) == len(list(folder.rglob("*.jsonl")))


def test_memory_filesystem(folder):
    fs = fsspec.filesystem("memory")
    sources = sorted(folder.rglob("*.jsonl"))
    for i, p in enumerate(sources):
        fs.pipe("/sessions-test/%s/%d-%s" % (p.parent.name, i, p.name), p.read_bytes())
    try:
        ddf = srdask.read_sessions("memory://sessions-test", include_tools=True, files_per_partition=3)
        # the memory filesystem lives in this process only: read it here, not on the cluster's workers
        df = ddf.compute(scheduler="threads")
    finally:
        fs.rm("/sessions-test", recursive=True)
    assert all(p.startswith("memory://sessions-test/") for p in df.path)
    assert sorted(map(tuple, df[COLUMNS[2:]].to_numpy().tolist())) == sorted(
        row for rows in expected([str(p) for p in sources], True).values() for row in rows)


def test_the_readme_example_runs_as_written(tmp_path):
    readme = (REPO / "README.md").read_text()
    script = tmp_path / "weekly.py"
    script.write_text(readme.split("Prompts per week")[1].split("```python\n")[1].split("```")[0])
    proc = subprocess.run([sys.executable, str(script)], cwd=REPO, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "2026-W45    6" in proc.stdout and "2026-W46    4" in proc.stdout


def test_partitions_balanced_by_bytes():
    items = [("f%d" % i, size, None) for i, size in enumerate([10, 10, 10, 50, 5, 5, 100, 1])]
    assert [[name for name, _, _ in g] for g in srdask.partition(items, partition_bytes=30)] == [
        ["f0", "f1", "f2"], ["f3"], ["f4", "f5"], ["f6"], ["f7"]]
    assert [len(g) for g in srdask.partition(items, files_per_partition=3)] == [3, 3, 2]
    assert srdask.partition([]) == []


def test_default_places_and_errors(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("CLAUDE_CONFIG_DIR", raising=False)
    monkeypatch.delenv("CODEX_HOME", raising=False)
    assert len(srdask.read_sessions().compute(scheduler="sync")) == 0
    shutil.copytree(REPO / "examples" / "sessions" / "codex", tmp_path / ".codex")
    df = srdask.read_sessions().compute(scheduler="sync")
    assert set(df.agent) == {"codex"} and len(df) == len(sessionrows.extract_codex(df.path.iloc[0]))
    with pytest.raises(FileNotFoundError):
        srdask.read_sessions(str(tmp_path / "nothing-*.jsonl"))
