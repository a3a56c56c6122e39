"""Checks that each script installs the Debian packages of the programs it runs.

    script_packages.py [--list] [SCRIPT...]   default: every script in scripts/
                                              --list: what it finds, instead of the check
    script_packages.py --packages             every package the scripts install

For each script: the commands it runs (read from its text: words in command position, the
functions of scripts/lib/common.sh it calls, the commands of the Python files it runs and of
the modules of this tree they import), each program's package (dpkg -S on where it is found
here), against the packages the script's ensure_packages calls name (all of them, conditional
ones too) and all they depend on, plus the lists of the other scripts it runs (they install
their own). Counted as always there: the Essential packages of this machine and what they
depend on, and apt (without it nothing could be installed). A program that is not installed
here cannot be told: that is a finding too, so run it where the scripts' packages are
installed (scripts/lint installs them). Prints the findings; exits 1 when there are any.
"""

import ast
import functools
import os
import re
import shutil
import subprocess
import sys

# Where the packages put programs: a PATH's other directories (/usr/local, a user's own) hold
# none of theirs, and a fresh machine has nothing there.
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

KEYWORDS = {"if", "then", "else", "elif", "fi", "while", "until", "do", "done", "case", "esac",
            "for", "in", "select", "function", "{", "}", "[[", "]]", "!", "time"}
BUILTINS = {"cd", "echo", "printf", "read", "local", "export", "declare", "readonly", "return",
            "exit", "shift", "set", "unset", "source", ".", "trap", "wait", "eval", "true",
            "false", ":", "test", "[", "mapfile", "readarray", "type", "let", "pushd", "popd",
            "umask", "kill", "break", "continue", "getopts", "hash", "ulimit", "shopt", "alias",
            "builtin", "caller", "jobs", "disown", "times"}
# Programs that run the command given after their own options and assignments.
WRAPPERS = {"exec", "env", "fakeroot", "nice", "nohup", "xargs", "sudo"}
SEPARATORS = {";", "&", "&&", "||", "|", "(", "{", "\n", "!", ";;", "|&"}
OPENING = {"if", "then", "else", "elif", "while", "until", "do", "time", "!"}
SUBSTITUTION = "\0sub\0"  # stands for a $( ) or <( ) in a word


# -- reading shell -------------------------------------------------------------------------------

