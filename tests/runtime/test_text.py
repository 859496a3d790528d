"""Diagnostic texts written by the runtime read as the f-strings they stand for."""


def test_integers_read_as_python_writes_them(rt):
    edges = [0, 1, -1, 2**63 - 1, -(2**63)]
    for k in range(1, 20):
        edges += [10**k - 1, 10**k, 10**k + 1, -(10**k), -(10**k) + 1, 10**k + 99 // k]
    edges = [v for v in edges if -(2**63) <= v < 2**63]
    for v in edges + list(range(-1000, 100_000, 7)):
        assert rt.decimal_text(v) == f"#{v} of {v}"


def test_a_count_keeps_its_text_through_every_carry(rt):
    *texts, last = rt.counted_texts(100_001)
    assert texts == [f"#{k}" for k in range(100_002)]
    assert last == 100_002
