"""The walk over the places where logs are, compared with what the index knows,
against a plain reference walk written here with os.walk."""

import fnmatch
import os
import shutil

import pytest

from sessionrows import discovery
from sessionrows.discovery import Root

CLAUDE, CODEX = "claude", "codex"


def reference(roots):
    """Every regular file whose name fits its root's pattern, links to folders not
    followed, as (absolute path, size, mtime_ns, inode, agent)."""
    found = {}
    for root in roots:
        for folder, dirs, files in os.walk(root.path):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(folder, name)
                if not fnmatch.fnmatch(name, root.pattern):
                    continue
                try:
                    st = os.stat(path)
                except OSError:
                    continue
                if os.path.isfile(path) and st.st_ino not in {v[2] for v in found.values()}:
                    found[path] = (st.st_size, st.st_mtime_ns, st.st_ino, root.agent)
    return found


def known_blob(found):
    return b"".join(os.fsencode(p) + b"\0" + b"%d %d %d\0" % v[:3] for p, v in found.items())


def as_dict(changes):
    return {log.path: (log.size, log.mtime_ns, log.inode, log.agent) for log in changes.fresh}


@pytest.fixture
def places(tmp_path):
    claude = tmp_path / "claude" / "projects"
    codex = tmp_path / "codex" / "sessions"
    for i in range(3):
        folder = claude / ("-home-p%d" % i)
        (folder / "sub" / "subagents").mkdir(parents=True)
        (folder / ("s%d.jsonl" % i)).write_text("{}\n" * (i + 1))
        (folder / "sub" / "subagents" / "agent-a.jsonl").write_text("{}\n")
        (folder / "notes.txt").write_text("not a log")
    day = codex / "2026" / "11" / "06"
    day.mkdir(parents=True)
    (day / "rollout-2026-11-06T10-00-00-a.jsonl").write_text("{}\n")
    (day / "other.jsonl").write_text("{}\n")                       # not a rollout: not Codex's
    os.symlink(str(claude / "-home-p0"), str(claude / "link-to-folder"))         # not followed
    (tmp_path / "target.jsonl").write_text("{}\n")
    os.symlink(str(tmp_path / "target.jsonl"), str(claude / "link.jsonl"))        # followed
    os.link(str(day / "rollout-2026-11-06T10-00-00-a.jsonl"), str(day / "rollout-b.jsonl"))  # listed once
    os.mkfifo(str(claude / "pipe.jsonl"))                                         # never opened
    odd = claude / os.fsdecode(b"caf\xe9")
    odd.mkdir()
    (odd / "s.jsonl").write_text("{}\n")
    return [Root(CLAUDE, str(claude), "*.jsonl"), Root(CODEX, str(codex), "rollout-*.jsonl"),
            Root(CODEX, str(tmp_path / "codex" / "archived_sessions"), "rollout-*.jsonl")]


def test_the_walk_finds_what_a_plain_walk_finds(places):
    problems = []
    got = discovery.changes(None, roots=places, on_error=problems.append)
    assert as_dict(got) == reference(places) and got.found == len(reference(places))
    assert got.gone == [] and [os.path.basename(e.filename) for e in problems] == ["pipe.jsonl"]
    # within a folder its files come in name order, then its subfolders
    paths = [log.path for log in got.fresh]
    assert paths.index(places[0].path + "/-home-p0/s0.jsonl") < paths.index(
        places[0].path + "/-home-p0/sub/subagents/agent-a.jsonl")


def test_the_walk_reports_only_what_changed(places, tmp_path):
    before = reference(places)
    claude = places[0].path
    grown = claude + "/-home-p0/s0.jsonl"
    with open(grown, "a") as f:
        f.write("{}\n")
    # replaced by a file of the same size and modification time: a new inode tells it
    replaced = claude + "/-home-p1/s1.jsonl"
    st = os.stat(replaced)
    shutil.copyfile(replaced, replaced + ".new")
    os.utime(replaced + ".new", ns=(st.st_atime_ns, st.st_mtime_ns))
    os.replace(replaced + ".new", replaced)
    os.unlink(claude + "/-home-p2/s2.jsonl")
    new = claude + "/-home-p2/s9.jsonl"
    open(new, "w").close()
    outside_kept = str(tmp_path / "elsewhere.jsonl")          # known, out of the scope, still there
    open(outside_kept, "w").close()
    outside_gone = str(tmp_path / "deleted-elsewhere.jsonl")  # known, out of the scope, gone
    known = dict(before)
    known[outside_kept] = known[outside_gone] = (1, 1, 1, CLAUDE)
    half = list(known.items())
    blobs = [known_blob(dict(half[::2])), known_blob(dict(half[1::2])), None]   # shards
    got = discovery.changes(None, blobs, roots=places)
    assert sorted(as_dict(got)) == sorted([grown, replaced, new])
    assert sorted(got.gone) == sorted([claude + "/-home-p2/s2.jsonl", outside_gone])
    assert got.found == len(before) + 1 - 1


def test_named_paths_are_made_absolute_and_unreadable_places_keep_their_logs(places, monkeypatch):
    claude = places[0].path
    monkeypatch.chdir(claude)
    got = discovery.changes(["-home-p0"], roots=places)
    assert sorted(log.path for log in got.fresh) == [claude + "/-home-p0/s0.jsonl",
                                                     claude + "/-home-p0/sub/subagents/agent-a.jsonl"]
    assert {log.agent for log in got.fresh} == {CLAUDE}          # the default place tells the agent
    with pytest.raises(FileNotFoundError):
        discovery.changes(["missing"], roots=places)
    if os.geteuid() == 0:
        pytest.skip("root reads any folder")
    locked = claude + "/-home-p1"
    os.chmod(locked, 0)
    try:
        problems = []
        got = discovery.changes(None, [known_blob(reference(places))], roots=places, on_error=problems.append)
    finally:
        os.chmod(locked, 0o755)
    assert got.gone == [] and locked in [e.filename for e in problems]   # nothing below it is gone
