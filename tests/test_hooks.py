"""`sessionrows hooks` and the assistants' retention settings, in a temporary HOME with
every folder the assistants and sessionrows use moved into it."""

import json
import os
import shutil
import stat
import subprocess
import sys
import time

import pytest

from sessionrows import hooks
from sessionrows.retention import claude as claude_retention, gemini as gemini_retention

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(REPO, "examples", "sessions")
SCRIPT = os.path.join(os.path.dirname(sys.executable), "sessionrows")
COMMAND = [SCRIPT] if os.path.exists(SCRIPT) else [sys.executable, "-m", "sessionrows"]
PROGRAM = ["/opt/sr tools/bin/sessionrows"]
OTHER = {"type": "command", "command": "~/bin/notes.sh --end"}


@pytest.fixture
def home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    for name, folder in (("HOME", home), ("CLAUDE_CONFIG_DIR", home / ".claude"), ("CODEX_HOME", home / ".codex"),
                         ("GEMINI_CLI_HOME", home), ("XDG_CACHE_HOME", home / ".cache"),
                         ("XDG_CONFIG_HOME", home / ".config"), ("XDG_DATA_HOME", home / ".local" / "share")):
        folder.mkdir(parents=True, exist_ok=True)
        monkeypatch.setenv(name, str(folder))
    return home


def settings(home):
    return home / ".claude" / "settings.json"


def config(home):
    return home / ".codex" / "config.toml"


def ours(value):
    return [h for g in value.get("hooks", {}).get("SessionEnd", []) for h in g.get("hooks", [])
            if "sessionrows" in h.get("command", "")]


def run(action, program=PROGRAM, dry_run=False):
    said = []
    hooks.run(action, dry_run=dry_run, write=said.append, program=program)
    return "\n".join(said)


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".tmp"))


CLAUDE_FILES = {
    "others' hooks": {"model": "opus", "hooks": {"PreToolUse": [{"matcher": "Bash", "hooks": [OTHER]}],
                                                 "SessionEnd": [{"matcher": "clear", "hooks": [OTHER]}]},
                      "permissions": {"allow": ["Bash(ls:*)"]}, "cleanupPeriodDays": 90, "ünïcode": "✓"},
    "no hooks": {"env": {"A": "1"}, "statusLine": {"type": "command", "command": "x"}},
    "empty SessionEnd": {"hooks": {"SessionEnd": []}, "z": None},
}


@pytest.mark.parametrize("case", CLAUDE_FILES)
@pytest.mark.parametrize("indent", [2, "\t", None])
def test_install_twice_adds_one_hook_and_keeps_everything_else(home, case, indent):
    original = CLAUDE_FILES[case]
    text = json.dumps(original, indent=indent, ensure_ascii=False) + "\n"
    settings(home).write_text(text, encoding="utf-8")
    os.chmod(settings(home), 0o640)
    run("install")
    once = settings(home).read_bytes()
    said = run("install")
    assert settings(home).read_bytes() == once and "nothing changed" in said
    value = json.loads(once)
    assert list(value) == list(original) + ([] if "hooks" in original else ["hooks"])
    assert {k: v for k, v in value.items() if k != "hooks"} == {k: v for k, v in original.items() if k != "hooks"}
    for event, groups in original.get("hooks", {}).items():
        assert value["hooks"][event][:len(groups)] == groups
    assert [g for g in value["hooks"]["SessionEnd"] if g not in original.get("hooks", {}).get("SessionEnd", [])] \
        == [{"hooks": [{"type": "command", "command": hooks.background_script(PROGRAM)}]}]
    assert len(ours(value)) == 1
    assert stat.S_IMODE(os.stat(settings(home)).st_mode) == 0o640
    assert (home / ".claude" / "settings.json.sessionrows-backup").read_text(encoding="utf-8") == text
    assert leftovers(home / ".claude") == []
    assert once.decode("utf-8").startswith("{\n" + (indent if isinstance(indent, str) else "  ")) or indent is None

    said = run("uninstall")
    assert json.loads(settings(home).read_text(encoding="utf-8")) == original and "Removed" in said
    assert (home / ".claude" / "settings.json.sessionrows-backup").read_text(encoding="utf-8") == text


def test_a_missing_file_and_folder_are_made_private_and_uninstall_leaves_no_trace(home):
    shutil.rmtree(home / ".claude")
    said = run("install")
    assert stat.S_IMODE(os.stat(settings(home)).st_mode) == 0o600 and "no backup" in said
    assert ours(json.loads(settings(home).read_text())) and not (home / ".claude" / "settings.json.sessionrows-backup").exists()
    run("uninstall")
    assert json.loads(settings(home).read_text()) == {}


