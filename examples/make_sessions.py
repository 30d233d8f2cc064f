"""Writes the made-up sample sessions under examples/sessions/, laid out as the two
assistants lay out their own logs:

    sessions/claude/projects/<project>/<session id>.jsonl
    sessions/claude/projects/<project>/<session id>/subagents/agent-<id>.jsonl
    sessions/codex/sessions/YYYY/MM/DD/rollout-<time>-<session id>.jsonl

Every person, path and conversation in them is invented. Run it again after a change:

    python examples/make_sessions.py
"""

import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent / "sessions"


def line(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")) + "\n"


class Claude:
    """A Claude Code session log, line by line."""

    def __init__(self, session_id, cwd, start, sidechain=False):
        self.session_id, self.cwd, self.sidechain = session_id, cwd, sidechain
        self.lines, self.n, self.clock = [], 0, start

    def _base(self, kind, seconds):
        self.n += 1
        self.clock += seconds
        return {"parentUuid": "u%d" % (self.n - 1) if self.n > 1 else None, "isSidechain": self.sidechain,
                "userType": "external", "cwd": self.cwd, "sessionId": self.session_id, "version": "2.1.4",
                "gitBranch": "main", "type": kind, "uuid": "u%d" % self.n,
                "timestamp": "2026-11-%02dT%02d:%02d:%02d.%03dZ" % (
                    self.clock // 86400, self.clock // 3600 % 24, self.clock // 60 % 60, self.clock % 60,
                    (self.n * 37) % 1000)}

    def user(self, content, seconds=20, **flags):
        entry = self._base("user", seconds)
        entry.update(flags)
        entry["message"] = {"role": "user", "content": content}
        self.lines.append(line(entry))

    def assistant(self, *blocks, seconds=6):
        entry = self._base("assistant", seconds)
        entry["message"] = {"id": "msg_%s_%02d" % (self.session_id[:8], self.n), "type": "message",
                            "role": "assistant", "model": "claude-sonnet-4-5", "content": list(blocks),
                            "stop_reason": None, "usage": {"input_tokens": 12, "output_tokens": 40}}
        self.lines.append(line(entry))

    def tool_result(self, tool_id, text, seconds=3):
        self.user([{"tool_use_id": tool_id, "type": "tool_result", "content": text}], seconds)

    def raw(self, obj):
        self.lines.append(line(obj))

    def write(self, path):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(self.lines), encoding="utf-8")


def text(t):
    return {"type": "text", "text": t}


def tool_use(tool_id, name, **inputs):
    return {"type": "tool_use", "id": tool_id, "name": name, "input": inputs}


class Codex:
    """A Codex rollout log, line by line."""

    def __init__(self, session_id, cwd, start):
        self.session_id, self.cwd, self.clock, self.lines = session_id, cwd, start, []

    def _stamp(self, seconds):
        self.clock += seconds
        ms = (len(self.lines) * 53) % 1000
        return "2026-11-%02dT%02d:%02d:%02d.%03dZ" % (self.clock // 86400, self.clock // 3600 % 24,
                                                      self.clock // 60 % 60, self.clock % 60, ms)

    def rec(self, kind, payload, seconds=1):
        self.lines.append(line({"timestamp": self._stamp(seconds), "type": kind, "payload": payload}))

    def meta(self):
        self.rec("session_meta", {"id": self.session_id, "timestamp": self._stamp(0), "cwd": self.cwd,
                                  "originator": "codex_cli_rs", "cli_version": "0.77.0", "instructions": None})

    def message(self, role, t, seconds=1, twin=True):
        kind = "input_text" if role in ("user", "developer") else "output_text"
        self.rec("response_item", {"type": "message", "role": role, "content": [{"type": kind, "text": t}]},
                 seconds)
        if twin:
            event = "user_message" if role == "user" else "agent_message"
            self.rec("event_msg", {"type": event, "message": t, "images": []} if role == "user"
                     else {"type": event, "message": t}, 0)

    def call(self, call_id, command, output, seconds=4):
        self.rec("response_item", {"type": "function_call", "name": "shell",
                                   "arguments": json.dumps({"command": ["bash", "-lc", command],
                                                            "workdir": self.cwd}), "call_id": call_id}, seconds)
        self.rec("response_item", {"type": "function_call_output", "call_id": call_id,
                                   "output": json.dumps({"output": output, "metadata": {"exit_code": 0}})}, 2)
        self.rec("event_msg", {"type": "token_count", "info": None}, 0)

    def write(self, path):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(self.lines), encoding="utf-8")


