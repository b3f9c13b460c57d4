#!/usr/bin/env bash
# The release checks: scripts/release as a publisher and a second builder run it, under
# reprotest's variations, signed and refused; scripts/check-release on a genuine download and on
# tampered ones. Each check builds a commit of the sources as they stand (tracked files only).
# scripts/test runs them after installing what they need (scripts/test release: them alone).
#   tests/release_test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

# The releases the checks make are their own: no key, token, time or time stamp of a publisher's.
for variable in $(compgen -v PROTOSWITCH_SIGN_) SOURCE_DATE_EPOCH SOFTHSM2_CONF; do
  unset "$variable"
done

version=$(sed -n 's/^project(protoswitch VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=protoswitch-$version-win32.zip
source_file=protoswitch-$version-source.txt
pin=packaging/signatures/protoswitch-$version.der

# A commit of the sources as they stand, tracked files only (HEAD itself when nothing is
# changed), dated as HEAD.
snapshot_commit() {
  local date commit
  date="$(git log -1 --format=%ct) +0000"
  commit=$(GIT_AUTHOR_NAME=scripts/test GIT_AUTHOR_EMAIL=test@protoswitch.invalid \
    GIT_COMMITTER_NAME=scripts/test GIT_COMMITTER_EMAIL=test@protoswitch.invalid \
    GIT_AUTHOR_DATE=$date GIT_COMMITTER_DATE=$date git stash create)
  echo "${commit:-$(git rev-parse HEAD)}"
}

# Runs a command as another user than this one: nobody, as root; otherwise root of a user
# namespace of its own.
as_other_user() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/nonexistent "$@"
  else
    unshare --map-root-user "$@"
  fi
}

# The release (scripts/release) built twice from one commit must give the same bytes: as this
# user from a clone ($1: the sources as they stand, with the throwaway publisher's certificates of
# $3 committed, tagged as this version's), in UTC with umask 022, into $2; and as another user from
# a git archive, nine hours east of UTC (spelled out, so that it needs no time zone data) with
# umask 077, with compiler flags and the released executable named in its environment. It must
# hold what a player needs, the text files with Windows line ends, the compiler it was built with,
# and no path of the machine it was built on nor a way in of the tests.
check_release() {
  local clone=$1 first=$2 keys=$3 other file text commit hook
  rm -rf "$clone" "$first"
  other=$(mktemp -d)
  # The commit is made first, so that the clone has it; the clone takes no tag or branch of this
  # repository's, whatever they are named, and its own commit and tag are named in full.
  commit=$(snapshot_commit) && git clone -q --no-checkout --no-tags . "$clone" &&
    git -C "$clone" checkout -q --detach "$commit" &&
    cp "$keys/publisher.pem" "$clone/packaging/publisher.pem" &&
    git -C "$clone" add packaging/publisher.pem &&
    git -C "$clone" -c user.name=scripts/test -c user.email=test@protoswitch.invalid \
      commit -q -m "Name the throwaway publisher" && git -C "$clone" tag "v$version" &&
    mkdir "$other/sources" && git -C "$clone" archive HEAD | tar -x -C "$other/sources" || return 1
  [ "$(id -u)" -ne 0 ] || chown -R 65534:65534 "$other"
  (cd "$clone" && umask 022 && TZ=UTC0 scripts/release "$first") >/dev/null &&
    (cd "$other" && CXXFLAGS=-fno-inline LDFLAGS=-Wl,--no-gc-sections \
      PROTOSWITCH_RELEASED_EXE=/bin/true as_other_user \
      bash -c 'umask 077 && TZ=JST-9 bash sources/scripts/release built') >/dev/null || return 1
  if ! cmp -s "$first/SHA256SUMS" "$other/built/SHA256SUMS"; then
    echo "the two builds differ:" >&2
    cat "$first/SHA256SUMS" "$other/built/SHA256SUMS" >&2
    rm -rf "$other"
    return 1
  fi
  rm -rf "$other"
  (cd "$first" && sha256sum --check --quiet SHA256SUMS) || return 1
  mkdir "$first/unpacked" && (cd "$first/unpacked" && cmake -E tar xf "../$zip") || return 1
  for file in protoswitch.exe README.txt LICENSE.txt; do
    [ -f "$first/unpacked/$file" ] || { echo "not in $zip: $file" >&2; return 1; }
  done
  for text in README.txt LICENSE.txt; do
    [ "$(grep -c -v $'\r$' "$first/unpacked/$text")" = 0 ] ||
      { echo "lines without a CR in $zip's $text" >&2; return 1; }
  done
  rm -r "$first/unpacked"
  ! grep -qaF "$clone" "$first/protoswitch.exe" || { echo "a build path is in protoswitch.exe" >&2; return 1; }
  # The test builds' way into the shell's start, named where the source reads it.
  hook=$(sed -n 's/.*getenv("\(PROTOSWITCH_TEST_[A-Z_]*\)").*/\1/p' src/platform_win32.cpp)
  [ -n "$hook" ] && ! grep -qaF "$hook" "$first/protoswitch.exe" ||
    { echo "protoswitch.exe has the test builds' way in (${hook:-not found in the source})" >&2; return 1; }
  grep -qxF "built with $(dpkg-query -W -f '${Package} ${Version}' g++-mingw-w64-i686-posix)" \
    "$first/$source_file" || { echo "$source_file does not name the compiler" >&2; return 1; }
  echo "the same release built as two users, from a clone and a git archive, in two zones:"
  cat "$first/SHA256SUMS"
}

