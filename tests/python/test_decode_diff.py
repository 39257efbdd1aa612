"""The example decoder: tests compare diffs through it, so it must reject what is malformed."""

import struct

import pytest

from conftest import A, B
from decode_diff import DecodeError, decode, main


def q(n):
    return struct.pack("<Q", n)


def node(i):
    return q(16) + i


class TestDecode:
    def test_sections_and_canonical_equality(self):
        text = b'{"label":"A"}'
        data = (
            q(1) + node(A) + q(len(text)) + text
            + q(1) + node(B)
            + q(2) + node(A) + q(2) + node(A) + b"\x00\x00\x80\x3f" + node(B) + b"\x00\x00\x00\x80"
            + node(B) + q(0)
            + q(1) + node(B) + q(1) + node(A)
        )
        diff = decode(data)
        assert diff.nodes == {A: '{"label":"A"}'}
        assert diff.deleted_nodes == {B}
        assert diff.edges == {A: {A: 0x3F800000, B: 0x80000000}, B: {}}
        assert diff.deleted_edges == {B: {A}}
        assert diff.weight(A, A) == 1.0
        reordered = (
            q(1) + node(A) + q(len(text)) + text
            + q(1) + node(B)
            + q(2) + node(B) + q(0) + node(A) + q(2) + node(B) + b"\x00\x00\x00\x80" + node(A) + b"\x00\x00\x80\x3f"
            + q(1) + node(B) + q(1) + node(A)
        )
        assert decode(reordered) == diff

    @pytest.mark.parametrize(
        "data, complaint",
        [
            (bytes(31), "truncated"),
            (bytes(33), "trailing"),
            (q(1) + q(15) + A[:15] + q(2) + b"{}" + bytes(24), "id length 15"),
            (q(1) + node(A) + q(5) + b"{}", "truncated"),
            (q(1) + node(A) + q(2) + b"\xff\xfe" + bytes(24), "not UTF-8"),
            (q(0) + q(2) + node(A) + node(A) + bytes(16), "listed twice"),
            (q(0) * 2 + q(1) + node(A) + q(2) + (node(B) + bytes(4)) * 2 + q(0), "listed twice"),
            (q(0) * 2 + q(1 << 60), "exceeds"),
        ],
    )
    def test_malformed_input_is_refused(self, data, complaint):
        with pytest.raises(DecodeError, match=complaint):
            decode(data)

    def test_script_summarises_a_file(self, tmp_path, capsys):
        path = tmp_path / "diff.bin"
        path.write_bytes(q(0) + q(1) + node(A) + q(0) * 2)
        assert main([str(path)]) == 0
        out = capsys.readouterr().out
        assert "1 deleted nodes" in out and A.hex() in out
        path.write_bytes(bytes(8))
        assert main([str(path)]) == 1
