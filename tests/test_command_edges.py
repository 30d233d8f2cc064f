"""The command where new users trip: paths given relative, sub-agent hits, errors
that must stay one line, --index pointing at things that are not indexes, odd files."""

import json
import os
import shutil
import sqlite3
import stat
import subprocess

import pytest

from conftest import REPO
from sessionrows.query import parse
from test_cli import COMMAND, EXAMPLES, UPLOAD, env_for, hits, home, run  # noqa: F401 (fixture)


def test_relative_paths_are_stored_absolute(tmp_path):
    work, elsewhere = tmp_path / "work", tmp_path / "elsewhere"
    shutil.copytree(EXAMPLES, work / "sessions")
    elsewhere.mkdir()
    index = str(tmp_path / "i.sqlite")
    env = env_for(tmp_path)

    def at(folder, *args):
        p = subprocess.run(COMMAND + list(args) + ["--index", index], cwd=str(folder), env=env,
                           capture_output=True, text=True, timeout=120)
        return p.returncode, p.stdout, p.stderr

    code, out, _ = at(work, "search", "flaky upload", "sessions", "--json")
    assert code == 0 and json.loads(out.splitlines()[0])["path"] == str(
        work / "sessions" / "claude" / "projects" / "-home-ada-src-uploader" / (UPLOAD + ".jsonl"))
    code, out, _ = at(elsewhere, "show", UPLOAD[:8])
    assert code == 0 and ("log: %s" % (work / "sessions")) in out
    code, out, _ = at(work, "search", "flaky upload", "sessions", "--json")   # nothing was dropped meanwhile
    assert code == 0 and out


def test_a_sub_agent_hit_opens_at_its_row(home):
    found = [h for h in hits(home, "commands", "-n", "50") if h["subagent"]]
    assert found
    hit = found[0]
    assert hit["session"] == "agent-" + hit["subagent"] and hit["session_id"] != hit["session"]
    _, out, _ = run(home, "show", hit["session"], "--around", str(hit["row"]), "-C", "0", "--json", check=0)
    assert [json.loads(line)["text"] for line in out.splitlines()] == [hit["text"]]
    _, human, _ = run(home, "search", "commands", "-n", "50", check=0)
    assert "sessionrows show %s --around" % hit["session"] in human


def test_context_rows_count_what_show_shows(home):
    hit = hits(home, "restart only the api service")[0]
    _, out, _ = run(home, "show", hit["session"], "--around", str(hit["row"]), "-C", "2", "--json", check=0)
    assert [json.loads(line)["row"] for line in out.splitlines()] == list(range(hit["row"] - 2, hit["row"] + 3))


@pytest.mark.parametrize("args, says", [
    (["search", "--fts", '"unterminated'], "cannot be run"),
    (["search", "--fts", "*"], "cannot be run"),
    (["search", "--fts", "*x"], "cannot be run"),
    (["search", "foo", "--since", "99999999d"], "range"),
    (["search", "foo", "--since", "1000000d"], "range"),
    (["search", "foo", "--until", "99999999d"], "range"),
    (["search", "foo", "--since", "99999-01-01"], "not a date"),
    (["search", "foo", "-n", "99999999999999999999"], "at most"),
    (["search", "foo", "-n", "0"], "at least"),
    (["show", UPLOAD, "--around", "-1"], "at least"),
    (["show", UPLOAD, "--around", "99999"], "past the end"),
    (["search", "foo", "--role", "bogus"], "not a role"),
    (["search", "e*"], "prefix"),
    (["search", "flaky re*"], "at least 3 letters"),
    (["search", "the", "--since", "2026-11-07", "--until", "2026-11-01"], "date range is empty"),
    (["index", "--rebuild", "--index", "/dev/null"], "not a sessionrows index"),
], ids=lambda a: " ".join(a) if isinstance(a, list) else None)
def test_bad_input_is_one_line_and_exit_2(home, args, says):
    code, out, err = run(home, *args)
    assert (code, out) == (2, "") and err.count("\n") == 1 and says in err and "Traceback" not in err