# The release of the clone $1 built twice by reprotest, under each of its variations but the
# user's (which needs users set up for it; check_release builds as another user), among them the
# order in which the file system lists a folder (disorderfs): the unsigned executable and the ZIP
# must be the same bytes.
check_reprotest() {
  local clone=$1 sources variations=+all,-user_group status=0
  sources=$(mktemp -d)
  git -C "$clone" archive HEAD | tar -x -C "$sources" || return 1
  # disorderfs is a FUSE file system: where none can be mounted, the other variations run.
  mkdir "$sources.mount"
  if disorderfs --shuffle-dirents=yes "$sources" "$sources.mount" >/dev/null 2>&1; then
    fusermount -u "$sources.mount" 2>/dev/null || fusermount3 -u "$sources.mount" 2>/dev/null ||
      umount "$sources.mount"
  else
    echo "reprotest: not varying the order of folder listings: disorderfs cannot mount here (no FUSE)"
    variations+=,-fileordering
  fi
  rmdir "$sources.mount"
  reprotest --no-diffoscope --vary="$variations" -s "$sources" "bash scripts/release out" \
    "out/protoswitch-unsigned.exe out/$zip" >"$sources.log" 2>&1 || status=$?
  [ $status -eq 0 ] || cat "$sources.log" >&2
  grep -h -E "^(Reproduction|INFO:reprotest:build .experiment)" "$sources.log" || true
  rm -rf "$sources" "$sources.log"
  return $status
}

# Makes a key $keys/NAME-key.pem and its certificate $keys/NAME.pem ($1) for the subject $2,
# issued by the certificate named $3 (none: self-signed), with the extensions that follow.
certificate() {
  local name=$1 subject=$2 issuer=$3 extension options=()
  shift 3
  [ -z "$issuer" ] || options=(-CA "$keys/$issuer.pem" -CAkey "$keys/$issuer-key.pem")
  for extension in "$@"; do options+=(-addext "$extension"); done
  openssl req -x509 -newkey rsa:2048 -nodes -subj "$subject" -days 2 "${options[@]}" \
    -keyout "$keys/$name-key.pem" -out "$keys/$name.pem" 2>/dev/null
}

