"""A reader of Arrow C streams in plain ctypes, so that read_arrow is tested on an interpreter without
pyarrow too, and so that the tests see the C structs themselves: buffers, offsets and release callbacks."""

import ctypes

RELEASE_SCHEMA, RELEASE_ARRAY = (ctypes.CFUNCTYPE(None, ctypes.c_void_p) for _ in range(2))


class Schema(ctypes.Structure):
    pass


Schema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_void_p),
                   ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
                   ("children", ctypes.POINTER(ctypes.POINTER(Schema))), ("dictionary", ctypes.c_void_p),
                   ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


class Array(ctypes.Structure):
    pass


Array._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                  ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                  ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.POINTER(ctypes.POINTER(Array))),
                  ("dictionary", ctypes.c_void_p), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


class Stream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.c_void_p), ("get_next", ctypes.c_void_p), ("get_last_error", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Stream), ctypes.POINTER(Schema))
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(Stream), ctypes.POINTER(Array))
LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(Stream))
RELEASE_STREAM = ctypes.CFUNCTYPE(None, ctypes.POINTER(Stream))

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype, _get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]


def release(struct):
    """Calls the struct's release callback, as a consumer does; it must leave release null."""
    assert struct.release, "released twice"
    ctypes.CFUNCTYPE(None, ctypes.c_void_p)(struct.release)(ctypes.addressof(struct))
    assert not struct.release


class StreamError(Exception):
    def __init__(self, code, message):
        super().__init__(code, message)
        self.code, self.message = code, message


def stream_of(capsule):
    """The ArrowArrayStream inside a capsule, moved out of it (the capsule then only frees the struct)."""
    inner = Stream.from_address(_get_pointer(capsule, b"arrow_array_stream"))
    moved = Stream()
    ctypes.memmove(ctypes.addressof(moved), ctypes.addressof(inner), ctypes.sizeof(Stream))
    inner.release = None
    return moved


def schema_of(stream):
    """The stream's schema as [(format, name, flags)] of the top struct and its children."""
    s = Schema()
    assert GET_SCHEMA(stream.get_schema)(ctypes.byref(stream), ctypes.byref(s)) == 0
    out = [(s.format.decode(), s.name.decode(), s.flags)]
    out += [(c.contents.format.decode(), c.contents.name.decode(), c.contents.flags)
            for c in s.children[:s.n_children]]
    release(s)
    return out


def next_array(stream):
    """The next batch as an Array the caller must release, or None at the end; StreamError on failure."""
    a = Array()
    rc = GET_NEXT(stream.get_next)(ctypes.byref(stream), ctypes.byref(a))
    if rc:
        message = LAST_ERROR(stream.get_last_error)(ctypes.byref(stream))
        raise StreamError(rc, message and message.decode())
    return a if a.release else None


def columns_of(a):
    """A batch's five columns as Python lists, checking the layout (no nulls, no offset, offsets from 0 and
    rising); returns (columns, bytes of each text column)."""
    assert (a.n_buffers, a.n_children, a.null_count, a.offset) == (1, 5, 0, 0) and a.length > 0
    n = a.length
    job = a.children[0].contents
    assert (job.length, job.n_buffers, job.null_count) == (n, 2, 0)
    columns = [list((ctypes.c_int32 * n).from_address(job.buffers[1]))]
    sizes = []
    for c in a.children[1:5]:
        c = c.contents
        assert (c.length, c.n_buffers, c.null_count, c.offset) == (n, 3, 0, 0)
        offsets = list((ctypes.c_int32 * (n + 1)).from_address(c.buffers[1]))
        assert offsets[0] == 0 and all(x <= y for x, y in zip(offsets, offsets[1:]))
        data = ctypes.string_at(c.buffers[2], offsets[-1]) if offsets[-1] else b""
        columns.append([data[x:y].decode() for x, y in zip(offsets, offsets[1:])])
        sizes.append(offsets[-1])
    return columns, sizes


def read_capsule(capsule, move_children=False):
    """Every batch of a stream capsule: (rows as (job, role, text, timestamp, source) tuples, batch sizes as
    (rows, [bytes of each text column])). With move_children, each batch's children are moved out and
    released after their parent, as a consumer may do."""
    stream = stream_of(capsule)
    rows, batches = [], []
    try:
        while (a := next_array(stream)) is not None:
            columns, sizes = columns_of(a)
            rows += zip(*columns)
            batches.append((a.length, sizes))
            moved = []
            if move_children:
                for c in a.children[:a.n_children]:
                    copy = Array()
                    ctypes.memmove(ctypes.addressof(copy), ctypes.addressof(c.contents), ctypes.sizeof(Array))
                    c.contents.release = None
                    moved.append(copy)
            release(a)
            for m in moved:
                release(m)
    finally:
        RELEASE_STREAM(stream.release)(ctypes.byref(stream))
    return rows, batches


def read(stream_object, **kw):
    """read_capsule of a new export of the object."""
    return read_capsule(stream_object.__arrow_c_stream__(), **kw)


class Table:
    """The rows of a stream as a small stand-in for the part of pyarrow.Table the
    rule tests use (pyarrow is not installed everywhere the tests run)."""

    COLUMNS = ("job", "role", "text", "timestamp", "source")

    def __init__(self, stream_object):
        self.rows = [dict(zip(self.COLUMNS, r)) for r in read(stream_object)[0]]

    @property
    def num_rows(self):
        return len(self.rows)

    def to_pylist(self):
        return list(self.rows)

    def column(self, name):
        values = [r[name] for r in self.rows]
        return type("Column", (), {"to_pylist": lambda self: list(values)})()


def table(stream_object):
    return Table(stream_object)
