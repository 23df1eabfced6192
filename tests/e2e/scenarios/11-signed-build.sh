#!/usr/bin/env bash
# A signed build, with a throw-away code-signing certificate and a local RFC 3161 time-stamp server
# made here: the programs in the zip and in the MSI, and the MSI itself, carry a time-stamped
# signature by that certificate, checked with osslsigncode; SHA256SUMS sums the signed files;
# removing a signature gives back the unsigned program of the build tree, byte for byte; the build
# tree itself stays unsigned and holds no password; a wrong password fails the build; and the
# signed service passes the normal run under Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../deploy-lib.sh"
zt_on wine "the signed build, made and checked with cpack, osslsigncode and openssl on Linux" || exit 0

work=$(mktemp -d "${TMPDIR:-/tmp}/zt-signed.XXXXXX")
tsa_pid=
own_template=
cleanup() {
    [ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true
    rm -rf "$work" "$own_template"
}
trap cleanup EXIT

# certificate NAME SUBJECT USAGE: a self-signed certificate NAME.pem with its key NAME.key.
certificate() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" -keyout "$work/$1.key" \
        -out "$work/$1.pem" -addext "extendedKeyUsage=critical,$3" -addext "keyUsage=digitalSignature" \
        2>/dev/null || fail "openssl: certificate $1"
}

password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
certificate signer "Throw-away code signing" codeSigning
printf '%s\n' "$password" >"$work/password"
openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -out "$work/signer.p12" \
    -passout "file:$work/password" || fail "openssl pkcs12"
certificate stranger "Someone else" codeSigning

# The time-stamp server: one reply by `openssl ts` per HTTP request, on a port of its choosing.
certificate tsa "Throw-away time stamps" timeStamping
mkdir "$work/tsa"
echo 01 >"$work/tsa/serial"
cat >"$work/tsa/tsa.cnf" <<EOF
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $work/tsa/serial
signer_cert = $work/tsa.pem
signer_key = $work/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
EOF
cat >"$work/tsa/tsa.pl" <<'EOF'
use strict;
use IO::Socket::INET;
my $server = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 0, Listen => 5, ReuseAddr => 1)
    or die "listen: $!";
$| = 1;
print $server->sockport, "\n";
while (my $client = $server->accept) {
    binmode $client;
    my $length = 0;
    while (my $line = <$client>) {
        $line =~ s/\r?\n$//;
        last if $line eq '';
        $length = $1 if $line =~ /^Content-Length:\s*(\d+)/i;
    }
    read($client, my $query, $length);
    open(my $out, '>:raw', 'query.tsq') or die;
    print $out $query;
    close $out;
    system('openssl', 'ts', '-reply', '-config', 'tsa.cnf', '-queryfile', 'query.tsq', '-out', 'reply.tsr') == 0
        or die 'openssl ts -reply';
    open(my $in, '<:raw', 'reply.tsr') or die;
    local $/;
    my $reply = <$in>;
    close $in;
    print $client "HTTP/1.0 200 OK\r\nContent-Type: application/timestamp-reply\r\n",
        'Content-Length: ', length($reply), "\r\n\r\n", $reply;
    close $client;
}
EOF
(cd "$work/tsa" && exec perl tsa.pl >port 2>log) &
tsa_pid=$!
zt_wait_for 10 test -s "$work/tsa/port" || fail "the time-stamp server did not come up: $(cat "$work/tsa/log")"
tsa_url=http://127.0.0.1:$(cat "$work/tsa/port")

# The certificate from the cache, the password from the environment, as on a build server.
build=$work/build
ZT_SIGN_PASSWORD=$password "$ROOT/scripts/build-windows" --no-setup --dir "$build" \
    -DZT_SIGN_PKCS12="$work/signer.p12" -DZT_SIGN_TIMESTAMP_URL="$tsa_url" package >"$work/package.log" 2>&1 ||
    fail "signed package: $(tail -20 "$work/package.log")"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
msi=$build/OrveldenZentorvikTool-$version-x86.msi
unzip -q "$build/OrveldenZentorvikTool-$version-win32.zip" -d "$work"
shipped=$work/OrveldenZentorvikTool-$version-win32
programs=(OrveldenZentorvikTool.exe dbwin-monitor.exe)
pass "signed build at $version, time stamps from $tsa_url"