# A throwaway publisher in $1, as a certificate authority of its own that no store knows makes
# one: a root, an intermediate, and the publisher's certificate (cert.pem), whose key is in a
# PKCS#12 file with the intermediate and on a SoftHSM token of that folder's own (whose
# configuration SOFTHSM2_CONF names). chain.pem holds what a signature carries, the publisher's
# and the intermediate; publisher.pem the three, as the sources hold them. A password, a PIN and a
# wrong one, all readable by their owner alone. Besides, a look-alike (another key with the
# publisher's subject), a time stamp authority's key, and the intermediate's, which may sign too.
make_keys() {
  local keys=$1 ca=(basicConstraints=critical,CA:TRUE keyUsage=critical,keyCertSign)
  export SOFTHSM2_CONF=$keys/softhsm2.conf
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$keys" >"$SOFTHSM2_CONF"
  mkdir "$keys/tokens" && printf 'throwaway\n' >"$keys/password" && printf '1234\n' >"$keys/pin" &&
    printf 'wrong\n' >"$keys/wrong" &&
    certificate root "/CN=protoswitch throwaway root" "" "${ca[@]}" &&
    certificate intermediate "/CN=protoswitch throwaway intermediate" root "${ca[@]}" &&
    certificate cert "/CN=protoswitch throwaway publisher" intermediate extendedKeyUsage=codeSigning \
      basicConstraints=critical,CA:FALSE &&
    certificate other "/CN=protoswitch throwaway publisher" "" extendedKeyUsage=codeSigning \
      basicConstraints=critical,CA:FALSE &&
    certificate tsa "/CN=protoswitch throwaway time stamps" "" extendedKeyUsage=critical,timeStamping &&
    cat "$keys/cert.pem" "$keys/intermediate.pem" >"$keys/chain.pem" &&
    cat "$keys/chain.pem" "$keys/root.pem" >"$keys/publisher.pem" &&
    openssl pkcs12 -export -inkey "$keys/cert-key.pem" -in "$keys/cert.pem" \
      -certfile "$keys/intermediate.pem" -out "$keys/cert.p12" -passout "file:$keys/password" &&
    softhsm2-util --init-token --free --label throwaway --pin 1234 --so-pin 5678 >/dev/null &&
    softhsm2-util --import "$keys/cert-key.pem" --token throwaway --label signing --id 01 --pin 1234 \
      >/dev/null && rm "$keys/cert-key.pem" "$keys/root-key.pem" &&
    chmod 600 "$keys"/*.* "$keys"/{password,pin,wrong} ||
    { echo "cannot make a throwaway key" >&2; return 1; }
}

# A time stamp authority on 127.0.0.1 that answers with openssl ts, signing with the key tsa of
# $1, whose certificate no store knows; it writes its port to $1/tsa.port, and its process is
# tsa_process.
start_time_stamps() {
  printf '[tsa]\ndefault_tsa = t\n[t]\nserial = %s/tsa.serial\nsigner_digest = sha256\n' "$1" >"$1/tsa.cnf"
  printf 'default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n' >>"$1/tsa.cnf"
  /usr/bin/python3 -I -S -c '
import http.server, subprocess, sys
keys = sys.argv[1]
class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", keys + "/tsa.cnf", "-queryfile",
                                "/dev/stdin", "-signer", keys + "/tsa.pem", "-inkey", keys + "/tsa-key.pem",
                                "-out", "/dev/stdout"], input=query, capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *arguments):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
print(server.server_port, flush=True)
server.serve_forever()' "$1" >"$1/tsa.port" &
  tsa_process=$!
  for _ in {1..100}; do [ ! -s "$1/tsa.port" ] || return 0; sleep 0.1; done
  echo "the time stamp authority did not start" >&2
  return 1
}
token=(PROTOSWITCH_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so
       "PROTOSWITCH_SIGN_PKCS11_KEY=pkcs11:token=throwaway;object=signing;type=private")

# Expects the signed release in $1 to verify against the throwaway root in $3, to hold its signed
# exe in the ZIP, and to give back the unsigned release's bytes ($2) with the signature taken off.
expect_signed() {
  local signed=$1 unsigned=$2 keys=$3 file
  osslsigncode verify -CAfile "$keys/root.pem" -TSA-CAfile "$keys/tsa.pem" \
    -in "$signed/protoswitch.exe" >/dev/null ||
    { echo "the signature does not verify against the throwaway root" >&2; return 1; }
  rm -rf "$keys/zip" "$keys/stripped.exe"
  osslsigncode remove-signature -in "$signed/protoswitch.exe" -out "$keys/stripped.exe" \
    >/dev/null || return 1
  for file in "$keys/stripped.exe" "$signed/protoswitch-unsigned.exe"; do
    cmp "$file" "$unsigned/protoswitch.exe" ||
      { echo "not the unsigned release's bytes: $file" >&2; return 1; }
  done
  mkdir "$keys/zip" && (cd "$keys/zip" && cmake -E tar xf "$signed/$zip") &&
    cmp "$keys/zip/protoswitch.exe" "$signed/protoswitch.exe" ||
    { echo "the ZIP does not hold the signed exe" >&2; return 1; }
  (cd "$signed" && sha256sum --check --quiet SHA256SUMS)
}

# Expects the signature pinned in the clone $1 to give the signed release in $3 when attached to
# the unsigned one in $2.
expect_pinned() {
  rm -f "$keys/pinned.exe"
  "$1/scripts/attach-signature" "$2/protoswitch.exe" "$1/$pin" "$keys/pinned.exe" &&
    cmp "$keys/pinned.exe" "$3/protoswitch.exe" ||
    { echo "the signature pinned in the sources is not the one the release attached" >&2; return 1; }
}

# Releases of the clone $1 signed with the throwaway key in $3, named as a publisher may (from
# the folder of the keys, the password through a pipe), time-stamped: with the PKCS#12 file, then
# on the token, into the same folder $4. Each must be signed as expect_signed says. A key
# file others may read is warned of. What follows $4 runs the release (osslsigncode of another
# version in place).
check_signing() {
  local clone=$1 unsigned=$2 keys=$3 out=$4 said
  shift 4
  git -C "$clone" checkout -q --detach "v$version" || return 1  # as a publisher releases the tag
  chmod 644 "$keys/cert.p12"
  said=$(cd "$keys" && PROTOSWITCH_SIGN_PKCS12=cert.p12 PROTOSWITCH_SIGN_PASSWORD_FILE=<(cat password) \
    PROTOSWITCH_SIGN_TIMESTAMP="http://127.0.0.1:$(cat tsa.port)/" "$@" "$clone/scripts/release" "$out" \
    2>&1 >/dev/null) &&
    expect_signed "$keys/$out" "$unsigned" "$keys" || return 1
  chmod 600 "$keys/cert.p12"
  [[ $said == *"warning: other users may read $keys/cert.p12"* ]] ||
    { echo "no warning of a key others may read: $said" >&2; return 1; }
  # The signature the release pins is the one it attached; another signing waits until it is
  # committed or gone.
  expect_pinned "$clone" "$unsigned" "$keys/$out" && rm "$clone/$pin" &&
    { git -C "$clone" checkout -q -- "$pin" 2>/dev/null || true; } || return 1
  said=$(cd "$keys" && env "${token[@]}" PROTOSWITCH_SIGN_CERT=chain.pem PROTOSWITCH_SIGN_PASSWORD_FILE=pin \
    PROTOSWITCH_SIGN_TIMESTAMP="http://127.0.0.1:$(cat tsa.port)/" "$@" "$clone/scripts/release" \
    "$out") && expect_signed "$keys/$out" "$unsigned" "$keys" && expect_pinned "$clone" "$unsigned" "$keys/$out" ||
    return 1
  # The publisher commits it as the release prints, after the tag.
  (cd "$clone" && eval "$(sed -n 's/^  \(git add .*\)/\1/p' <<<"$said")" >/dev/null) ||
    { echo "the release printed no command that commits its signature: $said" >&2; return 1; }
  echo "$("$@" osslsigncode --version | sed -n '1s/,.*//p'): signed with a PKCS#12 file and on a token," \
    "through an intermediate and time-stamped, verified, and the same bytes again unsigned"
}

