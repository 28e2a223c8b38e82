"""Bisection between a value that passes and one that fails."""

import math

__all__ = ["Bisection"]


class Bisection:
    """A bracket from ``good`` (passes) to ``bad`` (fails; None while not yet
    known), halved until its ends are within ``resolution`` of each other."""

    def __init__(self, good, bad, resolution):
        self.good, self.bad, self.resolution = good, bad, resolution

    def middle(self):
        return 0.5 * (self.good + self.bad)

    def record(self, value, passed):
        if passed:
            self.good = value
        else:
            self.bad = value

    @property
    def narrow(self):
        """The ends are within the resolution (a rounding's worth of slack)."""
        return self.bad is not None and abs(self.bad - self.good) <= self.resolution * (1 + 1e-9)

    def halvings(self, far=None):
        """Trials still needed to narrow the bracket (to ``far`` while ``bad``
        is not known)."""
        bad = far if self.bad is None else self.bad
        return max(math.ceil(math.log2(abs(bad - self.good) / self.resolution) - 1e-9), 0)