def test_roles_are_case_folded_and_filters_are_named_when_nothing_matches(home):
    assert {h["role"] for h in hits(home, "the", "--role", "User")} == {"user"}
    code, _, err = run(home, "search", "the", "--project", "nosuchproject")
    assert code == 1 and "--project nosuchproject" in err


def test_more_hits_than_shown_are_announced(home):
    _, _, err = run(home, "search", "the", "-n", "1", check=0)
    assert "-n" in err and "more" in err
    _, _, err = run(home, "search", "the", "-n", "10000", check=0)
    assert "more" not in err


def test_export_to_dash_is_standard_output(home, tmp_path):
    p = subprocess.run(COMMAND + ["export", "-o", "-"], cwd=str(tmp_path), env=env_for(home),
                       capture_output=True, text=True)
    assert p.returncode == 0 and p.stdout.count("\n") > 10 and not (tmp_path / "-").exists()


def test_index_of_an_empty_folder_finds_nothing(home, tmp_path):
    (tmp_path / "empty").mkdir()
    code, _, err = run(home, "index", str(tmp_path / "empty"))
    assert code == 1 and "no session logs" in err


@pytest.mark.parametrize("target", ["device", "foreign-db", "json", "folder"])
def test_index_never_touches_what_is_not_its_own(home, tmp_path, target):
    path = {"device": "/dev/null", "foreign-db": str(tmp_path / "other.db"), "json": str(tmp_path / "x.json"),
            "folder": str(tmp_path)}[target]
    if target == "foreign-db":
        db = sqlite3.connect(path)
        db.execute("CREATE TABLE t(x)")
        db.commit()
        db.close()
    elif target == "json":
        with open(path, "w") as f:
            f.write("{}")
        os.chmod(path, 0o644)
    before = os.stat(path)
    for args in (["search", "docker", "--index", path], ["index", "--rebuild", "--index", path]):
        code, out, err = run(home, *args)
        assert (code, out) == (2, "") and err.count("\n") == 1, err
    after = os.stat(path)
    assert (after.st_mode, after.st_size, after.st_mtime_ns) == (before.st_mode, before.st_size, before.st_mtime_ns)
    assert not os.path.exists(path + ".lock") and not os.path.exists(path + "-journal")


def test_odd_files_do_not_block_the_history(home, tmp_path):
    # a folder whose name is not UTF-8, and a FIFO named like a log
    odd = home / ".claude" / "projects" / os.fsdecode(b"caf\xe9")
    odd.mkdir()
    source = home / ".claude" / "projects" / "-home-ada-src-uploader" / (UPLOAD + ".jsonl")
    (odd / "11111111-2222-4333-8444-555555555555.jsonl").write_text(
        source.read_text().replace("flaky", "quixotic"))
    os.mkfifo(str(home / ".claude" / "projects" / "pipe.jsonl"))
    found = hits(home, "quixotic")
    assert found and os.fsencode(found[0]["path"]).startswith(os.fsencode(str(odd)))
    _, out, _ = run(home, "show", found[0]["session"], "--json", check=0)
    assert any("quixotic" in json.loads(line)["text"] for line in out.splitlines())
    fifo = str(tmp_path / "named.jsonl")
    os.mkfifo(fifo)
    for args in (["search", "x", fifo], ["export", fifo], ["show", fifo]):
        p = subprocess.run(COMMAND + args, env=env_for(home), capture_output=True, text=True, timeout=30)
        assert p.returncode in (1, 2) and "regular file" in p.stderr, args


