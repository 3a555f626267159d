#!/usr/bin/env python3
"""Prints the arc sine polynomial of plugin/worldpos/portable_trig.cpp.

asin(x) = x + x^3 P(x^2) for |x| <= 1/2; P is fitted on [0, 1/4] at Chebyshev
nodes with mpmath at 60 digits, then rounded to doubles. The error of the
rounded polynomial is measured on a grid and printed to stderr.
"""
import sys

import mpmath as mp

DEGREE = 13


def p_exact(t):
    t = mp.mpf(t)
    if t == 0:
        return mp.mpf(1) / 6
    r = mp.sqrt(t)
    return (mp.asin(r) / r - 1) / t


def main():
    mp.mp.dps = 60
    coefficients = [float(c) for c in mp.chebyfit(p_exact, [0, 0.25], DEGREE + 1)]
    worst = max(abs(mp.polyval([mp.mpf(c) for c in coefficients], t) - p_exact(t))
                for t in (mp.mpf(i) / 8000 for i in range(2001)))
    print("largest error of P: 2^%s" % mp.nstr(mp.log(worst, 2), 4), file=sys.stderr)
    # Lowest degree first, as the C++ evaluates them.
    print(",\n".join("    %s" % c.hex() for c in reversed(coefficients)))


if __name__ == "__main__":
    main()
