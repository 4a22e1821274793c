"""Line diff opcodes: exact results on small cases, and properties that any
minimal, compacted, difflib-shaped diff must have."""
import difflib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kx_native as kx


@pytest.mark.parametrize(
    "old, new, expected",
    [
        ([], [], []),
        ([], ["a"], [("insert", 0, 0, 0, 1)]),
        (["a"], [], [("delete", 0, 1, 0, 0)]),
        (
            ["a", "b", "c"],
            ["a", "x", "c"],
            [("equal", 0, 1, 0, 1), ("replace", 1, 2, 1, 2), ("equal", 2, 3, 2, 3)],
        ),
        (["a", "b", "c", "d"], ["a", "b", "c", "d"], [("equal", 0, 4, 0, 4)]),
        # Lines are compared as whole strings, white space and newlines included.
        (["a", "b "], ["a", "b"], [("equal", 0, 1, 0, 1), ("replace", 1, 2, 1, 2)]),
        (["a\n"], ["a"], [("replace", 0, 1, 0, 1)]),
        (["A"], ["a"], [("replace", 0, 1, 0, 1)]),
        # Removed or added blocks that could sit at several places end up at the
        # lowest one, as one block.
        (["a", "b", "a"], ["a"], [("equal", 0, 1, 0, 1), ("delete", 1, 3, 1, 1)]),
        (["x", "a", "y"], ["x", "a", "a", "a", "y"],
         [("equal", 0, 2, 0, 2), ("insert", 2, 2, 2, 4), ("equal", 2, 3, 4, 5)]),
        (["a", "a", "b", "a", "a"], ["a", "a"], [("equal", 0, 2, 0, 2), ("delete", 2, 5, 2, 2)]),
    ],
)
def test_known_diffs(old, new, expected):
    assert kx.blame_diff(old, new) == expected


def test_arguments_accept_sequences_and_refuse_plain_text():
    assert kx.blame_diff(("a", "b"), ["a"]) == [("equal", 0, 1, 0, 1), ("delete", 1, 2, 1, 1)]
    with pytest.raises(TypeError, match="old_lines"):
        kx.blame_diff("ab", ["a"])
    with pytest.raises(TypeError, match="new_lines"):
        kx.blame_diff(["a"], ["a", 1])


@pytest.mark.parametrize("kind", ["sequence", "list subclass"])
def test_lines_are_read_as_they_were_when_the_call_began(kind):
    # Converting the second argument empties the first list and fills the
    # memory its strings held with copies of other lines: the diff must still
    # see the first list's old lines, whose strings it reads in place.
    old = ["line %03d " % i * 40 for i in range(200)]
    new = old[100:]
    expected = kx.blame_diff(list(old), list(new))
    junk = []

    class Emptying:
        def __len__(self):
            return len(new)

        def __getitem__(self, i):
            return new[i]

        def __iter__(self):
            old.clear()
            junk.extend("".join(list(line)) for line in new)
            return iter(new)

    class EmptyingList(list):
        __iter__ = Emptying.__iter__

    second = Emptying() if kind == "sequence" else EmptyingList(new)
    assert kx.blame_diff(old, second) == expected


def test_docstring_describes_the_opcodes():
    assert kx.blame_diff.__doc__ == (
        "Compute line-level diff opcodes for blame attribution.\n\n"
        "Returns (tag, i1, i2, j1, j2) tuples compatible with\n"
        "difflib.SequenceMatcher.get_opcodes()."
    )


def lcs_length(a, b):
    row = [0] * (len(b) + 1)
    for x in a:
        diagonal = 0
        for j, y in enumerate(b):
            above = row[j + 1]
            row[j + 1] = diagonal + 1 if x == y else max(row[j], above)
            diagonal = above
    return row[-1]


def check_opcodes(old, new, ops):
    """Asserts everything the opcodes promise; returns the lines kept equal."""
    i = j = 0
    previous = None
    equal_lines = 0
    rebuilt = []
    for tag, i1, i2, j1, j2 in ops:
        assert (i1, j1) == (i, j), "opcodes must be contiguous"
        if tag == "equal":
            assert previous != "equal", "two equal runs are never adjacent"
            assert i2 - i1 == j2 - j1 > 0 and old[i1:i2] == new[j1:j2]
            equal_lines += i2 - i1
            rebuilt += old[i1:i2]
        else:
            assert previous in (None, "equal"), "one edit between equal runs"
            assert {"delete": i2 > i1 and j1 == j2, "insert": i1 == i2 and j2 > j1,
                    "replace": i2 > i1 and j2 > j1}[tag]
            # Compaction leaves no edit block that could move one line down.
            if i2 > i1:
                assert i2 == len(old) or old[i1] != old[i2]
            if j2 > j1:
                assert j2 == len(new) or new[j1] != new[j2]
            rebuilt += new[j1:j2]
        previous, i, j = tag, i2, j2
    assert (i, j) == (len(old), len(new))
    assert rebuilt == new
    return equal_lines


# Few distinct lines, so that repeated lines and ambiguous alignments are common.
small_lines = st.lists(st.sampled_from(["a", "b", "c", "a ", ""]), max_size=30)


@settings(max_examples=400, deadline=None)
@given(small_lines, small_lines)
def test_opcodes_are_a_minimal_diff(old, new):
    ops = kx.blame_diff(old, new)
    assert check_opcodes(old, new, ops) == lcs_length(old, new)


@st.composite
def edited_pair(draw):
    old = draw(st.lists(st.sampled_from("abcdefg"), max_size=60))
    new = list(old)
    for _ in range(draw(st.integers(0, 6))):
        kind = draw(st.sampled_from(["insert", "delete", "replace"]))
        if kind != "insert" and new:
            at = draw(st.integers(0, len(new) - 1))
            if kind == "delete":
                del new[at]
            else:
                new[at] = draw(st.sampled_from("abcxyz"))
        else:
            new.insert(draw(st.integers(0, len(new))), draw(st.sampled_from("abxyz")))
    return old, new


@settings(max_examples=400, deadline=None)
@given(edited_pair())
def test_lightly_edited_lists_give_a_minimal_diff(pair):
    old, new = pair
    ops = kx.blame_diff(old, new)
    assert check_opcodes(old, new, ops) == lcs_length(old, new)


@st.composite
def kept_and_added(draw):
    """Distinct lines, and a new list that keeps some of them in order and adds
    lines of its own: the common subsequence is then unique."""
    old = [f"old {n}" for n in draw(st.lists(st.integers(0, 999), unique=True, max_size=40))]
    new = []
    for n, line in enumerate(old + [None]):
        new += [f"new {n}.{k}" for k in range(draw(st.integers(0, 2)))]
        if line is not None and draw(st.booleans()):
            new.append(line)
    return old, new


@settings(max_examples=300, deadline=None)
@given(kept_and_added())
def test_distinct_lines_give_difflibs_opcodes(pair):
    old, new = pair
    reference = difflib.SequenceMatcher(None, old, new, autojunk=False).get_opcodes()
    assert kx.blame_diff(old, new) == reference


def test_long_lists_with_scattered_edits():
    old = [f"line {n}" for n in range(20_000)]
    new = list(old)
    for n in range(0, 20_000, 97):
        new[n] = f"changed {n}"
    del new[5_000:5_010]
    new[12_000:12_000] = ["added"] * 7
    changed = len(range(0, 20_000, 97))
    assert check_opcodes(old, new, kx.blame_diff(old, new)) == len(old) - changed - 10
