#!/usr/bin/env bash
# Writes the committed seed corpora of the fuzz targets into DIR (default:
# fuzz/corpus): DIR/open/, DIR/views/ and DIR/update/. The cabinets are small
# on purpose (mutations of a small input run fast): a CE cabinet with every
# record kind (build/make_sample --small, so the native build must exist),
# the same files in an MSZIP cabinet, and gcab's stored and MSZIP cabinets of
# a few files, so mutations reach both the stored walk and the MSZIP decoder.
# views seeds carry a view byte in front, update seeds a fault selector and
# its size. The contents are fixed: the corpus is the same every time.
# Usage: fuzz/make_seeds.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-fuzz/corpus}
[ -x build/make_sample ] || { echo "make_seeds.sh: build/make_sample is missing (scripts/build.sh native)" >&2; exit 1; }
rm -rf "$out/open" "$out/views" "$out/update" "$out/inf"
mkdir -p "$out/open" "$out/views" "$out/update" "$out/inf"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A few plain files: text, bytes that do not compress, and an empty one.
mkdir "$work/plain"
printf 'a small text file\n' > "$work/plain/a.txt"
: > "$work/plain/empty"
for i in $(seq 1 64); do printf '%s' "$i" | sha256sum | cut -c1-64 | xxd -r -p; done > "$work/plain/random.bin"
{ yes 'text that compresses well, spanning more than one block' || true; } | head -c 40000 > "$work/plain/text.txt"
(cd "$work/plain" && gcab -c "$work/stored.cab" a.txt empty random.bin text.txt)
(cd "$work/plain" && gcab -c -z "$work/mszip.cab" a.txt empty random.bin text.txt)

# The CE cabinet, and its files again in the same order, MSZIP-compressed.
build/make_sample --small "$work/ce.cab"
mkdir "$work/ce"
names=$(cabextract -q -l "$work/ce.cab" | awk -F' \\| ' 'NR > 2 && NF == 3 { print $3 }' | sed '/^$/d;/^All done/d')
cabextract -q -d "$work/ce" "$work/ce.cab"
(cd "$work/ce" && gcab -c -z "$work/ce-mszip.cab" $names)

cp "$work/stored.cab" "$work/mszip.cab" "$work/ce.cab" "$work/ce-mszip.cab" "$out/open/"
# Views: none, each option alone, and all of them (ExpandCE 1, ExpandPath 2,
# ShowRegistry 4, ShowShortcuts 8, ShowInfFile 16).
for view in 00 01 02 04 08 10 1f; do
    for cab in ce ce-mszip; do
        { printf "\\x$view"; cat "$work/$cab.cab"; } > "$out/views/$cab-$view.bin"
    done
done
{ printf '\x1f'; cat "$work/mszip.cab"; } > "$out/views/mszip-1f.bin"
# Update: no fault, reads failing after 40 calls, writes stopping at 3 x 997
# bytes, the progress callback saying stop after 2 calls.
for fault in 0000 0128 0203 0302; do
    for cab in ce ce-mszip; do
        { printf "\\x${fault:0:2}\\x${fault:2:2}"; cat "$work/$cab.cab"; } > "$out/update/$cab-$fault.bin"
    done
done
# INF: the script Mirad writes for the CE cabinet, and a short one for the
# dialect's rules (strings, continuations, platform sections, every kind of
# copy, registry and shortcut line), also as UTF-16. The real wizard INFs of
# the shared corpus are read in place by scripts/fuzz.sh.
build/mirad extract "$work/ce.cab" '~Cab~.INF' -d "$work/inf" >/dev/null
cp "$work/inf/~Cab~.INF" "$out/inf/own.inf"
cat > "$out/inf/dialect.inf" <<'INF'
[Version]
Signature   = "$Windows NT$"   ; as is
CESignature = "$Windows CE$"
Provider    = %Maker%
[Strings]
Maker = "A ""quoted"" maker"
Link  = %AppName% Link
[CEStrings]
AppName    = "Tool"
InstallDir = %CE1%\%AppName%
[CEDevice]
UnsupportedPlatforms = "HPC","Jupiter"
VersionMin = 2.01
VersionMax = 5.0
BuildMin   = 0
BuildMax   = 0xE0000000
[CEDevice.ARM]
ProcessorType = 2577 ; StrongArm
[SourceDisksNames]
1 = ,"Common",,common
[SourceDisksNames.ARM]
2 = ,"ARM",,..\arm
[SourceDisksFiles]
"read me.txt" = 1
[SourceDisksFiles.ARM]
tool.exe = 2
setup.dll = 2
[DefaultInstall]
CopyFiles   = Files, Docs
AddReg      = Reg
CEShortcuts = Links
[DefaultInstall.ARM]
CESetupDLL  = setup.dll
[DestinationDirs]
Files          = 0,%InstallDir%
Links          = 0,%CE11%
DefaultDestDir = 0,%CE2%
[Files]
"tool.exe",,,0x40000001
[Docs]
read me.txt
[Reg]
HKLM,Software\%AppName%,Path,0x00000000,"%InstallDir%\tool.exe"
HKCU,Software\%AppName%,Count,0x00010001,1,0x20
HKCR,.tl\Shell\Open\Command,,0x00000002,"""%InstallDir%\tool.exe"" %%1"
HKLM,Software\%AppName%,List,0x00010000,a,\
    "b", c
HKLM,Software\%AppName%,Bytes,0x00000001,0F,a0,00
[Links]
%Link%,0,tool.exe
Folder,1,%InstallDir%,%CE14%
INF
iconv -f UTF-8 -t UTF-16 "$out/inf/dialect.inf" > "$out/inf/dialect-utf16.inf"
echo "make_seeds.sh: $(find "$out/open" "$out/views" "$out/update" "$out/inf" -type f | wc -l) seeds in $out"
