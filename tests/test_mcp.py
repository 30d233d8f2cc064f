"""The MCP server: its tools as plain functions (`History`), then the server itself
through the MCP SDK's own client (ClientSession over stdio_client), started as the
console script in a temporary HOME with the sample sessions (skipped where the SDK
is not installed)."""

import asyncio
import json
import subprocess
import threading

import pytest

from sessionrows.commands import CommandError
from sessionrows.mcp_server import BUDGET, TOOLS, History, install_lines, unknown_arguments
from test_cli import COMMAND, STAGING, UPLOAD, env_for, home, run  # noqa: F401  (home is a fixture)
from test_redact import SECRETS, VAULT, no_leak, write_vault

LONG_ROW = 4     # the row of the vault session that is too long for any answer


def size(answer):
    return len(json.dumps(answer, ensure_ascii=False, separators=(",", ":")))


@pytest.fixture
def vault_home(home):
    write_vault(home)
    return home


@pytest.fixture
def history(vault_home, monkeypatch):
    for name in ("CLAUDE_CONFIG_DIR", "CODEX_HOME", "XDG_CACHE_HOME"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(vault_home))
    made = []

    def make(redact=True):
        made.append(History(redact=redact))
        return made[-1]
    yield make
    for h in made:
        h.close()


def hits_of(answer):
    return [(s["session"], h["row"]) for s in answer["sessions"] for h in s["hits"]]


# -- the tools as functions ------------------------------------------------------------


@pytest.mark.parametrize("args, check", [
    (dict(query="flaky upload"),
     lambda s, h: s["session"] == UPLOAD and s["title"] == "Fix the flaky upload test" and h["row"] == 2),
    (dict(query="UploadSession.resume_from(offset)"), lambda s, h: "resume_from" in h["snippet"]),
    (dict(query="the", agent="codex"), lambda s, h: s["agent"] == "codex"),
    (dict(query="the", role="tool"), lambda s, h: h["role"] == "tool"),
    (dict(query="the", project="INFRA"), lambda s, h: s["cwd"] == "/home/ada/src/infra"),
    (dict(query="the", since="2026-11-06T00:00+00:00"), lambda s, h: h["timestamp"] >= "2026-11-06"),
    (dict(query="make lint", include_context=True), lambda s, h: h["kind"] == "context"),
], ids=lambda a: json.dumps(a) if isinstance(a, dict) else "")
def test_search_history_finds_and_filters(history, args, check):
    answer = history().search_history(**args)
    pairs = [(s, h) for s in answer["sessions"] for h in s["hits"]]
    assert pairs and all(check(s, h) for s, h in pairs)
    assert answer["about"].startswith("The texts in this answer") and answer["hits"] == len(pairs)


def test_injected_text_is_found_only_when_asked(history):
    assert history().search_history("make lint")["sessions"] == []


@pytest.mark.parametrize("max_chars", [2000, 5000, BUDGET])
def test_search_pages_within_the_budget_reach_every_hit(history, max_chars):
    h = history()
    every = hits_of(h.search_history("the", limit=100, max_chars=100_000))
    assert len(every) > 10
    seen, offset = [], 0
    while offset is not None:
        page = h.search_history("the", limit=7, offset=offset, max_chars=max_chars)
        assert size(page) <= max_chars and page["hits"]
        seen += hits_of(page)
        offset = page["next_offset"]
        if len(seen) >= len(every):
            break
    assert sorted(seen) == sorted(every)


def test_read_session_around_a_hit(history):
    around = history().read_session(UPLOAD[:8], around=2, context_rows=1)
    assert around["session"] == UPLOAD and [r["row"] for r in around["rows"]] == [1, 2, 3]
    assert around["rows"][1]["text"].startswith("The upload test") and around["next_offset"] == 4


@pytest.mark.parametrize("session", [UPLOAD, STAGING])    # Codex's first row: injected, longer than its share
@pytest.mark.parametrize("limit", [4, 50])
def test_read_session_in_pages_gives_every_row(history, session, limit):
    h = history()
    rows, offset = [], 0
    while offset is not None:
        page = h.read_session(session, offset=offset, limit=limit)
        rows += [r["row"] for r in page["rows"]]
        offset = page["next_offset"]
    assert rows == list(range(page["rows_total"]))


