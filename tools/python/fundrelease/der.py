"""DER held to its one encoding: walked without copying, then parsed by asn1crypto."""

import re

from asn1crypto import core, parser

from fundrelease import policy

# An object identifier's arc longer than this: read as a number, it costs the square of its length.
LONG_ARC = re.compile(rb"[\x80-\xff]{%d}" % policy.MAX_OID_ARC)


class Malformed(Exception):
    """Bytes that are not what the release allows; the message says how."""


def canonical(data):
    """Whether DATA is DER items end to end: shortest definite lengths, primitives whole, nested no
    deeper than policy.MAX_DEPTH, no more than policy.MAX_ITEMS of them (asn1crypto's objects take
    400 bytes or so an item), no object identifier's arc over policy.MAX_OID_ARC bytes. Linear: items
    are walked by offset in views of DATA, never copied. What DER asks of each type's contents is
    encodes_back's to judge, as the type it is parsed as."""
    stack, count = [(memoryview(data), 0)], 0
    while stack:
        items, depth = stack.pop()
        pointer = 0
        while pointer < len(items):
            count += 1
            (class_, method, tag, header, contents, trailer), pointer = parser._parse(items, len(items), pointer)
            if depth > policy.MAX_DEPTH or count > policy.MAX_ITEMS or trailer \
                    or bytes(header) != parser._dump_header(class_, method, tag, contents) \
                    or class_ == 0 and method and tag not in (16, 17) \
                    or class_ == 0 and tag in (6, 13) and LONG_ARC.search(contents):
                return False
            if method:
                stack.append((contents, depth + 1))
    return True


def as_read(value):
    """VALUE's own bytes as parsed, or None for a value the parse made (a default). asn1crypto
    re-encodes a structure holding a made value at each access to it, twice per level: exponential in
    the depth, so a constructed value's bytes are never asked of it."""
    if value._header is None:
        return None
    if isinstance(value, core.Choice):  # its header is an explicit tag's, if any; the chosen holds its own
        return value._header + as_read(value.chosen) + value._trailer
    constructed = isinstance(value, (core.Sequence, core.SequenceOf))
    return value._header + (value._contents if constructed else value.contents) + value._trailer


def encodes_back(value):
    """Whether VALUE is the one encoding its type writes: what value.dump(force=True) == its bytes
    says, judged node by node from the bytes read, each once. No field its type lacks, no default
    written, a SET's items in order, each primitive in its DER form. An Any's contents are left to
    the parse that reads them, as its own type."""
    stack = [value]
    while stack:
        value = stack.pop()
        if isinstance(value, core.Choice):
            stack.append(value.chosen)
        elif isinstance(value, core.Sequence) and value._fields:  # a typed one: asn1crypto's own are generic
            written = []
            for name, kind, *params in value._fields:
                child, params = value[name], (*params, {})[0]
                if isinstance(child, core.Void) or as_read(child) is None:
                    continue
                if "default" in params and as_read(child) == kind(**params).dump():
                    return False
                written.append(child)
            if b"".join(as_read(child) for child in written) != value._contents:
                return False
            stack += written
        elif isinstance(value, core.SequenceOf):
            items = [as_read(child) for child in value]
            if isinstance(value, core.SetOf) and items != sorted(items):
                return False
            stack += list(value)
        elif isinstance(value, core.ParsableOctetString) and value._parsed is not None:  # an OCTET STRING of DER
            if as_read(value.parsed) != bytes(value):
                return False
            stack.append(value.parsed)
        elif isinstance(value, core.BitString):
            if not bits_in_der(value.contents, value._map):
                return False
        elif not isinstance(value, (core.Any, core.Void)) and value.copy().dump(force=True) != as_read(value):
            return False
    return True


def bits_in_der(contents, names):
    """Whether CONTENTS are a BIT STRING's in DER, a list of NAMES ({bit: name}) or of bits alone:
    what its dump would say, which builds a tuple of its bits, 640 bytes of memory for each byte.
    Unused bits only in a last byte, and zero; a named list ends in a named bit set."""
    if not contents or contents[0] > 7 or len(contents) == 1 and contents[0]:
        return False
    unused, bits = contents[0], contents[1:]
    if bits and bits[-1] & ((1 << unused) - 1):
        return False
    if not names or not bits:
        return True
    # Each named list X.509 has names every bit from 0 to its last
    return 8 * len(bits) - unused <= max(names) + 1 and bits[-1] >> unused & 1 == 1


def loaded(make, what, why=None):
    """MAKE()'s value: asn1crypto's errors, met late as it parses lazily, are Malformed (for WHY, or its own)."""
    try:
        return make()
    except (ValueError, TypeError, KeyError, IndexError, OverflowError, RecursionError) as error:
        raise Malformed(f"{what} is malformed ({why or str(error).splitlines()[0]})") from None


def strict(asn1_type, data, what):
    """DATA parsed as ASN1_TYPE, which must be DER through and through, encode back to its own bytes
    as that type, and be nothing more."""
    why = "not DER that encodes back to its own bytes"
    # A fresh parse, for a walked value is slow to encode again (asn1crypto takes it as changed)
    if not loaded(lambda: canonical(data) and encodes_back(asn1_type.load(data, strict=True)), what, why):
        raise Malformed(f"{what} is malformed ({why})")
    return asn1_type.load(data, strict=True)
