"""The archive: a history in a temporary HOME whose logs are deleted between runs as
the assistants' cleanup deletes them stays searchable, readable and restorable;
nothing is lost or counted twice when a run is killed, the disk is full, a member
is damaged or two processes run at once; forget removes a session for good."""

import errno
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import threading

import pytest

from sessionrows import _search, archive, commands
from sessionrows.index import Filters
from sessionrows.query import parse
from test_cli import EXAMPLES, STAGING, UPLOAD, append, hits, run

DATA = os.path.join(".local", "share", "sessionrows")


@pytest.fixture
def home(own_home):
    shutil.copytree(EXAMPLES / "claude", own_home / ".claude")
    shutil.copytree(EXAMPLES / "codex", own_home / ".codex")
    return own_home


def log_of(home, session):
    return next(p for p in home.rglob("*.jsonl") if session in p.name)


def catalog(home):
    a = archive.Archive(str(home / DATA))
    a.open()
    return a


def test_logs_deleted_by_the_cleanup_are_still_found_shown_and_restorable(home):
    run(home, "index", check=0)
    _, shown_before, _ = run(home, "show", STAGING, "--json", check=0)
    _, stats_before, _ = run(home, "stats", "--json", check=0)
    log = log_of(home, STAGING)
    original = log.read_bytes()
    log.unlink()                                        # as a cleanup deletes it
    found = hits(home, "docker")
    assert found and all(h["archived"] and h["path"] == str(log) and h["gone_since"] for h in found)
    _, shown, _ = run(home, "show", STAGING, "--json", check=0)
    assert [dict(r, archived=False) for r in map(json.loads, shown.splitlines())] == \
        [json.loads(r) for r in shown_before.splitlines()]
    _, text, _ = run(home, "show", STAGING, check=0)
    assert "read from the archive" in text
    stats = json.loads(run(home, "stats", "--json", check=0)[1])
    assert stats["agents"] == json.loads(stats_before)["agents"]
    assert stats["archive"]["sessions_kept"] == 1 and stats["archive"]["kept_by_agent"] == {"codex": 1}
    shutil.rmtree(home / ".cache")                      # the cache is only a cache
    assert hits(home, "docker") and hits(home, "flaky upload")
    _, out, _ = run(home, "restore", STAGING[:8], check=0)
    assert log.read_bytes() == original and "codex resume " + STAGING in out
    _, out, _ = run(home, "restore", STAGING, check=0)        # the same file there: nothing to do
    assert "already in place" in out and log.read_bytes() == original
    assert not any(h["archived"] for h in hits(home, "docker"))


def test_the_history_is_whole_for_the_server_and_the_interface(home, monkeypatch):
    run(home, "index", check=0)
    log_of(home, UPLOAD).unlink()
    opened = commands.open_index()
    with opened.index:
        found = commands.search_opened(opened, parse("flaky upload"), Filters(), 10)
        assert found.hits and found.hits[0].gone_since
        t = commands.load_session(UPLOAD[:8], opened=opened)
        assert t.archived and t.rows and t.title == "Fix the flaky upload test"
        listed = commands.list_sessions(opened=opened)
        assert UPLOAD in {s.session_id for s in listed}
    from sessionrows import transcripts
    page = transcripts.render(t, "markdown")
    assert "flaky" in page


def test_a_log_that_grew_after_it_was_archived_keeps_its_new_lines(home):
    run(home, "index", check=0)
    log = log_of(home, UPLOAD)
    append(log, {"type": "user", "sessionId": UPLOAD, "cwd": "/home/ada/src/uploader",
                 "timestamp": "2026-11-07T10:00:00.000Z", "message": {"role": "user", "content": "zanzibar"}})
    grown = log.read_bytes()
    run(home, "index", check=0)
    entry = catalog(home).current([str(log)])[str(log)]
    assert (entry.size, entry.version) == (len(grown), 1)
    assert _frames(entry.member) == 2                  # the new bytes came as one more frame
    log.unlink()
    assert hits(home, "zanzibar")[0]["archived"] is True
    run(home, "restore", UPLOAD, check=0)
    assert log.read_bytes() == grown


def _frames(member):
    """The zstd frames in a member (each begins with the magic 28 b5 2f fd)."""
    return open(member, "rb").read().count(b"\x28\xb5\x2f\xfd")


