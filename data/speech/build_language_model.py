#!/usr/bin/env python3
"""Builds the church language model from Debian packages, at build time.

Text: two public-domain Bibles and three public-domain commentaries from Debian's SWORD modules
(read with diatheke), spoken-form scripture references made from every verse number ("first
corinthians thirteen four", "john chapter three verse sixteen"), and our own list of phrases
heard in services. A trigram model with Witten-Bell smoothing is estimated with IRSTLM and
converted to PocketSphinx's binary form. Words of that text the US English dictionary lacks get
pronunciations from the letter-to-sound step (lumeno-pronounce).

Writes into OUT: church.lm.bin, church.dict (only the added words) and letter-to-sound.scm (the
rules the program uses for the operator's own words).

usage: build_language_model.py --out DIR --work DIR --pronounce TOOL --rules FILE
                               --dictionary FILE --phrases FILE [--tlm TOOL] [--convert TOOL]
"""
import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import time

BIBLES = [("engWEB2015eb", "Gen 1:1-Rev 22:21"), ("engKJV2006eb", "Gen 1:1-Rev 22:21")]
COMMENTARIES = [("MHCC", "Gen 1:1-Rev 22:21"), ("Scofield", "Gen 1:1-Rev 22:21"), ("TDavid", "Ps 1:1-Ps 150:6")]

# The 66 books as the SWORD modules name them, and as a preacher says them.
BOOKS = {
    "Genesis": "genesis", "Exodus": "exodus", "Leviticus": "leviticus", "Numbers": "numbers",
    "Deuteronomy": "deuteronomy", "Joshua": "joshua", "Judges": "judges", "Ruth": "ruth",
    "I Samuel": "first samuel", "II Samuel": "second samuel", "I Kings": "first kings",
    "II Kings": "second kings", "I Chronicles": "first chronicles", "II Chronicles": "second chronicles",
    "Ezra": "ezra", "Nehemiah": "nehemiah", "Esther": "esther", "Job": "job", "Psalms": "psalm",
    "Proverbs": "proverbs", "Ecclesiastes": "ecclesiastes", "Song of Solomon": "song of solomon",
    "Isaiah": "isaiah", "Jeremiah": "jeremiah", "Lamentations": "lamentations", "Ezekiel": "ezekiel",
    "Daniel": "daniel", "Hosea": "hosea", "Joel": "joel", "Amos": "amos", "Obadiah": "obadiah",
    "Jonah": "jonah", "Micah": "micah", "Nahum": "nahum", "Habakkuk": "habakkuk",
    "Zephaniah": "zephaniah", "Haggai": "haggai", "Zechariah": "zechariah", "Malachi": "malachi",
    "Matthew": "matthew", "Mark": "mark", "Luke": "luke", "John": "john", "Acts": "acts",
    "Romans": "romans", "I Corinthians": "first corinthians", "II Corinthians": "second corinthians",
    "Galatians": "galatians", "Ephesians": "ephesians", "Philippians": "philippians",
    "Colossians": "colossians", "I Thessalonians": "first thessalonians",
    "II Thessalonians": "second thessalonians", "I Timothy": "first timothy",
    "II Timothy": "second timothy", "Titus": "titus", "Philemon": "philemon", "Hebrews": "hebrews",
    "James": "james", "I Peter": "first peter", "II Peter": "second peter", "I John": "first john",
    "II John": "second john", "III John": "third john", "Jude": "jude", "Revelation of John": "revelation",
}

# How references are said. Each verse is said three ways, in turn, so every form is common.
REFERENCE_FORMS = [
    "{b} {c} {v}", "{b} chapter {c} verse {v}", "turn with me to {b} {c} {v}", "{b} {c} verse {v}",
    "open your bibles to {b} chapter {c}", "in {b} {c} {v} we read", "{b} {c} verses {v} and {w}",
    "look at {b} {c} {v}", "{b} {c} {v} says", "read with me from {b} chapter {c} verse {v}",
]

ONES = ("zero one two three four five six seven eight nine ten eleven twelve thirteen fourteen fifteen "
        "sixteen seventeen eighteen nineteen").split()
TENS = "_ _ twenty thirty forty fifty sixty seventy eighty ninety".split()

# Added words must be seen this often: the commentaries' rarest words are misprints and Latin.
MIN_COUNT_FOR_PRONUNCIATION = 3

VERSE_LINE = re.compile(r"^\s*((?:I{1,3} )?[A-Za-z ]+?) (\d+):(\d+): ?(.*)$")