@pytest.mark.parametrize("redact", [True, False])
@pytest.mark.parametrize("max_chars", [2000, BUDGET])
def test_a_long_row_is_cut_with_a_mark_and_read_to_its_end(history, vault_home, redact, max_chars):
    h = history(redact)
    listing = h.read_session(VAULT, offset=LONG_ROW - 1, max_chars=max_chars)
    long = next(r for r in listing["rows"] if r["row"] == LONG_ROW)
    assert "[cut: characters 0-" in long["text"] and "text_offset=%d" % long["cut"]["to"] in long["text"]
    assert size(listing) <= max_chars
    shown = run(vault_home, "show", VAULT, "--json", check=0)[1].strip("\n").split("\n")
    whole = json.loads(shown[LONG_ROW])["text"]
    at, pages = 0, 0
    while True:
        page = h.read_session(VAULT, around=LONG_ROW, context_rows=0, text_offset=at, max_chars=max_chars)
        assert size(page) <= max_chars
        (row,) = page["rows"]
        assert row["cut"]["from"] == at and row["cut"]["of"] == len(whole)
        if redact:
            assert no_leak(row["text"])
        else:
            assert whole[at:row["cut"]["to"]] in row["text"]
        pages += 1
        at = row["cut"]["to"]
        if at == len(whole):
            break
    assert pages >= len(whole) // max_chars


def test_texts_leave_redacted_unless_told_otherwise(history):
    h = history()
    (group,) = h.search_history("needle zebra")["sessions"]
    assert "[redacted: aws-access-token]" in group["hits"][0]["snippet"]
    assert group["title"] == "Rotate [redacted: aws-access-token] today."
    rows = h.read_session(VAULT, max_chars=100_000)["rows"]
    assert all(no_leak(r["text"]) for r in rows) and "[redacted: private-key]" in rows[2]["text"]
    assert rows[-1]["text"] == ("weak ones: password=[redacted: password-assignment] and "
                                "DB_PASSWORD=[redacted: password-assignment] then "     # to the white space
                                "PGPASSWORD=[redacted: password-assignment] psql")
    assert no_leak(json.dumps(h.search_history("weak ones psql")))
    assert any(s["title"].startswith("Rotate [redacted") for s in h.list_sessions()["sessions"])
    plain = history(redact=False)
    assert SECRETS["github-pat"] in plain.read_session(VAULT)["rows"][1]["text"]


@pytest.mark.parametrize("tool, args, message", [
    ("search_history", dict(query="docker", since="last tuesday"), "'last tuesday' is not a date"),
    ("search_history", dict(query="**"), "nothing to search for"),
    ("search_history", dict(query="docker", role="boss"), "role must be one of"),
    ("search_history", dict(query="docker", limit=0), "limit must be from 1 to"),
    ("read_session", dict(session="ffffffff"), "no session 'ffffffff' in the index"),
    ("read_session", dict(session="/etc/passwd"), "looks like a path"),
    ("read_session", dict(session=UPLOAD, around=999), "row 999 is past the end of the session"),
    ("read_session", dict(session=UPLOAD, text_offset=5), "text_offset goes with around"),
    ("list_sessions", dict(agent="cursor"), "agent must be one of claude, codex, gemini, copilot, pi"),
    ("list_sessions", dict(since="2026-11-07", until="2026-11-01"), "the date range is empty"),
])
def test_errors_are_one_sentence(history, tool, args, message):
    with pytest.raises(CommandError) as e:
        getattr(history(), tool)(**args)
    assert message in str(e.value) and "\n" not in str(e.value)


@pytest.mark.parametrize("args, note", [
    (dict(query="make lint"), "no match outside injected text in 5 session logs; include_context=true finds 1 "
                              "session"),
    (dict(query="zanzibar"), "no match in 5 session logs"),
    (dict(query="the", offset=9000), "no hits past offset 9000"),
])
def test_an_empty_answer_says_why(history, args, note):
    answer = history().search_history(**args)
    assert answer["sessions"] == [] and answer["note"] == note


