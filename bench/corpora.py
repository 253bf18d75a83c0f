"""The benchmark's corpora: text generated from real per-language material
with a seeded random generator, never a short unit repeated, plus the
repeated units the benchmark measured before (named "repeated: ..." in its
tables), kept beside them.

    corpus(name, mib, seed=...) -> str of `mib` MiB of UTF-8 (cut at a code point)

Where the material comes from:
- Words and their frequencies: the PyPI package wordfreq (3.x), installed into
  build/venv-bench by scripts/bench for the benchmark only. Its per-language
  lists (wordfreq/data/*.msgpack.gz, "best" = its large list where it has one)
  were built by its authors from Wikipedia, subtitles, news, books, web text
  and social media; `get_frequency_dict(lang, "best")` gives word -> frequency.
  Numbers there have their digits replaced by 0 ("0000"): we draw the digits.
- Emoji: bench/data/emoji-sequences.txt, the fully-qualified sequences of
  Unicode's emoji-test.txt 15.0 (the header in the file names it).
- The repeated units: the project's demo sample (examples/data/sample.txt) and
  the short lines the benchmark has always used (REPEATED below).

How text is made: words are drawn by their frequency in the language's list;
sentence lengths (in words) follow a log-normal law with a mean per language;
commas, the end of a sentence (. ? ! or the language's own marks), quotes and
paragraph breaks follow rates per language; cased scripts start sentences with
a capital. Chinese and Japanese join words without spaces; Korean's list is of
morphemes, so about half of them are glued into words (eojeol); French elides
l' d' j' ... as written. Decomposed corpora are the NFD of the generated NFC
text, measured and cut after decomposition. Everything follows from the seed:
the same seed and size give the same bytes.
"""
import array
import hashlib
import math
import os
import random
import re
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SEED = 18


class Lang:
    def __init__(self, code, words, sep=" ", cased=True, comma=",", comma_rate=0.06,
                 ends=((".", 86), ("?", 8), ("!", 6)), quotes=('"', '"'), quote_rate=0.05,
                 para=(2, 7), sentence_sep=" "):
        self.code = code              # wordfreq's language code
        self.words = words            # mean words per sentence
        self.sep = sep                # between words
        self.cased = cased            # capital at the start of a sentence
        self.comma = comma
        self.comma_rate = comma_rate  # commas per word
        self.ends = ends              # end of sentence marks and their weights
        self.quotes = quotes
        self.quote_rate = quote_rate  # sentences with a quoted span
        self.para = para              # sentences per paragraph (uniform)
        self.sentence_sep = sentence_sep


# Mean sentence lengths in words (for Chinese and Japanese in segmented
# words, for Korean in morphemes), and each language's punctuation.
LANGS = {
    "english": Lang("en", 17),
    "french": Lang("fr", 21, quotes=("\u00ab\u00a0", "\u00a0\u00bb"),
                   ends=((".", 86), ("\u00a0?", 8), ("\u00a0!", 6))),
    "german": Lang("de", 16, quotes=("\u201e", "\u201c")),
    "polish": Lang("pl", 14, comma_rate=0.09, quotes=("\u201e", "\u201d")),
    "vietnamese": Lang("vi", 24, comma_rate=0.05),
    "russian": Lang("ru", 13, comma_rate=0.1, quotes=("\u00ab", "\u00bb")),
    "arabic": Lang("ar", 18, cased=False, comma="\u060c",
                   ends=((".", 88), ("\u061f", 8), ("!", 4)), quotes=("\u00ab", "\u00bb")),
    "hindi": Lang("hi", 18, cased=False, comma_rate=0.04,
                  ends=(("\u0964", 88), ("?", 8), ("!", 4))),
    "chinese": Lang("zh", 16, sep="", cased=False, comma="\uff0c", comma_rate=0.08,
                    ends=(("\u3002", 86), ("\uff1f", 8), ("\uff01", 6)),
                    quotes=("\u201c", "\u201d"), sentence_sep=""),
    "japanese": Lang("ja", 22, sep="", cased=False, comma="\u3001", comma_rate=0.06,
                     ends=(("\u3002", 88), ("\uff1f", 6), ("\uff01", 6)),
                     quotes=("\u300c", "\u300d"), sentence_sep=""),
    "korean": Lang("ko", 18, cased=False, comma_rate=0.03),
}
# The morphemes of wordfreq's Korean list glued into one word this often.
KOREAN_GLUE = 0.5
FRENCH_ELIDED = {"l", "d", "j", "n", "s", "c", "qu", "m", "t", "jusqu", "lorsqu", "puisqu"}
VOCABULARY = 30000  # the most frequent words of each list