def test_time_stamps_from_logs_are_cleaned(home):
    log = home / ".claude" / "projects" / "-x" / "99999999-0000-4000-8000-000000000000.jsonl"
    log.parent.mkdir()
    log.write_text(json.dumps({"type": "user", "sessionId": log.stem, "cwd": "/x", "timestamp": "\x1b]0;t\x07soon",
                               "message": {"role": "user", "content": "marmalade"}}) + "\n")
    for args in (["search", "marmalade"], ["show", log.stem], ["stats"]):
        _, out, err = run(home, *args, check=0)
        assert "\x1b" not in out + err and "\x07" not in out + err, args


def test_cache_folders_are_private_whatever_the_umask(home):
    env = env_for(home)
    p = subprocess.run(["sh", "-c", "umask 000 && exec \"$@\"", "sh"] + COMMAND + ["index"], env=env,
                       capture_output=True, text=True)
    assert p.returncode == 0, p.stderr
    assert stat.S_IMODE((home / ".cache" / "sessionrows").stat().st_mode) == 0o700


def test_an_index_of_the_previous_format_is_rebuilt_with_the_archived_logs(home):
    _, stats, _ = run(home, "stats", "--json", check=0)
    gone = next(p for p in home.rglob("rollout-*.jsonl"))
    gone.unlink()                               # deleted as an assistant's cleanup deletes it
    path = home / ".cache" / "sessionrows" / "index.sqlite"
    db = sqlite3.connect(str(path))
    db.execute("PRAGMA user_version = 3")
    db.commit()
    db.close()
    _, _, err = run(home, "index", check=0)
    assert "3 logs in scope: 4 new" in err and "holds 4 logs" in err     # rebuilt: 3 in place, 1 from the archive
    assert {h["archived"] for h in hits(home, "docker")} == {True}
    assert json.loads(run(home, "stats", "--json", check=0)[1])["agents"] == json.loads(stats)["agents"]


def test_an_index_of_the_older_format_is_rebuilt_on_first_use(home):
    run(home, "index", check=0)
    path = home / ".cache" / "sessionrows" / "index.sqlite"
    db = sqlite3.connect(str(path))
    db.execute("PRAGMA user_version = 1")       # the format before rows were held in full
    db.commit()
    db.close()
    found = hits(home, "docker")
    assert found and all(h["agent"] in ("claude", "codex") for h in found)
    db = sqlite3.connect(str(path))
    from sessionrows.index import SCHEMA_VERSION
    assert db.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
    db.close()


def _said(session, cwd, ts, text, role="user"):
    content = text if role == "user" else [{"type": "text", "text": text}]
    return {"type": role, "sessionId": session, "cwd": cwd, "timestamp": ts, "uuid": "u-" + ts + role,
            "message": {"role": role, "content": content}}


@pytest.mark.parametrize("filters, finds", [
    (dict(project="legacy"), "legacy"),
    (dict(until="2025-02-01T00:00:00Z"), "legacy"),
    (dict(role="user"), "legacy"),
    (dict(), None),
])
def test_a_broad_query_ranks_the_newest_matches_that_pass_its_filters(tmp_path, filters, finds):
    """Matches beyond the newest ones ranked are still found when a filter leaves out
    the newest: a filtered search must not come back empty while its rows exist."""
    from sessionrows import commands
    from sessionrows.query import parse
    old = tmp_path / "logs" / "-w-legacy" / "a.jsonl"
    new = tmp_path / "logs" / "-w-busy" / "b.jsonl"
    old.parent.mkdir(parents=True)
    new.parent.mkdir(parents=True)
    old.write_text(json.dumps(_said("s-old", "/w/legacy", "2025-01-01T00:00:00Z", "the widget again")) + "\n")
    new.write_text("".join(json.dumps(_said("s-new", "/w/busy", "2026-01-01T00:%02d:00Z" % i, "the widget %d" % i,
                                            "assistant")) + "\n" for i in range(12)))
    os.utime(old, (1_600_000_000, 1_600_000_000))     # the busy log is the newer one
    opened = commands.open_index([str(tmp_path / "logs")], str(tmp_path / "i.sqlite"))
    try:
        result = commands.search_opened(opened, parse("widget"), commands.Filters(**filters), 5, broad_limit=4)
    finally:
        opened.index.close()
    assert result.hits and all(finds in h.cwd for h in result.hits if finds)
    assert bool(result.bounded) == (finds is None)


