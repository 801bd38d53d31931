#!/usr/bin/env bash
# The workflow's release job, which nothing here runs: its form, read from the
# workflow, and the script it runs, on a release folder.
#
# The form: the job runs only for a pushed tag v<version> (its `if` a conjunction
# holding the push event and the tag's ref, and no `||`); it needs the build job and
# every job on a Windows runner (a matrix's runners included); it downloads this run's
# `release` artifact, and neither builds nor uses an action beyond checkout, the
# artifact's download and the attestation; it alone raises permissions, to exactly
# contents, id-token and attestations write, while the workflow's stay contents: read.
# Around it: the concurrency group names a pull request's head repository, so that a
# fork's branch never shares this repository's group, and no other run shares a pushed
# tag's, which could then cancel it (the group evaluated as GitHub does, for a set of
# runs); the windows-2025 job's winget step prints winget's version before it
# validates, and in its `switch ($status)` passes 0 and -1978335192 (0x8A150028,
# warnings alone) with `exit 0`, raising the warnings, while any other code fails,
# named in hex.
# Each of those faults, made in a copy of the workflow, must then fail the check,
# named.
#
# The script, cmake/release-assets.sh: given the tag of the sources' version, it lays
# out the release's files and the manifests, and lists every one of them as an
# attestation subject; given another tag, a release folder holding a file SHA256SUMS
# does not list, or one whose bytes differ, it refuses, saying why.
#
# usage: release-job.sh WORKFLOW WORK RELEASE MANIFESTS    RELEASE and MANIFESTS as
#                                                          tests/manifests.sh leaves them
#        release-job.sh --check WORKFLOW                   the form alone
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "release-job: $*" >&2; exit 1; }

