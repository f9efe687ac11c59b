#!/usr/bin/env bash
# Keeps every C++ file below 700 lines and every function body at 100 lines or
# fewer, so that each piece can still be read in one sitting. Fails with every
# offender listed.
#
#   SVD_SIZE_SKIP="torrent player" tools/check-sizes.sh
#
# SVD_SIZE_SKIP names folders to pass over: a name alone ("torrent") skips every
# folder of that name (torrent/ and tests/torrent/), a path ("tools/swarmlab")
# only that folder.
#
# Functions are found by matching braces, not by parsing: a body is a '{' at
# namespace or class level that follows ')' (with const, override, noexcept,
# '-> type' or a constructor's initialiser list after it). Lambdas count as part
# of the function around them. A body's lines run from its '{' to its '}'.
set -euo pipefail
cd "$(dirname "$0")/.."

exec python3 - "${SVD_SIZE_SKIP:-}" <<'PY'
import os, re, sys

MAX_FILE = 700      # a file of this many lines or more fails
MAX_BODY = 100      # a function body of more lines than this fails

skip = sys.argv[1].split()


def skipped(rel):
    parts = rel.split('/')
    for s in skip:
        s = s.strip('/')
        if '/' in s:
            if rel == s or rel.startswith(s + '/'):
                return True
        elif s in parts[:-1]:
            return True
    return False


def sources():
    for root, dirs, files in os.walk('.'):
        rel = os.path.relpath(root, '.')
        rel = '' if rel == '.' else rel
        # build trees (build/, build-asan/ …) and hidden folders hold no sources
        dirs[:] = sorted(d for d in dirs
                         if not d.startswith('.') and not d.startswith('build'))
        for f in sorted(files):
            if f.endswith(('.h', '.cpp')):
                path = f'{rel}/{f}' if rel else f
                if not skipped(path):
                    yield path


def blank_code(text):
    """Comments, string and character literals and preprocessor lines turned
    into spaces, newlines kept, so that braces count and line numbers hold."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in ' \t':
            out.append(c); i += 1; continue
        if line_start and c == '#':
            # a directive, with its continuation lines
            while i < n and text[i] != '\n':
                if text[i] == '\\' and i + 1 < n and text[i + 1] == '\n':
                    out.append(' \n'); i += 2; continue
                out.append(' '); i += 1
            continue
        line_start = False
        if c == '\n':
            out.append(c); i += 1; line_start = True; continue
        if text.startswith('//', i):
            while i < n and text[i] != '\n':
                out.append(' '); i += 1
            continue
        if text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:j])); i = j; continue
        m = re.match(r'(?:u8|[uUL])?R"([^()\\ ]{0,16})\(', text[i:i + 24])
        if m and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            end = text.find(')' + m.group(1) + '"', i + m.end())
            end = n if end < 0 else end + len(m.group(1)) + 2
            out.append('""' + re.sub(r'[^\n]', ' ', text[i + 2:end])); i = end; continue
        if c == "'":
            # a digit separator (1'000'000) rather than a character literal
            k = i - 1
            while k >= 0 and (text[k].isalnum() or text[k] in "_'."):
                k -= 1
            if k + 1 < i and text[k + 1].isdigit():
                out.append(' '); i += 1; continue
        if c in '"\'':
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            j = min(j + 1, n)
            out.append(c + ' ' * (j - i - 2) + c if j - i >= 2 else c); i = j; continue
        out.append(c); i += 1
    return ''.join(out)


QUALIFIERS = re.compile(
    r'(?:\s*(?:const|volatile|override|final|noexcept(?:\s*\([^()]*\))?|&&?|'
    r'throw\s*\(\s*\)|mutable|constexpr|try|Q_DECL_OVERRIDE))*\s*$')
SCOPE = re.compile(r'\b(namespace|class|struct|union|enum)\b|\bextern\s*"')
ACCESS = re.compile(r'\b(?:(?:public|protected|private)(?:\s+(?:slots|Q_SLOTS))?|signals|Q_SIGNALS)\s*$')


def strip_to_paren(header):
    """The header with its trailing return type, qualifiers and initialiser
    list cut off; '' when it does not end the way a function's head ends."""
    h = header.rstrip()
    # an initialiser list: ') : a(x), b{y}' -> ')'
    depth = 0
    for k in range(len(h) - 1, -1, -1):
        ch = h[k]
        if ch in ')]}>':
            depth += 1
        elif ch in '([{<':
            depth -= 1
        elif ch == ':' and depth == 0:
            if (k > 0 and h[k - 1] == ':') or (k + 1 < len(h) and h[k + 1] == ':'):
                continue
            before = h[:k].rstrip()
            before = before[:len(before) - len(QUALIFIERS.search(before).group(0))].rstrip() \
                if QUALIFIERS.search(before) else before
            # only a finished initialiser list: 'b(y)' or 'b{y}', not 'b' before its '{'
            if before.endswith(')') and h.endswith((')', '}')):
                return before
            return ''
    # a trailing return type: ') -> std::vector<int>'
    m = re.search(r'\)\s*[^()]*->\s*[^(){};]*$', h)
    if m:
        h = h[:m.start() + 1]
    q = QUALIFIERS.search(h)
    if q:
        h = h[:q.start()].rstrip()
    return h if h.endswith(')') else ''