def spoken_number(n):
    if n < 20:
        return ONES[n]
    if n < 100:
        return TENS[n // 10] + ("" if n % 10 == 0 else " " + ONES[n % 10])
    if n < 1000:
        return ONES[n // 100] + " hundred" + ("" if n % 100 == 0 else " " + spoken_number(n % 100))
    if n < 10000:
        return spoken_number(n // 1000) + " thousand" + ("" if n % 1000 == 0 else " " + spoken_number(n % 1000))
    return None


def sentences(text, drop_numbers):
    """Lower-case word sequences of one passage, split where a sentence or clause ends. A
    commentary's numbers are references in abbreviated form ("Pr 28:13"), so a clause with one
    is dropped there; a Bible's numbers are said as words."""
    text = text.replace("\u2019", "'").replace("\u2018", "'").lower()
    for clause in re.split(r"[.;:?!()\[\]\"\u201c\u201d]+", text):
        words = []
        for token in re.findall(r"[a-z0-9']+", clause):
            token = token.strip("'")
            if not token:
                continue
            if any(c.isdigit() for c in token):
                said = None if drop_numbers or not token.isdigit() else spoken_number(int(token))
                if said is None:
                    words = None
                    break
                words.extend(said.split())
            else:
                words.append(token)
        if words and len(words) >= 2:
            yield " ".join(words)


def passages(module, key, once):
    """The passages of a module; with `once`, each only once: a commentary repeats its note for
    every verse the note covers."""
    out = subprocess.run(["diatheke", "-b", module, "-f", "plain", "-k", key], capture_output=True, text=True,
                         errors="replace", check=False).stdout
    seen = set()
    for line in out.splitlines():
        match = VERSE_LINE.match(line)
        body = match.group(4) if match else line
        body = re.sub(r"\*[^*]*\*", " ", body)  # section marks such as "* Verses 3-5 *"
        if body.strip() and not (once and body in seen):
            if once:
                seen.add(body)
            yield (match.group(1).strip(), int(match.group(2)), int(match.group(3))) if match else None, body


def main():
    parser = argparse.ArgumentParser()
    for name in ("out", "work", "pronounce", "rules", "dictionary", "phrases"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--tlm", default="/usr/lib/irstlm/bin/tlm")
    parser.add_argument("--convert", default="sphinx_lm_convert")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    os.makedirs(args.work, exist_ok=True)
    started = time.monotonic()

    counts = collections.Counter()
    training = os.path.join(args.work, "training.txt")
    total = 0
    verses = []
    with open(training, "w", encoding="utf-8") as out:
        def emit(sentence):
            nonlocal total
            words = sentence.split()
            counts.update(words)
            total += len(words)
            out.write("<s> " + sentence + " </s>\n")

        for module, key in BIBLES + COMMENTARIES:
            is_bible = (module, key) in BIBLES
            for verse, body in passages(module, key, once=not is_bible):
                if verse and is_bible and module == BIBLES[0][0] and verse[0] in BOOKS:
                    verses.append((BOOKS[verse[0]], verse[1], verse[2]))
                for sentence in sentences(body, drop_numbers=not is_bible):
                    emit(sentence)
        if not verses:
            sys.exit("build_language_model: diatheke gave no Bible text (are the sword-text packages installed?)")
        for i, (book, chapter, verse) in enumerate(verses):
            for k in range(3):
                form = REFERENCE_FORMS[(i + 3 * k) % len(REFERENCE_FORMS)]
                emit(form.format(b=book, c=spoken_number(chapter), v=spoken_number(verse),
                                 w=spoken_number(verse + 1)))
        with open(args.phrases, encoding="utf-8") as phrases:
            for line in phrases:
                line = line.split("#", 1)[0].strip()
                for sentence in sentences(line, drop_numbers=False):
                    emit(sentence)

    arpa = os.path.join(args.work, "church.arpa")
    subprocess.run([args.tlm, "-tr=" + training, "-n=3", "-lm=wb", "-bo=yes", "-o=" + arpa], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    lm = os.path.join(args.out, "church.lm.bin")
    subprocess.run([args.convert, "-i", arpa, "-ifmt", "arpa", "-o", lm + ".part", "-ofmt", "bin"], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    os.replace(lm + ".part", lm)

    known = set()
    with open(args.dictionary, encoding="utf-8", errors="replace") as dictionary:
        for line in dictionary:
            word = line.split(" ", 1)[0]
            known.add(re.sub(r"\(\d+\)$", "", word))
    missing = sorted(w for w, n in counts.items() if n >= MIN_COUNT_FOR_PRONUNCIATION and w not in known)
    result = subprocess.run([args.pronounce, args.rules], input="\n".join(missing) + "\n", capture_output=True,
                            text=True, check=True)
    with open(os.path.join(args.out, "church.dict.part"), "w", encoding="utf-8") as out:
        out.write(result.stdout)
    os.replace(os.path.join(args.out, "church.dict.part"), os.path.join(args.out, "church.dict"))
    shutil.copyfile(args.rules, os.path.join(args.out, "letter-to-sound.scm"))
    print("church language model: %d words of text, %d added pronunciations, %.0f s"
          % (total, result.stdout.count("\n"), time.monotonic() - started))


if __name__ == "__main__":
    main()