class Shell:
    """The words and operators of a shell text, with each $( ) and <( ) read as shell of its
    own, and so each heredoc body captured by one (the scripts keep shell to run later that
    way); a heredoc written out is text."""

    def __init__(self, text, line=1):
        self.text = text
        self.start = line
        self.pos = 0
        self.tokens = []   # (word, line) or (operator, line); words keep their quotes
        self.nested = []   # Shell of every substitution and heredoc inside
        self.heredocs = []
        self.line = line
        self.captured = False
        self.read(None)

    def read(self, closing):
        word = None
        text = self.text
        while self.pos < len(text):
            c = text[self.pos]
            if closing and c == closing and word is None:
                self.pos += 1
                return
            if c == "\\" and text[self.pos + 1:self.pos + 2] == "\n":
                self.pos += 2
                self.line += 1
                continue
            if c in " \t" or (closing and c == closing):
                if word is not None:
                    self.tokens.append((word, self.line))
                    word = None
                if c == closing:
                    self.pos += 1
                    return
                self.pos += 1
                continue
            if c == "\n":
                if word is not None:
                    self.tokens.append((word, self.line))
                    word = None
                self.tokens.append(("\n", self.line))
                self.pos += 1
                self.line += 1
                self.read_heredocs()
                continue
            if c == "#" and word is None:
                while self.pos < len(text) and text[self.pos] != "\n":
                    self.pos += 1
                continue
            if c in "'\"":
                word = (word or "") + self.quoted(c)
                continue
            if c == "$" and text.startswith("$((", self.pos):
                word = (word or "") + self.until_balanced(3, "((", "))")
                continue
            if (c == "$" or c in "<>") and text[self.pos + 1:self.pos + 2] == "(" and \
                    (c == "$" or word is None):
                self.pos += 2
                self.substitution()
                word = (word or "") + SUBSTITUTION
                continue
            if c == "$" and text[self.pos + 1:self.pos + 2] == "{":
                word = (word or "") + self.until_balanced(2, "{", "}")
                continue
            if c == "(" and word is not None and word.endswith("="):  # an array's elements
                word += self.until_balanced(1, "(", ")")
                continue
            if c in ";&|()<>":
                if word is not None and not (c in "<>" and word.isdigit()):
                    self.tokens.append((word, self.line))
                    word = None
                operator = c
                for longer in (";;", "&&", "||", "|&", "<<-", "<<", ">>", ">&", "<&", "&>"):
                    if text.startswith(longer, self.pos):
                        operator = longer
                        break
                self.pos += len(operator)
                if operator in ("<<", "<<-"):
                    self.heredoc_start()
                    continue
                self.tokens.append((operator, self.line))
                if word is not None:  # a redirection of a file descriptor (2>...)
                    word = None
                continue
            word = (word or "") + c
            self.pos += 1
        if word is not None:
            self.tokens.append((word, self.line))

    def quoted(self, quote):
        start = self.pos
        self.pos += 1
        while self.pos < len(self.text) and self.text[self.pos] != quote:
            if quote == '"' and self.text[self.pos] == "\\":
                self.pos += 2
                continue
            if quote == '"' and self.text.startswith("$(", self.pos) and \
                    not self.text.startswith("$((", self.pos):
                self.pos += 2
                self.substitution()
                continue
            if self.text[self.pos] == "\n":
                self.line += 1
            self.pos += 1
        self.pos += 1
        return self.text[start:self.pos]

    def until_balanced(self, skip, opening, closing):
        start = self.pos
        self.pos += skip
        depth = 1
        while self.pos < len(self.text) and depth:
            if self.text.startswith(closing, self.pos):
                depth -= 1
                self.pos += len(closing)
                continue
            if self.text.startswith(opening, self.pos):
                depth += 1
            elif self.text[self.pos] in "'\"":
                self.quoted(self.text[self.pos])
                continue
            self.pos += 1
        return self.text[start:self.pos]

    def substitution(self):
        inner = Shell.__new__(Shell)
        inner.text, inner.pos, inner.line, inner.start = self.text, self.pos, self.line, self.line
        inner.tokens, inner.nested, inner.heredocs = [], [], []
        inner.captured = True
        inner.read(")")
        self.pos, self.line = inner.pos, inner.line
        self.nested.append(inner)

    def heredoc_start(self):
        while self.text[self.pos] in " \t":
            self.pos += 1
        match = re.match(r"""['"]?([A-Za-z_][A-Za-z_0-9]*)['"]?""", self.text[self.pos:])
        self.heredocs.append(match.group(1))
        self.pos += match.end()

    def read_heredocs(self):
        while self.heredocs:
            delimiter = self.heredocs.pop(0)
            first = self.line
            lines = []
            while self.pos < len(self.text):
                end = self.text.find("\n", self.pos)
                end = len(self.text) if end < 0 else end
                line = self.text[self.pos:end]
                self.pos = end + 1
                self.line += 1
                if line.strip() == delimiter:
                    break
                lines.append(line)
            if self.captured:
                self.nested.append(Shell("\n".join(lines) + "\n", first))

    def all(self):
        yield self
        for inner in self.nested:
            yield from inner.all()


def unquote(word):
    return word.replace('"', "").replace("'", "")


