"""DER, as far as signatures need it: each item is (tag, start, value start, end). Anything that is
not well-formed raises Malformed, so no reader of a signature meets an exception of its own."""


class Malformed(Exception):
    pass


def item(data, pos, end):
    if pos + 2 > end or data[pos] & 0x1F == 0x1F:
        raise Malformed("the signature is malformed (not well-formed DER)")
    length, value = data[pos + 1], pos + 2
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 4 or value + count > end:
            raise Malformed("the signature is malformed (not well-formed DER)")
        length, value = int.from_bytes(data[value:value + count], "big"), value + count
    if value + length > end:
        raise Malformed("the signature is malformed (not well-formed DER)")
    return data[pos], pos, value, value + length


def items(data, start, end):
    found = []
    while start < end:
        found.append(item(data, start, end))
        start = found[-1][3]
    return found


def inside(data, parent, *tags):
    """The items in PARENT, exactly as many as TAGS and each of its tag (None: any)."""
    found = items(data, parent[2], parent[3])
    if len(found) != len(tags) or any(t is not None and f[0] != t for f, t in zip(found, tags)):
        raise Malformed("the signature is malformed (not the PKCS#7 structure Authenticode uses)")
    return found


def oid(data, item_):
    raw = data[item_[2]:item_[3]]
    if item_[0] != 0x06 or not raw or raw[-1] & 0x80:
        raise Malformed("the signature is malformed (an object identifier is not well-formed)")
    numbers, value = [], 0
    for byte in raw:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            numbers.append(value)
            value = 0
    first = min(numbers[0] // 40, 2)
    return ".".join(map(str, [first, numbers[0] - 40 * first] + numbers[1:]))


def encode(tag, content):
    size = len(content)
    length = bytes([size]) if size < 0x80 else bytes([0x80 | (size.bit_length() + 7) // 8]) + \
        size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + content
