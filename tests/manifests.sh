#!/usr/bin/env bash
# The winget and Scoop manifests against the release they are made from: runs
# cmake/manifests.sh on a release folder and checks what the manifests say. Every
# hash must be its zip's SHA-256, and the zip's line in SHA256SUMS (from which Scoop's
# autoupdate takes a later release's); every URL the release page's, naming the
# version and the zip; the three architectures each once, on their own zip; the exe
# the installers name must be in the zip; and the YAML and JSON must parse. Then a
# copy of the manifests with one hash wrong, in each, must fail the check, naming it.
#
# Without RELEASE, a release of VERSION is made in WORK: three zips, each with a small
# file of its own as halvern.exe, the build record and SHA256SUMS, as packing lays them
# out.
#
# usage: manifests.sh WORK VERSION [RELEASE]
#        manifests.sh --check RELEASE OWNER/REPO OUT     the check alone
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "manifests: $*" >&2; exit 1; }

# Debian's YAML reader, not the host's Python packages (as fresh-debian.sh reads the
# workflow).
check() {
    /usr/bin/python3 - "$@" <<'END'
import glob, hashlib, json, os, re, sys, zipfile
import yaml

release, repo, out = sys.argv[1:4]
owner = repo.split("/")[0]
problems = []
problem = problems.append

zips = sorted(glob.glob(os.path.join(release, "halvern-*-win64.zip")))
if len(zips) != 1:
    sys.exit("manifests: %s holds no single halvern-VERSION-win64.zip" % release)
version = re.match(r"halvern-(.+)-win64\.zip$", os.path.basename(zips[0])).group(1)
page = "https://github.com/%s" % repo
systems = {"win32": ("x86", "32bit"), "win64": ("x64", "64bit"), "arm64": ("arm64", "arm64")}
sha = {}
with open(os.path.join(release, "SHA256SUMS")) as f:
    listed = {name: digest for digest, name in (line.rstrip("\n").split("  ", 1) for line in f)}
for system in systems:
    name = "halvern-%s-%s.zip" % (version, system)
    path = os.path.join(release, name)
    with open(path, "rb") as f, zipfile.ZipFile(path) as z:
        sha[system] = hashlib.sha256(f.read()).hexdigest()
        if listed.get(name) != sha[system]:
            problem("SHA256SUMS does not list %s with its SHA-256 %s" % (name, sha[system]))
        if "halvern.exe" not in z.namelist():
            problem("%s holds no halvern.exe: %s" % (name, z.namelist()))
def url_of(system):
    return "%s/releases/download/v%s/halvern-%s-%s.zip" % (page, version, version, system)

def load(path, reader):
    try:
        with open(path) as f:
            return reader(f)
    except (OSError, ValueError, yaml.YAMLError) as e:
        problem("%s does not parse: %s" % (path, e))
        return None

# winget: three files, one package and version, schema 1.12.0.
ident = owner + ".Halvern"
files = {"version": ident + ".yaml", "installer": ident + ".installer.yaml",
         "defaultLocale": ident + ".locale.en-US.yaml"}
manifests = {}
for kind, name in files.items():
    doc = load(os.path.join(out, "winget", name), yaml.safe_load)
    if not isinstance(doc, dict):
        problem("winget/%s is no manifest" % name)
        continue
    manifests[kind] = doc
    for key, want in (("ManifestType", kind), ("ManifestVersion", "1.12.0"),
                      ("PackageIdentifier", ident), ("PackageVersion", version)):
        if str(doc.get(key)) != want:
            problem("winget/%s: %s is %r, not %r" % (name, key, doc.get(key), want))
    if "ElevationRequirement" in json.dumps(doc):
        problem("winget/%s declares an elevation requirement" % name)
installer = manifests.get("installer", {})
seen = []
for entry in installer.get("Installers") or []:
    effective = dict(installer, **entry)
    arch = entry.get("Architecture")
    seen.append(arch)
    system = next((s for s, names in systems.items() if names[0] == arch), None)
    if system is None:
        problem("winget: an installer for %r, which the release has no zip for" % arch)
        continue
    if str(effective.get("InstallerSha256", "")).lower() != sha[system]:
        problem("winget: the %s InstallerSha256 is %s, the zip's SHA-256 is %s"
                % (arch, effective.get("InstallerSha256"), sha[system]))
    if effective.get("InstallerUrl") != url_of(system):
        problem("winget: the %s InstallerUrl is %s, not %s" % (arch, effective.get("InstallerUrl"), url_of(system)))
    for key, want in (("InstallerType", "zip"), ("NestedInstallerType", "portable"),
                      ("NestedInstallerFiles", [{"RelativeFilePath": "halvern.exe",
                                                 "PortableCommandAlias": "halvern"}])):
        if effective.get(key) != want:
            problem("winget: the %s installer's %s is %r, not %r" % (arch, key, effective.get(key), want))
if sorted(seen) != sorted(names[0] for names in systems.values()):
    problem("winget: installers for %s, not one each for x86, x64 and arm64" % seen)
if manifests.get("version", {}).get("DefaultLocale") != manifests.get("defaultLocale", {}).get("PackageLocale"):
    problem("winget: the default locale is not the locale file's")

# Scoop.
scoop = load(os.path.join(out, "scoop", "halvern.json"), json.load) or {}
if scoop.get("version") != version:
    problem("scoop: version %r, not %r" % (scoop.get("version"), version))
arches = scoop.get("architecture") or {}
auto = scoop.get("autoupdate") or {}
if sorted(arches) != sorted(names[1] for names in systems.values()):
    problem("scoop: architectures %s, not 32bit, 64bit and arm64" % sorted(arches))
for system, names in systems.items():
    entry = arches.get(names[1]) or {}
    if str(entry.get("hash", "")).lower() != sha[system]:
        problem("scoop: the %s hash is %s, the zip's SHA-256 is %s" % (names[1], entry.get("hash"), sha[system]))
    if entry.get("url") != url_of(system):
        problem("scoop: the %s url is %s, not %s" % (names[1], entry.get("url"), url_of(system)))
    later = ((auto.get("architecture") or {}).get(names[1]) or {}).get("url", "")
    if "$version" not in later or later.replace("$version", version) != url_of(system):
        problem("scoop: the %s autoupdate url %r does not give this release's for its version" % (names[1], later))
if (auto.get("hash") or {}).get("url") != "$baseurl/SHA256SUMS":
    problem("scoop: autoupdate takes its hashes from %r, not the release's SHA256SUMS" % auto.get("hash"))
if scoop.get("bin") != "halvern.exe":
    problem("scoop: bin is %r, not halvern.exe" % scoop.get("bin"))
if (scoop.get("checkver") or {}).get("github") != page:
    problem("scoop: checkver is %r, not the repository %s" % (scoop.get("checkver"), page))

for text in problems:
    print("manifests: " + text)
if problems:
    sys.exit(1)
print("manifests: winget and Scoop manifests of halvern %s for %s agree with the release" % (version, repo))
END
}