def simple_commands(tokens):
    """The simple commands among tokens: lists of (word, line), case patterns, for lists and
    function heads left out."""
    commands, current = [], []
    in_case = pattern = skip_to_do = False
    for index, (token, line) in enumerate(tokens):
        if skip_to_do:
            if token == "do":
                skip_to_do = False
            continue
        if pattern:
            if token == ")":
                pattern = False
            elif token == "esac":
                pattern = in_case = False
            continue
        if token in SEPARATORS or token == ")" or (not current and token in OPENING):
            if current:
                commands.append(current)
                current = []
            if token == ";;":
                pattern = True
            continue
        if not current and token in ("fi", "done", "}", "esac"):
            in_case = in_case and token != "esac"
            continue
        if not current and token == "case":
            in_case = True
            current = [(token, line)]
            continue
        if current and current[0][0] == "case" and token == "in":
            current = []
            pattern = True
            continue
        if not current and token in ("for", "select"):
            skip_to_do = True
            continue
        if token in ("<", ">", ">>", ">&", "<&", "&>"):
            current.append((token, line))
            continue
        current.append((token, line))
    if current:
        commands.append(current)
    result = []
    for command in commands:
        words, redirect = [], False
        for word, line in command:
            if word in ("<", ">", ">>", ">&", "<&", "&>"):
                redirect = True
            elif redirect:
                redirect = False
            else:
                words.append((word, line))
        if words:
            result.append(words)
    return result


ASSIGNMENT = re.compile(r"^[A-Za-z_][A-Za-z_0-9]*(\[[^]]*\])?\+?=")


def command_words(words):
    """The indexes of the programs a simple command runs: past assignments, the wrapper
    (exec, env, fakeroot...) and the command it runs after its options."""
    index, found = 0, []
    while index < len(words):
        word = unquote(words[index][0])
        if ASSIGNMENT.match(words[index][0]):
            index += 1
            continue
        found.append(index)
        if word not in WRAPPERS:
            break
        index += 1
        while index < len(words) and unquote(words[index][0]).startswith("-"):
            option = unquote(words[index][0])
            index += 2 if word == "env" and option in ("-u", "--unset", "-C") else 1
    return found


class Script:
    """A shell file's commands, functions and package lists."""

    def __init__(self, path):
        self.path = path
        with open(path, encoding="utf-8") as file:
            self.text = file.read()
        self.commands = []   # (argv words, line, the function it is in or None)
        self.functions = {}  # name: arguments it takes before running the rest, or None
        self.spans = {}      # name: (first line, last line) of its body
        self.arrays = {}
        shell = Shell(self.text)
        self.read_part(shell.tokens)
        for part in shell.all():
            if part is not shell:  # a substitution or heredoc belongs to the function around it
                around = [(last - first, name) for name, (first, last) in self.spans.items()
                          if first <= part.start <= last]
                self.read_part(part.tokens, min(around)[1] if around else None, False)
        self.optional = set(re.findall(r"command -v ([A-Za-z0-9_.+-]+)", self.text))

    def read_part(self, tokens, function=None, defines=True):
        """Commands of tokens, each function's body (NAME ( ) { ... }) apart, under its name."""
        outside = []
        index = 0
        while index < len(tokens):
            token = tokens[index][0]
            if index + 3 < len(tokens) and tokens[index + 1][0] == "(" and \
                    tokens[index + 2][0] == ")" and \
                    re.match(r"^[A-Za-z_][A-Za-z_0-9-]*$", token):
                depth, end = 0, index + 3
                for end in range(index + 3, len(tokens)):
                    if tokens[end][0] == "{":
                        depth += 1
                    elif tokens[end][0] == "}":
                        depth -= 1
                        if depth == 0:
                            break
                self.spans[token] = (tokens[index][1], tokens[end][1])
                self.read_part(tokens[index + 3:end + 1], token)
                index = end + 1
                continue
            outside.append(tokens[index])
            index += 1
        shifts, runs = 0, None
        for words in simple_commands(outside):
            first = unquote(words[0][0])
            if first == "shift":
                shifts += int(unquote(words[1][0])) if len(words) > 1 else 1
            if first == "$@":
                runs = shifts
            match = re.match(r"^([A-Za-z_][A-Za-z_0-9]*)\+?=\((.*)\)$", words[0][0], re.S)
            if match:
                self.arrays[match.group(1)] = match.group(2).split()
            self.commands.append((words, words[0][1], function))
        if function is not None and defines:
            # How many arguments it takes before running the rest as a command, if it does.
            self.functions[function] = runs