verify() {
    osslsigncode verify -CAfile "$work/$2.pem" -TSA-CAfile "$work/tsa.pem" -in "$1" >"$work/verify.log" 2>&1
}
for file in "${programs[@]/#/$shipped/}" "$msi"; do
    verify "$file" signer || fail "osslsigncode verify $(basename "$file"): $(cat "$work/verify.log")"
    grep -q 'Subject: /CN=Throw-away code signing' "$work/verify.log" || fail "$(basename "$file"): another signer"
    grep -q 'Timestamp Server Signature verification: ok' "$work/verify.log" ||
        fail "$(basename "$file"): no valid time stamp"
    ! verify "$file" stranger || fail "$(basename "$file") verifies against a certificate that did not sign it"
done
pass "the programs in the zip and the MSI carry a time-stamped signature by the certificate"

(cd "$shipped" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the signed files"
pass "SHA256SUMS sums the files as shipped"

mkdir "$work/msi"
(cd "$work/msi" && msiextract "$msi" >/dev/null) || fail "msiextract"
cmp -s "$shipped/OrveldenZentorvikTool.exe" "$work/msi/Program Files/Orvelden Zentorvik Tool/OrveldenZentorvikTool.exe" ||
    fail "the MSI holds another executable than the zip"
pass "the MSI installs the signed executable of the zip"

# osslsigncode pads the program to 8 bytes (these are 512-aligned already), appends the signature
# and sets the PE checksum; removing the signature takes all of that back.
for program in "${programs[@]}"; do
    built=$(find "$build" -name "$program" -not -path '*/CMakeFiles/*' -not -path '*/_CPack_Packages/*')
    # At the same place in the unsigned tree, which may hold copies from an older layout.
    reference=$ZT_BUILD/${built#"$build"/}
    cmp -s "$built" "$reference" || fail "$program in the signed build tree differs from the unsigned build's"
    osslsigncode remove-signature -in "$shipped/$program" -out "$work/unsigned-$program" >/dev/null ||
        fail "osslsigncode remove-signature $program"
    cmp -s "$work/unsigned-$program" "$reference" || fail "$program without its signature differs from the build's"
done
pass "without their signatures the programs are those of the unsigned build, byte for byte"

! grep -rqF "$password" "$build" || fail "the password is in the build tree: $(grep -rlF "$password" "$build")"
[ -z "$(ls -A "$build/signing")" ] || fail "left in $build/signing: $(ls "$build/signing")"
pass "no file of the build tree holds the password"

# The password file wins over the environment; a wrong password is an error, not an unsigned file.
cat >"$work/sign.cmake" <<EOF
include("$ROOT/cmake/sign-file.cmake")
zt_sign_file("\${FILE}")
EOF
cp "$ZT_BUILD/OrveldenZentorvikTool.exe" "$work/by-file.exe"
ZT_SIGN_PASSWORD=wrong cmake -DZT_SIGN_PKCS12="$work/signer.p12" -DZT_SIGN_PASSWORD_FILE="$work/password" \
    -DZT_SIGN_WORK_DIR="$work/signing" -DFILE="$work/by-file.exe" -P "$work/sign.cmake" >/dev/null ||
    fail "signing with the password file"
osslsigncode verify -CAfile "$work/signer.pem" -in "$work/by-file.exe" >"$work/verify.log" 2>&1 ||
    fail "signed with the password file: $(cat "$work/verify.log")"
cp "$ZT_BUILD/OrveldenZentorvikTool.exe" "$work/wrong.exe"
! ZT_SIGN_PASSWORD=wrong cmake -DZT_SIGN_PKCS12="$work/signer.p12" -DZT_SIGN_WORK_DIR="$work/signing" \
    -DFILE="$work/wrong.exe" -P "$work/sign.cmake" >/dev/null 2>&1 || fail "a wrong password was accepted"
cmp -s "$work/wrong.exe" "$ZT_BUILD/OrveldenZentorvikTool.exe" || fail "a failed signing changed the file"
[ ! -e "$work/signing/password" ] || fail "a failed signing left the password file"
pass "a password file is used; a wrong password fails and leaves the file as it was"

if [ -z "${ZT_TEMPLATE:-}" ]; then
    own_template=$(mktemp -d "${TMPDIR:-/tmp}/zt-template.XXXXXX")
    zt_make_template "$own_template/prefix" || fail "the prefix template"
    export ZT_TEMPLATE=$own_template/prefix
fi
echo "  --- the normal run with the signed programs"
ZT_PROGRAMS_DIR=$shipped bash "$here/01-normal-run.sh" || fail "the normal run with the signed programs"
pass "the signed service passes the normal run"