def function_name(head):
    depth = 0
    for k in range(len(head) - 1, -1, -1):
        ch = head[k]
        if ch == ')':
            depth += 1
        elif ch == '(':
            depth -= 1
            if depth == 0:
                m = re.search(r'(~?[\w:~]+(?:\s*<[^<>()]*>)?|operator\s*\S+)\s*$', head[:k])
                if m:
                    return re.sub(r'\s+', '', m.group(1))
                return 'lambda' if head[:k].rstrip().endswith(']') else '?'
    return '?'


def long_bodies(code):
    """(line, name, lines) of each function body longer than MAX_BODY."""
    found = []
    stack = []          # 'scope', 'body', 'inner' or 'init' per open brace
    header = []         # text since the last statement end at scope level
    line = 1
    opened = []         # (line, name) of each open body
    for ch in code:
        if ch == '\n':
            line += 1
        at_scope = all(k == 'scope' for k in stack)
        if ch == '{':
            if not at_scope:
                stack.append('inner'); continue
            text = ''.join(header)
            head = strip_to_paren(text)
            init_brace = re.search(r'\)\s*[\w\s&]*:[^;]*[\w>]\s*$', text) and not head
            if init_brace:
                stack.append('init'); header.append('{'); continue
            stripped = text.strip()
            if SCOPE.search(stripped) and not head:
                stack.append('scope'); header = []; continue
            if head and not re.search(r'=\s*$', text):
                stack.append('body'); opened.append((line, function_name(head)))
            else:
                stack.append('inner')
            header = []
            continue
        if ch == '}':
            kind = stack.pop() if stack else 'scope'
            if kind == 'init':
                header.append('}')
            elif kind == 'body':
                start, name = opened.pop()
                if line - start + 1 > MAX_BODY:
                    found.append((start, name, line - start + 1))
                header = []
            elif all(k == 'scope' for k in stack):
                header = []
            continue
        if at_scope:
            if ch == ';':
                header = []
            elif ch == ':' and ACCESS.search(''.join(header)):
                header = []
            else:
                header.append(ch)
    return found


bad = []
for path in sources():
    with open(path, encoding='utf-8', errors='replace') as f:
        text = f.read()
    lines = text.count('\n') + (0 if text.endswith('\n') or not text else 1)
    if lines >= MAX_FILE:
        bad.append(f'{path}: {lines} lines (a file stays below {MAX_FILE})')
    for start, name, n in long_bodies(blank_code(text)):
        bad.append(f'{path}:{start}: {name} is {n} lines (a function stays at {MAX_BODY} or fewer)')

for b in bad:
    print('sizes: ' + b, file=sys.stderr)
if bad:
    print(f'sizes: {len(bad)} file(s) or function(s) too large', file=sys.stderr)
    sys.exit(1)
print('sizes: every file and function is small enough'
      + (f' (skipped: {" ".join(skip)})' if skip else ''))
PY