# -- what a script runs ------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def python_modules():
    """Every Python file of the tree, by dotted module path suffix."""
    found = {}
    for directory, subdirectories, files in os.walk(TOP):
        subdirectories[:] = [d for d in subdirectories
                             if d not in ("build", "dist", ".git", "__pycache__")]
        for name in files:
            if name.endswith(".py"):
                path = os.path.join(directory, name)
                parts = os.path.relpath(path, TOP)[:-3].split(os.sep)
                for start in range(len(parts)):
                    found.setdefault(".".join(parts[start:]), []).append(path)
    return found


def python_programs(path, seen=None):
    """{program: where} for the program names a Python file (and the modules of this tree it
    imports) puts first in a list or tuple, when that name is a program found here."""
    seen = set() if seen is None else seen
    if path in seen or not os.path.isfile(path):
        return {}
    seen.add(path)
    with open(path, encoding="utf-8") as file:
        tree = ast.parse(file.read(), path)
    programs = {}
    package = os.path.relpath(os.path.dirname(path), TOP).replace(os.sep, ".")
    # A program the file looks for first (shutil.which("name")) it runs only where it is there.
    looked_for = {node.args[0].value for node in ast.walk(tree)
                  if isinstance(node, ast.Call) and getattr(node.func, "attr", None) == "which"
                  and node.args and isinstance(node.args[0], ast.Constant)}
    for node in ast.walk(tree):
        if isinstance(node, (ast.List, ast.Tuple)) and node.elts and \
                isinstance(node.elts[0], ast.Constant) and isinstance(node.elts[0].value, str):
            name = node.elts[0].value
            if name not in looked_for and re.match(r"^[a-z][a-z0-9.+_-]*$", name) and shutil.which(name, path=SYSTEM_PATH):
                programs.setdefault(name, f"{os.path.relpath(path, TOP)}:{node.lineno}")
        modules = []
        if isinstance(node, ast.Import):
            modules = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = (package.rsplit(".", node.level - 1)[0] + "." + base).strip(".")
            modules = [base] + [f"{base}.{alias.name}" for alias in node.names]
        for module in modules:
            for other in python_modules().get(module, []):
                for name, where in python_programs(other, seen).items():
                    programs.setdefault(name, where)
            init = python_modules().get(module + ".__init__", [])
            for other in init:
                for name, where in python_programs(other, seen).items():
                    programs.setdefault(name, where)
    return programs


def python_files(words):
    """The files of this tree a python3 command line runs: the script, or the test files of
    `-m unittest discover -s DIR [-p PATTERN]`."""
    argv = [unquote(w) for w, _ in words]
    relative = [re.sub(r"^(\$\{?[A-Za-z_]+\}?/)+", "", a) for a in argv]
    if "-m" in argv:
        if "discover" in argv and "-s" in argv:
            directory = os.path.join(TOP, relative[argv.index("-s") + 1])
            pattern = relative[argv.index("-p") + 1] if "-p" in argv else "test*.py"
            regex = re.compile("^" + re.escape(pattern).replace(r"\*", ".*") + "$")
            return [os.path.join(directory, n) for n in sorted(os.listdir(directory))
                    if regex.match(n)] if os.path.isdir(directory) else []
        return []
    return [os.path.join(TOP, a) for a in relative[1:] if a.endswith(".py")][:1]


def script_path(name):
    return os.path.join(TOP, "scripts", name)


@functools.lru_cache(maxsize=None)
def read_script(path):
    return Script(path)


def common():
    return read_script(os.path.join(TOP, "scripts", "lib", "common.sh"))


