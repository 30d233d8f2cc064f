"""Secrets out of texts: each well-known secret shape is replaced by a marker that
names its kind, `[redacted: aws-access-token]`.

The shapes are gitleaks' default rule set (third_party/gitleaks/gitleaks.toml, MIT,
shipped unchanged beside this module), applied as gitleaks applies them: a rule
runs only on a text that holds one of its keywords (lowercase), its secret is its
regex's secret group (else the first group that matched, else the whole match), a
secret whose Shannon entropy is at most the rule's `entropy` is not one, and the
global and the rule's allowlists (regexes on the secret, the match or the line,
stopwords) let known non-secrets through. Rules bound to file paths (a `.tf` file,
a `nuget.config`) cannot apply to a text and are left out. The regexes are written
for Go's RE2; `re2.adapt` rewrites the few constructs that Python's `re` reads
differently (flags set in the middle of a group, POSIX classes, `\\z`), and a rule
that still cannot be compiled is skipped and counted (`rules().skipped`).

A few shapes gitleaks leaves to its generic rule or lacks are added here: credentials
inside URLs, well-known prefixes, Authorization headers (`OWN_RULES`), and the value
given to a name that says password, secret, token or key, whatever its entropy
(`Assignments`). Where rules overlap, the span is replaced once, named by the most
specific rule (gitleaks' own, then these, then gitleaks' generic one).
"""

from __future__ import annotations

import math
import os
import re
import threading
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Pattern, Sequence, Tuple

from .re2 import Unadaptable, compile_re2 as _compile

MARK = "[redacted: %s]"
GENERIC = "generic-api-key"
_HERE = os.path.dirname(os.path.abspath(__file__))
# In an installed package the rules lie beside this module; in a source tree that is
# run in place (PYTHONPATH=python), in third_party/.
RULE_FILES = (os.path.join(_HERE, "gitleaks", "gitleaks.toml"),
              os.path.join(os.path.dirname(os.path.dirname(_HERE)), "third_party", "gitleaks", "gitleaks.toml"))

# The shapes gitleaks' default set lacks: credentials inside URLs, well-known prefixes
# and Authorization headers. Each: id, keywords (lowercase; the rule runs on a text holding one), regex
# (group 1 is the secret), allowlist of secrets. Assignments to a name that says
# password, token, secret or key are found by `Assignments`, below.
OWN_RULES: Sequence[Tuple[str, Sequence[str], str, Sequence[str]]] = (
    ("url-credentials", ("://",),
     r"""(?i)\b[a-z][a-z0-9+.-]{1,30}://[^\s:/?#@'"`<>\\]{1,100}:([^\s/?#@'"`<>\\]{1,200})@[^\s/?#@'"`<>\\]""",
     (r"^[$%]", r"^\{\{", r"^(?:x+|\*+)$")),
    # Well-known prefixes gitleaks' rules want more of: Slack's tokens of every kind
    # (xoxb-, xoxp-, xoxe.xoxp-, xoxs-, ...) whatever their length, keys that start with
    # sk- (OpenAI's without the infix its rule wants, and others'), Stripe's webhook
    # secrets, Google's OAuth access tokens, JSON Web Tokens with short parts. Each starts
    # only where no [\w-] is before it, so a long run of look-alikes is read once.
    ("slack-token", ("xox",), r"""(?<![\w-])(xox[abeoprs](?:\.xox[bp])?-[0-9A-Za-z-]{10,300})(?![\w-])""",
     (r"(?i)your|example|x{4}|\.\.\.",)),
    ("sk-api-key", ("sk-",),
     r"""(?<![\w-])(sk-(?=[\w-]{0,300}?[0-9])(?=[\w-]{0,300}?[A-Z])(?=[\w-]{0,300}?[a-z])[A-Za-z0-9_-]{32,300})"""
     r"""(?![\w-])""", (r"(?i)your|example|x{4}",)),
    ("stripe-webhook-secret", ("whsec_",), r"""(?<![\w-])(whsec_[A-Za-z0-9]{24,100})(?![\w-])""", ()),
    ("google-oauth-token", ("ya29.",), r"""(?<![\w-])(ya29\.[A-Za-z0-9_-]{20,2000})""", ()),
    ("json-web-token", ("eyj",),
     r"""(?<![\w-])(eyJ[A-Za-z0-9_-]{8,1000}\.eyJ[A-Za-z0-9_-]{4,8000}\.[A-Za-z0-9_-]{8,2000})""", ()),
    ("authorization-header", ("authorization", "api-key", "auth-token"),
     r"""(?i)(?:\bauthorization(?:\\?["'])?[ \t]*[:=][ \t]*(?:\\?["'])?(?:bearer|token|basic|bot)[ \t]+"""
     r"""|\b(?:x-)?(?:api-key|auth-token)(?:\\?["'])?[ \t]*:[ \t]*(?:\\?["'])?)([A-Za-z0-9._~+/=-]{8,})""",
     (r"^[.=-]+$",)),
)