def upload_session():
    sid = "7f3c1a52-6d0e-4b1a-9a53-2c8e5f0d41aa"
    s = Claude(sid, "/home/ada/src/uploader", 3 * 86400 + 9 * 3600)
    s.raw({"type": "file-history-snapshot", "messageId": "m0", "snapshot": {"trackedFileBackups": {}},
           "isSnapshotUpdate": False})
    s.user("<command-name>/clear</command-name>\n<command-message>clear</command-message>\n"
           "<command-args></command-args>")
    s.user("<local-command-stdout></local-command-stdout>", seconds=1)
    s.user("The upload test in tests/test_upload.py fails about one run in five on CI. "
           "Can you find out why it is flaky?")
    s.assistant(text("Let me run it a few times to see the failure."),
                tool_use("toolu_01", "Bash", command="pytest tests/test_upload.py -x --count 20 -q",
                         description="Run the upload test 20 times"))
    s.tool_result("toolu_01", "....F\nFAILED tests/test_upload.py::test_resume_after_timeout - "
                  "AssertionError: expected 3 chunks, got 2\n1 failed, 4 passed in 2.61s")
    s.assistant(text("The test depends on wall-clock time: `UploadSession.retry_after()` sleeps for 0.5 s "
                     "and the assertion races with it. I'll give the session a clock that the test controls."),
                tool_use("toolu_02", "Edit", file_path="/home/ada/src/uploader/uploader/session.py",
                         old_string="time.sleep(self.retry_after())",
                         new_string="self.clock.sleep(self.retry_after())"))
    s.tool_result("toolu_02", "The file /home/ada/src/uploader/uploader/session.py has been updated.")
    s.assistant(tool_use("toolu_03", "Bash", command="pytest tests/test_upload.py --count 200 -q",
                         description="Run it 200 times"))
    s.tool_result("toolu_03", "200 passed in 3.02s")
    s.assistant(text("Fixed: 200 runs in a row pass. The retry now waits on `FakeClock` in the test, "
                     "so the flaky timing is gone."))
    s.user([text("Nice. Does the fix also cover `UploadSession.resume_from(offset)`?"),
            text("<system-reminder>\nThe user opened the file uploader/session.py in the IDE.\n"
                 "</system-reminder>")], seconds=90)
    s.assistant(text("Yes: `resume_from()` calls `retry_after()` too, so it goes through the same clock."))
    s.raw({"type": "ai-title", "title": "Debugging an intermittent upload test", "sessionId": sid})
    s.raw({"type": "custom-title", "customTitle": "Fix the flaky upload test", "sessionId": sid})
    s.write(HERE / "claude" / "projects" / "-home-ada-src-uploader" / (sid + ".jsonl"))


