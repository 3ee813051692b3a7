import json
import random
import unittest

from cplane import canonical
from cplane.canonical import Number


def roundtrip(text):
    return canonical.encode(canonical.parse(text))


class KnownDocuments(unittest.TestCase):
    def test_whitespace_dropped_and_keys_sorted(self):
        self.assertEqual(roundtrip(' {"b" : 1,\n\t"a":[ true , null,"x" ] } '),
                         '{"a":[true,null,"x"],"b":1}')

    def test_keys_sort_by_utf8_bytes(self):
        self.assertEqual(roundtrip('{"a":1,"B":2,"ab":3,"é":4}'),
                         '{"B":2,"a":1,"ab":3,"é":4}')
        # U+FF21 (EF BC A1) sorts before U+1F600 (F0 9F 98 80) by bytes, and so does
        # any ASCII key before both; a proper prefix comes first.
        self.assertEqual(roundtrip('{"\\ud83d\\ude00":1,"\uff21":2,"~":3,"~~":4}'),
                         '{"~":3,"~~":4,"\uff21":2,"\U0001F600":1}')

    def test_numbers_keep_their_text(self):
        for text in ("1.50", "-0", "1E+3", "0.000", "123456789012345678901234567890", "-1e-7"):
            self.assertEqual(roundtrip(f"[{text}]"), f"[{text}]")
        self.assertNotEqual(canonical.parse("1"), canonical.parse("1.0"))

    def test_string_escapes(self):
        self.assertEqual(roundtrip('"\\u0001/\\u00e9\\u007f"'), '"\\u0001/é\x7f"')
        self.assertEqual(canonical.encode("\b\t\n\f\r\"\\\x1f\x00"),
                         '"\\b\\t\\n\\f\\r\\"\\\\\\u001f\\u0000"')
        self.assertEqual(canonical.encode_bytes("é"), b'"\xc3\xa9"')

    def test_surrogates(self):
        self.assertEqual(canonical.parse('"\\ud83d\\ude00"'), "\U0001F600")
        self.assertEqual(canonical.parse('"\\ude00"'), "\ufffd")
        with self.assertRaises(ValueError):
            canonical.parse('"\\ud83d"')

    def test_duplicate_key_keeps_last(self):
        self.assertEqual(roundtrip('{"a":1,"a":2}'), '{"a":2}')

    def test_rejects_what_is_not_json(self):
        for text in ("", "  ", "[1,]", '{"a":1', "[1] x", "NaN", '"\\x"', "\ufeff[]"):
            with self.assertRaises(ValueError, msg=text):
                canonical.parse(text)
        with self.assertRaises(TypeError):
            canonical.encode({"a": 1.5})


class GeneratedDocuments(unittest.TestCase):
    """Random trees against the standard library's encoder, which with sorted keys, no
    ASCII escaping and compact separators escapes strings exactly as required; numbers
    are swapped for placeholders there so that their texts go in verbatim."""

    ALPHABET = ["a", "Z", "0", " ", "/", '"', "\\", "\x7f", "é", "ß", "€", "\uff21",
                "\U0001F600", "\u2028"] + [chr(c) for c in range(0x20)]
    NUMBERS = ["0", "-0", "1.50", "1E+3", "2e-9", "-12.0", "9223372036854775808", "42"]

    def random_string(self, rng):
        return "".join(rng.choice(self.ALPHABET) for _ in range(rng.randrange(0, 6)))

    def random_tree(self, rng, depth=0):
        kind = rng.randrange(7 if depth < 4 else 5)
        if kind == 0:
            return Number(rng.choice(self.NUMBERS))
        if kind == 1:
            return self.random_string(rng)
        if kind == 2:
            return rng.choice([True, False])
        if kind == 3:
            return None
        if kind == 4:
            return rng.randrange(-10**12, 10**12)
        if kind == 5:
            return [self.random_tree(rng, depth + 1) for _ in range(rng.randrange(4))]
        return {self.random_string(rng): self.random_tree(rng, depth + 1)
                for _ in range(rng.randrange(5))}

    def oracle(self, tree):
        placeholders = {}

        def swap(value):
            if isinstance(value, Number):
                key = f"\x00{len(placeholders)}\x00"
                placeholders[json.dumps(key)] = value.text
                return key
            if isinstance(value, list):
                return [swap(v) for v in value]
            if isinstance(value, dict):
                return {k: swap(v) for k, v in value.items()}
            return value

        text = json.dumps(swap(tree), ensure_ascii=False, sort_keys=True,
                          separators=(",", ":"))
        for quoted, number in placeholders.items():
            text = text.replace(quoted, number, 1)
        return text

    def test_agrees_with_oracle_and_reparses(self):
        rng = random.Random(20261204)
        for _ in range(400):
            tree = self.random_tree(rng)
            text = canonical.encode(tree)
            self.assertEqual(text, self.oracle(tree))
            self.assertEqual(canonical.encode(canonical.parse(text)), text)
            self.assertEqual(canonical.encode_bytes(tree), text.encode("utf-8"))


if __name__ == "__main__":
    unittest.main()