def test_a_log_rewritten_in_place_keeps_its_earlier_version(home):
    run(home, "index", check=0)
    log = log_of(home, UPLOAD)
    before = log.read_bytes()
    log.write_bytes(before.replace(b"flaky", b"wobbly"))
    run(home, "index", check=0)
    versions = catalog(home).versions(str(log))
    assert [v.version for v in versions] == [1, 2]
    assert catalog(home).unpack(versions[0]) == before and b"wobbly" in catalog(home).unpack(versions[1])


def test_forget_removes_every_word_and_restore_then_fails(home):
    run(home, "index", check=0)
    log = log_of(home, STAGING)
    log.unlink()
    code, _, err = run(home, "forget", STAGING)            # no terminal to ask on, no --yes: refuses
    assert code == 2 and "--yes" in err and hits(home, "docker")
    member = catalog(home).current([str(log)])[str(log)].member
    run(home, "forget", STAGING, "--yes", check=0)
    assert hits(home, "docker") == [] and hits(home, "docker", "--context") == [] and not os.path.exists(member)
    code, _, err = run(home, "restore", STAGING)
    assert code == 2 and err.count("\n") == 1
    index = home / ".cache" / "sessionrows"
    for f in index.glob("index.sqlite*"):       # not a word of it left in the index's files
        assert b"staging-api-1" not in f.read_bytes(), f


def test_forget_before_a_date_and_a_log_still_in_place_is_not_read_again(home):
    run(home, "index", check=0)
    _, out, err = run(home, "forget", "--before", "2026-11-04", "--yes", check=0)
    assert "Fix the flaky upload test" in out and "still in its place" in err
    assert hits(home, "flaky upload") == []
    run(home, "index", check=0)
    assert hits(home, "flaky upload") == [] and hits(home, "docker")


def test_a_run_killed_between_writing_a_member_and_recording_it_is_completed(home):
    run(home, "index", check=0)
    log = log_of(home, UPLOAD)
    append(log, {"type": "user", "sessionId": UPLOAD, "message": {"role": "user", "content": "quokka"}})
    code = r"""
import os, signal
from sessionrows import archive, cli
append = archive.Archive._append
def appended_then_killed(member, counted, frame):
    append(member, counted, frame)
    os.kill(os.getpid(), signal.SIGKILL)
archive.Archive._append = staticmethod(appended_then_killed)
cli.main(["index"])
"""
    env = dict(os.environ, HOME=str(home))
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True)
    assert proc.returncode == -signal.SIGKILL
    entry = catalog(home).current([str(log)])[str(log)]
    assert entry.size < log.stat().st_size and os.path.getsize(entry.member) > entry.stored   # written, not counted
    run(home, "index", check=0)
    entry = catalog(home).current([str(log)])[str(log)]
    assert os.path.getsize(entry.member) == entry.stored and catalog(home).unpack(entry) == log.read_bytes()
    log.unlink()
    assert hits(home, "quokka")


def test_a_full_disk_leaves_the_index_and_the_archive_as_they_were(home, monkeypatch):
    run(home, "index", check=0)
    log = log_of(home, UPLOAD)
    append(log, {"type": "user", "sessionId": UPLOAD, "message": {"role": "user", "content": "quokka"}})
    before = catalog(home).current([str(log)])[str(log)]
    write = os.write

    def full(fd, data):
        if os.readlink("/proc/self/fd/%d" % fd).endswith(".zst"):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return write(fd, data)
    monkeypatch.setattr(os, "write", full)
    with pytest.raises(commands.IndexProblem, match="full"):
        commands.open_index()
    monkeypatch.setattr(os, "write", write)
    assert catalog(home).current([str(log)])[str(log)] == before
    assert os.path.getsize(before.member) == before.stored
    opened = commands.open_index(update=False)
    with opened.index:
        assert commands.search_opened(opened, parse("quokka"), Filters(), 10).hits == []
    assert hits(home, "quokka")                       # the next run brings both up to date
    assert catalog(home).unpack(catalog(home).current([str(log)])[str(log)]) == log.read_bytes()


