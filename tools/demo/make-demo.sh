#!/usr/bin/env bash
# Makes the demo content at build time: a certificate authority (root and intermediate),
# the maker's installer signing certificate, signed Install.mpkg packages for the full and
# the VPN-only client (and of an older release), ISO 9660 disk images holding them, and the
# update feeds that name the images (written by bwv-feed, which checks the images as the
# installer would; the current one signed), with the feed key it is signed with and the
# providers.plist that pins it for the bundles. Keys are generated here and stay in the
# build tree; an existing set is kept so that packages and bundles made earlier in the same
# build tree stay trusted.
#
# usage: make-demo.sh OUTDIR TRUSTDIR MKPKG SRCDIR VERSION FEEDTOOL PROVIDERS-TEMPLATE
set -euo pipefail

out=$1 trust=$2 mkpkg=$3 src=$4 version=$5 feedtool=$6 providers=$7
signer_cn="Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)"
ca=$out/ca
mkdir -p "$ca" "$trust"
umask 077

ext=$ca/extensions.cnf
cat > "$ext" <<'CNF'
[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

quiet() {
  local log
  log=$("$@" 2>&1) || { echo "make-demo: failed: $*" >&2; echo "$log" >&2; exit 1; }
}

if [ ! -s "$ca/root.pem" ] || [ ! -s "$ca/intermediate.pem" ] || [ ! -s "$out/signer.pem" ]; then
  quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$ca/root.key"
  quiet openssl req -new -x509 -key "$ca/root.key" -sha256 -days 3650 -set_serial 1 \
    -subj "/C=US/O=BrindleWave Demo/OU=Demo Certification Authority/CN=BrindleWave Demo Root CA" \
    -extensions root -config "$ext" \
    -out "$ca/root.pem"
  quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$ca/intermediate.key"
  quiet openssl req -new -key "$ca/intermediate.key" -config "$ext" \
    -subj "/C=US/O=BrindleWave Demo/OU=Demo Certification Authority/CN=BrindleWave Demo Developer ID Certification Authority" \
    -out "$ca/intermediate.csr"
  quiet openssl x509 -req -in "$ca/intermediate.csr" -CA "$ca/root.pem" -CAkey "$ca/root.key" \
    -set_serial 2 -days 1825 -sha256 -extfile "$ext" -extensions intermediate -out "$ca/intermediate.pem"
  quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$out/signer.key"
  quiet openssl req -new -key "$out/signer.key" -config "$ext" \
    -subj "/UID=Q7M2ZK4RTB/CN=$signer_cn/OU=Q7M2ZK4RTB/O=Tarvenel, Inc/C=US" -out "$ca/signer.csr"
  quiet openssl x509 -req -in "$ca/signer.csr" -CA "$ca/intermediate.pem" -CAkey "$ca/intermediate.key" \
    -set_serial 3 -days 730 -sha256 -extfile "$ext" -extensions signer -out "$out/signer.pem"
  rm -f "$ca"/*.csr
fi
[ -s "$out/feed-key.pem" ] && [ -s "$out/feed-key.pem.pub" ] || {
  rm -f "$out/feed-key.pem" "$out/feed-key.pem.pub"
  quiet "$feedtool" keygen -o "$out/feed-key.pem"
}
umask 022
chmod 644 "$ca/root.pem" "$ca/intermediate.pem" "$out/signer.pem"
cp "$ca/root.pem" "$trust/demo-root-ca.pem"

feed=$out/feed tampered=$out/tampered older=$out/older work=$out/work
rm -rf "$feed" "$tampered" "$older" "$work"
mkdir -p "$feed" "$tampered" "$older" "$work"

make_package() {  # kind title identifier [version] -> $out/<kind>/Install.mpkg
  local kind=$1 title=$2 id=$3 v=${4:-$version} dir=$work/$1/pkg
  local comp=$dir/BrindleWave.pkg
  mkdir -p "$comp" "$work/$kind/payload/Library/Application Support/Tarvenel/BrindleWave/conf"
  subst() { sed -e "s|@TITLE@|$title|g" -e "s|@ID@|$id|g" -e "s|@VERSION@|$v|g" -e "s|@PKGNAME@|BrindleWave|g" "$1"; }
  subst "$src/package/Distribution.in" > "$dir/Distribution"
  subst "$src/package/PackageInfo.in" > "$comp/PackageInfo"
  printf 'version=%s\n' "$v" > "$work/$kind/payload/Library/Application Support/Tarvenel/BrindleWave/conf/bwvinfo"
  tar -C "$work/$kind/payload" --owner=0 --group=0 -czf "$comp/Payload" .
  mkdir -p "$out/$kind"
  "$mkpkg" --key "$out/signer.key" --cert "$out/signer.pem" --cert "$ca/intermediate.pem" --cert "$ca/root.pem" \
    "$dir" "$out/$kind/Install.mpkg"
}

make_image() {  # package volume-name image [version]
  local pkg=$1 vol=$2 image=$3 v=${4:-$version} stage
  stage=$(mktemp -d "$work/image.XXXXXX")
  cp "$pkg" "$stage/Install.mpkg"
  printf '%s %s\n\nOpen Install.mpkg to install %s.\n' "$vol" "$v" "$vol" > "$stage/ReadMe.txt"
  xorriso -as mkisofs -quiet -V "$(echo "$vol" | tr ' a-z' '_A-Z')" -J -R -o "$image" "$stage" >/dev/null 2>&1 \
    || { echo "make-demo: xorriso failed for $image" >&2; exit 1; }
}

# The demo feeds stay valid for a year from the build.
expires=$(date -u -d '+1 year' +%Y-%m-%dT%H:%M:%SZ)

feed_entry() {  # key image
  local size sha
  size=$(stat -c %s "$2")
  sha=$(sha256sum "$2" | cut -d' ' -f1)
  printf '\t<key>%s</key>\n\t<dict>\n\t\t<key>SHA256</key>\n\t\t<string>%s</string>\n\t\t<key>Size</key>\n\t\t<integer>%s</integer>\n\t\t<key>URL</key>\n\t\t<string>%s</string>\n\t\t<key>Version</key>\n\t\t<string>%s</string>\n\t</dict>\n' \
    "$1" "$sha" "$size" "$(basename "$2")" "$version"
}

# bwv-feed refuses the tampered images, as it should; their feed is written and signed
# here with the openssl command, the same signature line bwv-feed writes.
write_feed() {  # dir full-image vpn-image
  {
    printf '<?xml version="1.0" encoding="UTF-8"?>\n'
    printf '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
    printf '<plist version="1.0">\n<dict>\n'
    printf '\t<key>Expires</key>\n\t<date>%s</date>\n\t<key>Serial</key>\n\t<integer>1</integer>\n' "$expires"
    feed_entry Full "$2"
    feed_entry VPN "$3"
    printf '</dict>\n</plist>\n'
  } > "$1/feed.plist"
  printf '<!-- bwv-signature ed25519 %s -->\n' \
    "$(openssl pkeyutl -sign -rawin -inkey "$out/feed-key.pem" -in "$1/feed.plist" | base64 -w0)" >> "$1/feed.plist"
}

make_package full "BrindleWave" com.tarvenel.brindlewave.full
make_package vpn "BrindleWave VPN" com.tarvenel.brindlewave.vpn
make_image "$out/full/Install.mpkg" "BrindleWave" "$feed/BrindleWaveFull-$version.dmg"
make_image "$out/vpn/Install.mpkg" "BrindleWave VPN" "$feed/BrindleWaveVPN-$version.dmg"
quiet "$feedtool" make --version "$version" --full "$feed/BrindleWaveFull-$version.dmg" \
  --vpn "$feed/BrindleWaveVPN-$version.dmg" --sign "$out/feed-key.pem" --expires "$expires" -o "$feed/feed.plist"

# The bundles' providers.plist: the template with the demo feed key pinned.
PEM=$(cat "$out/feed-key.pem.pub") awk '/^<\/dict>/ {
    print "\t<key>FeedPublicKeys</key>\n\t<array>\n\t\t<string>" ENVIRON["PEM"] "</string>\n\t</array>" }
  { print }' "$providers" > "$out/providers.plist"

# An older release, signed by the maker like the current one: what a server that rolls
# clients back, or names it as a newer version, would serve. The signature holds; the
# installer must refuse it for what it is.
old_version=5.2.0
make_package older/full "BrindleWave" com.tarvenel.brindlewave.full "$old_version"
make_package older/vpn "BrindleWave VPN" com.tarvenel.brindlewave.vpn "$old_version"
make_image "$out/older/full/Install.mpkg" "BrindleWave" "$older/BrindleWaveFull-$old_version.dmg" "$old_version"
make_image "$out/older/vpn/Install.mpkg" "BrindleWave VPN" "$older/BrindleWaveVPN-$old_version.dmg" "$old_version"
quiet "$feedtool" make --version "$old_version" --full "$older/BrindleWaveFull-$old_version.dmg" \
  --vpn "$older/BrindleWaveVPN-$old_version.dmg" -o "$older/feed.plist"

# The same feed with packages whose last byte was altered after signing: the images
# download and mount, and the signature check must refuse them.
for kind in full vpn; do
  cp "$out/$kind/Install.mpkg" "$work/$kind-tampered.mpkg"
  last=$(( $(stat -c %s "$work/$kind-tampered.mpkg") - 1 ))
  byte=$(od -An -tu1 -j "$last" -N1 "$work/$kind-tampered.mpkg" | tr -d ' ')
  printf "$(printf '\\%03o' $(( byte ^ 1 )))" | dd of="$work/$kind-tampered.mpkg" bs=1 seek="$last" conv=notrunc 2>/dev/null
done
make_image "$work/full-tampered.mpkg" "BrindleWave" "$tampered/BrindleWaveFull-$version.dmg"
make_image "$work/vpn-tampered.mpkg" "BrindleWave VPN" "$tampered/BrindleWaveVPN-$version.dmg"
write_feed "$tampered" "$tampered/BrindleWaveFull-$version.dmg" "$tampered/BrindleWaveVPN-$version.dmg"

rm -rf "$work"