def test_a_moved_installation_replaces_its_hook_in_place(home):
    settings(home).write_text(json.dumps({"hooks": {"SessionEnd": [{"hooks": [OTHER]}]}}))
    run("install", ["/old/bin/sessionrows"])
    run("install", [sys.executable, "-m", "sessionrows"])
    value = json.loads(settings(home).read_text())
    assert value["hooks"]["SessionEnd"][0] == {"hooks": [OTHER]}
    assert ours(value) == [{"type": "command", "command": hooks.background_script([sys.executable, "-m", "sessionrows"])}]


@pytest.mark.parametrize("action", ["install", "uninstall"])
def test_dry_run_writes_nothing_and_shows_the_diff(home, action):
    settings(home).write_text('{"model": "opus"}\n')
    config(home).write_text('model = "o3"\n')
    if action == "uninstall":
        run("install")
    files = sorted(p for p in home.rglob("*") if p.is_file())
    before = {p: p.read_bytes() for p in files}
    said = run(action, dry_run=True)
    assert sorted(p for p in home.rglob("*") if p.is_file()) == files
    assert {p: p.read_bytes() for p in files} == before
    assert "--- ~/.claude/settings.json" in said and "~/.codex/config.toml" in said
    assert ("+" if action == "install" else "-") + 'notify = ["/bin/sh"' in said and "Would" in said


BROKEN = {
    "not JSON": b'{"model": "opus",}\n',
    "not an object": b'["hooks"]\n',
    "hooks a list": b'{"hooks": []}\n',
    "SessionEnd an object": b'{"hooks": {"SessionEnd": {"hooks": []}}}\n',
    "hooks of a group not a list": b'{"hooks": {"SessionEnd": [{"hooks": {"type": "command"}}]}}\n',
    "a matcher not a text": b'{"hooks": {"Stop": [{"matcher": 3, "hooks": []}]}}\n',
    "a key twice": b'{"model": "a", "model": "b"}\n',
    "not UTF-8": b'{"model": "\xff"}\n',
}


@pytest.mark.parametrize("case", BROKEN)
@pytest.mark.parametrize("action", ["install", "uninstall"])
def test_a_broken_settings_file_is_refused_and_nothing_is_written(home, case, action):
    settings(home).write_bytes(BROKEN[case])
    config(home).write_text("# untouched\n")
    with pytest.raises(hooks.HookError) as e:
        run(action)
    assert "\n" not in str(e.value) and "left as it is" in str(e.value)
    assert settings(home).read_bytes() == BROKEN[case] and config(home).read_text() == "# untouched\n"
    assert sorted(p.name for p in (home / ".claude").iterdir()) == ["settings.json"]


CODEX_FILES = {
    "comments": '# my settings\nmodel = "o3"  # the one I like\n\n[mcp_servers.docs]\ncommand = "docs-mcp"\n',
    "a table first": "[tui]\nnotifications = true\n",
    "empty": "",
}


@pytest.mark.parametrize("case", CODEX_FILES)
def test_codex_notify_unset_is_set_and_taken_back_exactly(home, case):
    text = CODEX_FILES[case]
    config(home).write_text(text)
    said = run("install")
    after = config(home).read_text()
    import tomlkit
    assert tomlkit.parse(after)["notify"].unwrap() == hooks.notify_argv(PROGRAM) and "Set notify" in said
    assert [line for line in after.splitlines() if not line.startswith("notify = ")] == \
        ([""] if case == "a table first" else []) + text.splitlines()
    assert run("install").count("nothing changed") == 2
    run("uninstall")
    assert config(home).read_text() == text


def test_codex_notify_of_someone_else_is_left_with_a_message(home):
    text = 'notify = ["python3", "/home/ada/.codex/notify.py"]  # desktop alerts\n'
    config(home).write_text(text)
    for action in ("install", "uninstall"):
        said = run(action)
        assert config(home).read_text() == text
        assert "python3 /home/ada/.codex/notify.py" in said or "not sessionrows'" in said
    assert not (home / ".codex" / "config.toml.sessionrows-backup").exists()


def test_codex_not_set_up_is_skipped(home):
    shutil.rmtree(home / ".codex")
    assert "Codex is not set up here" in run("install") and not (home / ".codex").exists()


def test_invalid_toml_is_refused(home):
    config(home).write_text("model = \n")
    with pytest.raises(hooks.HookError, match="not valid TOML"):
        run("install")
    assert not settings(home).exists()


def test_an_atomic_write_replaces_the_file_a_link_points_to_or_leaves_it_whole(home, monkeypatch):
    target = home / "dotfiles" / "settings.json"
    target.parent.mkdir()
    target.write_text("{}\n")
    settings(home).symlink_to(target)
    run("install")
    assert settings(home).is_symlink() and ours(json.loads(target.read_text()))

    def broken(src, dst):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(os, "replace", broken)
    with pytest.raises(OSError):
        hooks.write_atomic(str(target), "{}")
    assert ours(json.loads(target.read_text())) and leftovers(target.parent) == []


