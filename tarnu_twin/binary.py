"""The fixed-width pieces of the encoding: little-endian counts and lengths,
binary32 weights, the id length prefix and the empty diff."""

import math
import struct

_pack_q = struct.Struct("<Q").pack
_unpack_q = struct.Struct("<Q").unpack_from
_pack_f = struct.Struct("<f").pack
_unpack_f = struct.Struct("<f").unpack
_unpack_i = struct.Struct("<I").unpack
_ID_LEN = _pack_q(16)
_EMPTY = bytes(32)
_POS_INF_F32 = _pack_f(math.inf)
_NEG_INF_F32 = _pack_f(-math.inf)
