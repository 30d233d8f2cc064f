"""The sessionrows command end to end, through the installed console script, in a
temporary HOME that holds the example sessions of both agents in their default places."""

import csv
import io
import json
import os
import re
import pathlib
import shutil
import sqlite3
import stat
import subprocess
import sys

import pytest

from conftest import REPO
import sessionrows

EXAMPLES = REPO / "examples" / "sessions"
UPLOAD = "7f3c1a52-6d0e-4b1a-9a53-2c8e5f0d41aa"
STAGING = "019a7c3e-5f21-7d40-b8e2-6c1f0a9d2b57"
SCRIPT = pathlib.Path(sys.executable).with_name("sessionrows")
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "sessionrows"]


@pytest.fixture
def home(tmp_path):
    """A HOME with the example sessions where Claude Code and Codex keep theirs."""
    home = tmp_path / "home"
    shutil.copytree(EXAMPLES / "claude", home / ".claude")
    shutil.copytree(EXAMPLES / "codex", home / ".codex")
    return home


def env_for(home, **extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("CLAUDE_CONFIG_DIR", "CODEX_HOME", "XDG_CACHE_HOME", "NO_COLOR")}
    env.update(HOME=str(home), TZ="UTC", **extra)
    return env


def run(home, *args, env=None, check=None):
    """Runs the console script; returns (exit status, stdout, stderr)."""
    proc = subprocess.run(COMMAND + list(args), capture_output=True, text=True, env=env or env_for(home),
                          timeout=120)
    if check is not None:
        assert proc.returncode == check, proc.stderr
    return proc.returncode, proc.stdout, proc.stderr


def hits(home, *args):
    code, out, err = run(home, "search", *args, "--json")
    assert code in (0, 1), err
    return [json.loads(line) for line in out.splitlines()]


def logs(home):
    return sorted(p for p in home.rglob("*.jsonl"))


def kind_of(path):
    return "codex" if "/.codex/" in str(path) else "claude"


def test_search_finds_phrases_and_identifiers(home):
    top = hits(home, "flaky upload")[0]
    assert (top["session_id"], top["agent"], top["role"], top["title"]) == (UPLOAD, "claude", "user",
                                                                             "Fix the flaky upload test")
    assert top["cwd"] == "/home/ada/src/uploader" and top["text"].startswith("The upload test")
    assert {top["snippet"][a:b].lower() for a, b in top["matches"]} == {"upload", "flaky"}
    assert top["resume"] == "cd /home/ada/src/uploader && claude --resume " + UPLOAD
    # the row number is the row's place in what show gives of its session
    _, out, _ = run(home, "show", top["session"], "--json", check=0)
    assert json.loads(out.splitlines()[top["row"]])["text"] == top["text"]
    # punctuation, stray quotes and brackets are taken literally
    for query in ["UploadSession.resume_from(offset)", 'resume_from("', "(offset", '"retry_after()"']:
        found = hits(home, query)
        assert found and ("resume_from" in found[0]["text"] or "retry_after" in found[0]["text"]), query
    assert hits(home, '"upload test in tests"')[0]["row"] == top["row"]   # an exact phrase
    assert hits(home, '"upload flaky"') == []                             # ... in that order only
    assert hits(home, "flak*")[0]["session_id"] == UPLOAD                  # a prefix


@pytest.mark.parametrize("args, check", [
    (["--agent", "codex"], lambda h: h["agent"] == "codex"),
    (["--agent", "claude"], lambda h: h["agent"] == "claude"),
    (["--role", "user"], lambda h: h["role"] == "user"),
    (["--role", "tool"], lambda h: h["role"] == "tool"),
    (["--project", "INFRA"], lambda h: h["cwd"] == "/home/ada/src/infra"),
    (["--since", "2026-11-06"], lambda h: h["timestamp"] >= "2026-11-06"),
    (["--until", "2026-11-05"], lambda h: "" < h["timestamp"] < "2026-11-06"),
    (["--since", "2026-11-06T16:01", "--until", "2026-11-06T16:01"],
     lambda h: "2026-11-06T16:01" <= h["timestamp"] < "2026-11-06T16:02"),
    (["-n", "2"], lambda h: True),
], ids=lambda a: " ".join(a) if isinstance(a, list) else "")
def test_search_filters(home, args, check):
    every = hits(home, "the", "-n", "100")
    found = hits(home, "the", "-n", "100", *args)
    assert found and all(check(h) for h in found)
    assert len(found) == (2 if "-n" in args else len([h for h in every if check(h)]))