def test_a_reader_opened_before_the_first_build_searches_what_it_built(home, tmp_path):
    """The terminal interface searches through a connection opened before its
    writer builds the index; the build changes the full-text table's settings."""
    from sessionrows import commands
    from sessionrows.query import parse
    where, path = [str(home)], str(tmp_path / "i.sqlite")
    reader = commands.open_index(where, path, update=False)
    try:
        assert commands.search_opened(reader, parse("flaky"), commands.Filters(), 10).hits == []
        commands.open_index(where, path).index.close()
        found = commands.search_opened(reader, parse("flaky"), commands.Filters(), 10).hits
        assert found and found == sorted(found, key=lambda h: h.score)
    finally:
        reader.index.close()


def _claude_log(folder, session, cwd, rows):
    """A Claude log of (time stamp, role, text) rows."""
    log = folder / ("-w-" + os.path.basename(cwd)) / (session + ".jsonl")
    log.parent.mkdir(parents=True, exist_ok=True)
    log.write_text("".join(json.dumps(_said(session, cwd, ts, text, role)) + "\n" for ts, role, text in rows))
    return log


@pytest.mark.parametrize("query, literal, prose", [
    ("hello_world", "run python hello_world.py and %s", "Hello world, %s"),
    ("src/app.py", "the bug is in src/app.py: %s", "src app py %s"),
    ("Foo.bar_baz()", "call Foo.bar_baz(1) first; %s", "foo bar baz, %s"),
    ("ash_json_api_router.ex", "edit lib/ash/ash_json_api_router.ex, then %s", "ash json api router ex %s"),
])
def test_an_identifier_ranks_the_rows_that_hold_it_first(tmp_path, query, literal, prose):
    """Prose that holds the identifier's tokens ranks higher by bm25 (short rows, the
    words again and again); the rows that hold the identifier as typed come first."""
    logs = tmp_path / "logs"
    for i in range(6):
        _claude_log(logs, "prose-%d" % i, "/w/prose%d" % i, [("2026-01-0%dT10:00:00Z" % (i + 1), "user",
                                                               prose % prose % "again")])
    filler = " ".join("word%d" % i for i in range(300))
    _claude_log(logs, "exact", "/w/exact", [("2026-01-09T10:00:00Z", "assistant", literal % filler)])
    found = hits(tmp_path, query, str(logs), "-n", "3", "--index", str(tmp_path / "i.sqlite"))
    assert found[0]["session_id"] == "exact" and len(found) == 3
    marked = [found[0]["snippet"][a:b] for a, b in found[0]["matches"]]
    assert marked == [parse(query).literals[0]]                  # the identifier whole, not its tokens
    _, out, _ = run(tmp_path, "search", query, str(logs), "-n", "3", "--index", str(tmp_path / "i.sqlite"))
    assert "claude \u00b7 exact \u00b7" in out.split("\n")[0]       # its session first


@pytest.mark.parametrize("query", ["flaky upload", "FakeClock", "pytest"])
def test_a_session_heading_shows_its_own_time_whatever_the_hit(home, query):
    hit = next(h for h in hits(home, query) if h["session_id"] == UPLOAD)
    _, out, _ = run(home, "search", query, "--agent", "claude", check=0)
    heading = next(line for line in out.splitlines() if line.startswith("Fix the flaky upload test"))
    assert heading.endswith("2026-11-03 09:02") or "2026-11-03 09:02 \u00b7" in heading     # its last activity
    assert hit["timestamp"] < "2026-11-03T09:02"


