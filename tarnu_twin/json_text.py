"""The node update as JSON text: the shortest binary32 digits and the compact
object the encoder writes."""

import json
import math

from tarnu_twin.binary import _pack_f, _unpack_i
from tarnu_twin.properties import JSON_KEYS, KINDS

_encode_json_string = json.encoder.encode_basestring  # escapes exactly " \ and 0x00-0x1F

def _shortest_digits(magnitude, mantissa_bits=23, exponent_bias=127):
    """Shortest decimal that reads back as this binary float, as (digits, k).

    ``magnitude`` is the IEEE bit pattern without its sign, finite and
    nonzero. The result means int(digits) * 10**k, digits without trailing
    zeros. Among the shortest strings inside the rounding interval the one
    nearest the exact value wins, a tie going to the even digit. Exact
    integer arithmetic throughout; defaults describe binary32.
    """
    biased = magnitude >> mantissa_bits
    fraction = magnitude & ((1 << mantissa_bits) - 1)
    if biased == 0:
        m2 = fraction
        e2 = 1 - exponent_bias - mantissa_bits
    else:
        m2 = fraction | (1 << mantissa_bits)
        e2 = biased - exponent_bias - mantissa_bits
    # Value and interval bounds as multiples of 2**(e2 - 2).
    inclusive = m2 % 2 == 0  # a decimal on the boundary reads back as the even neighbour
    mv = 4 * m2
    mp = mv + 2
    mm = mv - (2 if (fraction != 0 or biased <= 1) else 1)
    e = e2 - 2

    def candidates(k):
        """Scale, and the range of integers c with c * 10**k inside the interval."""
        num = 1 << e if e > 0 else 1
        den = 1 << -e if e < 0 else 1
        if k < 0:
            num *= 10**-k
        else:
            den *= 10**k
        low, rem = divmod(mm * num, den)
        if rem or not inclusive:
            low += 1
        high, rem = divmod(mp * num, den)
        if rem == 0 and not inclusive:
            high -= 1
        return num, den, low, high

    # The coarsest digit position k that still has a candidate is the
    # shortest form. Candidates at k are candidates at every finer position
    # too, so the search is a bisection between a position surely too
    # coarse and one fine enough for any value of the format.
    estimate = math.floor(math.log10(m2) + e2 * math.log10(2))
    most_digits = math.ceil((mantissa_bits + 1) * math.log10(2)) + 1
    fine, coarse = estimate - most_digits - 1, estimate + 3
    while coarse - fine > 1:
        middle = (fine + coarse) // 2
        _, _, low, high = candidates(middle)
        if low <= high:
            fine = middle
        else:
            coarse = middle
    num, den, low, high = candidates(fine)
    c, rem = divmod(mv * num, den)
    if 2 * rem > den or (2 * rem == den and c % 2 == 1):
        c += 1
    c = min(max(c, low), high)
    digits = str(c)
    stripped = digits.rstrip("0")
    return stripped, fine + len(digits) - len(stripped)


def float32_json(value):
    """JSON number text of a binary32 value held in a Python float."""
    if value != value or value in (math.inf, -math.inf):
        return "null"
    bits = _unpack_i(_pack_f(value))[0]
    sign = "-" if bits >> 31 else ""
    magnitude = bits & 0x7FFFFFFF
    if magnitude == 0:
        return sign + "0.0"
    digits, k = _shortest_digits(magnitude)
    n = len(digits)
    p = n + k
    if k >= 0 and p <= 13:
        body = digits + "0" * k + ".0"
    elif 0 < p <= 13:
        body = digits[:p] + "." + digits[p:]
    elif -5 <= p <= 0:
        body = "0." + "0" * -p + digits
    else:
        body = (digits if n == 1 else digits[0] + "." + digits[1:]) + "e%d" % (p - 1)
    return sign + body


# How each kind of property writes its value.
_JSON_VALUE = {
    "Text": _encode_json_string,
    "Float": float32_json,
    "Colour": lambda value: "%d" % value,
    "Flag": lambda value: "true" if value else "false",
}
# Per row: what the writer puts before the value, and how it writes the value.
_MEMBERS = tuple(('"%s":' % key, _JSON_VALUE[kind]) for key, kind in zip(JSON_KEYS, KINDS))


def node_update_json(update):
    """Compact JSON text (UTF-8 bytes) of one stored node update."""
    members = [key + write(value) for (key, write), value in zip(_MEMBERS, update) if value is not None]
    return ("{" + ",".join(members) + "}").encode("utf-8")