def uses(name, seen=None):
    """What script NAME runs and installs: ({(program, function): where}, the packages it
    installs, the scripts of ours it runs, {function: the packages only it installs}). A
    function's ensure_packages (say, a tool needed only once something has failed) counts for
    that function's commands alone."""
    seen = set() if seen is None else seen
    seen.add(name)
    script = read_script(script_path(name))
    library = common()
    functions = dict(library.functions)
    functions.update(script.functions)
    arrays = dict(library.arrays)
    arrays.update(script.arrays)
    programs, packages, callees, scoped = {}, set(), set(), {}
    optional = set(script.optional)

    def visit(source, words, function):
        for index in command_words(words):
            visit_command(source, words[index:], function)

    def visit_command(source, argv, function):
        word = unquote(argv[0][0])
        where = f"scripts/{name}:{argv[0][1]}" if source is script else \
            f"scripts/lib/common.sh:{argv[0][1]}"
        if word == "ensure_packages":
            for item, _ in argv[1:]:
                item = unquote(item)
                array = re.match(r"^\$\{([A-Za-z_]+)\[@\]\}$", item)
                into = packages if function is None else scoped.setdefault(function, set())
                into.update(arrays.get(array.group(1), []) if array else [item])
            return
        if word == "exec":
            return
        if word == "command" and len(argv) > 1 and unquote(argv[1][0]) == "-v":
            return
        if word in KEYWORDS or word in BUILTINS or "$" in word or SUBSTITUTION in word or \
                ASSIGNMENT.match(word) or not word:
            if word in functions and functions[word] is not None:
                visit(source, argv[1 + functions[word]:], function)
            return
        if word in functions:
            runs = functions[word]
            if runs is not None:  # it runs its arguments
                visit(source, argv[1 + runs:], function)
            if word in library.functions and word not in script.functions:
                for other, _, owner in library.commands:
                    if owner == word:
                        optional.update(library.optional)
                        visit(library, other, owner)
            return
        if "/" in word:
            callee = re.match(r"^(?:\./)?scripts/([a-z-]+)$", word)
            if callee and callee.group(1) != name and os.path.isfile(script_path(callee.group(1))):
                callees.add(callee.group(1))
            return  # else one of this tree's programs
        programs.setdefault((word, function), where)
        if word in ("python3", "python"):
            for path in python_files(argv):
                for program, place in python_programs(path).items():
                    programs.setdefault((program, function), place)

    for words, _, function in script.commands:
        visit(script, words, function)
    for words, _, function in library.commands:
        if function is None:
            visit(library, words, None)
    for program, function in list(programs):
        if program in optional:
            del programs[program, function]
    for callee in sorted(callees - seen):
        _, callee_packages, deeper, _ = uses(callee, seen)
        packages |= callee_packages
        callees |= deeper
    return programs, packages, callees, scoped


# -- whose program -----------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def installed():
    """{package: (its dependencies as alternatives, what it provides, Essential)}."""
    listing = subprocess.run(
        ["dpkg-query", "-W", "-f=${db:Status-Status}\t${Package}\t${Essential}\t${Provides}\t"
         "${Pre-Depends}, ${Depends}\n"], capture_output=True, text=True, check=True).stdout
    packages = {}
    for line in listing.splitlines():
        status, name, essential, provides, depends = line.split("\t")
        if status != "installed":
            continue
        alternatives = []
        for group in depends.split(","):
            names = [re.sub(r"[\s(].*$", "", a.strip()).split(":")[0] for a in group.split("|")]
            if any(names):
                alternatives.append([n for n in names if n])
        provided = [re.sub(r"[\s(].*$", "", p.strip()) for p in provides.split(",") if p.strip()]
        packages[name] = (alternatives, provided, essential == "yes")
    return packages


