"""DER held to its one encoding: walked without copying, then parsed by asn1crypto."""

from asn1crypto import core, parser

from fundrelease import policy


class Malformed(Exception):
    """Bytes that are not what the release allows; the message says how."""


def canonical(data):
    """Whether DATA is DER items end to end: shortest definite lengths, primitives whole, nested no
    deeper than policy.MAX_DEPTH, no more than policy.MAX_ITEMS of them (asn1crypto's objects take
    400 bytes or so an item). Linear: items are walked by offset in views of DATA, never copied. What
    DER asks of each type's contents is encodes_back's to judge, as the type it is parsed as."""
    stack, count = [(memoryview(data), 0)], 0
    while stack:
        items, depth = stack.pop()
        pointer = 0
        while pointer < len(items):
            count += 1
            (class_, method, tag, header, contents, trailer), pointer = parser._parse(items, len(items), pointer)
            if depth > policy.MAX_DEPTH or count > policy.MAX_ITEMS or trailer \
                    or bytes(header) != parser._dump_header(class_, method, tag, contents) \
                    or class_ == 0 and method and tag not in (16, 17):
                return False
            if method:
                stack.append((contents, depth + 1))
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
            written = [child for child, kind, params in fields
                       if "default" not in params or child.dump() != kind(**params).dump()]
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