@pytest.mark.parametrize("text, days, writes, words", [
    (None, 30, True, "Claude Code deletes logs after 30 days (its default; cleanupPeriodDays in ~/.claude/"),
    ('{"cleanupPeriodDays": 14}', 14, True, "Claude Code deletes logs after 14 days (cleanupPeriodDays in ~/"),
    ('{"cleanupPeriodDays": 1}', 1, True, "after 1 day ("),
    ('{"cleanupPeriodDays": 0.5}', 0.5, True, "after 12 hours"),
    ('{"cleanupPeriodDays": 0}', 0, False, "Claude Code's cleanupPeriodDays is 0: it writes no session logs at all"),
    ('{"cleanupPeriodDays": -3}', 30, True, "after 30 days (its default"),
    ('{"cleanupPeriodDays": "14"}', 30, True, "after 30 days (its default"),
    ('{"cleanupPeriodDays": true}', 30, True, "after 30 days (its default"),
    ('{"cleanupPeriodDays": 14', 30, True, "after 30 days (its default"),
    ("[14]", 30, True, "after 30 days (its default"),
])
def test_claude_retention(home, text, days, writes, words):
    if text is not None:
        settings(home).write_text(text)
    r = claude_retention()
    assert (r.after_days, r.writes_logs, r.warning, r.present) == (days, writes, not writes, True)
    assert words in r.sentence and r.settings == str(settings(home))


@pytest.mark.parametrize("policy, deletes, days, newest, words", [
    (None, True, 30, None, "after 30 days (its default"),
    ({"enabled": False, "maxAge": "7d"}, False, None, None, "keeps its logs"),
    ({"enabled": True, "maxAge": "7d"}, True, 7, None, "after 7 days"),
    ({"maxAge": "12h"}, True, 0.5, None, "after 12 hours"),
    ({"maxAge": "2w", "maxCount": 50}, True, 14, 50, "after 14 days and keeps only the newest 50 sessions"),
    ({"maxCount": 5}, True, 30, 5, "keeps only the newest 5"),
    ({"maxAge": "3 fortnights"}, True, None, None, 'older than its maxAge "3 fortnights"'),
    ("broken", True, 30, None, "its default"),
])
def test_gemini_retention(home, policy, deletes, days, newest, words):
    path = home / ".gemini" / "settings.json"
    path.parent.mkdir()
    if policy == "broken":
        path.write_text('{"general": ')
    elif policy is not None:
        path.write_text(json.dumps({"general": {"sessionRetention": policy}}))
    r = gemini_retention()
    assert (r.deletes, r.after_days, r.keeps_newest, r.writes_logs, r.present) == (deletes, days, newest, True, True)
    assert words in r.sentence and r.settings == str(path)


def indexing(home):
    """Whether a `sessionrows index --quiet` of this HOME still runs (detached, so not our child)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if b"index" in argv and b"--quiet" in argv and ("HOME=%s" % home).encode() in environ:
            return True
    return False


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="finds the detached index through /proc")
def test_end_to_end_through_the_console_script(home):
    """Install as a person would, then end a session as Claude Code and finish a turn as
    Codex do: each returns at once and the index is brought up to date behind them."""
    shutil.copytree(os.path.join(EXAMPLES, "claude"), str(home / ".claude"), dirs_exist_ok=True)
    env = dict(os.environ, TZ="UTC")
    settings(home).write_bytes(BROKEN["not JSON"])
    proc = subprocess.run(COMMAND + ["hooks", "install"], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 2 and proc.stdout == "" and len(proc.stderr.splitlines()) == 1
    settings(home).unlink()
    proc = subprocess.run(COMMAND + ["hooks", "install"], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0 and "Added a SessionEnd hook" in proc.stdout and "Set notify" in proc.stdout
    command = ours(json.loads(settings(home).read_text()))[0]["command"]
    import tomlkit
    notify = tomlkit.parse(config(home).read_text())["notify"].unwrap()

    index = home / ".cache" / "sessionrows" / "index.sqlite"
    ended = subprocess.run(["/bin/sh", "-c", command], input='{"hook_event_name": "SessionEnd", "reason": "other"}',
                           capture_output=True, text=True, env=env, timeout=30)
    assert (ended.returncode, ended.stdout, ended.stderr) == (0, "", "")
    turn = subprocess.run(notify + ['{"type": "agent-turn-complete", "turn-id": "1"}'], capture_output=True,
                          text=True, env=env, timeout=30)
    assert (turn.returncode, turn.stdout, turn.stderr) == (0, "", "")
    deadline = time.monotonic() + 120
    while (not index.exists() or indexing(home)) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert index.exists() and not indexing(home)
    proc = subprocess.run(COMMAND + ["index"], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0 and " 0 new," in proc.stderr     # the hook's run had read them all
    quiet = subprocess.run(COMMAND + ["index", "--quiet"], capture_output=True, text=True, env=env, timeout=120)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    proc = subprocess.run(COMMAND + ["hooks", "uninstall"], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0 and not ours(json.loads(settings(home).read_text()))
    assert "notify" not in config(home).read_text()