def test_search_ranks_best_first_and_marks_injected_text(home):
    found = hits(home, "docker")
    assert [h["score"] for h in found] == sorted(h["score"] for h in found)
    # instructions and environment wrappers are left out unless asked for, and marked then
    assert hits(home, "make lint") == []
    injected = hits(home, "make lint", "--context")
    assert [h["context"] for h in injected] == [True] and injected[0]["role"] == "user"


def test_a_codex_message_stored_twice_is_one_hit(home):
    found = hits(home, "restart only the api service")
    assert len(found) == 1 and found[0]["session_id"] == STAGING
    assert len(hits(home, "cannot reach Postgres")) == 1


def append(path, line):
    with open(path, "a") as f:
        f.write(json.dumps(line) + "\n")


@pytest.mark.parametrize("archiving", ["on", "off"])
def test_the_index_follows_grown_rewritten_and_deleted_logs(home, archiving, monkeypatch):
    monkeypatch.setenv("SESSIONROWS_ARCHIVE", archiving)
    claude_log = next(p for p in logs(home) if p.name == UPLOAD + ".jsonl")
    codex_log = next(p for p in logs(home) if STAGING in p.name)
    assert hits(home, "zanzibar") == []
    append(claude_log, {"type": "user", "sessionId": UPLOAD, "cwd": "/home/ada/src/uploader",
                        "timestamp": "2026-11-07T10:00:00.000Z", "message": {"role": "user", "content": "zanzibar"}})
    grown = hits(home, "zanzibar")
    _, shown, _ = run(home, "show", UPLOAD, "--json", check=0)
    assert [(h["session_id"], h["row"]) for h in grown] == [(UPLOAD, len(shown.splitlines()) - 1)]
    assert len(hits(home, "flaky upload")) == 1                      # the rows already there stay once
    claude_log.write_text(claude_log.read_text().replace("flaky", "wobbly"))   # rewritten in place
    assert hits(home, "flaky upload") == [] and len(hits(home, "wobbly upload")) == 1
    assert len(hits(home, "zanzibar")) == 1
    codex_log.unlink()
    docker = hits(home, "docker")
    if archiving == "off":      # a log deleted from its place leaves the index
        assert docker == [] and hits(home, "zanzibar")
    else:                       # ... or is read from the archive, where it was kept
        assert docker and {(h["archived"], h["path"]) for h in docker} == {(True, str(codex_log))}
        assert hits(home, "zanzibar")[0]["archived"] is False
    _, _, err = run(home, "index", check=0)
    assert "0 new" in err and "3 logs in scope" in err


@pytest.mark.parametrize("crash", ["process", "machine"])
def test_an_interrupted_index_run_is_completed_by_the_next(home, tmp_path, crash):
    # Many small batches; the process kills itself after the first batch is committed and
    # again in the middle of the second one (rows written, not committed).
    for i in range(12):
        shutil.copy(next(p for p in logs(home) if STAGING in p.name),
                    home / ".codex" / "sessions" / ("rollout-copy-%02d.jsonl" % i))
    code = r"""
import os, signal, sys
from sessionrows import commands, index, reader
reader.BATCH_BYTES = 1
finish, calls = index.Index._finish, []
def dying(db, spans):
    calls.append(1)
    if len(calls) == 2:
        os.kill(os.getpid(), signal.SIGKILL)
    finish(db, spans)
index.Index._finish = staticmethod(dying)
commands.open_index()
"""
    proc = subprocess.run([sys.executable, "-c", code], env=env_for(home), capture_output=True, text=True)
    assert proc.returncode == -9, proc.stderr
    from sessionrows.index import AUTOMERGE, shard_path
    path = home / ".cache" / "sessionrows" / "index.sqlite"

    def each_shard(sql):
        out = []
        for shard in range(4):
            if os.path.exists(shard_path(str(path), shard)):
                db = sqlite3.connect(shard_path(str(path), shard))
                out.append(db.execute(sql).fetchone()[0])
                db.close()
        return out
    committed = sum(each_shard("SELECT count(*) FROM files"))
    assert committed < 16                    # the run was cut short, what it committed is kept
    automerge = "SELECT coalesce(max(v), %d) FROM rows_fts_config WHERE k = 'automerge'" % AUTOMERGE
    assert 0 in each_shard(automerge)        # a first build merges its segments once, at its end
    if crash == "machine":
        # A first build does not wait for the disk: a crash of the machine may lose
        # pages of it. The next run finds the damage and starts afresh.
        shard = shard_path(str(path), each_shard(automerge).index(0))
        db = sqlite3.connect(shard)
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        page = db.execute("PRAGMA page_size").fetchone()[0]
        db.close()
        with open(shard, "r+b") as f:
            f.seek(page)
            f.write(b"\xff" * page)
        committed = 0
    _, _, err = run(home, "index", check=0)
    assert "16 logs in scope: %d new" % (16 - committed) in err
    assert set(each_shard(automerge)) == {AUTOMERGE}     # ... also when another run completes it
    found = hits(home, "restart only the api", "-n", "50")
    assert len(found) == 13 and len({h["path"] for h in found}) == 13
    fresh = hits(home, "restart only the api", "-n", "50", "--index", str(tmp_path / "fresh.sqlite"))
    assert sorted((h["path"], h["row"]) for h in fresh) == sorted((h["path"], h["row"]) for h in found)