# Debian's YAML reader, as fresh-debian.sh reads the workflow. With --faults, the
# check runs on copies with one fault each, each of which must fail, named.
form() {
    /usr/bin/python3 - "$@" <<'END'
import copy, re, sys
import yaml

# GitHub's expressions, as far as the workflow uses them: strings, numbers, context
# properties, !, ==, !=, && and || (which give an operand), and four functions.
def evaluate(text, context):
    text = str(text)
    parts = re.split(r"\$\{\{(.*?)\}\}", text, flags=re.S)
    if len(parts) == 3 and parts[0] == parts[2] == "":
        return expression(parts[1], context)
    return "".join(part if i % 2 == 0 else shown(expression(part, context))
                   for i, part in enumerate(parts))

def shown(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return "" if value is None else str(value)

def expression(text, context):
    tokens = re.findall(r"\s*('(?:[^']|'')*'|\d+|[A-Za-z_][\w.-]*|&&|\|\||==|!=|!|[(),])", text)
    if "".join(tokens).replace(" ", "") != re.sub(r"\s", "", text):
        raise ValueError("an expression this test cannot read: %r" % text)
    tokens.reverse()
    peek = lambda: tokens[-1] if tokens else None
    take = tokens.pop
    # A left-to-right chain of one operator, valued as GitHub values || and &&.
    def chain(operator, operand, pick):
        value = operand()
        while peek() == operator:
            take()
            value = pick(value, operand())
        return value
    def either():
        return chain("||", both, lambda value, other: value if value else other)
    def both():
        return chain("&&", unary, lambda value, other: other if value else value)
    def unary():
        if peek() == "!":
            take()
            return not unary()
        value = primary()
        if peek() in ("==", "!="):
            equal = take() == "=="
            other = primary()
            same = (value.lower() == other.lower() if isinstance(value, str) and isinstance(other, str)
                    else value == other)
            return same == equal
        return value
    def primary():
        token = take()
        if token == "(":
            value = either()
            take()
            return value
        if token.startswith("'"):
            return token[1:-1].replace("''", "'")
        if token.isdigit():
            return int(token)
        if token in ("true", "false", "null"):
            return {"true": True, "false": False, "null": None}[token]
        if peek() == "(":
            take()
            arguments = []
            while peek() != ")":
                arguments.append(either())
                if peek() == ",":
                    take()
            take()
            functions = {
                "startsWith": lambda a, b: shown(a).lower().startswith(shown(b).lower()),
                "endsWith": lambda a, b: shown(a).lower().endswith(shown(b).lower()),
                "contains": lambda a, b: shown(b).lower() in shown(a).lower(),
                "format": lambda f, *a: re.sub(r"\{(\d+)\}", lambda m: shown(a[int(m.group(1))]), f),
            }
            return functions[token](*arguments)
        value = context
        for name in token.split("."):
            value = value.get(name) if isinstance(value, dict) else None
        return value
    value = either()
    if peek() is not None:
        raise ValueError("an expression this test cannot read: %r" % text)
    return value

# Runs of the workflow, as its github context has them.
def github(event, ref, run_id, head_ref="", head_repo=None):
    pull = {"pull_request": {"head": {"repo": {"full_name": head_repo}}}} if head_repo else {}
    return {"github": {"workflow": "windows", "event_name": event, "ref": ref, "run_id": run_id,
                       "ref_name": ref.split("/", 2)[2], "head_ref": head_ref,
                       "repository": "owner/halvern", "event": pull}}
runs = {
    "a push to main": github("push", "refs/heads/main", 1),
    "a manual run on main": github("workflow_dispatch", "refs/heads/main", 2),
    "a pull request from a fork's main": github("pull_request", "refs/pull/7/merge", 3, "main", "fork/halvern"),
    "a pull request from this repository's branch topic": github("pull_request", "refs/pull/8/merge", 4, "topic", "owner/halvern"),
    "a push to topic": github("push", "refs/heads/topic", 5),
    "a pushed tag v1.0.0": github("push", "refs/tags/v1.0.0", 6),
    "a manual run on the tag v1.0.0": github("workflow_dispatch", "refs/tags/v1.0.0", 7),
    "the tag v1.0.0 pushed again": github("push", "refs/tags/v1.0.0", 8),
}

def concurrency(workflow):
    found = []
    setting = workflow.get("concurrency") or {}
    try:
        groups = {run: evaluate(setting.get("group", ""), context) for run, context in runs.items()}
    except (ValueError, KeyError, IndexError, TypeError) as error:
        return ["the concurrency group cannot be read: %s" % error]
    if not groups["a pushed tag v1.0.0"]:
        return ["the workflow has no concurrency group"]
    if groups["a pull request from a fork's main"] == groups["a push to main"]:
        found.append("the concurrency group lacks the head repository: a pull request from a fork's "
                     "main shares %r with a push to this repository's main" % groups["a push to main"])
    if groups["a pull request from this repository's branch topic"] != groups["a push to topic"]:
        found.append("the concurrency group no longer puts a push and the pull request from its branch together")
    for run, group in groups.items():
        if run != "a pushed tag v1.0.0" and group == groups["a pushed tag v1.0.0"]:
            found.append("the concurrency group can cancel a tag's run: %s shares %r with it" % (run, group))
    return found

# The windows-2025 job's winget step, read as the PowerShell the workflow writes.
def winget(workflow):
    steps = [step for job in (workflow.get("jobs") or {}).values() for step in job.get("steps") or []
             if "winget validate" in str(step.get("run", ""))]
    if len(steps) != 1:
        return ["the workflow has %d winget validate steps, not one" % len(steps)]
    script = str(steps[0]["run"])
    found = []
    version = script.find("winget --version")
    if version < 0 or version > script.find("winget validate"):
        found.append("the winget step prints no version before it validates")
    arms = {}
    arm_at = re.compile(r"\s*(-?\d+|default)\s*\{").match
    switch = re.search(r"switch\s*\(\$status\)\s*\{", script)
    arm = switch and arm_at(script, switch.end())
    while arm:
        depth, end = 1, arm.end()
        while depth and end < len(script):
            depth += {"{": 1, "}": -1}.get(script[end], 0)
            end += 1
        arms[arm.group(1)] = script[arm.end():end - 1]
        arm = arm_at(script, end)
    passes = lambda body: re.search(r"\bexit\s+0\b", body) and not re.search(r"\bexit\s+[1-9$]", body)
    if not passes(arms.get("0", "")):
        found.append("the winget step's switch ($status) does not exit 0 on 0")
    warnings = arms.get(str(0x8A150028 - 2**32), "")
    if not passes(warnings):
        found.append("the winget step treats 0x8A150028, warnings alone, as a failure: no arm "
                     "%d of switch ($status) that exits 0" % (0x8A150028 - 2**32))
    elif "::warning::" not in warnings:
        found.append("the winget step raises no warning on 0x8A150028")
    if not re.search(r"\bexit\s+1\b", arms.get("default", "")) or "{0:X" not in arms.get("default", ""):
        found.append("the winget step does not fail on another code, naming it in hex")
    return found

def problems(workflow):
    found = concurrency(workflow) + winget(workflow)
    if workflow.get("permissions") != {"contents": "read"}:
        found.append("the workflow's own permissions are %r, not contents: read" % workflow.get("permissions"))
    jobs = workflow.get("jobs") or {}
    job = jobs.get("release")
    if not isinstance(job, dict):
        return found + ["the workflow has no release job"]
    for name, other in jobs.items():
        if name != "release" and "write" in str(other.get("permissions", "")):
            found.append("the %s job raises permissions: %r" % (name, other.get("permissions")))
    if job.get("permissions") != {"contents": "write", "id-token": "write", "attestations": "write"}:
        found.append("the release job's permissions are %r, not contents, id-token and attestations write"
                     % job.get("permissions"))

    condition = re.sub(r"^\$\{\{(.*)\}\}$", r"\1", str(job.get("if", "")).strip()).strip()
    terms = [term.strip() for term in condition.split("&&")]
    if ("||" in condition or "github.event_name == 'push'" not in terms
            or "startsWith(github.ref, 'refs/tags/v')" not in terms):
        found.append("the release job runs on more than a pushed tag v*: if: %r" % job.get("if"))

    needs = job.get("needs") or []
    needs = [needs] if isinstance(needs, str) else needs
    def runners(other):
        label = str(other.get("runs-on", ""))
        key = re.fullmatch(r"\$\{\{\s*matrix\.(\w+)\s*\}\}", label)
        if not key:
            return [label]
        matrix = (other.get("strategy") or {}).get("matrix") or {}
        values = list(matrix.get(key.group(1)) or [])
        values += [entry.get(key.group(1)) for entry in matrix.get("include") or []]
        return [str(value) for value in values]
    for name, other in jobs.items():
        if name != "release" and (name == "build" or any(r.startswith("windows") for r in runners(other))):
            if name not in needs:
                found.append("the release job lacks the %s job in needs" % name)

    steps = job.get("steps") or []
    if not any(str(step.get("uses", "")).startswith("actions/download-artifact@")
               and (step.get("with") or {}).get("name") == "release" for step in steps):
        found.append("the release job does not download this run's release artifact")
    allowed = ("actions/checkout@", "actions/download-artifact@", "actions/attest@")
    # A compiler or build tool run as a command (not a path through cmake/), or a
    # script of ours that builds.
    building = re.compile(r"(^|[\s;&|(])(cmake|cpack|ctest|make|ninja|g\+\+|gcc|clang)(?=\s|$)"
                          r"|(run-all|fresh-debian|reproducible)\.sh")
    for step in steps:
        uses = str(step.get("uses", ""))
        if uses and not uses.startswith(allowed):
            found.append("the release job uses %s, which is no download, checkout or attestation" % uses)
        if building.search(str(step.get("run", ""))):
            found.append("the release job builds: %r" % step.get("run"))
    return found

workflow = yaml.safe_load(open(sys.argv[1]))
found = problems(workflow)
for text in found:
    print("release-job: " + text)
if found:
    sys.exit(1)
print("release-job: the release job runs on a pushed tag alone, after %s, from the release artifact, and alone writes"
      % ", ".join(workflow["jobs"]["release"]["needs"]))
print("release-job: no other run shares a pushed tag's concurrency group, nor a fork's this repository's; "
      "winget's warnings alone pass")
if len(sys.argv) < 3:
    sys.exit(0)

def without_windows(w):
    w["jobs"]["release"]["needs"] = [n for n in w["jobs"]["release"]["needs"] if n != "windows"]
def any_push(w):
    w["jobs"]["release"]["if"] = "github.event_name == 'push'"
def or_tag(w):
    w["jobs"]["release"]["if"] += " || github.event_name == 'workflow_dispatch'"
def builds(w):
    w["jobs"]["release"]["steps"].insert(1, {"run": "bash tests/run-all.sh"})
def no_download(w):
    for step in w["jobs"]["release"]["steps"]:
        if (step.get("with") or {}).get("name") == "release":
            step["with"]["name"] = "checks"
def raised(w):
    w["permissions"] = {"contents": "write"}
def winget_run(w, change):
    step = next(step for job in w["jobs"].values() for step in job.get("steps") or []
                if "winget validate" in str(step.get("run", "")))
    step["run"] = change(step["run"])
def warnings_fail(w):
    winget_run(w, lambda run: re.sub(r"-1978335192 \{(.*?)exit 0", r"-1978335192 {\1exit 1", run, flags=re.S))
def no_version(w):
    winget_run(w, lambda run: run.replace("winget --version\n", ""))
def no_head_repository(w):
    w["concurrency"]["group"] = re.sub(r"github\.event\.pull_request\.head\.repo\.full_name \|\| ", "",
                                       w["concurrency"]["group"])
def tag_shares(w):
    w["concurrency"]["group"] = re.sub(r"\$\{\{ startsWith\(github\.ref, 'refs/tags/'\).*?\}\}", "",
                                       w["concurrency"]["group"], flags=re.S)
faults = [(without_windows, "lacks the windows job"), (any_push, "runs on more than a pushed tag"),
          (or_tag, "runs on more than a pushed tag"), (builds, "builds"),
          (no_download, "does not download"), (raised, "own permissions"),
          (warnings_fail, "treats 0x8A150028"), (no_version, "prints no version"),
          (no_head_repository, "lacks the head repository"),
          (tag_shares, "can cancel a tag's run")]
failed = False
for fault, named in faults:
    copied = copy.deepcopy(workflow)
    fault(copied)
    said = problems(copied)
    if not any(named in text for text in said):
        print("release-job: a workflow whose release job %s was not named so: %s" % (named, said))
        failed = True
    else:
        print("release-job: fault %s fails: %s" % (fault.__name__, "; ".join(said)))
sys.exit(1 if failed else 0)
END
}

if [ "${1:-}" = --check ]; then
    [ $# = 2 ] || fail "usage: release-job.sh --check WORKFLOW"
    form "$2"
    exit
fi
[ $# = 4 ] || fail "usage: release-job.sh WORKFLOW WORK RELEASE MANIFESTS"
workflow=$1 work=$2 release=$3 manifests=$4
form "$workflow" --faults

# The script, as the job runs it.
script=$top/cmake/release-assets.sh
version=$(sed -n 's/^project(halvern VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
rm -rf "$work" && mkdir -p "$work"
cd "$work"
bash "$script" "v$version" "$release" "$manifests" assets subjects.sha256
(cd assets && sha256sum --quiet --strict -c ../subjects.sha256) || fail "the subjects do not match the files laid out"
[ "$(cut -d' ' -f3- subjects.sha256 | sort)" = "$(cd assets && find . -type f -printf '%P\n' | sort)" ] ||
    fail "the subjects are not every file laid out: $(cat subjects.sha256)"
head -n "$(wc -l < "$release/SHA256SUMS")" subjects.sha256 | cmp -s - "$release/SHA256SUMS" ||
    fail "the subjects do not begin with SHA256SUMS's lines"
echo '{"mediaType": "application/vnd.dev.sigstore.bundle"}' > bundle.json
bash "$script" --bundle bundle.json "v$version" assets
cmp -s bundle.json "assets/halvern-$version.sigstore.json" || fail "the bundle was not put beside the files"

# refused CASE EXPECTED RELEASE [TAG]: the script must fail, saying EXPECTED.
refused() {
    local case=$1 expected=$2 folder=$3 tag=${4:-v$version}
    bash "$script" "$tag" "$folder" "$manifests" "$case-assets" "$case.sha256" > "$case.log" 2>&1 &&
        fail "$case: the script laid out a release it must refuse: $(cat "$case.log")"
    grep -qF -- "$expected" "$case.log" || fail "$case: refused without saying '$expected': $(cat "$case.log")"
    echo "release-job: $case refused: $(cat "$case.log")"
}
refused other-tag "the tag v$version.1 is not v$version" "$release" "v$version.1"
cp -r "$release" extra
echo stale > extra/halvern-0.9.0-win32.zip
refused extra-file "where only SHA256SUMS and what it lists may be published" extra
cp -r "$release" changed
printf 'x' >> "changed/halvern-$version-win64.zip"
refused changed-zip "does not match its SHA256SUMS" changed
