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
    # shellcheck disable=SC2016 # Python, not shell
    /usr/bin/python3 -c '
import copy, re, sys
import yaml

def problems(workflow):
    found = []
    if workflow.get("permissions") != {"contents": "read"}:
        found.append("the workflow'"'"'s own permissions are %r, not contents: read" % workflow.get("permissions"))
    jobs = workflow.get("jobs") or {}
    job = jobs.get("release")
    if not isinstance(job, dict):
        return found + ["the workflow has no release job"]
    for name, other in jobs.items():
        if name != "release" and "write" in str(other.get("permissions", "")):
            found.append("the %s job raises permissions: %r" % (name, other.get("permissions")))
    if job.get("permissions") != {"contents": "write", "id-token": "write", "attestations": "write"}:
        found.append("the release job'"'"'s permissions are %r, not contents, id-token and attestations write"
                     % job.get("permissions"))

    condition = re.sub(r"^\$\{\{(.*)\}\}$", r"\1", str(job.get("if", "")).strip()).strip()
    terms = [term.strip() for term in condition.split("&&")]
    if ("||" in condition or "github.event_name == '"'"'push'"'"'" not in terms
            or "startsWith(github.ref, '"'"'refs/tags/v'"'"')" not in terms):
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
        found.append("the release job does not download this run'"'"'s release artifact")
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
if len(sys.argv) < 3:
    sys.exit(0)

# One fault at a time, each of which must fail, named.
def without_windows(w):
    w["jobs"]["release"]["needs"] = [n for n in w["jobs"]["release"]["needs"] if n != "windows"]
def any_push(w):
    w["jobs"]["release"]["if"] = "github.event_name == '"'"'push'"'"'"
def or_tag(w):
    w["jobs"]["release"]["if"] += " || github.event_name == '"'"'workflow_dispatch'"'"'"
def builds(w):
    w["jobs"]["release"]["steps"].insert(1, {"run": "bash tests/run-all.sh"})
def no_download(w):
    for step in w["jobs"]["release"]["steps"]:
        if (step.get("with") or {}).get("name") == "release":
            step["with"]["name"] = "checks"
def raised(w):
    w["permissions"] = {"contents": "write"}
faults = [(without_windows, "lacks the windows job"), (any_push, "runs on more than a pushed tag"),
          (or_tag, "runs on more than a pushed tag"), (builds, "builds"),
          (no_download, "does not download"), (raised, "own permissions")]
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
' "$@"
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
    if bash "$script" "$tag" "$folder" "$manifests" "$case-assets" "$case.sha256" > "$case.log" 2>&1; then
        fail "$case: the script laid out a release it must refuse: $(cat "$case.log")"
    fi
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