# Puts the hash of the download's file $1 on its line of SHA256SUMS.
rehash() {
  local hash
  read -r hash _ < <(sha256sum "$1")
  sed -i "s/^[0-9a-f]*  ${1//./\\.}\$/$hash  $1/" SHA256SUMS
}

# Writes the ZIP $1 of the entries given as NAME=FILE (FILE: its content).
write_zip() {
  /usr/bin/python3 -I -S -W ignore - "$@" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as archive:
    for entry in sys.argv[2:]:
        name, path = entry.split("=", 1)
        archive.writestr(name, open(path, "rb").read())
EOF
}

# Rewrites the signature of the download's protoswitch.exe where its signer's key does not reach,
# as tests/tamper's signature-$1 says, and attaches it as the release does; the ZIP goes, and
# SHA256SUMS follows.
rewrite_signature() {
  osslsigncode extract-signature -pem -in protoswitch.exe -out signature.pem >/dev/null &&
    osslsigncode remove-signature -in protoswitch.exe -out bare.exe >/dev/null &&
    "$tests/tamper" "signature-$1" signature.pem "$keys" &&
    "$clone/scripts/attach-signature" bare.exe signature.pem rewritten.exe &&
    mv rewritten.exe protoswitch.exe && rm signature.pem bare.exe "$zip" && rehash protoswitch.exe
}

# The SHA-256 fingerprint of the certificate in the PEM file $1, as check-release writes it.
fingerprint() {
  local hash
  read -r hash _ < <(openssl x509 -in "$1" -outform DER | sha256sum)
  echo "$hash"
}