@pytest.mark.parametrize("damage", ["flipped", "truncated"])
def test_a_damaged_member_is_reported_and_never_deleted(home, damage):
    run(home, "index", check=0)
    log = log_of(home, UPLOAD)
    log.unlink()
    run(home, "index", check=0)
    member = catalog(home).current([str(log)])[str(log)].member
    data = bytearray(open(member, "rb").read())
    if damage == "flipped":
        data[len(data) // 2] ^= 0xFF
    else:
        del data[len(data) // 2:]
    open(member, "wb").write(bytes(data))
    code, _, err = run(home, "show", UPLOAD)
    assert code == 2 and "damaged" in err and str(log) in err and err.count("\n") == 1
    assert hits(home, "docker")                         # every other session is unaffected
    run(home, "index", check=0)
    assert os.path.exists(member) and open(member, "rb").read() == bytes(data)
    assert hits(home, "flaky upload")                   # what the index holds of it is still found


def test_two_processes_at_once_both_succeed_and_nothing_is_archived_twice(home):
    for i in range(30):
        shutil.copy(log_of(home, STAGING), home / ".codex" / "sessions" / ("rollout-copy-%02d.jsonl" % i))
    results = []
    threads = [threading.Thread(target=lambda: results.append(run(home, "index"))) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [r[0] for r in results] == [0, 0], results
    kept = catalog(home)
    for log in home.rglob("*.jsonl"):
        entry = kept.current([str(log)])[str(log)]
        assert os.path.getsize(entry.member) == entry.stored and kept.unpack(entry) == log.read_bytes()
    assert kept.totals()[0] == 34


def test_the_archive_is_private_whatever_the_umask_and_follows_no_link(home, tmp_path):
    p = subprocess.run(["sh", "-c", "umask 000 && exec \"$@\"", "sh", sys.executable, "-m", "sessionrows", "index"],
                       env=dict(os.environ, HOME=str(home)), capture_output=True, text=True)
    assert p.returncode == 0, p.stderr
    folder = home / DATA
    for path in [folder] + list(folder.rglob("*")):
        want = 0o700 if path.is_dir() else 0o600
        assert stat.S_IMODE(path.lstat().st_mode) == want, path
    shutil.rmtree(folder / "logs")
    (tmp_path / "elsewhere").mkdir()
    (folder / "logs").symlink_to(tmp_path / "elsewhere")
    shutil.rmtree(home / ".cache")
    code, _, err = run(home, "index")
    assert code == 2 and "not a folder" in err and list((tmp_path / "elsewhere").iterdir()) == []


def test_with_the_archive_off_a_deleted_log_leaves_the_history(home, monkeypatch):
    monkeypatch.setenv("SESSIONROWS_ARCHIVE", "off")
    run(home, "index", check=0)
    log_of(home, STAGING).unlink()
    assert hits(home, "docker") == [] and not (home / DATA).exists()


def test_packing_while_reading_gives_the_log_exactly(tmp_path):
    """The native packing: a frame per growth, the prefix checked, bytes as they are."""
    log = tmp_path / "log.jsonl"
    log.write_bytes(b'{"type":"user","message":{"role":"user","content":"caf\xc3\xa9"}}\n' * 500 + b"torn")
    first = _search.pack([(str(log), 0, 0)])[0]
    size, digest, same, frame, error = first
    assert (size, same, error) == (log.stat().st_size, True, None) and digest == _search.digest(log.read_bytes())
    with open(log, "ab") as f:
        f.write(b" line\n")
    grown = _search.pack([(str(log), size, digest)])[0]
    member = tmp_path / "m.zst"
    member.write_bytes(frame + grown[3])
    assert grown[2] is True and _search.unpack(str(member), grown[0]) == log.read_bytes()
    assert _search.pack([(str(log), size, digest ^ 1)])[0][2:4] == (False, None)      # rewritten: no frame
    assert _search.digest(b"") == 0xEF46DB3751D8E999 and _search.digest(b"abc") == 0x44BC2CF5AD770999    # XXH64
    with pytest.raises(OSError):
        _search.unpack(str(member), grown[0] + 1)      # fewer bytes than it must give: damaged


def test_the_search_reading_packs_the_log_it_reads(tmp_path):
    log = tmp_path / "log.jsonl"
    log.write_bytes(b'{"type":"user","sessionId":"s","message":{"role":"user","content":"hello"}}\n')
    facts, rows, packed = _search.read([("claude", str(log), 0, 0, ("pack", (0, 0, 3)))])[0]
    assert rows[0][6] == "hello" and packed[:3] == (log.stat().st_size, _search.digest(log.read_bytes()), True)
    member = tmp_path / "m.zst"
    member.write_bytes(packed[3])
    again = _search.read([("claude", str(tmp_path / "gone.jsonl"), 0, 0, ("member", str(member), packed[0]))])[0]
    assert again[1] == rows and again[2][1] == packed[1]