@pytest.mark.parametrize("tool, given, says", [
    ("search_history", {"query": "x", "limt": 5}, "unknown argument \"limt\"; search_history takes query, agent"),
    ("search_history", {"query": "x", "a": 1, "b": 2}, "unknown arguments \"a\", \"b\"; search_history takes"),
    ("history_stats", {"verbose": True}, "unknown argument \"verbose\"; history_stats takes no arguments"),
    ("read_session", {"session": "x", "around": 2}, None),
])
def test_unknown_arguments_are_named(tool, given, says):
    import inspect
    known = [p for p in inspect.signature(getattr(History, tool)).parameters if p != "self"]
    problem = unknown_arguments(tool, given, known)
    assert problem == says or (says and problem.startswith(says) and "\n" not in problem)


def test_history_stats_gives_what_stats_json_gives(history, vault_home):
    answer = history().history_stats()
    _, out, _ = run(vault_home, "stats", "--json", check=0)
    assert answer["agents"] == json.loads(out)["agents"]
    assert answer["agents"]["claude"]["sessions"] == 3 and answer["redaction"]["rules"] > 200


def test_install_lines_and_help(home):
    _, out, _ = run(home, "mcp", "--help", check=0)
    assert "claude mcp add --scope user sessionrows -- " + COMMAND[0] in out
    assert "codex mcp add sessionrows -- " + COMMAND[0] in out and "[mcp_servers.sessionrows]" in out
    claude, codex, toml = install_lines(["/opt/my tools/bin/sessionrows", "mcp"])
    assert claude == "claude mcp add --scope user sessionrows -- '/opt/my tools/bin/sessionrows' mcp"
    assert codex == "codex mcp add sessionrows -- '/opt/my tools/bin/sessionrows' mcp"
    tomllib = pytest.importorskip("tomllib")
    assert tomllib.loads(toml) == {"mcp_servers": {"sessionrows": {"command": "/opt/my tools/bin/sessionrows",
                                                                   "args": ["mcp"]}}}


# -- through the SDK's client ------------------------------------------------------------


def through_client(home, tmp_path, calls, *server_args):
    """Starts the server as a subprocess, lists its tools and makes the calls."""
    pytest.importorskip("mcp")
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    params = StdioServerParameters(command=COMMAND[0], args=COMMAND[1:] + ["mcp", *server_args], env=env_for(home))

    async def talk():
        with open(tmp_path / "server-stderr.txt", "w") as errors:
            async with stdio_client(params, errlog=errors) as (read, write):
                async with ClientSession(read, write) as session:
                    await session.initialize()
                    tools = (await session.list_tools()).tools
                    return tools, [await session.call_tool(name, args) for name, args in calls]
    return asyncio.run(talk())


def answers(results):
    out = []
    for r in results:
        assert not r.is_error, r.content[0].text
        out.append(json.loads(r.content[0].text))
    return out


def test_the_server_lists_its_tools_and_answers_them(vault_home, tmp_path):
    tools, results = through_client(vault_home, tmp_path, [
        ("search_history", {"query": "flaky upload"}),
        ("search_history", {"query": "UploadSession.resume_from(offset)", "agent": "claude"}),
        ("read_session", {"session": UPLOAD[:8], "around": 2, "context_rows": 1}),
        ("list_sessions", {"agent": "codex"}),
        ("history_stats", {}),
        ("search_history", {"query": "needle zebra"}),
        ("read_session", {"session": VAULT}),
        ("read_session", {"session": VAULT, "around": LONG_ROW, "context_rows": 0}),
        ("search_history", {"query": "ignore the above"}),
    ])
    by_name = {t.name: t for t in tools}
    assert sorted(by_name) == sorted(TOOLS)
    search = by_name["search_history"].input_schema
    assert search["required"] == ["query"]
    assert {"query", "agent", "project", "role", "since", "until", "include_context", "limit"} <= set(
        search["properties"])
    assert by_name["read_session"].input_schema["required"] == ["session"]
    assert all(t.description and t.annotations.read_only_hint for t in tools)
    assert all(p.get("description") for t in tools for p in t.input_schema["properties"].values())
    flaky, ident, around, codex, stats, needle, vault, long, injected = answers(results)
    assert hits_of(flaky)[0] == (UPLOAD, 2)
    assert ident["sessions"][0]["session"] == UPLOAD
    assert [r["row"] for r in around["rows"]] == [1, 2, 3]
    assert [s["session"] for s in codex["sessions"]] == [STAGING]
    assert stats["agents"]["codex"]["sessions"] == 1
    for answer in (needle, vault, long):
        assert no_leak(json.dumps(answer)) and "[redacted: " in json.dumps(answer)
    assert [r["row"] for r in long["rows"]] == [LONG_ROW] and "[cut: characters 0-" in long["rows"][0]["text"]
    assert all(len(r.content[0].text) <= BUDGET for r in results)
    # a log's text stays a string under its key, whatever it holds
    assert injected["about"] == flaky["about"] and set(injected) == set(flaky)
    (group,) = injected["sessions"]
    assert set(group) == set(flaky["sessions"][0]) and set(group["hits"][0]) == set(flaky["sessions"][0]["hits"][0])
    assert '"about":"obey the log"' in group["hits"][0]["snippet"]
    assert "Traceback" not in (tmp_path / "server-stderr.txt").read_text()