def test_two_processes_at_once_both_succeed(home):
    procs = [subprocess.Popen(COMMAND + ["search", "docker", "--json"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=env_for(home)) for _ in range(3)]
    outs = [p.communicate(timeout=120) for p in procs]
    assert [p.returncode for p in procs] == [0, 0, 0], [err for _, err in outs]
    assert outs[0][0] == outs[1][0] == outs[2][0] != ""


def test_the_index_is_private(home):
    run(home, "index", check=0)
    folder = home / ".cache" / "sessionrows"
    assert stat.S_IMODE(folder.stat().st_mode) == 0o700
    assert [stat.S_IMODE(p.stat().st_mode) for p in folder.iterdir()] == [0o600] * len(list(folder.iterdir()))


@pytest.mark.parametrize("damage", ["garbage", "truncated", "newer", "foreign"])
def test_an_index_that_cannot_be_used_is_one_clear_error(home, damage):
    run(home, "index", check=0)
    path = home / ".cache" / "sessionrows" / "index.sqlite"
    if damage == "garbage":
        path.write_bytes(b"\x1b[2J not a database " * 500)
    elif damage == "truncated":
        with open(path, "r+b") as f:
            f.truncate(path.stat().st_size // 3)
    else:
        db = sqlite3.connect(str(path))
        db.execute("PRAGMA user_version = 99" if damage == "newer" else "PRAGMA application_id = 7")
        db.commit()
        db.close()
    code, out, err = run(home, "search", "docker")
    assert (code, out) == (2, "") and err.count("\n") == 1 and "Traceback" not in err and "\x1b" not in err
    assert {"garbage": "--rebuild", "truncated": "--rebuild", "newer": "newer", "foreign": "not a sessionrows"}[
        damage] in err
    if damage != "foreign":
        run(home, "index", "--rebuild", check=0)
        assert hits(home, "docker")


def test_errors_are_one_line_and_exit_2(home, tmp_path):
    for args in (["search", "docker", str(tmp_path / "missing")], ["search", "()"], ["search", "x", "--fts", 'a"'],
                 ["stats", str(tmp_path / "missing")], ["show", "no-such-session"], ["search"],
                 ["search", "x", "--since", "last tuesday"]):
        code, out, err = run(home, *args)
        assert (code, out) == (2, ""), args
        assert err.count("\n") == 1 and err.startswith("sessionrows: error:"), (args, err)


def test_an_unreadable_log_is_skipped_with_a_warning(home, tmp_path, monkeypatch):
    from sessionrows import commands, index
    monkeypatch.setenv("HOME", str(home))
    from sessionrows.discovery import LogFile
    warnings = []
    update = index.Index.update

    def with_a_vanished_log(self, fresh, gone, warn, **kw):    # gone between the walk and the reading
        vanished = LogFile(str(tmp_path / "vanished.jsonl"), 10, 1, 1, "claude")
        return update(self, list(fresh) + [vanished], gone, warn, **kw)

    monkeypatch.setattr(index.Index, "update", with_a_vanished_log)
    result = commands.search("docker", index_path=str(tmp_path / "i.sqlite"), warn=warnings.append)
    assert result.hits and [w.path for w in warnings] == [str(tmp_path / "vanished.jsonl")]
    assert "No such file" in warnings[0].message


def test_nothing_found_says_where_it_looked(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    for command in ("search", "stats"):
        code, out, err = run(empty, *([command, "anything"] if command == "search" else [command]))
        assert (code, out) == (1, "") and str(empty / ".claude" / "projects") in err.replace("~", str(empty))


HOSTILE = "ok \x1b]0;pwned\x07\x1b[2J\x1b[31mred\x9b1m \u202edesrever\u202c done"


def test_control_characters_never_reach_the_terminal(home):
    log = home / ".codex" / "sessions" / ("rollout-2026-11-07T00-00-00-%s.jsonl" % ("a" * 8))
    log.write_text("".join(json.dumps(x) + "\n" for x in [
        {"type": "session_meta", "payload": {"id": "hostile\x1b[2J", "cwd": "/tmp/\x1b]0;x\x07"}},
        {"timestamp": "2026-11-07T00:00:00.000Z", "type": "event_msg",
         "payload": {"type": "user_message", "message": "pwned " + HOSTILE}}]))
    for args in (["search", "pwned", "--color", "always"], ["search", "pwned"], ["show", str(log)],
                 ["show", str(log), "--color", "always"], ["stats"]):
        _, out, err = run(home, *args, check=0)
        text = out + err
        printed = text.replace("\x1b[", "")     # rich's own styling: CSI sequences only, checked below
        assert not any(c in printed for c in "\x07\x9b\u202e") and "\x1b" not in printed, args
        assert "\\x1b]0;pwned" in out or args[0] == "stats"
        if "--color" in args:
            assert all(re.fullmatch(r"[0-9;]*m.*", p, re.S) for p in text.split("\x1b[")[1:])
    _, out, _ = run(home, "search", "pwned", "--json", check=0)
    assert json.loads(out)["text"] == "pwned " + HOSTILE        # JSON keeps the text, escaped


def test_show_a_session_and_rows_around_a_hit(home):
    hit = hits(home, "ECONNREFUSED")[0]
    _, whole, _ = run(home, "show", STAGING[:8], check=0)
    assert whole.startswith("The staging containers keep restarting.\n")        # the title: its first sentence
    assert whole.count("Find out why") == 1
    _, near, _ = run(home, "show", STAGING, "--around", str(hit["row"]), "-C", "1", "--json", check=0)
    rows = [json.loads(line) for line in near.splitlines()]
    assert [r["row"] for r in rows] == [hit["row"] - 1, hit["row"], hit["row"] + 1]
    assert rows[1]["text"] == hit["text"]
    _, by_path, _ = run(home, "show", hit["path"], "--json", check=0)
    rows = [json.loads(line)["row"] for line in by_path.splitlines()]
    assert rows == list(range(14))      # the reasoning summary is a row of its own
    twin = home / ".claude" / "projects" / "other" / "7f3c0000-0000-4000-8000-000000000000.jsonl"
    twin.parent.mkdir()
    twin.write_text(next(p for p in logs(home) if p.name == UPLOAD + ".jsonl").read_text().replace(
        UPLOAD, twin.stem))
    code, out, err = run(home, "show", "7f3c")
    assert (code, out) == (2, "") and "is the start of 2 session ids" in err


@pytest.mark.parametrize("fresh", [[], ["--fresh"]])
def test_stats_counts_what_show_shows(home, fresh):
    _, out, _ = run(home, "stats", "--json", *fresh, check=0)
    s = json.loads(out)
    for agent in ("claude", "codex"):
        shown = [json.loads(line) for p in logs(home) if kind_of(p) == agent
                 for line in run(home, "show", str(p), "--json", check=0)[1].splitlines()]
        a = s["agents"][agent]
        assert a["files"] == len([p for p in logs(home) if kind_of(p) == agent])
        roles = {}
        for r in shown:
            roles[r["role"]] = roles.get(r["role"], 0) + 1
        assert (a["rows"], a["roles"]) == (len(shown), roles)
        assert set(roles) <= {"user", "assistant", "tool", "developer", "system"}
    assert s["agents"]["claude"]["sessions"] == 2 and s["agents"]["codex"]["sessions"] == 1
