#!/usr/bin/env bash
# needs: prefix
# cost: 90
# A signed build, with a throw-away code-signing certificate and a local RFC 3161 time-stamp server
# made here: the programs in the zip and in the MSI, and the MSI itself, carry a time-stamped
# signature by that certificate, checked with osslsigncode; SHA256SUMS sums the signed files;
# removing a signature gives back the unsigned program of the build tree, byte for byte; the build
# tree itself stays unsigned and holds no password; a wrong password fails the build; and the
# signed service passes the normal run under Wine.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"
zt_on wine "the signed build, made and checked with cpack, osslsigncode and openssl on Linux" || exit 0

work=$(mktemp -d "${TMPDIR:-/tmp}/zt-signed.XXXXXX")
zt_when_finished rm -rf "$work"

# certificate NAME SUBJECT USAGE: a self-signed certificate NAME.pem with its key NAME.key.
certificate() {
    zt_require "a certificate $1" openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" \
        -keyout "$work/$1.key" -out "$work/$1.pem" -addext "extendedKeyUsage=critical,$3" \
        -addext "keyUsage=digitalSignature"
}

password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
certificate signer "Throw-away code signing" codeSigning
printf '%s\n' "$password" >"$work/password"
zt_require "the signer's PKCS#12 file" openssl pkcs12 -export -inkey "$work/signer.key" \
    -in "$work/signer.pem" -out "$work/signer.p12" -passout "file:$work/password"
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
cat >"$work/tsa/tsa.py" <<'EOF'
import http.server, subprocess

class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        with open("query.tsq", "wb") as query:
            query.write(self.rfile.read(int(self.headers["Content-Length"])))
        subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "query.tsq",
                        "-out", "reply.tsr"], check=True)
        with open("reply.tsr", "rb") as reply:
            body = reply.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
print(server.server_port, flush=True)
server.serve_forever()
EOF
(cd "$work/tsa" && exec "$ZT_PYTHON" tsa.py >port 2>log) &
zt_when_finished kill "$!"
zt_require_within "the time-stamp server is up" 10 test -s "$work/tsa/port"
tsa_url=http://127.0.0.1:$(cat "$work/tsa/port")

# The certificate from the cache, the password from the environment, as on a build server, which
# builds what ships and not the tests.
build=$work/build
zt_require "a signed package, time stamps from $tsa_url" env ZT_SIGN_PASSWORD="$password" \
    "$ZT_ROOT/scripts/build-windows" --no-setup --dir "$build" -DZT_SIGN_PKCS12="$work/signer.p12" \
    -DZT_SIGN_TIMESTAMP_URL="$tsa_url" -DBUILD_TESTING=OFF package
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
msi=$build/$ZT_PACKAGE_NAME-$version-x86.msi
unzip -q "$build/$ZT_PACKAGE_NAME-$version-win32.zip" -d "$work"
shipped=$work/$ZT_PACKAGE_NAME-$version-win32
programs=("$ZT_SERVICE_EXE_NAME" dbwin-monitor.exe)

# verify FILE CERTIFICATE: osslsigncode's verification of FILE against CERTIFICATE, in
# $work/verify.log.
verify() {
    osslsigncode verify -CAfile "$work/$2.pem" -TSA-CAfile "$work/tsa.pem" -in "$1" >"$work/verify.log" 2>&1
}
# signed_by_signer FILE: signed by the throw-away certificate, with a valid time stamp.
signed_by_signer() {
    verify "$1" signer || { cat "$work/verify.log"; return 1; }
    grep 'Subject: /CN=Throw-away code signing' "$work/verify.log" &&
        grep 'Timestamp Server Signature verification: ok' "$work/verify.log"
}
for file in "${programs[@]/#/$shipped/}" "$msi"; do
    zt_expect "$(basename "$file") carries a time-stamped signature by the certificate" \
        signed_by_signer "$file"
    zt_must_fail "and does not verify against a certificate that did not sign it" \
        verify "$file" stranger
done

zt_expect "SHA256SUMS sums the files as shipped" sh -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS' - "$shipped"

mkdir "$work/msi"
zt_require "msiextract" sh -c 'cd "$1" && msiextract "$2" >/dev/null' - "$work/msi" "$msi"
zt_expect "the MSI installs the signed executable of the zip" cmp "$shipped/$ZT_SERVICE_EXE_NAME" \
    "$work/msi/Program Files/${ZT_INSTALL_DIR_WIN##*\\}/$ZT_SERVICE_EXE_NAME"

# osslsigncode pads the program to 8 bytes (these are 512-aligned already), appends the signature
# and sets the PE checksum; removing the signature takes all of that back.
for program in "${programs[@]}"; do
    built=$(find "$build" -name "$program" -not -path '*/CMakeFiles/*' -not -path '*/_CPack_Packages/*')
    # At the same place in the unsigned tree, which may hold copies from an older layout.
    reference=$ZT_BUILD/${built#"$build"/}
    zt_expect "$program in the signed build tree is the unsigned build's" cmp "$built" "$reference"
    zt_require "osslsigncode remove-signature $program" \
        osslsigncode remove-signature -in "$shipped/$program" -out "$work/unsigned-$program"
    zt_expect "without its signature, $program is the unsigned build's, byte for byte" \
        cmp "$work/unsigned-$program" "$reference"
done

zt_must_fail "no file of the build tree holds the password" grep -rlF "$password" "$build"
zt_compare "nothing left in the build tree's signing folder" "" "$(ls -A "$build/signing")"

# The password file wins over the environment; a wrong password is an error, not an unsigned file.
cat >"$work/sign.cmake" <<EOF
include("$ZT_ROOT/cmake/sign-file.cmake")
set(ZT_SIGN_DESCRIPTION "$ZT_PRODUCT")
zt_sign_file("\${FILE}")
EOF
cp "$ZT_BUILD/$ZT_SERVICE_EXE_NAME" "$work/by-file.exe"
zt_require "signing with the password file" env ZT_SIGN_PASSWORD=wrong cmake \
    -DZT_SIGN_PKCS12="$work/signer.p12" -DZT_SIGN_PASSWORD_FILE="$work/password" \
    -DZT_SIGN_WORK_DIR="$work/signing" -DFILE="$work/by-file.exe" -P "$work/sign.cmake"
zt_expect "a password file wins over the environment" \
    osslsigncode verify -CAfile "$work/signer.pem" -in "$work/by-file.exe"
cp "$ZT_BUILD/$ZT_SERVICE_EXE_NAME" "$work/wrong.exe"
zt_must_fail "a wrong password fails" env ZT_SIGN_PASSWORD=wrong cmake \
    -DZT_SIGN_PKCS12="$work/signer.p12" -DZT_SIGN_WORK_DIR="$work/signing" \
    -DFILE="$work/wrong.exe" -P "$work/sign.cmake"
zt_expect "and leaves the file as it was" cmp "$work/wrong.exe" "$ZT_BUILD/$ZT_SERVICE_EXE_NAME"
zt_expect "and no password file" test ! -e "$work/signing/password"

# Run on its own, the normal run makes its template itself.
zt_expect "the signed service passes the normal run" \
    env ZT_PROGRAMS_DIR="$shipped" bash "$here/10-normal-run.sh"
zt_finish
