"""Session logs as a Dask DataFrame: `read_sessions` lists the files once, on the
client, groups them into partitions of about the same number of bytes, and each
partition reads its files with one `read_arrow` call on the Dask worker that runs it.

Needs the extra `sessionrows[dask]` (dask.dataframe, distributed, pyarrow, fsspec);
nothing of it is imported unless this module is.

Each partition reads with the one thread Dask runs it on (`read_arrow(..., threads=1)`),
so a worker's native threads never add to its Dask threads: give the cluster one
Dask thread per core, as worker processes with one thread each (measured faster
here than one process whose partitions use every core; see bench/sessions_dask.py).
The Dask config key "sessionrows.partition-threads" changes the number of native
threads a partition uses, for workers that run one task at a time on several cores.
"""

from __future__ import annotations

import glob
import os
import shutil
import tempfile
from typing import Dict, Iterable, List, Optional, Sequence, Tuple, Union

import dask
import dask.dataframe as dd
import fsspec
import pandas as pd
import pyarrow as pa

from . import read_arrow
from .discovery import default_roots, detect_agent, find_logs

COLUMNS = ("path", "agent", "role", "text", "timestamp", "source")
# Partitions aim at this many bytes of logs: a partition's rows then take some tens
# of MB in memory (the rows' text is about a tenth of a log's bytes), and a history of
# a few GB still splits into enough partitions to keep every worker busy.
PARTITION_BYTES = 128 << 20

Item = Tuple[str, int, Optional[str]]  # (path or URL, size in bytes, agent if known from where it lies)


def _string() -> pd.StringDtype:
    return pd.StringDtype("pyarrow")


def _meta() -> pd.DataFrame:
    return pd.DataFrame({name: pd.Series([], dtype=_string()) for name in COLUMNS})


def _is_url(path: str) -> bool:
    return "://" in path and not path.startswith("file://")


def _local(path: str) -> str:
    return path[len("file://"):] if path.startswith("file://") else path


def list_files(paths: Union[None, str, Sequence[str]] = None,
               storage_options: Optional[dict] = None) -> List[Item]:
    """The session logs named by `paths` (folders, files, globs, fsspec URLs), or in
    the default places when it is None, each once, in the order given."""
    if paths is None:
        return [(log.path, log.size, log.agent) for log in find_logs(None)]
    if isinstance(paths, (str, os.PathLike)):
        paths = [os.fspath(paths)]
    items: List[Item] = []
    local: List[str] = []

    def flush_local() -> None:
        if local:
            items.extend((log.path, log.size, log.agent) for log in find_logs(local))
            local.clear()

    for path in map(os.fspath, paths):
        if _is_url(path):
            flush_local()
            items.extend(_remote_files(path, storage_options or {}))
            continue
        path = _local(path)
        if glob.has_magic(path):
            matches = sorted(glob.glob(path, recursive=True))
            if not matches:
                raise FileNotFoundError("no file matches %s" % path)
            local.extend(matches)
        else:
            local.append(path)
    flush_local()
    seen = set()
    unique = []
    for item in items:
        if item[0] not in seen:
            seen.add(item[0])
            unique.append(item)
    return unique


def _remote_files(url: str, storage_options: dict) -> Iterable[Item]:
    fs, root = fsspec.core.url_to_fs(url, **storage_options)
    if glob.has_magic(root):
        found = fs.glob(root, detail=True)
    elif fs.isdir(root):
        found = {p: info for p, info in fs.find(root, detail=True).items() if p.endswith(".jsonl")}
    else:
        found = {root: fs.info(root)}
    if not found:
        raise FileNotFoundError("no file at %s" % url)
    base = root.rstrip("/")
    for p in sorted(found):
        info = found[p]
        if info.get("type", "file") == "file":
            # below a folder the caller named, the URL is spelled as the caller spelled it
            name = url.rstrip("/") + p[len(base):] if p.startswith(base + "/") else fs.unstrip_protocol(p)
            yield name, int(info.get("size") or 0), None


