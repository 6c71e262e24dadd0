"""Which strandedness rule a library follows, measured while it is counted.

Every read (fragment) that reaches the features is tested under all three rules in the same
pass. Of the reads assigned under the forward rule or the reverse rule, the forward share tells
the library's kind: at least FORWARD_AT forward-stranded, at most 1 - FORWARD_AT reverse-stranded,
within UNSTRANDED_WITHIN of one half unstranded. Anything else, or fewer than MIN_READS reads
assigned under either stranded rule, is ambiguous: reported, never guessed.
"""

from fractions import Fraction

__all__ = ["StrandCheck", "AmbiguousStrandedness"]

FORWARD_AT = 0.8
UNSTRANDED_WITHIN = 0.15
MIN_READS = 200
FLAG = {"unstranded": 0, "forward": 1, "reverse": 2}
RULES = ("unstranded", "forward", "reverse")


class AmbiguousStrandedness(ValueError):
    """The reads of a file do not tell which strandedness rule the library follows."""


class StrandCheck:
    """(assigned, no features, ambiguous) under each rule, unstranded, forward, reverse."""

    __slots__ = ("by_rule",)

    def __init__(self, by_rule):
        self.by_rule = tuple(tuple(int(n) for n in tally) for tally in by_rule)

    def assigned(self, rule):
        return self.by_rule[FLAG[rule]][0]

    @property
    def forward_share(self):
        """Of the reads assigned forward or reverse, the forward share (None without any)."""
        forward, reverse = self.assigned("forward"), self.assigned("reverse")
        return forward / (forward + reverse) if forward + reverse else None

    def inferred(self):
        """"forward", "reverse", "unstranded", or None when the reads do not tell."""
        forward, reverse = self.assigned("forward"), self.assigned("reverse")
        if forward + reverse < max(MIN_READS, 1):
            return None
        # Exact fractions, so that a share right at a threshold (80%, 35%) is on its side.
        share = Fraction(forward, forward + reverse)
        at = Fraction(FORWARD_AT).limit_denominator(1000)
        within = Fraction(UNSTRANDED_WITHIN).limit_denominator(1000)
        if share >= at:
            return "forward"
        if share <= 1 - at:
            return "reverse"
        if abs(share - Fraction(1, 2)) <= within:
            return "unstranded"
        return None

    def describe(self):
        reads = self.assigned("forward") + self.assigned("reverse")
        share = self.forward_share
        shown = "none" if share is None else f"{share:.1%} forward, {1 - share:.1%} reverse"
        return (f"{reads:,} reads assigned under a stranded rule: {shown} (assigned "
                f"{self.assigned('unstranded'):,} unstranded, {self.assigned('forward'):,} "
                f"forward, {self.assigned('reverse'):,} reverse)")

    def choose(self, path):
        """The rule for `-s auto`; AmbiguousStrandedness when the reads do not tell."""
        rule = self.inferred()
        if rule is None:
            raise AmbiguousStrandedness(
                f"{path}: cannot tell the library's strandedness: {self.describe()}; forward "
                f"needs at least {FORWARD_AT:.0%} forward, reverse at most "
                f"{1 - FORWARD_AT:.0%}, unstranded {50 - UNSTRANDED_WITHIN * 100:.0f} to "
                f"{50 + UNSTRANDED_WITHIN * 100:.0f}%, of at least {MIN_READS} reads: give "
                f"-s 0, 1 or 2")
        return rule

    def warning(self, path, chosen):
        """A warning when a stranded rule was chosen but the reads follow another one."""
        inferred = self.inferred()
        if chosen == "unstranded" or inferred is None or inferred == chosen:
            return None
        return (f"{path}: counted as {chosen}-stranded (-s {FLAG[chosen]}), but the reads look "
                f"{inferred}: {self.describe()}; rerun with -s {FLAG[inferred]} (or -s auto)")

    def __reduce__(self):
        return (StrandCheck, (self.by_rule,))

    def __repr__(self):
        return f"StrandCheck({self.by_rule})"