if [ "${1:-}" = --check ]; then
    shift
    [ $# = 3 ] || fail "usage: manifests.sh --check RELEASE OWNER/REPO OUT"
    check "$@"
    exit
fi
work=${1:?usage: manifests.sh WORK VERSION [RELEASE]} version=${2:?usage: manifests.sh WORK VERSION [RELEASE]}
release=${3:-}
rm -rf "$work" && mkdir -p "$work"
if [ -z "$release" ]; then
    release=$work/release
    mkdir -p "$release" "$work/stage/"{win32,win64,arm64}
    for system in win32 win64 arm64; do
        echo "halvern.exe for $system" > "$work/stage/$system/halvern.exe"
        (cd "$work/stage/$system" && cmake -E tar cf "$release/halvern-$version-$system.zip" --format=zip halvern.exe)
    done
    echo "win64 cmake 3.25.1-1" > "$release/build-record.txt"
    (cd "$release" && sha256sum "halvern-$version-"{win32,win64,arm64}.zip build-record.txt > SHA256SUMS)
fi
repo=example/halvern
bash "$top/cmake/manifests.sh" "$release" "$repo" "$work/out"
check "$release" "$repo" "$work/out"

# One hash wrong, in each manifest, must fail the check and be named. The wrong one is
# another zip's, so that a check of form alone would let it through.
hash_of() { awk -v name="halvern-$version-$1.zip" '$2 == name { print $1 }' "$release/SHA256SUMS"; }
win32=$(hash_of win32) arm64=$(hash_of arm64)
upper() { tr '[:lower:]' '[:upper:]' <<< "$1"; }
for wrong in "winget/example.Halvern.installer.yaml:$(upper "$win32"):$(upper "$arm64"):the x86 InstallerSha256" \
             "scoop/halvern.json:$arm64:$win32:the arm64 hash"; do
    IFS=: read -r file right bad named <<< "$wrong"
    rm -rf "$work/wrong" && cp -r "$work/out" "$work/wrong"
    # Each zip's hash is found once in each manifest.
    sed -i "0,/$right/s//$bad/" "$work/wrong/$file"
    cmp -s "$work/out/$file" "$work/wrong/$file" && fail "could not change a hash in $file"
    check "$release" "$repo" "$work/wrong" > "$work/wrong.log" &&
        fail "$file with $named wrong passed: $(cat "$work/wrong.log")"
    grep -q "$named is" "$work/wrong.log" || fail "$file with $named wrong failed without naming it: $(cat "$work/wrong.log")"
    [ "$(grep -c '^manifests: ' "$work/wrong.log")" = 1 ] ||
        fail "$file with one hash wrong named more: $(cat "$work/wrong.log")"
    echo "manifests: $file with $named wrong fails: $(cat "$work/wrong.log")"
done