# Where a rule's regex can only match near one of a few words, the places of those
# words, found first, bound where its regex is tried (`Anchor`): gitleaks' generic
# rule starts with up to 50 characters of [\w.-] before its word, which Python's
# backtracking would try at every place of a text. Each: the words (lowercase; a
# match holds one of them, in any case), how far before it a match can start, and the
# characters that can lie between. tests/test_redact.py checks that each rule finds
# the same with and without its anchor.
_ANCHORS = {
    GENERIC: (("access", "auth", "credential", "creds", "key", "passwd", "password", "secret", "token", "api"),
              50, r"[\w.-]"),
}

# Order of precedence where rules overlap: lower first.
_SPECIFIC, _OWN, _GENERIC = 0, 1, 2


@dataclass
class Allowlist:
    regexes: Tuple[Pattern[str], ...] = ()
    target: str = "secret"          # what the regexes look at: the secret, the whole match or its line
    stopwords: Tuple[str, ...] = ()
    every: bool = False             # condition AND: every criterion given must hold
    by_place: bool = False          # has path or commit criteria, which a text never meets


class Anchor:
    """The matches of a regex that can only start at most `reach` characters of
    `between` before a place where one of `words` begins, as `regex.finditer` gives
    them. At each such place the regex is tried once, from the earliest start it
    can have there: from that start its lazy prefix reaches every word within
    `reach`, so a start further on can only succeed through a later word, whose
    place comes next."""

    def __init__(self, words: Sequence[str], reach: int, between: str):
        self.words = re.compile("(?=%s)" % _trie(sorted(set(words))))
        self.any_case = re.compile("(?=%s)" % "|".join(map(re.escape, words)), re.IGNORECASE | re.ASCII)
        self.reach = reach
        self.run = re.compile("%s*\\Z" % between, re.ASCII) if reach else None

    def places(self, text: str):
        lowered = text.lower()
        if len(lowered) == len(text):     # the same places (a letter whose lowercase is longer is rare)
            return (m.start() for m in self.words.finditer(lowered))
        return (m.start() for m in self.any_case.finditer(text))

    def finditer(self, text: str, regex: Pattern[str]):
        at, tried = 0, -1     # where the next match may start; the last start tried
        for place in self.places(text):
            if place < at:
                continue
            start = place
            if self.run is not None:
                start = self.run.search(text, max(at, place - self.reach), place).start()
            if start <= tried:
                continue
            tried = start
            m = regex.match(text, start)
            if m is not None:
                yield m
                at = max(m.end(), start + 1)


@dataclass
class Rule:
    id: str
    regex: Pattern[str]
    keywords: Tuple[str, ...]
    entropy: float = 0.0
    secret_group: int = 0
    allowlists: Tuple[Allowlist, ...] = ()
    rank: int = _SPECIFIC
    anchor: Optional[Anchor] = None
    finder: Optional["Assignments"] = None     # finds the secrets itself (entropy and allowlists unused)


@dataclass
class RuleSet:
    rules: List[Rule]
    skipped: Dict[str, str] = field(default_factory=dict)     # rule id: why it was left out
    allowlist: Allowlist = field(default_factory=Allowlist)   # the global one
    source: str = ""
    _by_keyword: Dict[str, List[int]] = field(default_factory=dict, repr=False)
    _always: List[int] = field(default_factory=list, repr=False)

    def __post_init__(self) -> None:
        for i, rule in enumerate(self.rules):
            if not rule.keywords:
                self._always.append(i)
            for k in rule.keywords:
                self._by_keyword.setdefault(k, []).append(i)
        # Every keyword that starts at each place of a text, in one pass: a trie of the
        # keywords as one pattern in a lookahead (it gives the longest keyword at a
        # place; the shorter ones that start there are its prefixes).
        words = sorted(self._by_keyword)
        self._keywords = re.compile("(?=(%s))" % _trie(words)) if words else None
        self._prefixes = {w: [v for v in words if w.startswith(v)] for w in words}

    def candidates(self, text: str) -> List[Rule]:
        """The rules whose keywords occur in `text`, lowercased (gitleaks' prefilter)."""
        chosen = set(self._always)
        if self._keywords is not None:
            seen = set()
            for m in self._keywords.finditer(text.lower()):
                word = m.group(1)
                if word not in seen:
                    seen.add(word)
                    for w in self._prefixes[word]:
                        chosen.update(self._by_keyword[w])
        return [self.rules[i] for i in sorted(chosen)]

    def find(self, text: str, only: Optional[Sequence[Rule]] = None) -> List[Tuple[int, int, str]]:
        """The secrets in `text`: (start, end, rule id), in order, not overlapping
        (with `only`, those of these rules)."""
        found = self._found(text, self.candidates(text) if only is None else _holding_keywords(only, text))
        return _merge(found)

    def _found(self, text: str, rules: Sequence[Rule]) -> List[Tuple[int, int, int, str]]:
        found: List[Tuple[int, int, int, str]] = []
        for rule in rules:
            if rule.finder is not None:
                found.extend((start, end, rule.rank, rule.id) for start, end in rule.finder.spans(text))
                continue
            for m in (rule.anchor.finditer(text, rule.regex) if rule.anchor else rule.regex.finditer(text)):
                span = _secret_span(m, rule.secret_group)
                if span is None:
                    continue
                secret = text[span[0]:span[1]]
                if rule.entropy and entropy(secret) <= rule.entropy:
                    continue
                if _allowed(self.allowlist, secret, m, text) or any(_allowed(a, secret, m, text)
                                                                      for a in rule.allowlists):
                    continue
                found.append((span[0], span[1], rule.rank, rule.id))
        return found

    def redact(self, text: str) -> str:
        spans = self.find(text)
        if not spans:
            return text
        out, at = [], 0
        for start, end, rule_id in spans:
            out.append(text[at:start])
            out.append(MARK % rule_id)
            at = end
        out.append(text[at:])
        return "".join(out)