def closure(names):
    """The installed packages that names bring, with all they depend on (every installed
    alternative, and the installed providers of a virtual package)."""
    packages = installed()
    providers = {}
    for name, (_, provided, _) in packages.items():
        for virtual in provided:
            providers.setdefault(virtual, []).append(name)
    found, pending = set(), list(names)
    while pending:
        name = pending.pop()
        for real in [name] + providers.get(name, []):
            if real in packages and real not in found:
                found.add(real)
                for group in packages[real][0]:
                    pending.extend(group)
    return found


@functools.lru_cache(maxsize=None)
def always_there():
    return closure([n for n, (_, _, essential) in installed().items() if essential] + ["apt"])


def usrmerge_variants(path):
    """The path and its other spelling across /bin, /sbin and /usr (dpkg knows only the one
    its package ships; on a merged-/usr system the program is found under either)."""
    variants = [path]
    for short, merged in (("/bin/", "/usr/bin/"), ("/sbin/", "/usr/sbin/")):
        if path.startswith(short):
            variants.append(merged + path[len(short):])
        elif path.startswith(merged):
            variants.append(short + path[len(merged):])
    return variants


@functools.lru_cache(maxsize=None)
def owners(program):
    """The packages that ship the program found here under that name, or None when it is not
    found (or no package ships it)."""
    found = shutil.which(program, path=SYSTEM_PATH)
    if not found:
        return None
    candidates = usrmerge_variants(found)
    real = os.path.realpath(found)  # an alternative's link belongs to no package
    for path in [real] + usrmerge_variants(real):
        if path not in candidates:
            candidates.append(path)
    for path in candidates:
        result = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True)
        for line in result.stdout.splitlines():
            if line.startswith("diversion ") or ": " not in line:
                continue
            names, _, shipped = line.rpartition(": ")
            if shipped == path:
                return sorted(n.strip().split(":")[0] for n in names.split(","))
    return None


def findings(name):
    """The findings for scripts/NAME, one line each."""
    programs, packages, _, scoped = uses(name)
    everywhere = closure(sorted(packages)) | always_there()
    lines = []
    for (program, function), where in sorted(programs.items(), key=lambda i: (i[0][0], i[1])):
        shipped = owners(program)
        have = everywhere
        if function in scoped:
            have = closure(sorted(packages | scoped[function])) | always_there()
        if shipped is None:
            lines.append(f"scripts/{name}: {program} ({where}) is not installed here, or no "
                         "package ships it: install the scripts' packages to check it")
        elif not set(shipped) & have:
            lines.append(f"scripts/{name}: {program} ({where}) comes from "
                         f"{' or '.join(shipped)}, which its packages do not bring")
    return lines


def all_scripts():
    directory = os.path.join(TOP, "scripts")
    return sorted(n for n in os.listdir(directory)
                  if os.path.isfile(os.path.join(directory, n)) and "." not in n)


def main(arguments):
    if arguments == ["--packages"]:  # every script's, for whoever runs the check to install
        print("\n".join(sorted(set().union(*(uses(n)[1] | set().union(*uses(n)[3].values())
                                             for n in all_scripts())))))
        return 0
    listing = arguments[:1] == ["--list"]
    names = [os.path.basename(a) for a in arguments[listing:]] or all_scripts()
    if listing:  # what the check sees, to judge it by
        for name in names:
            programs, packages, callees, scoped = uses(name)
            print(f"scripts/{name}")
            print(f"  installs: {' '.join(sorted(packages))}")
            for function, more in sorted(scoped.items()):
                print(f"  and in {function}(): {' '.join(sorted(more))}")
            print(f"  runs scripts: {' '.join(sorted(callees)) or '-'}")
            for (program, _), where in sorted(programs.items(), key=lambda i: (i[0][0], i[1])):
                print(f"  {program:24} {','.join(owners(program) or ['?']):24} {where}")
        return 0
    problems = [line for name in names for line in findings(name)]
    for line in problems:
        print(line)
    if problems:
        return 1
    print(f"each script's packages bring what it runs: {' '.join(names)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