# README.md's check recipe, word for word, on downloads next to the clone $1: the signed release
# in $2 (signed on the token, through an intermediate, time-stamped), the unsigned one in $3, each
# as published (all but protoswitch-unsigned.exe) and then tampered with as a row says. Each row
# names the fault it catches, and ends with the status and the line it names. The check runs in
# an environment that would mislead it (a relative PATH to programs beside the download, git
# settings that turn line ends and name another repository, build settings, a time), and nothing
# of the download may run; the genuine download is checked with a relative TMPDIR whose name
# holds a quote. Only the rows whose names match the pattern $5 run, with what follows $5 in front
# of the check (osslsigncode of another version in place). $4: the keys; $reachable: that TMPDIR.
check_download() {
  local clone=$1 signed=$2 unsigned=$3 keys=$4 only=$5 download=$4/download row status expected
  local said expected_status row_status variables others compiler publisher program limit
  local tagged pinned intruder
  local form="scripts/check-release: the signature of protoswitch.exe is not the one the publisher committed ($pin of commit *)"
  local beside="scripts/check-release: $download holds" alone="which is no file of a release: check a folder that holds the download alone"
  local entries=(LICENSE.txt=good/LICENSE.txt README.txt=good/README.txt protoswitch.exe=good/protoswitch.exe)
  shift 5
  compiler=$(dpkg-query -W -f '${Version}' g++-mingw-w64-i686-posix)
  tagged=$(git -C "$clone" rev-parse "refs/tags/v$version^{commit}") &&
    pinned=$(git -C "$clone" rev-parse HEAD) || return 1
  publisher=$(fingerprint "$keys/cert.pem") &&
    mkdir -p "$keys/home" && printf '[core]\n\tautocrlf = true\n' >"$keys/home/.gitconfig" || return 1
  local rows=(
    "genuine, the root of its publisher and its time stamp in no store, checked by root in another user's clone|0|OK: the download is protoswitch $version, tag v$version (commit *), signed by SHA-256 $publisher (CN=protoswitch throwaway publisher), with the signature of commit $pinned"
    "a second program in a local entry of the ZIP that its directory does not list|1|scripts/check-release: $zip is not the ZIP the sources give, with the signed executable"
    "a payload inside the certificate table, its length grown|1|$form"
    "an unauthenticated blob added to the signature|1|$form"
    "a new time stamp from the publisher's server|1|$form"
    "signature rewritten: two-digests|1|$form"
    "signature rewritten: signature-parameters|1|$form"
    "signature rewritten: digest-parameters|1|$form"
    "signature rewritten: version-3|1|$form"
    "signature rewritten: root-carried|1|$form"
    "signature rewritten: intermediate-dropped|1|$form"
    "signature rewritten: signer-ten-times|1|$form"
    "signature rewritten: certificates-swapped|1|$form"
    "signature rewritten: no-time-stamp|1|$form"
    "signature rewritten: time-stamp-extra-certificate|1|$form"
    "signature rewritten: time-stamp-look-alike-root|1|$form"
    "signature rewritten: time-stamp-unsigned-attribute|1|$form"
    "signature rewritten: long-length-in-signed-attributes|1|$form"
    "re-signed by the publisher's intermediate, a certificate authority|1|$form"
    "a file beside the release: version.dll|1|$beside 'version.dll', $alone"
    "a file beside the release: protoswitch.exe.manifest|1|$beside 'protoswitch.exe.manifest', $alone"
    "a file beside the release: protoswitch.cmd|1|$beside 'protoswitch.cmd', $alone"
    "a file beside the release: protoswitch․exe|1|$beside 'protoswitch\\\\u2024exe', $alone"
    "a folder at protoswitch.exe|1|scripts/check-release: protoswitch.exe is not a regular file of a release's size"
    "the ZIP alone, a ZIP bomb, in less than 300 MiB|1|scripts/check-release: $zip holds no protoswitch.exe that can be read"
    "the ZIP alone, a bzip2 bomb, in less than 300 MiB|1|scripts/check-release: $zip holds a protoswitch.exe compressed with method 12, where a release's is deflated"
    "the clone at the tag, without the publisher's later commits|2|scripts/check-release: cannot tell: protoswitch.exe is signed, but the clone's commit $tagged holds no $pin, the signature the publisher commits after a signed release: pull the publisher's commits (git pull) and check again"
    "the tag's build, which writes who runs it|1|scripts/check-release: $source_file is not the one a release of the tag writes"
    "re-signed by a look-alike, another key with the publisher's subject|1|$form"
    "re-signed, its line dropped|1|scripts/check-release: protoswitch.exe has no line in SHA256SUMS"
    "a byte of the signed executable changed|1|scripts/check-release: protoswitch.exe is not the executable the sources give, with its signature attached"
    "an untagged commit|1|scripts/check-release: the release names commit *, but the tag v$version is commit *"
    "the -source.txt's time moved|1|scripts/check-release: $source_file is not the one a release of the tag writes"
    "a second built-on line|1|scripts/check-release: $source_file is not the one a release of the tag writes"
    "a SHA256SUMS line that names two files|1|scripts/check-release: protoswitch.exe has no line in SHA256SUMS"
    "SHA256SUMS with CR LF line ends|1|scripts/check-release: SHA256SUMS has Windows line ends (CR LF) where a release writes LF: use it as published"
    "no temporary folder where TMPDIR says|2|scripts/check-release: cannot tell: no temporary folder can be made in /nonexistent: No such file or directory"
    "the ZIP alone, its entries flagged as encrypted|1|scripts/check-release: $zip holds no protoswitch.exe that can be read"
    "the ZIP alone, with entries that climb out and an absolute one|1|scripts/check-release: $zip is not the ZIP the sources give, with the signed executable"
    "unsigned, a certificate table of junk added|1|$form"
    "unsigned, a byte changed|1|scripts/check-release: protoswitch.exe is not the executable the sources give"
    "unsigned, a byte changed, checked by root while another user writes into TMPDIR|1|scripts/check-release: protoswitch.exe is not the executable the sources give"
    "unsigned, a byte changed, another compiler|2|scripts/check-release: cannot tell: protoswitch.exe is not the executable the sources give, but this machine builds with another toolchain (g++-mingw-w64-i686-posix $compiler here, 1.0-1 in the release): *"
    "unsigned, no toolchain named|0|OK: * unsigned"
  )
  status=0
  for row in "${rows[@]}"; do
    IFS='|' read -r row expected_status expected <<<"$row"
    [[ $row =~ $only ]] || continue
    rm -rf "$download" /tmp/protoswitch-escaped /tmp/protoswitch-escaped-absolute "$keys/touched" \
      "$keys/bin" /tmp/protoswitch-build-uid
    mkdir -p "$download" "$keys/bin" || return 1
    if [[ $row == unsigned* ]]; then
      cp "$unsigned"/{protoswitch.exe,protoswitch-*,SHA256SUMS} "$download/"
    else
      cp "$signed"/{protoswitch.exe,protoswitch-*,SHA256SUMS} "$download/"
    fi
    rm "$download/protoswitch-unsigned.exe"
    for program in stat git; do
      printf '#!/bin/sh\ntouch %q\n' "$keys/touched" >"$keys/bin/$program" && chmod +x "$keys/bin/$program"
    done
    (
      cd "$download" && mkdir good && (cd good && cmake -E tar xf "../$zip") && case $row in
        *"local entry"*) "$tests/tamper" hidden-entry "$zip" /bin/true && rehash "$zip" ;;
        *"inside the certificate table"*)
          "$tests/tamper" padded-table protoswitch.exe && rm "$zip" && rehash protoswitch.exe ;;
        *"signature rewritten: "*) rewrite_signature "${row#*: }" ;;
        *"beside the release: "*) echo "another program's" >"${row#*: }" ;;
        *"folder at protoswitch.exe") rm protoswitch.exe && mkdir protoswitch.exe ;;
        *"ZIP bomb"*) rm protoswitch.exe && "$tests/tamper" bomb "$zip" && rehash "$zip" ;;
        *"bzip2 bomb"*) rm protoswitch.exe && "$tests/tamper" bzip2-bomb "$zip" && rehash "$zip" ;;
        *"without the publisher's later commits") git -C "$clone" checkout -q --detach "$tagged" ;;
        *"new time stamp"*)
          osslsigncode add -ts "http://127.0.0.1:$(cat "$keys/tsa.port")/" -in protoswitch.exe \
            -out stamped.exe >/dev/null && mv stamped.exe protoswitch.exe && rm "$zip" &&
            rehash protoswitch.exe ;;
        *"who runs it")
          printf 'id -u >/tmp/protoswitch-build-uid\n' >>"$clone/scripts/release" &&
            git -C "$clone" -c user.name=test -c user.email=test@protoswitch.invalid \
              commit -q -a -m "writes who runs it" && git -C "$clone" tag -f "v$version" >/dev/null &&
            sed -i "s/^commit .*/commit $(git -C "$clone" rev-parse HEAD)/" "$source_file" &&
            rehash "$source_file" ;;
        *"unauthenticated blob"*)
          osslsigncode add -addUnauthenticatedBlob -in protoswitch.exe -out blob.exe >/dev/null &&
            mv blob.exe protoswitch.exe && rm "$zip" && rehash protoswitch.exe ;;
        re-signed*)
          signer=other && { [[ $row != *intermediate* ]] || signer=intermediate; } &&
            osslsigncode remove-signature -in protoswitch.exe -out bare.exe >/dev/null &&
            osslsigncode sign -certs "$keys/$signer.pem" -key "$keys/$signer-key.pem" -h sha256 \
              -in bare.exe -out protoswitch.exe.new >/dev/null && mv protoswitch.exe.new protoswitch.exe &&
            rm "$zip" bare.exe && rehash protoswitch.exe ;;&
        *dropped) sed -i '/  protoswitch[.]exe$/d' SHA256SUMS ;;
        "a byte of the signed"*)
          printf 'x' | dd of=protoswitch.exe bs=1 seek=1024 conv=notrunc status=none && rm "$zip" &&
            rehash protoswitch.exe ;;
        *untagged*)
          printf 'touch %q\n' "$keys/touched" >>"$clone/scripts/release" &&
            git -C "$clone" -c user.name=test -c user.email=test@protoswitch.invalid \
              commit -q -a -m "touches a file" &&
            sed -i "s/^commit .*/commit $(git -C "$clone" rev-parse HEAD)/" "$source_file" &&
            git -C "$clone" checkout -q --detach "refs/tags/v$version" && rehash "$source_file" ;;
        *"time moved") sed -i 's/^SOURCE_DATE_EPOCH /&1/' "$source_file" && rehash "$source_file" ;;
        *"built-on line") sed -i '4p' "$source_file" && rehash "$source_file" ;;
        *"two files") sed -i "s/  protoswitch[.]exe\$/& $zip/" SHA256SUMS ;;
        *"CR LF"*) sed -i 's/$/\r/' SHA256SUMS ;;
        *encrypted) rm protoswitch.exe && "$tests/tamper" encrypted "$zip" && rehash "$zip" ;;
        *climb*) rm protoswitch.exe && write_zip "$zip" "${entries[@]}" \
          ../../protoswitch-escaped=good/README.txt /tmp/protoswitch-escaped-absolute=good/README.txt &&
          rehash "$zip" ;;
        *junk*) "$tests/tamper" junk-table protoswitch.exe && rm "$zip" && rehash protoswitch.exe ;;
        *"byte changed"*)
          printf 'x' | dd of=protoswitch.exe bs=1 seek=300 conv=notrunc status=none &&
            rm "$zip" && rehash protoswitch.exe ;;&
        *"another compiler")
          sed -i "s/^built with g++-mingw-w64-i686-posix .*/built with g++-mingw-w64-i686-posix 1.0-1/" \
            "$source_file" && rehash "$source_file" ;;
        *"no toolchain"*) sed -i '/^built /d' "$source_file" && rehash "$source_file" ;;
      esac && rm -r good
    ) || { echo "cannot tamper with a download: $row" >&2; return 1; }
    ln -sfn "$clone" "$keys/protoswitch" || return 1
    intruder=
    if [[ $row == *"another user writes"* ]] && [ "$(id -u)" -eq 0 ]; then
      # Every few milliseconds, nobody tries to put the altered executable where the check builds.
      : >"$reachable.log" && chmod 666 "$reachable.log" &&
        cp "$download/protoswitch.exe" "$reachable.exe" && chmod 644 "$reachable.exe" || return 1
      setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'while :; do
          for d in "$0"/check-release.*; do
            touch "$d/intruded" 2>/dev/null && echo "entered $d" >>"$1"
            cp "$2" "$d/built/protoswitch.exe" 2>/dev/null && echo "wrote into $d" >>"$1"
          done; sleep 0.01; done' "$reachable" "$reachable.log" "$reachable.exe" &
      intruder=$!
    fi
    if [[ $row == genuine* ]] && [ "$(id -u)" -eq 0 ]; then
      # Root checks a clone of another user's, which git reads for its owner alone.
      others=$(mktemp -d) && chmod 755 "$others" && cp -a "$clone" "$others/protoswitch" &&
        chown -R 65534:65534 "$others/protoswitch" && ln -sfn "$others/protoswitch" "$keys/protoswitch" ||
        return 1
    fi
    variables=(PATH="../bin:.:$PATH" HOME="$keys/home" GIT_DIR=/nonexistent SOURCE_DATE_EPOCH=1
               CXXFLAGS=-fno-inline PROTOSWITCH_RELEASED_EXE=/bin/true)
    [[ $row != *TMPDIR* ]] || variables+=(TMPDIR=/nonexistent)
    # Relative, and where the unprivileged user who builds may enter.
    [[ $row != genuine* && $row != *"another user writes"* ]] ||
      variables+=(TMPDIR="$(realpath --relative-to="$download" "$reachable")")
    limit=()
    [[ $row != *"300 MiB" ]] || limit=(/usr/bin/time -f %M -o "$keys/memory")
    said=$(cd "$download" && env "${variables[@]}" "$@" "${limit[@]}" ../protoswitch/scripts/check-release \
      2>"$keys/said") && row_status=0 || row_status=$?
    [ "$row_status" -eq 0 ] || said=$(cat "$keys/said")
    [ -z "${others:-}" ] || rm -rf "$others"
    others=
    [ -z "$intruder" ] || kill "$intruder"
    git -C "$clone" tag -f "v$version" "$tagged" >/dev/null && git -C "$clone" checkout -q --detach "$pinned" ||
      return 1
    if [ "$row_status" != "$expected_status" ] || [[ ${said##*$'\n'} != $expected ]] ||
      { [ "$row_status" -ne 0 ] && [ "$(wc -l <<<"$said")" -ne 1 ]; }; then
      echo "check-release on a download, $row: status $row_status, not $expected_status, or not the line expected:" >&2
      printf '%s\n' "$said" >&2
      status=1
    elif [ -e /tmp/protoswitch-escaped ] || [ -e /tmp/protoswitch-escaped-absolute ] ||
      [ -e "$keys/touched" ]; then
      echo "check-release on a download, $row: wrote outside its folder, or ran a program of the download or the untagged commit" >&2
      status=1
    elif [ -n "$intruder" ] && [ -s "$reachable.log" ]; then
      echo "check-release on a download, $row: another user reached the build: $(sed -n 1p "$reachable.log")" >&2
      status=1
    elif [[ $row == *"300 MiB" ]] && ! (($(tail -n 1 "$keys/memory") < 300 << 10)); then
      echo "check-release on a download, $row: it took $(tail -n 1 "$keys/memory") KiB" >&2
      status=1
    elif [[ $row == *"who runs it" ]] && [ "$(cat /tmp/protoswitch-build-uid 2>/dev/null)" = 0 ]; then
      echo "check-release on a download, $row: the tag's build ran as root" >&2
      status=1
    else
      echo "$row: ${said##*$'\n'}"
    fi
  done
  return $status
}

# DIR's files but those of its build tree, each with its hash.
listing() {
  (cd "$1" && find . -path ./build -prune -o -print0 | sort -z | xargs -0 -r stat -c '%n %F %s' &&
    find . -path ./build -prune -o -type f -print0 | sort -z | xargs -0 -r sha256sum)
}

# Every way a release is refused or fails ends it with one line, and leaves the files of DIR as
# they were: a signed release of this version, $2, with files of other versions and programs.
# $1: the clone; $3: the keys of check_signing.
check_refusals() {
  local clone=$1 good=$2 keys=$3 dir=$3/refused row words error status silent before
  # A time stamp server that takes the question and never answers.
  /usr/bin/python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True); time.sleep(120)' >"$keys/silent" &
  silent=$!
  for _ in {1..100}; do [ ! -s "$keys/silent" ] || break; sleep 0.1; done
  [ -s "$keys/silent" ] || { echo "the silent time stamp server did not start" >&2; return 1; }
  local pkcs12="PROTOSWITCH_SIGN_PKCS12=$keys/cert.p12" pin="PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/pin"
  local stamps="PROTOSWITCH_SIGN_TIMESTAMP=http://127.0.0.1:$(cat "$keys/tsa.port")/"
  local rows=(
    "SOURCE_DATE_EPOCH=abc"
    "SOURCE_DATE_EPOCH=1733700000000"
    "GIT_DIR=/nonexistent"
    "$pkcs12 PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/wrong $stamps"
    "$pkcs12 PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/password"
    "PROTOSWITCH_SIGN_PKCS12=$keys/missing.p12 PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/password"
    "$pkcs12 PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/missing"
    "$pkcs12 ${token[*]} PROTOSWITCH_SIGN_CERT=$keys/chain.pem $pin"
    "${token[*]} PROTOSWITCH_SIGN_CERT=$keys/chain.pem PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/wrong $stamps"
    "${token[*]} PROTOSWITCH_SIGN_CERT=$keys/chain.pem $pin PROTOSWITCH_SIGN_TIMESTAMP=http://127.0.0.1:1/"
    "${token[*]} PROTOSWITCH_SIGN_CERT=$keys/chain.pem $pin PROTOSWITCH_SIGN_TIME_LIMIT=2
     PROTOSWITCH_SIGN_TIMESTAMP=http://127.0.0.1:$(cat "$keys/silent")/"
    "another release's SHA256SUMS"
    "a build tree not of these sources"
    "a folder at the -source.txt's name"
  )
  status=0
  for row in "${rows[@]}"; do
    rm -rf "$dir"
    mkdir -p "$dir" && cp -r "$good"/{protoswitch.exe,protoswitch-*,SHA256SUMS,build} "$dir/" &&
      echo "0.9.0, out" >"$dir/protoswitch-0.9.0-win32.zip" && echo mine >"$dir/notes.txt" &&
      echo "another program's" >"$dir/signing.exe" || { kill "$silent"; return 1; }
    case $row in
      another*) sed -i 's/-1[.0-9]*-win32/-0.9.0-win32/' "$dir/SHA256SUMS" ;;
      "a build tree"*) rm -r "$dir/build" && mkdir "$dir/build" && touch "$dir/build/Makefile" ;;
      "a folder"*) rm "$dir/$source_file" && mkdir "$dir/$source_file" ;;
    esac
    before=$(listing "$dir")
    read -ra words <<<"${row//[$'\n']/ }"
    [[ $row == *=* ]] || words=()
    if error=$(cd "$clone" && env "${words[@]}" scripts/release "$dir" 2>&1 >/dev/null); then
      echo "a release not refused: $row" >&2
      status=1
    elif [ "$(wc -l <<<"$error")" -ne 1 ] || [[ $error != "scripts/release: "* ]] ||
      [[ $error == *"no reason given" ]]; then
      echo "refused in more or less than one line, or without a reason ($row): $error" >&2
      status=1
    elif [ "$(listing "$dir")" != "$before" ]; then
      echo "a refused release ($row) changed the files of its folder: $(ls "$dir")" >&2
      status=1
    elif [ -e "$dir/build/protoswitch-signed.exe" ]; then
      echo "a refused release ($row) left a signature cut short" >&2
      status=1
    else
      echo "refused, in one line: $error"
    fi
  done
  kill "$silent"
  return "$status"
}