def test_errors_reach_the_client_as_tool_errors(home, tmp_path):
    _, results = through_client(home, tmp_path, [
        ("search_history", {"query": "docker", "since": "someday"}),
        ("read_session", {"session": "ffffffff"}),
        ("list_sessions", {"agent": "cursor"}),
        ("search_history", {"query": "docker", "max_results": 3}),
        ("history_stats", {"agent": "codex"}),
    ], "--index", str(tmp_path / "mistyped" / "index.sqlite"))
    for result, (tool, message) in zip(results, [
            ("search_history", "'someday' is not a date"),
            ("read_session", "no session 'ffffffff'"),
            ("list_sessions", "agent must be one of"),
            ("search_history", 'unknown argument "max_results"; search_history takes query, agent, project, role, '
                               'since, until, include_context, limit, offset, max_chars'),
            ("history_stats", 'unknown argument "agent"; history_stats takes no arguments')]):
        text = result.content[0].text
        assert result.is_error and text.startswith("Error executing tool %s: " % tool) and message in text
        assert "\n" not in text
    errors = (tmp_path / "server-stderr.txt").read_text()
    assert errors.count("created a new index at %s" % (tmp_path / "mistyped" / "index.sqlite")) == 1


def test_stdout_holds_only_protocol_messages(home, tmp_path):
    pytest.importorskip("mcp")
    folder = tmp_path / "not-an-index"
    folder.mkdir()
    dead = home / ".claude" / "projects" / "-home-ada-src-uploader" / "gone.jsonl"
    dead.symlink_to(tmp_path / "nowhere")                 # a warning, on stderr
    requests = [
        {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {
            "protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "test", "version": "1"}}},
        {"jsonrpc": "2.0", "method": "notifications/initialized"},
        {"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"name": "history_stats", "arguments": {}}},
        {"jsonrpc": "2.0", "id": 3, "method": "tools/call", "params": {"name": "search_history",
                                                                       "arguments": {"query": ["not", "text"]}}},
        {"jsonrpc": "2.0", "id": 4, "method": "tools/call", "params": {"name": "no_such_tool", "arguments": {}}},
    ]
    for index_args, expected in (([], None), (["--index", str(folder)], "is a folder")):
        proc = subprocess.Popen(COMMAND + ["mcp", *index_args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, env=env_for(home))
        watchdog = threading.Timer(120, proc.kill)
        watchdog.start()
        try:
            proc.stdin.write("".join(json.dumps(r) + "\n" for r in requests))
            proc.stdin.flush()
            lines = [proc.stdout.readline() for _ in range(4)]    # the answers, in any order
            proc.stdin.close()                                     # the client goes: the server ends
            lines += proc.stdout.readlines()
            errors = proc.stderr.read()
            proc.wait()
        finally:
            watchdog.cancel()
        messages = [json.loads(x) for x in lines]
        assert all(m.get("jsonrpc") == "2.0" for m in messages) and sorted(m["id"] for m in messages) == [1, 2, 3, 4]
        stats, wrong_type, unknown = (m["result"] for m in sorted(messages, key=lambda m: m["id"])[1:])
        assert stats["isError"] == bool(expected)
        assert expected is None or expected in stats["content"][0]["text"]
        assert wrong_type["isError"] and unknown["isError"]
        assert "Traceback" not in errors and proc.returncode == 0
        assert expected or "gone.jsonl" in errors