def _holding_keywords(rules: Sequence[Rule], text: str) -> List[Rule]:
    lowered = text.lower()
    return [r for r in rules if not r.keywords or any(k in lowered for k in r.keywords)]


def _trie(words: Sequence[str]) -> str:
    """One pattern for a set of words, as a trie (each place tries one branch per
    character), a longer word before its prefix."""
    root: dict = {}
    for word in words:
        node = root
        for ch in word:
            node = node.setdefault(ch, {})
        node[""] = {}

    def build(node: dict) -> str:
        branches = [re.escape(ch) + build(child) for ch, child in sorted(node.items()) if ch]
        if not branches:
            return ""
        body = branches[0] if len(branches) == 1 else "(?:%s)" % "|".join(branches)
        return "(?:%s)?" % body if "" in node else body

    return build(root)


def _secret_span(m: "re.Match[str]", group: int) -> Optional[Tuple[int, int]]:
    if group:
        if group > (m.re.groups or 0) or m.start(group) < 0:
            return None
        span = m.span(group)
    else:
        span = m.span()
        for g in range(1, (m.re.groups or 0) + 1):
            if m.start(g) >= 0 and m.end(g) > m.start(g):
                span = m.span(g)
                break
    return span if span[1] > span[0] else None


def _allowed(a: Allowlist, secret: str, m: "re.Match[str]", text: str) -> bool:
    checks: List[bool] = []
    if a.by_place:
        checks.append(False)
    if a.regexes:
        if a.target == "match":
            target = m.group(0)
        elif a.target == "line":
            start = text.rfind("\n", 0, m.start()) + 1
            end = text.find("\n", m.end())
            target = text[start:] if end < 0 else text[start:end]
        else:
            target = secret
        checks.append(any(r.search(target) for r in a.regexes))
    if a.stopwords:
        lowered = secret.lower()
        checks.append(any(w in lowered for w in a.stopwords))
    if not checks:
        return False
    return all(checks) if a.every else any(checks)


def _merge(found: List[Tuple[int, int, int, str]]) -> List[Tuple[int, int, str]]:
    """Overlapping spans become one, named by the most specific rule among them."""
    found.sort()
    out: List[List] = []
    for start, end, rank, rule_id in found:
        if out and start < out[-1][1]:
            last = out[-1]
            last[1] = max(last[1], end)
            if rank < last[2]:
                last[2], last[3] = rank, rule_id
        else:
            out.append([start, end, rank, rule_id])
    return [(s, e, r) for s, e, _, r in out]


def entropy(text: str) -> float:
    """Shannon entropy in bits per character, as gitleaks computes it."""
    if not text:
        return 0.0
    counts: Dict[str, int] = {}
    for ch in text:
        counts[ch] = counts.get(ch, 0) + 1
    n = len(text)
    return -sum(c / n * math.log2(c / n) for c in counts.values())


# -- assignments ---------------------------------------------------------------------
#
# A value given to a name that says it is a password, a token, a secret or a key:
# `password=…`, `DB_PASSWORD=…`, `"api_key": "…"`, `clientSecret: …`, `--token …`,
# `<password>…</password>`, and the forms of a few commands (`mysql -p…`, `sshpass -p
# …`, `docker login -p …`, `curl -u user:…`). Such a value is a secret whatever its
# entropy, and it goes whole: a quoted one to its closing quote, another to the next
# white space or quote (in a URL's query, to the next & or #).
#
# What stays is what cannot be one: a variable or template ($PGPASS, ${{ secrets.X }},
# {{ .Values.x }}, %s), a placeholder or mask (<password>, ****, your_api_key_here),
# a number, a value shorter than 4 characters (`key=1`, `pw=ab`), a path, and code:
# a type (`token: str`), an attribute path or a call (`api_key=settings.API_KEY`,
# `password=getpass()`), a name that is itself about the secret (`password=password`,
# `token=access_token`).
# After a token's, secret's or key's name a plain word stays too (`api_key=value` in
# prose), after a password's name it goes (`password=hunter`) unless prose goes on
# after it (`password: expected 8 characters`). A literal (a quoted value, the value
# of an environment variable, `UPPER_NAME=value`, or of a command's option) is code
# only when it calls or looks up something.