# Debian 12's own osslsigncode, 2.5-4 as apt installs it, unpacked from its package into a folder
# of its own: prints its program.
osslsigncode_25() {
  local dir=$PWD/build/osslsigncode-2.5
  if [ ! -x "$dir/usr/bin/osslsigncode" ]; then
    rm -rf "$dir" && mkdir -p "$dir" && (
      cd "$dir" && { apt-get download -q osslsigncode=2.5-4 || { apt-get update -q && apt-get download -q osslsigncode=2.5-4; }; } &&
        dpkg-deb -x osslsigncode_2.5-4_*.deb .
    ) >/dev/null 2>&1 || { echo "cannot download Debian's osslsigncode 2.5-4" >&2; return 1; }
  fi
  echo "$dir/usr/bin/osslsigncode"
}

# Signing and the checks that verify signatures, again with osslsigncode 2.5 in place of this
# machine's (a mount namespace puts it at /usr/bin/osslsigncode, which the release and the check
# reach through their fixed PATH). Where 2.5 is the one installed, all ran with it already.
check_osslsigncode_25() {
  local clone=$1 unsigned=$2 keys=$3 program with
  if [[ $(osslsigncode --version | sed -n 1p) == "osslsigncode 2.5,"* ]]; then
    echo "this machine's osslsigncode is Debian 12's 2.5: every row ran with it"
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "osslsigncode 2.5: not tried, as putting it in place needs root"
    return 0
  fi
  program=$(osslsigncode_25) || return 1
  with=(unshare -m sh -c 'mount --bind "$0" /usr/bin/osslsigncode && exec "$@"' "$program")
  check_signing "$clone" "$unsigned" "$keys" signed-2.5 "${with[@]}" &&
    check_download "$clone" "$keys/signed-2.5" "$unsigned" "$keys" '^(genuine|a byte of the signed)' \
      "${with[@]}"
}