@pytest.mark.parametrize("args, says", [
    (["make lint"], "no match for 'make lint' outside injected text in 4 session logs; --context finds 1 session"),
    (["make lint", "--agent", "codex"], "outside injected text in 4 session logs with --agent codex; --context "
                                        "finds 1 session"),
    (["make lint", "--agent", "claude"], "no match for 'make lint' in 4 session logs with --agent claude\n"),
    (["zanzibar"], "no match for 'zanzibar' in 4 session logs\n"),
])
def test_nothing_found_says_whether_injected_text_matches(home, args, says):
    code, out, err = run(home, "search", *args)
    assert (code, out) == (1, "") and err.endswith(says if says.endswith("\n") else says + "\n")


def test_offset_gives_the_next_hits(home):
    every = [(h["path"], h["row"]) for h in hits(home, "the", "-n", "7")]
    assert [(h["path"], h["row"]) for h in hits(home, "the", "-n", "3", "--offset", "4")] == every[4:7]
    _, _, err = run(home, "search", "the", "-n", "3", "--offset", "4", check=0)
    assert "showed hits 5 to 7; more rows match (--offset 7 shows the next)" in err
    code, out, err = run(home, "search", "the", "--offset", "9000")
    assert (code, out) == (1, "") and "no more hits past --offset 9000" in err


@pytest.mark.parametrize("args, says", [
    (["the", "-n", "1"], "showed the best hit; more rows match (-n 5 shows more, --offset 1 the next)"),
    (["the", "-n", "2"], "showed the best 2 hits; more rows match (-n 10 shows more, --offset 2 the next)"),
])
def test_more_hits_are_announced_in_words(home, args, says):
    _, _, err = run(home, "search", *args, check=0)
    assert says in err


@pytest.mark.parametrize("named, says", [
    (["README.md"], "no session logs found (looked in README.md)"),
    (["README.md", "examples/sessions"], "no match for 'zanzibar' in 4 session logs"),
])
def test_a_named_file_that_is_no_log_is_not_counted(tmp_path, named, says):
    code, out, err = run(tmp_path, "search", "zanzibar", *[str(REPO / n) for n in named])
    assert (code, out) == (1, "") and "README.md: not a session log" in err
    assert err.replace(str(REPO) + "/", "").rstrip("\n").endswith(says)


@pytest.mark.parametrize("command", [["search", "docker"], ["sessions"], ["stats"], ["index"],
                                     ["search", "docker", "--json"], ["sessions", "--json"], ["stats", "--json"],
                                     ["show", UPLOAD[:8], "--json"]])
def test_a_new_index_named_by_index_is_announced_once(home, tmp_path, command):
    path = tmp_path / "mistyped" / "cahce" / "index.sqlite"
    _, out, err = run(home, *command, "--index", str(path))
    assert err.count("created a new index at %s" % path) == 1 and path.is_file()
    if "--json" in command:                 # on stderr: what --json prints stays JSON
        assert out and all(json.loads(line) for line in out.splitlines())
    _, _, err = run(home, *command, "--index", str(path))
    assert "created a new index" not in err


def test_sessions_lists_newest_first(home):
    code, out, _ = run(home, "sessions", "--json")
    listed = [json.loads(line) for line in out.splitlines()]
    assert code == 0 and [s["session_id"] for s in listed] == [
        "c41d9e07-2b85-4f3e-8d61-95a7b2e0c3f6", "019a7c3e-5f21-7d40-b8e2-6c1f0a9d2b57", UPLOAD]
    assert listed == sorted(listed, key=lambda s: s["last_timestamp"], reverse=True)
    upload = listed[2]
    assert (upload["title"], upload["agent"], upload["cwd"], upload["rows"]) == (
        "Fix the flaky upload test", "claude", "/home/ada/src/uploader", 15)
    assert upload["resume"] == "cd /home/ada/src/uploader && claude --resume " + UPLOAD
    _, shown, _ = run(home, "show", UPLOAD, "--json", check=0)
    assert len(shown.splitlines()) == upload["rows"]
    _, out, err = run(home, "sessions", "-n", "1", "--offset", "1", check=0)
    assert out.splitlines()[:2] == [
        "The staging containers keep restarting.  codex \u00b7 infra \u00b7 2026-11-06 16:02 \u00b7 14 rows",
        "  cd /home/ada/src/infra && codex resume 019a7c3e-5f21-7d40-b8e2-6c1f0a9d2b57"]
    assert "showed session 2; there are more (--offset 2 shows the next)" in err


