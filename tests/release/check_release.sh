#!/usr/bin/env bash
# Checks the shipped 32-bit Kestrovin.exe: a PE32 console executable for x86,
# with the administrator manifest and version resource embedded, importing
# only DLLs that every Windows installation has.
# Usage: check_release.sh path/to/Kestrovin.exe
set -u -o pipefail

exe=${1:?usage: check_release.sh path/to/Kestrovin.exe}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

pass() { echo "ok: $1"; }
fail() { echo "FAIL: $1" >&2; exit 1; }

[[ -f $exe ]] || fail "$exe does not exist"

file_header=$("$objdump" -f "$exe" 2>&1) || fail "objdump -f could not read $exe: $file_header"
# BFD names a 32-bit x86 PE image pei-i386 (pe-i386 is its object-file twin).
grep -q 'file format pei-i386$' <<<"$file_header" || fail "file format is not pei-i386 (32-bit x86 PE image)"
pass "file format pei-i386"
grep -q '^architecture: i386,' <<<"$file_header" || fail "architecture is not i386"
pass "architecture i386"

private=$("$objdump" -p "$exe" 2>&1) || fail "objdump -p could not read $exe"
grep -Eq '^Magic[[:space:]]+010b[[:space:]]' <<<"$private" || fail "optional header magic is not 0x10b (PE32)"
pass "optional header magic 0x10b (PE32)"
grep -Eq '^Subsystem[[:space:]]+00000003[[:space:]]' <<<"$private" || fail "subsystem is not Windows CUI (3)"
pass "subsystem Windows CUI (3)"
# The file header's characteristics name one flag a line; a DLL shows "DLL".
characteristics=$(sed -n '/^Characteristics /,/^$/p' <<<"$private")
grep -q 'executable' <<<"$characteristics" && ! grep -q 'DLL' <<<"$characteristics" \
  || fail "image is not an executable (or is a DLL)"
pass "executable image, not a DLL"

# The resources: walked with the PE's own tables rather than searched for as text.
python3 - "$exe" <<'PY' || exit 1
import struct
import sys
import xml.etree.ElementTree as ET

RT_VERSION, RT_MANIFEST = 16, 24

def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)

# A truncated or garbled image ends in one FAIL line, not a traceback.
sys.excepthook = lambda kind, error, trace: fail("malformed image: %s: %s" % (kind.__name__, error))

data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections_count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
optional = pe + 24
magic = struct.unpack_from("<H", data, optional)[0]
directories = optional + (96 if magic == 0x10B else 112)
resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
if resource_rva == 0 or resource_size == 0:
    fail("the image has no resource directory")

sections = []
for i in range(sections_count):
    virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
    sections.append((rva, max(virtual_size, raw_size), raw_offset))

def file_offset(rva):
    for start, size, raw in sections:
        if start <= rva < start + size:
            return raw + rva - start
    fail("resource RVA 0x%x lies in no section" % rva)

root = file_offset(resource_rva)

def entries(directory):
    named, ids = struct.unpack_from("<HH", data, root + directory + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", data, root + directory + 16 + 8 * i)
        yield (None if name & 0x80000000 else name), target

def resources(type_id):
    """Bytes of every resource of the given numeric type, keyed by numeric id."""
    found = {}
    for type_key, type_target in entries(0):
        if type_key != type_id or not type_target & 0x80000000:
            continue
        for id_key, id_target in entries(type_target & 0x7FFFFFFF):
            languages = entries(id_target & 0x7FFFFFFF) if id_target & 0x80000000 else [(0, id_target)]
            for _, leaf in languages:
                data_rva, size = struct.unpack_from("<II", data, root + (leaf & 0x7FFFFFFF))
                start = file_offset(data_rva)
                found[id_key] = data[start:start + size]
    return found

manifests = resources(RT_MANIFEST)
if 1 not in manifests:
    fail("no manifest resource (type 24, id 1)")
print("ok: manifest resource (type 24, id 1)")
try:
    manifest = ET.fromstring(manifests[1])
except ET.ParseError as error:
    fail("the manifest is not well-formed XML: %s" % error)
level = [e for e in manifest.iter() if e.tag.endswith("}trustInfo")
         for e in e.iter() if e.tag.endswith("}requestedExecutionLevel")]
if len(level) != 1:
    fail("the manifest has no single trustInfo requestedExecutionLevel")
if level[0].get("level") != "requireAdministrator":
    fail('the manifest requests level="%s", not requireAdministrator' % level[0].get("level", "(missing)"))
print('ok: manifest requests level="requireAdministrator"')
if level[0].get("uiAccess") != "false":
    fail('the manifest has uiAccess="%s", not "false"' % level[0].get("uiAccess", "(missing)"))
print('ok: manifest has uiAccess="false"')

def node(block, offset):
    """One VS_VERSIONINFO node: (key, value text, children, end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", block, offset)
    end = offset + length
    if length < 6 or end > len(block):
        fail("malformed version resource node at offset %d" % offset)
    key_start = offset + 6
    key_end = key_start
    while block[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = block[key_start:key_end].decode("utf-16-le")
    value_start = (key_end + 2 + 3) & ~3
    value_bytes = value_length * (2 if value_type == 1 else 1)
    text = ""
    if value_type == 1 and value_length:
        text = block[value_start:end].decode("utf-16-le", "replace").split("\0")[0]
    children = []
    child = (value_start + value_bytes + 3) & ~3
    while child + 6 <= end:
        children.append(node(block, child))
        child = (children[-1][3] + 3) & ~3
    return key, text, children, end

versions = resources(RT_VERSION)
if not versions:
    fail("no version resource (type 16)")
print("ok: version resource (type 16)")
key, _, blocks, _ = node(versions[min(versions)], 0)
if key != "VS_VERSION_INFO":
    fail("the version resource does not start with VS_VERSION_INFO")
product_names = [text for name, _, tables, _ in blocks if name == "StringFileInfo"
                 for _, _, strings, _ in tables for string, text, _, _ in strings if string == "ProductName"]
if product_names != ["Kestrovin"]:
    fail("the version resource's ProductName is %r, not Kestrovin" % product_names)
print("ok: version resource ProductName Kestrovin")
PY

# Imports: the static runtimes leave only system DLLs.
allowed=" kernel32.dll advapi32.dll setupapi.dll shell32.dll user32.dll msvcrt.dll "
dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$private")
[[ -n $dlls ]] || fail "no imported DLLs found"
for dll in $dlls; do
  [[ $allowed == *" ${dll,,} "* ]] || fail "imports $dll, which is not a DLL every Windows has"
done
pass "imports only ${dlls//$'\n'/ }"