def _is_word(w):
    return all(unicodedata.category(c)[0] in "LM" or c in "'-" for c in w)


# The scripts whose combining marks belong to a language's own text.
NATIVE_MARKS = {"hi": ("DEVANAGARI",), "ar": ("ARABIC",)}
CONJOINING_JAMO = ((0x1100, 0x11FF), (0xA960, 0xA97F), (0xD7B0, 0xD7FF))


def _native(code, w):
    """False for a word with a combining mark of another script (a stray
    accent left in the lists, U+0301 in Chinese, the combining kana voicing
    marks in Japanese) or with conjoining jamo: real text of the language
    has them too rarely to set the pace, and one of them in 16 MiB sends
    unicodedata.normalize from its quick check to a full normalisation.
    English is kept to ASCII (the list has a few "café")."""
    if code == "en" and not w.isascii():
        return False
    for c in w:
        if unicodedata.category(c)[0] == "M" and not unicodedata.name(c, "").startswith(
                NATIVE_MARKS.get(code, ("-",))):
            return False
        if any(lo <= ord(c) <= hi for lo, hi in CONJOINING_JAMO):
            return False
    return True


class Sampler:
    """Draws items by weight: a table in which each item fills slots in
    proportion to its weight (at least one), indexed by 32-bit random numbers.
    Weights are thus rounded to multiples of about 2**-20."""

    def __init__(self, items, weights, slots=1 << 20):
        total = sum(weights)
        table = []
        for item, w in zip(items, weights):
            table.extend([item] * max(1, round(w / total * slots)))
        self.table = table

    def draw(self, rng, k):
        t, n = self.table, len(self.table)
        return [t[x % n] for x in array.array("I", rng.randbytes(4 * k))]


_vocab_cache = {}


def vocabulary(code):
    """A Sampler of the language's most frequent words, by their frequency."""
    if code not in _vocab_cache:
        import wordfreq  # noqa: PLC0415 (only the varied corpora need it)
        items = sorted(wordfreq.get_frequency_dict(code, "best").items(),
                       key=lambda kv: (-kv[1], kv[0]))
        words, weights = [], []
        for w, f in items:
            # Numbers come as zeros ("0000"), drawn afresh by _numbers. A few
            # entries are not in NFC (compatibility ideographs): left out.
            if (not (_is_word(w) or set(w) == {"0"}) or not unicodedata.is_normalized("NFC", w)
                    or not _native(code, w)):
                continue
            words.append(w)
            weights.append(f)
            if len(words) == VOCABULARY:
                break
        _vocab_cache[code] = Sampler(words, weights)
    return _vocab_cache[code]


_ZEROS = re.compile(r"0+")


def _numbers(rng, text):
    """Each run of zeros (a number of the word list) as random digits."""
    return _ZEROS.sub(lambda m: str(rng.randint(1, 9))
                      + "".join(rng.choice("0123456789") for _ in range(len(m.group()) - 1)),
                      text)


def _lognormal_length(rng, mean):
    sigma = 0.55
    mu = math.log(mean) - sigma * sigma / 2
    return max(2, min(90, int(round(rng.lognormvariate(mu, sigma)))))


