#!/usr/bin/env python3
"""Prints the binary digits of 2/pi as 64-bit words for plugin/worldpos/portable_trig.cpp.

pi comes from Machin's formula, pi = 16 atan(1/5) - 4 atan(1/239), in exact
integer fixed point with guard bits; the digits are computed twice with
different guard widths and must agree, so no word can be off by a carry.
With --check FILE the table in FILE is compared with the computed one instead.
"""
import re
import sys

WORDS = 20


def atan_inverse(n, one):
    """atan(1/n) * one, by its Taylor series in integers (error a few units)."""
    total = 0
    term = one // n
    k = 0
    while term:
        total += term // (2 * k + 1) if k % 2 == 0 else -(term // (2 * k + 1))
        term //= n * n
        k += 1
    return total


def two_over_pi_words(words, guard):
    bits = 64 * words
    scale = bits + guard
    one = 1 << scale
    pi = 16 * atan_inverse(5, one) - 4 * atan_inverse(239, one)
    # floor(2^bits * 2/pi): the fraction of 2/pi (which is below 1) to `bits` bits.
    fraction = (1 << (bits + 1 + scale)) // pi
    return [(fraction >> (64 * (words - 1 - i))) & (2**64 - 1) for i in range(words)]


def main():
    words = two_over_pi_words(WORDS, 96)
    if words != two_over_pi_words(WORDS, 160):
        sys.exit("guard bits too few: the two computations disagree")
    # The first 53 bits, rounded, must be the double nearest 2/pi, 0x1.45f306dc9c883p-1.
    top = words[0] >> 10
    if (top + 1) >> 1 != 0x145F306DC9C883:
        sys.exit("2/pi does not start as its double does")
    lines = ["    0x%016XULL," % w for w in words]
    if len(sys.argv) == 3 and sys.argv[1] == "--check":
        with open(sys.argv[2]) as f:
            found = re.findall(r"0x([0-9A-F]{16})ULL", f.read())
        if [int(w, 16) for w in found[:WORDS]] != words or len(found) < WORDS:
            sys.exit("table in %s differs from the computed digits" % sys.argv[2])
        print("table matches")
        return
    print("\n".join(lines))


if __name__ == "__main__":
    main()
