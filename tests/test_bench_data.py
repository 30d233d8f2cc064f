"""The benchmark's made-up sessions and data folder: read without error, and the
module agrees with the Python model on them (so the timed peers do the same work)."""

import json

import pytest

import datagen
import pyrules
import sessionrows

EXTRACT = {"claude": sessionrows.extract_claude, "codex": sessionrows.extract_codex}


@pytest.mark.parametrize("fmt", datagen.FORMATS)
def test_made_up_sessions(fmt, tmp_path):
    sessions = datagen.synthetic_sessions(fmt, 300_000, seed=3)
    path = tmp_path / "s.jsonl"
    path.write_bytes(b"".join(sessions))
    for line in path.read_bytes().splitlines():
        json.loads(line)
    for tools in (False, True):
        rows = EXTRACT[fmt](str(path), tools)
        assert rows
        assert rows == pyrules.extract(fmt, str(path), tools)
        assert rows == pyrules.extract(fmt, str(path), tools, exact=False)


def test_data_folder(tmp_path, monkeypatch):
    monkeypatch.setattr(datagen, "plan", lambda quick: (200_000, [("small", 100_000)]))
    monkeypatch.setattr(datagen, "SYNTHETIC_BYTES", 100_000)
    m = datagen.ensure(tmp_path, synthetic=True, log=lambda *_: None)
    for fmt in datagen.FORMATS:
        assert m["files"]["set/" + fmt]["bytes"] >= 200_000
        assert (tmp_path / "big" / fmt / "small.jsonl").stat().st_size >= 100_000
    assert datagen.ensure(tmp_path, synthetic=True, log=lambda *_: None) == m