def sentences(lang, rng):
    """An endless stream of paragraphs (each ending in a newline) in `lang`."""
    vocab = vocabulary(lang.code)
    end_marks = [e for e, _ in lang.ends]
    end_weights = [w for _, w in lang.ends]
    while True:
        lengths = [_lognormal_length(rng, lang.words) for _ in range(rng.randint(*lang.para))]
        drawn = vocab.draw(rng, sum(lengths))
        ends = rng.choices(end_marks, weights=end_weights, k=len(lengths))
        out, at = [], 0
        for n, end in zip(lengths, ends):
            ws = drawn[at:at + n]
            at += n
            if lang.cased:
                ws[0] = ws[0][:1].upper() + ws[0][1:]
            for _ in range(int(n * lang.comma_rate + rng.random())):
                ws[rng.randrange(n - 1)] += lang.comma
            if rng.random() < lang.quote_rate and n > 3:
                a = rng.randrange(n - 2)
                b = rng.randrange(a + 1, n - 1)
                ws[a] = lang.quotes[0] + ws[a]
                ws[b] += lang.quotes[1]
            if lang.code == "ko":
                glue = rng.randbytes(n)
                limit = int(256 * KOREAN_GLUE)
                s = ws[0] + "".join(w if g < limit else " " + w for g, w in zip(glue[1:], ws[1:]))
            elif lang.code == "fr":
                s = ws[0] + "".join(("'" if p.lower() in FRENCH_ELIDED else " ") + w
                                    for p, w in zip(ws, ws[1:]))
            elif lang.sep == "":
                # Latin words and numbers inside Chinese or Japanese text
                # keep spaces around them.
                s = "".join(" %s " % w if w.isascii() else w for w in ws)
            else:
                s = lang.sep.join(ws)
            out.append(s + end)
        # NFC again: a word may start with a mark that composes with the end
        # of the word before it (Japanese lists have the kana voicing marks).
        yield unicodedata.normalize("NFC", _numbers(rng, lang.sentence_sep.join(out))) + "\n"


# Emoji, weighted per group as chat uses them; within a group, by a Zipf law
# over the file's order (CLDR's, the most common of a subgroup first).
EMOJI_GROUPS = {"Smileys & Emotion": 45, "People & Body": 22, "Symbols": 9,
                "Animals & Nature": 6, "Food & Drink": 5, "Activities": 4,
                "Travel & Places": 4, "Objects": 4, "Flags": 1}