def readme_session():
    sid = "c41d9e07-2b85-4f3e-8d61-95a7b2e0c3f6"
    cwd = "/home/ada/src/notes-cli"
    s = Claude(sid, cwd, 12 * 86400 + 14 * 3600)
    s.user("Write a README for notes-cli: what it does, how to install it, and the three commands.")
    s.assistant(text("I'll have a sub-agent collect the commands from the code first."),
                tool_use("toolu_11", "Task", description="List the CLI commands",
                         prompt="List every command of notes-cli with its options.", subagent_type="Explore"))
    s.tool_result("toolu_11", "Commands: `notes add TEXT`, `notes list [--tag TAG]`, `notes grep PATTERN`.")
    s.assistant(text("Here is a first draft of the README, with install steps for pipx and the three commands."),
                tool_use("toolu_12", "Write", file_path=cwd + "/README.md",
                         content="# notes-cli\n\nKeep short notes in your terminal.\n"))
    s.tool_result("toolu_12", "File created successfully at: %s/README.md" % cwd)
    s.user("[Request interrupted by user]", seconds=30)
    s.user("Mention that notes are stored in ~/.local/share/notes as plain Markdown files.", seconds=5)
    s.assistant(text("Done: the README now says where the notes live and that they are plain Markdown."))
    s.raw({"type": "ai-title", "title": "Writing the notes-cli README", "sessionId": sid})
    s.write(HERE / "claude" / "projects" / "-home-ada-src-notes-cli" / (sid + ".jsonl"))

    agent = Claude(sid, cwd, 12 * 86400 + 14 * 3600 + 30, sidechain=True)
    agent.user("List every command of notes-cli with its options.")
    agent.assistant(tool_use("toolu_21", "Grep", pattern="@cli.command", path=cwd))
    agent.tool_result("toolu_21", "notes_cli/main.py:12:@cli.command()\nnotes_cli/main.py:30:@cli.command()\n"
                      "notes_cli/main.py:51:@cli.command()")
    agent.assistant(text("Commands: `notes add TEXT`, `notes list [--tag TAG]`, `notes grep PATTERN`."))
    agent.write(HERE / "claude" / "projects" / "-home-ada-src-notes-cli" / sid / "subagents" /
                "agent-a3f9c2e.jsonl")


def staging_session():
    sid = "019a7c3e-5f21-7d40-b8e2-6c1f0a9d2b57"
    cwd = "/home/ada/src/infra"
    s = Codex(sid, cwd, 6 * 86400 + 16 * 3600)
    s.meta()
    s.message("developer", "<permissions instructions>\nFilesystem sandboxing: workspace-write. "
              "Approvals: on-request.\n</permissions instructions>", twin=False)
    s.message("user", "# AGENTS.md instructions for %s\n\n<INSTRUCTIONS>\nRun `make lint` before you "
              "commit. Never touch deploy/production.yml.\n</INSTRUCTIONS>" % cwd, twin=False)
    s.message("user", "<environment_context>\n  <cwd>%s</cwd>\n  <shell>bash</shell>\n"
              "</environment_context>" % cwd, twin=False)
    s.message("user", "The staging containers keep restarting. Find out why.", seconds=5)
    s.rec("response_item", {"type": "reasoning", "summary": [{"type": "summary_text", "text": "Checking."}],
                            "content": None, "encrypted_content": "gAAAAB"})
    s.call("call_1", "docker compose -f deploy/staging.yml ps",
           "NAME             STATUS\nstaging-api-1    Restarting (1) 4 seconds ago\nstaging-db-1     Up 3 days")
    s.call("call_2", "docker logs --tail 20 staging-api-1",
           "Error: connect ECONNREFUSED 10.0.4.12:5432\n    at TCPConnectWrap.afterConnect [as oncomplete]")
    s.message("assistant", "The API container cannot reach Postgres: it connects to 10.0.4.12:5432, the "
              "address of the old database host. `DATABASE_URL` in deploy/staging.env still points there; "
              "it should be `postgres://db:5432/app`.", seconds=3)
    s.message("user", "Fix the env file and restart only the api service.", seconds=60)
    s.call("call_3", "sed -i 's#10.0.4.12:5432#db:5432#' deploy/staging.env && "
           "docker compose -f deploy/staging.yml up -d --no-deps api", "Container staging-api-1  Started")
    s.message("assistant", "Done: `DATABASE_URL` now names the `db` service, and `staging-api-1` has been "
              "up for a minute without restarting.", seconds=70)
    s.write(HERE / "codex" / "sessions" / "2026" / "11" / "06" /
            ("rollout-2026-11-06T16-00-00-%s.jsonl" % sid))


def main():
    upload_session()
    readme_session()
    staging_session()


if __name__ == "__main__":
    main()
