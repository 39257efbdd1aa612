"""encoded_size() and encode_into(): what the model test cannot reach: buffer
kinds and their refusals, the borrow held through Python code run during the
call, a bytearray that is exported, a failed encoding, and the node store's
own failure (compaction out of memory)."""

import mmap

import pytest

import tarnu_api
from conftest import A, B, C, IS_PYPY, needs_hooks, run_hook

PyGraphDiff = tarnu_api.PyGraphDiff


def filled():
    d = PyGraphDiff()
    d.add_node(A, {"label": "a\n\"" * 20, "url": "", "size": 2.5, "show_label": False})
    d.add_node(B, {})
    d.add_edge(A, B, 0.5)
    d.delete_edge(B, C)
    d.delete_node(C)
    return d


def test_encoded_size_is_the_length_of_to_bytes():
    d = PyGraphDiff()
    assert d.encoded_size() == 32
    d = filled()
    assert d.encoded_size() == len(d.to_bytes())
    d.clear()
    assert d.encoded_size() == 32


@pytest.mark.parametrize("make", [
    lambda n: memoryview(bytearray(n)),
    lambda n: mmap.mmap(-1, n),
], ids=["memoryview", "mmap"])
def test_a_fixed_buffer_too_small_is_left_untouched(make):
    d = filled()
    size = d.encoded_size()
    target = make(size + 8)
    target[:] = b"\x5a" * (size + 8)
    with pytest.raises(ValueError, match="needs %d bytes, the buffer has %d" % (size + 9, size + 8)):
        d.encode_into(target, 9)
    assert bytes(target) == b"\x5a" * (size + 8)
    assert d.encode_into(target, 4) == size
    assert bytes(target) == b"\x5a" * 4 + d.to_bytes() + b"\x5a" * 4  # the bytes around it as they were


def test_an_mmap_of_a_file_receives_the_bytes(tmp_path):
    d = filled()
    path = tmp_path / "diff.bin"
    path.write_bytes(b"\0" * d.encoded_size())
    with open(path, "r+b") as f, mmap.mmap(f.fileno(), 0) as mapped:
        d.encode_into(mapped)
    assert path.read_bytes() == d.to_bytes()


def test_bytearray_length_and_allocation():
    d = filled()
    data = d.to_bytes()
    buffer = bytearray(b"\xee" * (3 * len(data)))
    assert d.encode_into(buffer) == len(data)
    assert buffer == data  # truncated to the encoding
    if not IS_PYPY:  # CPython's getsizeof shows the allocation
        allocated = buffer.__sizeof__()
        for _ in range(3):
            d.encode_into(buffer)
        assert buffer.__sizeof__() == allocated
    d.encode_into(buffer, len(data) + 3)
    assert buffer == data + bytes(3) + data  # the gap is zero-filled, not skipped
    d.encode_into(buffer, -1)
    assert buffer == data + bytes(3) + data + data


def test_an_exported_bytearray_is_not_resized():
    d = filled()
    buffer = bytearray(b"xy")
    with memoryview(buffer):
        if IS_PYPY:  # PyPy's bytearray may be resized while exported (docs/platform.md)
            d.encode_into(buffer)
            assert buffer == d.to_bytes()
            buffer[:] = b"xy"
        else:
            with pytest.raises(BufferError):
                d.encode_into(buffer)
            assert buffer == b"xy"
    d.encode_into(buffer)
    assert buffer == d.to_bytes()


class Offset:
    """An offset whose __index__ calls back into the diff."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 0


def test_the_shared_borrow_is_held_through_the_call():
    d = filled()
    data = d.to_bytes()
    target = bytearray()
    # Reading is allowed meanwhile, changing is not.
    assert d.encode_into(target, Offset(lambda: d.to_bytes() and d.encoded_size())) == len(data)
    assert target == data
    with pytest.raises(RuntimeError, match="Already borrowed"):
        d.encode_into(target, Offset(lambda: d.add_node(C, {})))
    with pytest.raises(RuntimeError, match="Already borrowed"):
        d.encode_into(bytearray(), Offset(d.clear))
    assert d.to_bytes() == data
    assert d.encode_into(target, 0) == len(data)  # the borrow was given back


class Exporter:
    """A buffer made in Python (3.12+): its export runs Python code."""

    def __init__(self, diff, size):
        self.diff = diff
        self.store = bytearray(size)

    def __buffer__(self, flags):
        self.diff.add_node(C, {})
        return memoryview(self.store)


@pytest.mark.skipif(not hasattr(type, "__buffer__") and not hasattr(bytearray, "__buffer__"),
                    reason="Python classes export buffers from 3.12 on")
def test_a_buffer_export_cannot_change_the_diff():
    d = filled()
    with pytest.raises(RuntimeError, match="Already borrowed"):
        d.encode_into(Exporter(d, 1000))


@needs_hooks
def test_a_failed_encoding_leaves_the_bytearray_as_it_was():
    d = filled()
    buffer = bytearray(b"keep")
    run_hook("fail_encoding")
    with pytest.raises(Exception, match="Failed to serialize graph diff."):
        d.encode_into(buffer, 10)
    assert buffer == b"keep"


@needs_hooks
def test_compaction_out_of_memory_leaves_the_diff_as_it_was():
    d = PyGraphDiff()
    d.add_node(A, {"label": "a" * 500})
    d.add_node(A, {"label": "c" * 501})  # the old 500 bytes are now dead
    before = d.to_bytes()
    run_hook("text_bad_alloc")
    with pytest.raises(MemoryError):
        d.add_node(B, {"url": "d" * 100})  # no room left: a compaction is due
    assert d.to_bytes() == before
    assert (d.num_nodes(), d.encoded_size()) == (1, len(before))
    d.add_node(B, {"url": "d" * 100})
    assert d.num_nodes() == 2 and d.encoded_size() == len(d.to_bytes())
    assert b'"url":"' + b"d" * 100 in d.to_bytes()