# The end of a name (what may follow the word that says what the value is) and what
# lies between it and the value: the name's closing quote or bracket, an operator
# (=, :, =>, :=, ::=, ?=, .=, +=), a Go type before =, the end of an XML start tag, or
# the white space after a command-line option.
_SUFFIX = (r"(?P<sfx>[_.-]?(?:value|str|string|b64|base64|hex|raw|plain(?:text)?|clear(?:text)?|text|base"
           r"|enc(?:oded)?))?")
_BETWEEN = (r"""(?P<close>\\?["'`]\]?|\])?(?:[ \t]*\??[ \t]*(?P<op>=>|:{1,3}=|[?.+]=|=(?![=~])|:(?![:=]))[ \t]*"""
            r"""|[ \t]+(?:string|\[\]byte)[ \t]*(?P<go>=)(?![=~>])[ \t]*|(?P<xml>>)"""
            r"""|(?P<flag>[ \t]+|,[ \t]*)(?=[^\s=|&;<>#-]))""")
_NAME_CHARS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-")
# The words before `key` that make it a secret's name (a primary key, a sort key or
# a keyboard's key is none), before `token` that make it none (tokenizers' special
# tokens, pages' and forms' tokens), and before `pass` that make it a password's.
_KEY_AFTER = re.compile(r"(?:api|access|secret|private|priv|auth|client|app|application|master|encryption|encrypt"
                        r"|signing|sign|service|account|license|licence|subscription|ssh|session|db|database|admin"
                        r"|consumer|developer|hmac|jwt|webhook|deploy|root|crypto|cipher|aes|gpg|pgp"
                        r"|functions|merchant|partner|aws|openai|anthropic|stripe|google|azure)[_.-]?\Z")
_TOKEN_NOT_AFTER = re.compile(r"(?:eos|bos|pad|unk|sep|cls|mask|special|start|end|stop|next|prev|page|continuation"
                              r"|cursor|csrf|xsrf|cancel|cancellation|public|publickey|sync|resume|jsonweb)[_.-]?\Z")
_PASS_AFTER = re.compile(r"(?:db|database|user|admin|root|smtp|mail|email|redis|mysql|pg|postgres|ftp|sftp|ssh|ldap"
                         r"|proxy|api|app|auth|login|rabbitmq|amqp|mongo|store|key|priv|vnc|wifi|sudo|ssl|tls|jks"
                         r"|mq|bind|master)[_.-]?\Z")
# A command-line option whose name holds the word but that takes no value.
_FLAG_NOT = re.compile(r"-*(?:no|ask|prompt|show|hide|require|skip|use|with|reset|change|forgot|random|generate"
                       r"|empty|allow|disable|enable|save|store|keep|read|from|stdin|print|list)[_-]")
_ENV_NAME = re.compile(r"[A-Z_][A-Z0-9_]*\Z")

# The commands that take a password as an option of their own (the value follows).
_COMMAND_WORDS = ("mysql", "mariadb", "sshpass", "docker", "podman", "nerdctl", "buildah", "skopeo", "helm",
                  "oras", "mongo", "curl")
_COMMAND = re.compile(
    r"""(?<![\w-])(?:(?:mysql|mariadb)[\w-]*[ \t](?:[^\n;|&]{0,200}?[ \t])?-p(?=[^\s-])"""
    r"""|sshpass[ \t](?:[^\n;|&]{0,60}?[ \t])?-p[ \t]*(?=\S)"""
    r"""|(?:docker|podman|nerdctl|buildah|skopeo|helm(?:[ \t]+registry)?|oras)[ \t]+login[ \t]"""
    r"""(?:[^\n;|&]{0,200}?[ \t])?-p[ \t]+(?=\S)"""
    r"""|mongo(?:sh|dump|restore|import|export)?[ \t](?:[^\n;|&]{0,200}?[ \t])?-p[ \t]+(?=\S)"""
    r"""|(?P<curl>curl)[ \t](?:[^\n;|&]{0,300}?[ \t])?(?:-u|--user)(?:[ \t]+|=)(?=\S))""")

