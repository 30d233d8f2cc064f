"""What an update of the index does with the archive (archive.py): every log it reads
is packed as it is read and its new bytes added to the archive, batch by batch,
before the index counts them; a log gone from its place keeps its rows, read from
the archive from then on; a log that sessionrows was told to forget is not read
again; and an index that has not seen the archive as it is (a new index, a rebuilt
one, one written before there was an archive) takes in the archived logs it lacks
and has the archive take in the logs it holds.

With the archive turned off ($SESSIONROWS_ARCHIVE=off) none of this happens: a log
gone from its place leaves the index, as it did before there was an archive.
"""

from __future__ import annotations

import os
from typing import Dict, List, Optional, Sequence, Tuple

from .. import archive as archives
from ..discovery import LogFile
from ..reader import IndexJob, Problem, Warn


class Keeper:
    """The archive of one update (None: archiving is off)."""

    def __init__(self, archive: Optional[archives.Archive]):
        self.archive = archive
        self.planned: Dict[str, int] = {}       # path -> bytes archived when its packing was planned
        self._forgotten: Optional[set] = None

    @classmethod
    def for_index(cls, path_of_index: str) -> "Keeper":
        return cls(archives.Archive() if archives.enabled() else None)

    def __bool__(self) -> bool:
        return self.archive is not None

    def forgotten(self) -> set:
        if self._forgotten is None:
            self._forgotten = self.archive.forgotten() if self.archive is not None and self.archive.exists() else set()
        return self._forgotten

    def remembered(self, logs: Sequence[LogFile]) -> List[LogFile]:
        """The logs but those sessionrows was told to forget."""
        forgotten = self.forgotten()
        return [log for log in logs if log.path not in forgotten] if forgotten else list(logs)

    # -- packing while the index reads ----------------------------------------------

    def packing(self, logs: Sequence[LogFile]) -> Dict[str, tuple]:
        """The archive part of each log's read job: ("pack", (from, digest, level)),
        after what the archive holds of it; logs of another user are not packed."""
        if self.archive is None or not logs:
            return {}
        uid = os.getuid()
        mine = []
        for log in logs:
            try:
                if os.stat(log.path).st_uid == uid:
                    mine.append(log.path)
            except OSError:
                pass
        out = {}
        for path, plan in self.archive.plan(mine).items():
            self.planned[path] = plan[0]
            out[path] = ("pack", plan)
        return out

    def record(self, results: List[tuple]) -> None:
        """Adds what a batch's readings packed to the archive (before the index
        writes the batch): results as read_for_index gives them, whose frames are
        let go once they are written."""
        if self.archive is None:
            return
        packed = [(job.log.path, job.log.agent, self.planned.get(job.log.path, 0), archives.Packed(*k))
                  for job, _, _, _, k in results if k is not None and job.archiving and job.archiving[0] == "pack"]
        for i, result in enumerate(results):
            results[i] = result[:4] + (None,)
        if packed:
            with self.archive.writing():
                self.archive.record(packed)

    # -- logs gone from their places -------------------------------------------------

    def keeps(self, paths: Sequence[str]) -> Dict[str, archives.Entry]:
        """Of logs gone from their places, those the archive holds, marked gone there."""
        if self.archive is None or not paths or not self.archive.exists():
            return {}
        held = self.archive.current(paths)
        if held:
            with self.archive.writing():
                self.archive.mark_gone([p for p, e in held.items() if not e.gone])
        return {p: (e if e.gone else e._replace(gone_since=archives.now())) for p, e in held.items()}

    def back(self, paths: Sequence[str]) -> None:
        """Notes that these archived logs are in their places again."""
        if self.archive is not None and paths:
            with self.archive.writing():
                self.archive.mark_back(paths)

    # -- an index that has not seen the archive as it is ---------------------------------

    def unseen(self, seen: str) -> Optional[str]:
        """The archive's identity, if the index has not seen it as it is (`seen`: the
        identity the index keeps), else None."""
        if self.archive is None or not self.archive.exists():
            return None
        identity = "%s:%d" % self.archive.identity
        return identity if identity != seen else None

    def missing_from_index(self, known: Sequence[str]) -> List[Tuple[LogFile, archives.Entry]]:
        """The archived logs gone from their places that the index lacks (`known`:
        the paths it holds), as logs to read from their archived copies (marked
        gone, since when they are found so)."""
        assert self.archive is not None
        have = set(known)
        forgotten = self.forgotten()
        missing = [e for e in self.archive.latest()
                   if e.path not in have and e.path not in forgotten and not os.path.lexists(e.path)]
        unmarked = [e.path for e in missing if not e.gone]
        if unmarked:
            with self.archive.writing():
                self.archive.mark_gone(unmarked)
            marked = self.archive.current(unmarked)
            missing = [marked.get(e.path, e) for e in missing]
        return [(LogFile(e.path, e.size, 0, 0, e.agent), e) for e in missing]

    def take_in(self, records: Sequence, warn: Warn) -> int:
        """Packs the logs in place that the index holds and the archive lacks (or
        holds less of), without reading their rows. Returns how many were packed."""
        assert self.archive is not None
        held = self.archive.current([r.path for r in records])
        short = [r for r in records if r.path not in held or held[r.path].size < r.size]
        short = [r for r in short if _owned(r.path)]
        for i in range(0, len(short), 256):
            chunk = short[i:i + 256]
            plans = self.archive.plan([r.path for r in chunk])
            results = archives._search.pack([(os.fsencode(r.path), plans[r.path][0], plans[r.path][1])
                                             for r in chunk], archives.LEVEL)
            packed = []
            for r, result in zip(chunk, results):
                if isinstance(result, str):
                    warn(Problem(r.path, result))
                else:
                    packed.append((r.path, r.agent, plans[r.path][0], archives.Packed(*result)))
            with self.archive.writing():
                self.archive.record(packed)
        return len(short)


def _owned(path: str) -> bool:
    try:
        return os.stat(path).st_uid == os.getuid()
    except OSError:
        return False


def member_job(entry: archives.Entry) -> tuple:
    return ("member", os.fsencode(entry.member), entry.size)


__all__ = ["IndexJob", "Keeper", "member_job"]