def partition(items: Sequence[Item], files_per_partition: Optional[int] = None,
              partition_bytes: Optional[int] = None) -> List[List[Item]]:
    """Consecutive groups of files: of `files_per_partition` files each if given, else
    of about `partition_bytes` (PARTITION_BYTES) bytes; a larger file makes a
    partition of its own."""
    partition_bytes = partition_bytes or PARTITION_BYTES
    if files_per_partition:
        n = max(1, int(files_per_partition))
        return [list(items[i:i + n]) for i in range(0, len(items), n)]
    groups: List[List[Item]] = []
    group: List[Item] = []
    size = 0
    for item in items:
        if group and size + item[1] > partition_bytes:
            groups.append(group)
            group, size = [], 0
        group.append(item)
        size += item[1]
    if group:
        groups.append(group)
    return groups


def _fetch(items: Sequence[Item], folder: str, storage_options: dict) -> Dict[str, str]:
    """Copies the remote files among `items` into `folder`: {URL: local copy}. A file
    that cannot be copied is left out."""
    copies = {}
    for i, (url, _, _) in enumerate(items):
        if not _is_url(url):
            continue
        local = os.path.join(folder, "%d.jsonl" % i)
        try:
            fs, remote = fsspec.core.url_to_fs(url, **storage_options)
            fs.get_file(remote, local)
        except (OSError, ValueError):
            continue
        copies[url] = local
    return copies


def read_partition(items: Sequence[Item], include_tools: bool = False, storage_options: Optional[dict] = None,
                   threads: int = 1) -> pd.DataFrame:
    """The rows of one group of files, read by one `read_arrow` call. A file that is
    missing or unreadable now gives no rows."""
    folder = tempfile.mkdtemp(prefix="sessionrows-") if any(_is_url(i[0]) for i in items) else None
    try:
        copies = _fetch(items, folder, storage_options or {}) if folder else {}
        jobs, names, agents = [], [], []
        roots = default_roots()
        for path, _, agent in items:
            local = copies.get(path) if _is_url(path) else path
            if local is None:
                continue
            if agent is None:
                try:
                    agent = detect_agent(local, roots=() if _is_url(path) else roots)
                except OSError:
                    continue
                if agent is None:
                    continue
            jobs.append((agent, local))
            names.append(path)
            agents.append(agent)
        table = pa.table(read_arrow(jobs, include_tools, threads=threads))
    finally:
        if folder:
            shutil.rmtree(folder, ignore_errors=True)
    job = table.column("job")
    columns = {"path": pa.array(names, pa.string()).take(job), "agent": pa.array(agents, pa.string()).take(job)}
    for name in COLUMNS[2:]:
        columns[name] = table.column(name)
    out = pa.table(columns).to_pandas(types_mapper={pa.string(): _string()}.get)
    return out


def read_sessions(paths: Union[None, str, Sequence[str]] = None, include_tools: bool = False,
                  files_per_partition: Optional[int] = None,
                  storage_options: Optional[dict] = None) -> dd.DataFrame:
    """The rows of many session logs as a Dask DataFrame with the columns path, agent,
    role, text, timestamp and source (pyarrow-backed strings).

    `paths`: folders, files, globs and fsspec URLs (s3://, gs://, memory://, ...);
    None reads the default places that the `sessionrows` command reads. Partitions
    hold about PARTITION_BYTES bytes of logs each, or `files_per_partition` files.
    Remote files are copied to a temporary folder for their partition and removed
    after it; local files are read in place. `path` is each file as given or found
    (a local path, or the URL of a remote file)."""
    items = list_files(paths, storage_options)
    groups = partition(items, files_per_partition)
    threads = int(dask.config.get("sessionrows.partition-threads", 1))
    if not groups:
        return dd.from_pandas(_meta(), npartitions=1)
    # The partitions hold pyarrow strings already: Dask's conversion of object columns
    # to strings would only add a task per partition.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_map(read_partition, groups, include_tools=include_tools, storage_options=storage_options,
                           threads=threads, meta=_meta(), label="read-sessions", enforce_metadata=False)