# A value: quoted (to its closing quote, on its line), else a run to white space, a
# quote or an escaped line end (\n in a JSON string); in a URL's query, to & or #.
VALUE_CHARS = 400
_QUOTED = {'"': re.compile(r'(?:[^"\\\n]|\\.){0,%d}"' % VALUE_CHARS),
           "'": re.compile(r"(?:[^'\\\n]|\\.){0,%d}'" % VALUE_CHARS),
           "`": re.compile(r"[^`\n]{0,%d}`" % VALUE_CHARS),
           '\\"': re.compile(r'(?:[^\\\n]|\\(?!")){0,%d}\\"' % VALUE_CHARS),
           "\\'": re.compile(r"(?:[^\\\n]|\\(?!')){0,%d}\\'" % VALUE_CHARS)}
_RUN = re.compile(r"""(?:[^\s"'`\\]|\\(?![nrt"'`\\])){1,%d}""" % VALUE_CHARS)
_QUERY_RUN = re.compile(r"""(?:[^\s"'`\\&#]|\\(?![nrt"'`\\])){1,%d}""" % VALUE_CHARS)

# What a value is when it stays: shorter than SHORTEST characters, digits alone, or:
SHORTEST = 4
_PLACEHOLDER = re.compile(
    r"""^\$[\w{(]|^\$\Z|^%(?:\w+%|\(|[sdr]\Z)|^@[\w.]+@?\Z"""           # $NAME ${NAME} $(command) %NAME% %s @name@
    r"""|^\{\{[^{}]*\}\}|^\{[^{}]*\}|^#\{[^{}]*\}|^<[^<>]*>\Z"""         # {{ template }} {name} #{name} <placeholder>
    r"""|^:[A-Za-z_]\w*\Z|^(?:env|file|fd):|^![\w!]+\Z|^\#[0-9a-f]{3,8}\Z"""  # :bind, env:NAME, a YAML tag, a colour
    r"""|^(?:\*+|x+|\.+|-+|_+|\#+|•+|\?+)\Z|[*•]{3}|\.\.\.|…"""         # masks, an ellipsis
    r"""|example|sample|dummy|fake|placeholder|changeme|change[_-]me|redacted|masked|replace[_-]?me|^your|[_-]here\Z"""
    r"""|xxxx""", re.IGNORECASE)
_WORDS = frozenset("""none null nil undefined true false yes no on off required optional empty default hidden
    secret secrets password passwd passphrase pass pwd token tokens key keys apikey str string bytes bool boolean
    int integer number float double char varchar text any unknown object dict map list array void never value
    values val new await yield lambda function async self this cls input prompt getpass stdin env environ foo bar
    baz qux demo test changeme secretstr securestring sensitive omitted unset invalid missing generated random auto
    ask interactive inherit""".split())
# Words that say a text is prose about the name, not a value given to it: `the
# --password option`, `--username and --password options`.
_PROSE_WORDS = frozenset("""option options flag flags argument arguments arg args parameter parameters param params
    switch setting settings field fields variable and or to is are was were in on with for the can must should will
    if when instead only also not as of from into then but that which this its""".split())
_SECRET_WORDS = frozenset("""password passwd passphrase pass pwd pw secret secrets token tokens key keys apikey
    cred creds credential credentials auth""".split())