clone=$PWD/build/release-clone
first=$PWD/build/release-1
tests=$PWD/tests
keys=$(mktemp -d)
# A TMPDIR for the checks that the unprivileged user who builds again may enter, named with a quote.
reachable=$(mktemp -d "/tmp/protoswitch'tmp.XXXXXX") && chmod 755 "$reachable"
tsa_process=
trap '[ -z "$tsa_process" ] || kill "$tsa_process" 2>/dev/null || true; rm -rf "$keys" "$reachable"*' EXIT
failed=()
make_keys "$keys" && start_time_stamps "$keys" || exit 1
say "building the Windows release twice, as two users from a clone and an archive, to compare"
check_release "$clone" "$first" "$keys" || failed+=(two-builders)
say "building it twice under reprotest's variations, the order of folder listings among them"
check_reprotest "$clone" || failed+=(reprotest)
say "signing the release with a throwaway key, in a file and on a token"
check_signing "$clone" "$first" "$keys" signed || failed+=(signing)
say "checking downloads, genuine and tampered with, as a downloader would"
check_download "$clone" "$keys/signed" "$first" "$keys" . || failed+=(check-release)
say "refusing releases that cannot be made, and leaving the files of their folder as they were"
check_refusals "$clone" "$keys/signed" "$keys" || failed+=(refusals)
say "signing and checking again with Debian 12's own osslsigncode, 2.5"
check_osslsigncode_25 "$clone" "$first" "$keys" || failed+=(osslsigncode-2.5)
if [ ${#failed[@]} -gt 0 ]; then
  say "the release checks FAILED: ${failed[*]}"
  exit 1
fi
say "the release checks passed"
