"""The fixed-width pieces of the encoding: little-endian counts and lengths,
binary32 weights, the id length prefix and the empty diff."""

import math
import struct

_pack_q = struct.Struct("<Q").pack
_unpack_q = struct.Struct("<Q").unpack_from
_pack_binary32 = struct.Struct("<f").pack


def _pack_f(value):
    """A float as binary32, as C's conversion makes it. The hardware (and so
    CPython's struct) makes a signalling NaN quiet; PyPy's struct converts in
    software and keeps it signalling."""
    packed = _pack_binary32(value)
    if value != value and not packed[2] & 0x40:
        packed = packed[:2] + bytes((packed[2] | 0x40,)) + packed[3:]
    return packed


_unpack_f = struct.Struct("<f").unpack
_unpack_i = struct.Struct("<I").unpack
_ID_LEN = _pack_q(16)
_EMPTY = bytes(32)
_POS_INF_F32 = _pack_f(math.inf)
_NEG_INF_F32 = _pack_f(-math.inf)
