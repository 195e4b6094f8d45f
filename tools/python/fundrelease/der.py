"""DER held to its one encoding: walked without copying, then parsed by asn1crypto."""

from asn1crypto import core, parser

from fundrelease import policy


class Malformed(Exception):
    """Bytes that are not what the release allows; the message says how."""


def canonical(data):
    """Whether DATA is DER items end to end: shortest definite lengths, primitives whole, integers,
    booleans and OIDs as DER has them, a SET's items in order, nested no deeper than policy.MAX_DEPTH,
    no more than policy.MAX_ITEMS of them (asn1crypto's objects take 400 bytes or so an item).
    Linear: items are walked by offset in views of DATA, copied only to order a SET's (asn1crypto's
    dump(force=True) is exponential in depth, and copying what follows each item quadratic in its count)."""
    stack, count = [(memoryview(data), 0, False)], 0
    while stack:
        items, depth, is_set = stack.pop()
        if depth > policy.MAX_DEPTH:
            return False
        pointer, previous = 0, b""
        while pointer < len(items):
            start, count = pointer, count + 1
            if count > policy.MAX_ITEMS:
                return False
            (class_, method, tag, header, contents, trailer), pointer = parser._parse(items, len(items), pointer)
            if trailer or bytes(header) != parser._dump_header(class_, method, tag, contents):
                return False
            encoded = bytes(items[start:pointer]) if is_set else b""
            if encoded < previous:
                return False
            previous = encoded
            if class_ == 0 and (method and tag not in (16, 17) or tag == 1 and contents not in (b"\0", b"\xff")
                                or tag in (2, 10) and len(contents) > 1 and contents[0] in ((contents[1] >> 7) * 255,)
                                or tag == 6 and (not contents or contents[-1] > 127 or any(
                                    b == 0x80 and (i == 0 or contents[i - 1] < 128) for i, b in enumerate(contents)))):
                return False
            if method:
                stack.append((contents, depth + 1, class_ == 0 and tag == 17))
    return True


def encodes_back(value):
    """Whether VALUE is the one encoding its type writes: what value.dump(force=True) == its bytes
    says, made node by node, each once (dump(force=True) takes time exponential in the depth). No
    field its type lacks, no default written, a SET's items in order, each primitive in its DER
    form. An Any's contents are left to the parse that reads them, as its own type."""
    stack = [value]
    while stack:
        value = stack.pop()
        if isinstance(value, core.Choice):
            stack.append(value.chosen)
        elif isinstance(value, core.Sequence) and value._fields:  # a typed one: asn1crypto's own are generic
            fields = [(value[field[0]], field[1], (*field, {})[2]) for field in value._fields]
            written = [child for child, spec, params in fields
                       if "default" not in params or child.dump() != spec(**params).dump()]
            if b"".join(child.dump() for child in written) != value.contents:
                return False
            stack += written
        elif isinstance(value, core.SequenceOf):
            items = [child.dump() for child in value]
            if isinstance(value, core.SetOf) and items != sorted(items):
                return False
            stack += list(value)
        elif isinstance(value, core.ParsableOctetString) and value._parsed is not None:  # an OCTET STRING of DER
            if value.parsed.dump() != bytes(value):
                return False
            stack.append(value.parsed)
        elif not isinstance(value, (core.Any, core.Void)) and value.copy().dump(force=True) != value.dump():
            return False
    return True


def strict(asn1_type, data, what):
    """DATA parsed as ASN1_TYPE, which must be DER through and through, encode back to its own bytes
    as that type, and be nothing more."""
    try:
        # A fresh parse, for a walked value is slow to encode again (asn1crypto takes it as changed)
        if canonical(data) and encodes_back(asn1_type.load(data, strict=True)):
            return asn1_type.load(data, strict=True)
    except (ValueError, TypeError, KeyError, IndexError, OverflowError, RecursionError):
        pass
    raise Malformed(f"{what} is malformed (not DER that encodes back to its own bytes)")