@pytest.mark.parametrize("args, sessions", [
    (["--agent", "codex"], ["019a7c3e-5f21-7d40-b8e2-6c1f0a9d2b57"]),
    (["--project", "UPLOAD"], [UPLOAD]),
    (["--since", "2026-11-06"], ["c41d9e07-2b85-4f3e-8d61-95a7b2e0c3f6", "019a7c3e-5f21-7d40-b8e2-6c1f0a9d2b57"]),
    (["--until", "2026-11-05"], [UPLOAD]),
    ([str(EXAMPLES / "codex")], ["019a7c3e-5f21-7d40-b8e2-6c1f0a9d2b57"]),
    (["--agent", "codex", "--project", "uploader"], []),
])
def test_sessions_filters(home, args, sessions):
    code, out, err = run(home, "sessions", "--json", *args)
    assert [json.loads(line)["session_id"] for line in out.splitlines()] == sessions
    assert code == (0 if sessions else 1)


def test_sessions_text_is_safe(home):
    log = home / ".codex" / "sessions" / ("rollout-2026-11-07T00-00-00-%s.jsonl" % ("b" * 8))
    log.write_text("".join(json.dumps(x) + "\n" for x in [
        {"type": "session_meta", "payload": {"id": "bbbbbbbb", "cwd": "/tmp/x\x1b]0;t\x07"}},
        {"timestamp": "2026-11-08T00:00:00.000Z", "type": "event_msg",
         "payload": {"type": "user_message", "message": "\x1b[31mred\x1b[0m title \u202eevil"}}]))
    _, out, _ = run(home, "sessions", "--color", "always", check=0)
    printed = out.replace("\x1b[", "")     # rich's own styling
    assert "\x1b" not in printed and "\x07" not in printed and "\u202e" not in printed
    assert "red title \\u202eevil" in out


def _one_row_log(tmp_path):
    log = _claude_log(tmp_path / "one", "single", "/w/single", [("2026-01-02T10:00:00Z", "user", "only row")])
    return str(log)


@pytest.mark.parametrize("args, says", [
    (["search", "zanzibar", "{one}"], "no match for 'zanzibar' in 1 session log\n"),
    (["search", "zanzibar", "{one}", "--agent", "claude"], "in 1 session log with --agent claude\n"),
    (["search", "the", "-n", "1", "--offset", "4"], "showed hit 5; more rows match (--offset 5 shows the next)\n"),
    (["sessions", "{one}", "--project", "nowhere"], "no sessions in 1 session log with --project nowhere\n"),
    (["sessions", "-n", "1"], "showed the newest session; there are more (--offset 1 shows the next)\n"),
    (["index", "{one}"], "1 log in scope: 1 new, 0 grown, 0 changed, 0 removed; 1 row added in"),
])
def test_a_count_of_one_reads_in_the_singular(home, tmp_path, args, says):
    one = _one_row_log(tmp_path)
    args = [a.replace("{one}", one) for a in args]
    _, _, err = run(home, *args, "--index", str(tmp_path / "i.sqlite"))
    assert says in err and " 1 session logs" not in err and " 1 logs" not in err and " 1 rows" not in err


def test_a_one_row_session_shows_one_row(tmp_path):
    one = _one_row_log(tmp_path)
    code, out, _ = run(tmp_path, "show", one)
    assert code == 0 and ", 1 row\n" in out