_TYPEISH = re.compile(r"(?:u?int|[iuf]|float|bytes|utf|sha|md|base|x|v)\d+\Z")
_PATH = re.compile(r"(?:~|\.{1,2})?/[\w.~@+/-]*\Z|[A-Za-z]:[\\/][\w.~@+\\/ -]*\Z")
_CODE_HEAD = re.compile(r"[A-Za-z_$][\w$]*(?:(?:\.|::|->|\?\.|!\.)[A-Za-z_$][\w$]*)*")
_PATH_PARTS = re.compile(r"\.|::|->|\?\.|!\.")
_HUMPS = re.compile(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|\d+")
_DIGITS = re.compile(r"\d+")
_VOWEL = re.compile(r"[aeiouyAEIOUY]")
_NAMEISH = re.compile(r"[A-Za-z_][\w.-]*\Z")
_STRUCTURE = re.compile(r"[(\[]|\{[A-Za-z_$][\w$]*[:,}]")
# What may follow a plain word in code (`userpass = username + ":" + password`) or in
# prose (`password: expected 8 characters`).
_CODE_GOES_ON = re.compile(r"[ \t]+(?:[-+*/%|&^]=?[ \t]|[<>!=]=|\?\?|\|\||&&|(?:if|else|or|and|is|in|not)\b)")
_PROSE_GOES_ON = re.compile(r"[ \t]+[A-Za-z0-9(]")


def _words(name: str) -> List[str]:
    return [w for part in re.split(r"[_.\-\s]+", name) for w in _HUMPS.findall(part)]


def _about_secret(name: str) -> bool:
    """A name that is itself about a secret: db_password, accessToken, API_KEY."""
    return any(w.lower() in _SECRET_WORDS for w in _words(name))


def _code_name(name: str, strict: bool, path: bool = False) -> bool:
    """Whether a name (letters, digits, _, - and $) reads as code rather than as a
    secret: a name about the secret, a type, words as code spells them (user_input,
    userInput, DB_HOST, s3_bucket; not xRzLyYmVKxZyIj, not hunter2), and unless
    `strict`, one plain word; `strict` wants a vowel in each word, as words have. In an
    attribute path or a call (`path`), a part may hold one run of digits (uuid4,
    b64encode)."""
    low = name.lower().lstrip("$")
    if _TYPEISH.match(low):
        return True
    if any(ch.isdigit() for ch in name):
        parts = re.split(r"[_.-]+", name)
        words = _words(_DIGITS.sub("_", name))
        if len(words) >= 3 and any(w.lower() in _SECRET_WORDS for w in words):
            return True                         # a type: Ed25519PrivateKey
        if path:
            return all(len(_DIGITS.findall(part)) <= 1 for part in parts)
        if any(_DIGITS.search(part) and len(part) > 3 for part in parts):
            return False                        # hunter2, Password1, xk4mpqrz
        name = "_".join(part for part in parts if not _DIGITS.search(part))    # s3_bucket: bucket
        if not name:
            return False
        low = name.lower()
    if low in _WORDS or _about_secret(name):
        return True
    words = _words(name)
    if len(words) < 2:
        return not strict
    short = sum(1 for w in words if len(w) < 3)
    if not all(len(w) > 1 for w in words) or short > max(1, len(words) // 3):
        return False
    return not strict or all(_VOWEL.search(w) for w in words if len(w) > 2 and not w.isupper())


def _stays(value: str, quoted: bool, literal: bool, strict: bool, code: bool = False) -> bool:
    """Whether a value given to a secret's name is no secret (see above). `literal`: a
    quoted value, an environment variable's or a command's; `strict`: a password's
    name; `code`: what lies around it says a plain word is code or prose."""
    core = value.strip() if quoted else value.rstrip(",;)]}.!?:")
    if len(core) < SHORTEST or _PLACEHOLDER.search(value) or _PLACEHOLDER.search(core):
        return True
    low = core.lower()
    if low in _WORDS or low in _PROSE_WORDS and not quoted or _PATH.match(core):
        return True
    if _NAMEISH.match(core) and (_about_secret(core) or not strict) and _code_name(core, False):
        return True                             # a name: 'db-password', a storage key's 'todos', 'proxy-handled'
    if core.isdigit():
        return True                             # a number: a count, a port, a PIN's placeholder
    if quoted:
        return False
    if not literal and _STRUCTURE.match(value):
        return True                             # parameters, a list, an object: (token: string), {type: String}
    head = _CODE_HEAD.match(value)
    if head is None:
        return False
    name, rest = head.group(), value[head.end():]
    parts = _PATH_PARTS.split(name)
    if rest[:1] in ("(", "["):                  # a call or a lookup
        return all(_code_name(p, False, True) for p in parts)
    if literal:
        return False
    if len(parts) > 1:                          # an attribute path
        return all(_code_name(p, False, True) for p in parts)
    if rest and rest[0] not in ",;)]}" and rest[:2] not in ("||", "&&", "??"):
        return False
    return _code_name(name, strict and not code)


class Assignments:
    """The values given to names that hold one of `words` (lowercase; `key` and `pass`
    only after a word that makes them a secret's name), as spans of a text; with
    `commands`, the commands' password options too. `strict`: a plain word given to
    such a name is a secret (a password's), else it stays (a token's, a key's)."""

    def __init__(self, words: Sequence[str], strict: bool, commands: bool = False):
        self.strict = strict
        self.commands = commands
        self.head = re.compile("(?i)(?P<kw>%s)%s%s" % ("|".join(sorted(words, key=len, reverse=True)), _SUFFIX,
                                                       _BETWEEN))
        self.anchor = Anchor(tuple(words) + (_COMMAND_WORDS if commands else ()), 0, "")

    def spans(self, text: str):
        at = 0
        for place in self.anchor.places(text):
            if place < at:
                continue
            span = self._assigned(text, place)
            if span is None and self.commands:
                span = self._command(text, place)
            if span is not None:
                yield span
                at = span[1]

    def _assigned(self, text: str, place: int) -> Optional[Tuple[int, int]]:
        m = self.head.match(text, place)
        if m is None:
            return None
        start = place
        while start > max(0, place - 80) and text[start - 1] in _NAME_CHARS:
            start -= 1
        before = text[start:place].lower()
        word = m.group("kw").lower()
        if word == "key" and not _KEY_AFTER.search(before):
            return None
        if word == "token" and _TOKEN_NOT_AFTER.search(before):
            return None
        if word == "pwd" and (not before.strip("-") or before.endswith("old")):      # $PWD, $OLDPWD: folders
            return None
        if word.startswith("pass") and word[4:] in ("", "in", "out") and not (
                _PASS_AFTER.search(before) or before.strip("-") == "" and before):   # DB_PASS, -passin
            return None
        op = m.group("op") or m.group("go") or ""
        if m.group("flag") is not None:
            if not before.startswith("-") or _FLAG_NOT.match(before) or (m.group("flag")[0] == ","
                                                                         and not m.group("close")):
                return None
            if start and not (text[start - 1].isspace() or text[start - 1] in "\"'`([="):
                return None
        elif m.group("xml"):
            return self._element(text, start, m.end())
        name_end = m.end("sfx") if m.group("sfx") else m.end("kw")
        literal = (op == "=" and m.start("op") == name_end and m.end() == m.end("op")
                   and _ENV_NAME.match(text, start, name_end) is not None) or m.group("flag") is not None
        query = op == "=" and start > 0 and text[start - 1] in "?&"
        begin = m.end()
        if op == ":":                 # a type before the value: `password: str = "…"`
            typed = _TYPED.match(text, begin)
            if typed:
                begin = typed.end()
        if word.startswith("pass") and text.startswith("pass:", begin):           # openssl -passin pass:…
            begin += 5
        # `password = username`, a program's; `passwd:dir`, a name with a namespace
        code = op == "+=" or (op == "=" and text[m.start("op") - 1] in " \t" and m.end() > m.end("op")) or (
            op == ":" and not m.group("close") and m.end() == m.end("op"))
        return self._value(text, begin, literal, query, code, op == ":")

    def _value(self, text: str, begin: int, literal: bool, query: bool = False, code: bool = False,
               colon: bool = False, after_colon: bool = False) -> Optional[Tuple[int, int]]:
        quote = text[begin:begin + 2] if text.startswith(("\\\"", "\\'"), begin) else text[begin:begin + 1]
        closing = _QUOTED.get(quote)
        if closing is not None:
            m = closing.match(text, begin + len(quote))
            if m is not None:
                start, end = begin + len(quote), m.end() - len(quote)
                value = text[start:end]
                if value[:1].isspace() or value[-1:].isspace() or quote == "`" and not value.strip().isalnum():
                    return None           # between two strings or code spans: `print("Password: " + pw)`
                if after_colon:                   # curl's user:password
                    colon = value.find(":")
                    if colon < 0:
                        return None
                    start, value = start + colon + 1, value[colon + 1:]
                if _stays(value, True, True, self.strict, False):
                    return None
                return start, end
            begin += len(quote)
        m = (_QUERY_RUN if query else _RUN).match(text, begin)
        if m is None:
            return None
        start, end = m.span()
        if after_colon:
            colon = text.find(":", start, end)
            if colon < 0:
                return None
            start = colon + 1
        code = code or _CODE_GOES_ON.match(text, end) is not None or (
            colon and _PROSE_GOES_ON.match(text, end) is not None)
        if _stays(text[start:end], False, literal, self.strict, code):
            return None
        return start, end

    def _element(self, text: str, start: int, begin: int) -> Optional[Tuple[int, int]]:
        """<password>…</password>"""
        if start == 0 or text[start - 1] != "<":
            return None
        end = text.find("</", begin, begin + VALUE_CHARS)
        value = text[begin:end] if end >= 0 else ""
        if not value.strip() or "<" in value or _stays(value.strip(), True, True, self.strict, False):
            return None
        lead = len(value) - len(value.lstrip())
        return begin + lead, begin + len(value.rstrip())

    def _command(self, text: str, place: int) -> Optional[Tuple[int, int]]:
        m = _COMMAND.match(text, place)
        if m is None:
            return None
        return self._value(text, m.end(), True, after_colon=m.group("curl") is not None)


_TYPED = re.compile(r"[ \t]*[A-Za-z_][\w.]*(?:\[[\w\[\], .|]*\]|<[\w<>, .|]*>)?[?!]?"
                    r"(?:[ \t]*\|[ \t]*[A-Za-z_][\w.]*(?:\[[\w\[\], .|]*\])?)*[ \t]*=(?![=>~])[ \t]*")

# Rule id, keywords (the rule runs on a text holding one), the words of its names,
# whether a plain word is a secret, whether commands' options are looked at.
ASSIGNMENTS: Sequence[Tuple[str, Sequence[str], Sequence[str], bool, bool]] = (
    ("password-assignment", ("pass", "pwd", "mysql", "mariadb", "login", "mongo", "curl"),
     ("password", "passwd", "passphrase", "passin", "passout", "pass", "pwd"), True, True),
    ("token-assignment", ("token", "secret", "key"), ("token", "secret", "key"), False, False),
)


# -- loading -----------------------------------------------------------------------


def _toml(path: str) -> dict:
    try:
        import tomllib     # Python 3.11+
    except ImportError:
        import tomli as tomllib   # type: ignore[no-redef]
    with open(path, "rb") as f:
        return tomllib.load(f)


def _allowlist(spec: dict) -> Allowlist:
    return Allowlist(regexes=tuple(_compile(r) for r in spec.get("regexes", ())),
                     target=spec.get("regexTarget", "secret") or "secret",
                     stopwords=tuple(w.lower() for w in spec.get("stopwords", ())),
                     every=str(spec.get("condition", "OR")).upper() == "AND",
                     by_place=bool(spec.get("paths") or spec.get("commits")))


def load(path: Optional[str] = None) -> RuleSet:
    """The rule set: gitleaks' default rules (from `path`, else the file shipped with
    the package) and this module's own."""
    if path is None:
        path = next((p for p in RULE_FILES if os.path.isfile(p)), RULE_FILES[0])
    config = _toml(path)
    rules: List[Rule] = []
    skipped: Dict[str, str] = {}
    for spec in config.get("rules", ()):
        rule_id = spec.get("id", "?")
        if spec.get("path"):
            skipped[rule_id] = "bound to file paths"
            continue
        if not spec.get("regex"):
            skipped[rule_id] = "no regex"
            continue
        try:
            rule = Rule(rule_id, _compile(spec["regex"]), tuple(k.lower() for k in spec.get("keywords", ())),
                        float(spec.get("entropy", 0.0)), int(spec.get("secretGroup", 0)),
                        tuple(_allowlist(a) for a in spec.get("allowlists", ())),
                        _GENERIC if rule_id == GENERIC else _SPECIFIC)
            if rule_id in _ANCHORS:
                rule.anchor = Anchor(*_ANCHORS[rule_id])
        except Unadaptable as e:
            skipped[rule_id] = "cannot be adapted: %s" % e
            continue
        rules.append(rule)
    for rule_id, keywords, regex, allowed in OWN_RULES:
        rules.append(Rule(rule_id, re.compile(regex), tuple(keywords),
                          allowlists=(Allowlist(tuple(re.compile(r) for r in allowed)),), rank=_OWN,
                          anchor=Anchor(*_ANCHORS[rule_id]) if rule_id in _ANCHORS else None))
    for rule_id, keywords, words, strict, commands in ASSIGNMENTS:
        finder = Assignments(words, strict, commands)
        rules.append(Rule(rule_id, finder.head, tuple(keywords), rank=_OWN, finder=finder))
    try:
        overall = _allowlist(dict(config.get("allowlist", {}), paths=()))
    except Unadaptable:
        overall = Allowlist()
    return RuleSet(rules, skipped, overall, path)


_loaded: Optional[RuleSet] = None
_lock = threading.Lock()


def rules() -> RuleSet:
    """The rule set, loaded and compiled once per process."""
    global _loaded
    if _loaded is None:
        with _lock:
            if _loaded is None:
                _loaded = load()
    return _loaded


def redact_text(text: str) -> str:
    """`text` with every secret the rules find replaced by `[redacted: RULE-ID]`."""
    return rules().redact(text) if text else text


# A part of a text is redacted as it reads in the whole (see redact_part): the rules
# run over the part and MARGIN characters on each side, room for a secret and the
# words around it that its rule looks at, and the rules whose matches can be longer
# (a private key block of 4096 bits takes 3.3 kB) over WIDE characters on each side.
# A secret longer than MARGIN that starts before it (a JWT of several kB, say) may
# show its tail.
MARGIN = 512
WIDE = 4096
WIDE_RULES = ("private-key",)


def redact_part(text: str, lo: int, hi: int) -> str:
    """`text[lo:hi]` redacted as it reads in the whole text: a secret that lies
    partly inside is replaced by the marker as far as it does. For showing a part
    of a long text at a cost that does not grow with the text."""
    lo, hi = max(0, lo), min(len(text), hi)
    if lo >= hi:
        return ""
    r = rules()
    start, end = max(0, lo - MARGIN), min(len(text), hi + MARGIN)
    near = text[start:end]
    found = [(s + start, e + start, rank, rule_id) for s, e, rank, rule_id in r._found(near, r.candidates(near))]
    wide, far = max(0, lo - WIDE), min(len(text), hi + WIDE)
    if wide < start or end < far:
        around = text[wide:far]
        long_rules = _holding_keywords([rule for rule in r.rules if rule.id in WIDE_RULES], around)
        found += [(s + wide, e + wide, rank, rule_id) for s, e, rank, rule_id in r._found(around, long_rules)]
    spans = _merge(found)
    out, at = [], lo
    for s, e, rule_id in spans:
        if e <= lo or s >= hi:
            continue
        out.append(text[at:max(s, lo)])
        out.append(MARK % rule_id)
        at = min(e, hi)
    out.append(text[at:hi])
    return "".join(out)


__all__ = ["ASSIGNMENTS", "MARGIN", "MARK", "WIDE", "OWN_RULES", "Assignments", "Rule", "RuleSet", "entropy", "load",
           "redact_part", "redact_text", "rules"]
