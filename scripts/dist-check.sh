#!/usr/bin/env bash
# Checks what scripts/dist.sh put into dist/: the zip's contents and checksums, the .exe's version
# block, the .deb's control data and files, lintian, and an install, --version and removal of
# the .deb on this machine. The package is purged again on every path.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

version=$(sed -n 's/^project(Vindral VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip="dist/vindral-$version-win64.zip"
deb="dist/vindral-server_${version}_amd64.deb"
fail() { echo "dist-check: $*" >&2; exit 1; }
[ -f "$zip" ] || fail "$zip is missing (run make dist)"
[ -f "$deb" ] || fail "$deb is missing (run make dist)"
(cd dist && sha256sum --quiet -c SHA256SUMS) || fail "dist/SHA256SUMS does not match"

echo "== $zip"
python3 - "$zip" "$version" <<'PY'
import hashlib, struct, sys, zipfile

path, version = sys.argv[1], sys.argv[2]
names = ["vindral.exe", "guide-ko.txt", "LICENSE.txt", "SHA256SUMS"]
with zipfile.ZipFile(path) as z:
    if sorted(z.namelist()) != sorted(names):
        sys.exit(f"zip holds {z.namelist()}, wants {names}")
    files = {n: z.read(n) for n in names}
sums = {}
for line in files["SHA256SUMS"].decode().splitlines():
    digest, name = line.split(maxsplit=1)
    sums[name.lstrip("*")] = digest
if sorted(sums) != sorted(names[:3]):
    sys.exit(f"SHA256SUMS lists {sorted(sums)}")
for name, digest in sums.items():
    if hashlib.sha256(files[name]).hexdigest() != digest:
        sys.exit(f"checksum of {name} does not match")
for name in ("guide-ko.txt", "LICENSE.txt"):
    text = files[name]
    if text.count(b"\n") != text.count(b"\r\n") or not text.startswith(b"\xef\xbb\xbf"):
        sys.exit(f"{name} is not UTF-8 Windows text")
if "Vindral 사용 설명서".encode() not in files["guide-ko.txt"] or b"MIT License" not in files["LICENSE.txt"]:
    sys.exit("the guide or the licence is not what it should be")

# The fixed part of the version block, then the FileVersion string.
exe = files["vindral.exe"]
fixed = exe.find(struct.pack("<I", 0xFEEF04BD))
if fixed < 0:
    sys.exit("vindral.exe has no version block")
ms, ls = struct.unpack_from("<II", exe, fixed + 8)
numbers = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}"
# The value follows the key after padding to four bytes.
text_at = exe.find("FileVersion\0".encode("utf-16le")) + 24
text_at += (4 - text_at % 4) % 4
end = text_at
while exe[end:end + 2] != b"\0\0":
    end += 2
text = exe[text_at:end].decode("utf-16le", "replace")
if numbers != version or text != version:
    sys.exit(f"vindral.exe says {numbers} / {text}, the project {version}")
print(f"zip: {', '.join(names)}; checksums and version block {version} match")
PY

echo "== $deb"
info=$(dpkg-deb --info "$deb")
contents=$(dpkg-deb --contents "$deb")
for field in "Package: vindral-server" "Version: $version" "Architecture: amd64"; do
    grep -qx " $field" <<<"$info" || fail "control lacks '$field'"
done
grep -q '^ Depends:.*libc6 (>=.*libcurl4' <<<"$info" || fail "Depends not computed: $(grep Depends <<<"$info")"
for file in ./usr/bin/vindral-server ./lib/systemd/system/vindral-server.service \
    ./etc/default/vindral-server ./usr/share/doc/vindral-server/copyright; do
    grep -q " $file\$" <<<"$contents" || fail "$file is not in the package"
done
for script in postinst prerm postrm conffiles; do
    grep -Eq "^ +[0-9]+ bytes,.* $script( |$)" <<<"$info" || fail "control archive lacks $script"
done

lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>/dev/null || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -q '^E:' <<<"$lintian_out"; then
    fail "lintian reports errors"
fi

if [ -d /run/systemd/system ]; then
    # The postinst would start a real server on this machine; the install is for containers.
    echo "systemd runs here: install check skipped"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: install check skipped"
    exit 0
fi
if dpkg-query -W -f='${Status}' vindral-server 2>/dev/null | grep -q 'install ok installed'; then
    fail "vindral-server is installed already; not touching it"
fi
purge() { dpkg -P vindral-server >/dev/null 2>&1 || true; }
trap purge EXIT
dpkg -i "$deb" >/dev/null
got=$(/usr/bin/vindral-server --version)
[ "$got" = "vindral-server $version" ] || fail "installed binary says '$got'"
grep -q '^ExecStart=/usr/bin/vindral-server ' /lib/systemd/system/vindral-server.service ||
    fail "installed unit does not start /usr/bin/vindral-server"
dpkg -r vindral-server >/dev/null
[ ! -e /usr/bin/vindral-server ] || fail "dpkg -r left the binary"
echo "deb: installed, answered '$got', removed"