def _emoji():
    groups = {}
    with open(os.path.join(HERE, "data", "emoji-sequences.txt"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            group, cps = line.rstrip("\n").split("\t")
            groups.setdefault(group, []).append("".join(chr(int(c, 16)) for c in cps.split()))
    seqs, weights = [], []
    for group, share in EMOJI_GROUPS.items():
        items = groups[group]
        z = sum(1 / (i + 1) for i in range(len(items)))
        for i, e in enumerate(items):
            seqs.append(e)
            weights.append(share / z / (i + 1))
    return Sampler(seqs, weights)


def chat(rng):
    """Chat messages: short, lower case, English words with emoji (ZWJ
    sequences, skin tones, flags, keycaps) in most messages."""
    vocab = vocabulary("en")
    emoji = _emoji()
    while True:
        lines = []
        for _ in range(rng.randint(5, 20)):
            ws = vocab.draw(rng, _lognormal_length(rng, 7))
            k = rng.choice((0, 1, 1, 2, 2, 3, 4))
            for e in emoji.draw(rng, k):
                e *= rng.choice((1, 1, 1, 2, 3))
                if rng.random() < 0.6:
                    ws.append(e)
                else:
                    ws.insert(rng.randrange(len(ws) + 1), e)
            if rng.random() < 0.3:
                ws[-1] += rng.choice(("!", "?", "!!", "...", "."))
            lines.append(" ".join(ws))
        yield _numbers(rng, "\n".join(lines)) + "\n"


def stray_feff(rng):
    """English prose with a U+FEFF (a byte order mark left by joined files or
    editors) every 20 to 60 characters."""
    for para in sentences(LANGS["english"], rng):
        parts, i = [], 0
        while i < len(para):
            j = i + rng.randint(20, 60)
            parts.append(para[i:j])
            i = j
        yield "\ufeff".join(parts)


def mixed(rng):
    """Paragraphs of one to three sentences, each in a language drawn from all
    of the above or emoji chat; a quarter of them decomposed (NFD)."""
    streams = {name: sentences(lang, rng) for name, lang in LANGS.items()}
    streams["chat"] = chat(rng)
    names = sorted(streams)
    while True:
        p = next(streams[rng.choice(names)])
        if p.count("\n") > 3:  # a chat paragraph: keep a few messages
            p = "\n".join(p.split("\n")[:3]) + "\n"
        yield unicodedata.normalize("NFD", p) if rng.random() < 0.25 else p


def _nfd(stream):
    for p in stream:
        yield unicodedata.normalize("NFD", p)


# name -> (description, factory(rng) of a stream of paragraphs)
VARIED = {
    "english": ("English prose (ASCII)", lambda r: sentences(LANGS["english"], r)),
    "french": ("French prose", lambda r: sentences(LANGS["french"], r)),
    "german": ("German prose", lambda r: sentences(LANGS["german"], r)),
    "polish": ("Polish prose", lambda r: sentences(LANGS["polish"], r)),
    "vietnamese": ("Vietnamese prose (NFC)", lambda r: sentences(LANGS["vietnamese"], r)),
    "vietnamese-nfd": ("Vietnamese prose, decomposed (NFD)",
                       lambda r: _nfd(sentences(LANGS["vietnamese"], r))),
    "chinese": ("Chinese prose", lambda r: sentences(LANGS["chinese"], r)),
    "japanese": ("Japanese prose (kanji with kana)", lambda r: sentences(LANGS["japanese"], r)),
    "korean": ("Korean prose (Hangul syllables)", lambda r: sentences(LANGS["korean"], r)),
    "korean-jamo": ("Korean prose as jamo (NFD of the syllables)",
                    lambda r: _nfd(sentences(LANGS["korean"], r))),
    "russian": ("Russian prose", lambda r: sentences(LANGS["russian"], r)),
    "arabic": ("Arabic prose", lambda r: sentences(LANGS["arabic"], r)),
    "hindi": ("Hindi prose", lambda r: sentences(LANGS["hindi"], r)),
    "emoji-chat": ("chat messages with emoji", chat),
    "mixed": ("mixed: all of the above, a quarter NFD", mixed),
    "stray-feff": ("English prose with a stray U+FEFF every 20-60 characters", stray_feff),
}


NFD = lambda s: unicodedata.normalize("NFD", s)  # noqa: E731

# The corpora the benchmark used to measure: one short unit repeated to the
# size. They train the branch predictors, so they flatter branchy loops; kept
# to compare with earlier figures.
REPEATED = {
    "repeated: ascii line": "The quick brown fox jumps over the lazy dog; provenance travels. ",
    "repeated: latin-nfc line": "Cr\u00e8me br\u00fbl\u00e9e, fa\u00e7ade, na\u00efve "
                                "r\u00e9sum\u00e9; \u00c6r\u00f8sk\u00f8bing \u2014 d\u00e9j\u00e0 vu. ",
    "repeated: latin-nfd line": NFD("Cr\u00e8me br\u00fbl\u00e9e, fa\u00e7ade, na\u00efve "
                                    "r\u00e9sum\u00e9 \u2014 d\u00e9j\u00e0 vu. "),
    "repeated: vietnamese-nfd line": NFD("Ngu\u1ed3n g\u1ed1c \u0111i c\u00f9ng v\u1edbi ng\u00f4n "
                                         "t\u1eeb; Vi\u1ec7t Nam, ti\u1ebfng Vi\u1ec7t. "),
    "repeated: hangul line": "\ucd9c\ucc98\ub294 \uae00\uacfc \ud568\uaed8 "
                             "\uc5ec\ud589\ud55c\ub2e4. ",
    "repeated: hangul-jamo line": NFD("\ucd9c\ucc98\ub294 \uae00\uacfc \ud568\uaed8 "
                                      "\uc5ec\ud589\ud55c\ub2e4. "),
    "repeated: cjk line": "\u51fa\u81ea\u306f\u8a00\u8449\u3068\u3068\u3082\u306b\u65c5\u3092"
                          "\u3059\u308b\u3002\u6765\u6b74\u60c5\u5831\u306f\u6587\u7ae0\u3068"
                          "\u5171\u306b\u3042\u308b\u3002",
    "repeated: emoji line": "\U0001f469\u200d\U0001f4bb \u2764\ufe0f \U0001f44d\U0001f3fd "
                            "\U0001f1fa\U0001f1e6 \U0001f468\u200d\U0001f469\u200d\U0001f467 ",
    "repeated: mixed line": "Provenance \u00e9 " + NFD("\u00e9t\u00e9 ") + "\u51fa\u81ea "
                            + "\ucd9c\ucc98 " + NFD("\ud55c ") + "\u0645\u0635\u062f\u0631 "
                            + NFD("Vi\u1ec7t ") + "\U0001f4dc\u270d\ufe0f ",
    "repeated: dense markers": "ab\ufeffc\ufe0f\U000e0100d\ufeff\U000e0133\U000e0122x",
    # One run of marks, half of which decompose into two marks each: the
    # worst case for canonical ordering.
    "repeated: marks": "\u0316\u0344",
    # The demo's sample: one sentence in eight languages and scripts.
    "repeated: demo sample": open(os.path.join(HERE, "..", "examples", "data", "sample.txt"),
                                  encoding="utf-8").read(),
}

ALL = list(VARIED) + list(REPEATED)


def cli_name(name):
    """The name --corpus takes: "repeated: demo sample" -> "repeated-demo-sample"."""
    return name.replace(": ", "-").replace(" ", "-")


def describe(name):
    return VARIED[name][0] if name in VARIED else "one short unit repeated"


def _generate(name, size, seed):
    # One generator per corpus, seeded from the seed and the corpus's name.
    rng = random.Random("%d:%s" % (seed, name))
    parts, total = [], 0
    for p in VARIED[name][1](rng):
        b = p.encode("utf-8")
        parts.append(b)
        total += len(b)
        if total >= size:
            break
    raw = b"".join(parts)[:size]
    return raw.decode("utf-8", errors="ignore")  # a character cut at the end is dropped


def _cache_dir():
    return os.environ.get("QUORVANE_BENCH_CACHE",
                          os.path.join(HERE, "..", "build", "bench-corpora"))


def corpus(name, mib, seed=None, cache=True):
    """`mib` MiB of UTF-8 (at most; cut at a code point) of the named corpus,
    from `seed` (DEFAULT_SEED when None)."""
    seed = DEFAULT_SEED if seed is None else seed
    size = int(mib * (1 << 20))
    if name in REPEATED:
        unit = REPEATED[name]
        return unit * (size // len(unit.encode("utf-8")))
    if not cache:
        return _generate(name, size, seed)
    # Cached under build/ by name, size, seed, this file, the emoji list and
    # wordfreq's version, so a change to any of them makes the corpus anew.
    from importlib.metadata import version  # noqa: PLC0415
    h = hashlib.sha256(("%s|%d|%d|%s|" % (name, size, seed, version("wordfreq"))).encode())
    for source in (__file__, os.path.join(HERE, "data", "emoji-sequences.txt")):
        with open(source, "rb") as f:
            h.update(f.read())
    key = h.hexdigest()[:16]
    path = os.path.join(_cache_dir(), "%s-%s.txt" % (name.replace(" ", "_"), key))
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            return f.read()
    text = _generate(name, size, seed)
    os.makedirs(_cache_dir(), exist_ok=True)
    tmp = path + ".tmp%d" % os.getpid()
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    os.replace(tmp, path)
    return text
