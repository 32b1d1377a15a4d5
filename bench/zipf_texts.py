"""The benchmarks' synthetic documents: texts of words drawn from a vocabulary of 20,000 made-up words
by Zipf's law, as the words of real text are, so that a lexical index holds long postings for the
frequent ones. The same count and seed give the same texts, and a longer list starts with the texts
of a shorter one."""

from __future__ import annotations

import itertools
import random


def zipf_texts(count: int, seed: int, words: int = 120) -> list[str]:
    rng = random.Random(seed)
    vocabulary = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9)))
                  for _ in range(20000)]
    zipf = list(itertools.accumulate(1 / rank for rank in range(1, len(vocabulary) + 1)))
    return [" ".join(rng.choices(vocabulary, cum_weights=zipf, k=words)) for _ in range(count)]
