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
# user from a clone ($1, where that commit is tagged as this version's), in UTC with umask 022,
# into $2; and as another user from a git archive, nine hours east of UTC (spelled out, so that it
# needs no time zone data) with umask 077, with compiler flags and the released executable named
# in its environment. It must hold what a player needs, the text files with Windows line ends, the
# compiler it was built with, and no path of the machine it was built on nor a way in of the tests.
check_release() {
  local clone=$1 first=$2 other file text commit hook
  rm -rf "$clone" "$first"
  other=$(mktemp -d)
  # The commit is made first, so that the clone has it.
  commit=$(snapshot_commit) && git clone -q --no-checkout . "$clone" &&
    git -C "$clone" checkout -q "$commit" && git -C "$clone" tag "v$version" &&
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

# A throwaway key in $1: in a PKCS#12 file, and on a SoftHSM token of that folder's own (whose
# configuration SOFTHSM2_CONF names), with its certificate, password, PIN and a wrong one, all
# readable by their owner alone; and another signer's key and certificate.
make_keys() {
  local keys=$1
  export SOFTHSM2_CONF=$keys/softhsm2.conf
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$keys" >"$SOFTHSM2_CONF"
  mkdir "$keys/tokens" && printf 'throwaway\n' >"$keys/password" && printf '1234\n' >"$keys/pin" &&
    printf 'wrong\n' >"$keys/wrong" &&
    openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=protoswitch throwaway publisher" \
      -addext extendedKeyUsage=codeSigning -days 1 -keyout "$keys/key.pem" -out "$keys/cert.pem" \
      2>/dev/null &&
    openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Somebody Else Entirely" \
      -addext extendedKeyUsage=codeSigning -days 1 -keyout "$keys/other-key.pem" \
      -out "$keys/other-cert.pem" 2>/dev/null &&
    openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/cert.p12" \
      -passout "file:$keys/password" &&
    softhsm2-util --init-token --free --label throwaway --pin 1234 --so-pin 5678 >/dev/null &&
    softhsm2-util --import "$keys/key.pem" --token throwaway --label signing --id 01 --pin 1234 \
      >/dev/null && rm "$keys/key.pem" && chmod 600 "$keys"/* ||
    { echo "cannot make a throwaway key" >&2; return 1; }
}
token=(PROTOSWITCH_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so
       "PROTOSWITCH_SIGN_PKCS11_KEY=pkcs11:token=throwaway;object=signing;type=private")

# Expects the signed release in $1 to verify against the throwaway certificate in $3, to hold
# its signed exe in the ZIP, and to give back the unsigned release's bytes ($2) with the
# signature taken off.
expect_signed() {
  local signed=$1 unsigned=$2 keys=$3 file
  osslsigncode verify -CAfile "$keys/cert.pem" -in "$signed/protoswitch.exe" >/dev/null ||
    { echo "the signature does not verify against the certificate" >&2; return 1; }
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

# Releases of the clone $1 signed with the throwaway key in $3, named as a publisher may (from
# the folder of the keys, the password through a pipe): with the PKCS#12 file, then on the
# token, into the same folder. Each must be signed as expect_signed says. A key file others may
# read is warned of.
check_signing() {
  local clone=$1 unsigned=$2 keys=$3 said
  make_keys "$keys" || return 1
  chmod 644 "$keys/cert.p12"
  said=$(cd "$keys" && PROTOSWITCH_SIGN_PKCS12=cert.p12 \
    PROTOSWITCH_SIGN_PASSWORD_FILE=<(cat password) "$clone/scripts/release" signed 2>&1 >/dev/null) &&
    expect_signed "$keys/signed" "$unsigned" "$keys" || return 1
  chmod 600 "$keys/cert.p12"
  [[ $said == *"warning: other users may read $keys/cert.p12"* ]] ||
    { echo "no warning of a key others may read: $said" >&2; return 1; }
  (cd "$keys" && env "${token[@]}" PROTOSWITCH_SIGN_CERT=cert.pem PROTOSWITCH_SIGN_PASSWORD_FILE=pin \
    "$clone/scripts/release" signed >/dev/null) && expect_signed "$keys/signed" "$unsigned" "$keys" ||
    return 1
  echo "signed with a PKCS#12 file and on a token, verified, and the same bytes again unsigned"
}

# Puts the hash of the download's file $1 on its line of SHA256SUMS.
rehash() {
  local hash
  read -r hash _ < <(sha256sum "$1")
  sed -i "s/^[0-9a-f]*  ${1//./\\.}\$/$hash  $1/" SHA256SUMS
}

# Writes the ZIP $1 of the entries given as NAME=FILE (FILE: its content; NAME@TARGET: a link).
write_zip() {
  /usr/bin/python3 -I -S -W ignore - "$@" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as archive:
    for entry in sys.argv[2:]:
        if "@" in entry:
            name, target = entry.split("@", 1)
            info = zipfile.ZipInfo(name)
            info.external_attr = 0o120777 << 16
            archive.writestr(info, target)
        else:
            name, path = entry.split("=", 1)
            archive.writestr(name, open(path, "rb").read())
EOF
}

# README.md's check recipe, word for word, on downloads next to the clone $1: the signed release
# in $2, the unsigned one in $3, each as published (all but protoswitch-unsigned.exe) and then
# tampered with as a row says. Each row ends with the status and the line it names.
check_download() {
  local clone=$1 signed=$2 unsigned=$3 keys=$4 download=$4/download row status expected said
  local expected_status row_status
  local compiler entries=(LICENSE.txt=good/LICENSE.txt README.txt=good/README.txt
                          protoswitch.exe=good/protoswitch.exe)
  compiler=$(dpkg-query -W -f '${Version}' g++-mingw-w64-i686-posix)
  ln -sfn "$clone" "$keys/protoswitch" || return 1
  local rows=(
    "genuine, checked in a shell with build settings of its own|0|OK: the download is protoswitch $version, tag v$version (commit *), signed by /CN=protoswitch throwaway publisher"
    "entries that climb and an absolute one|1|scripts/check-release: $zip holds other entries than LICENSE.txt, README.txt and protoswitch.exe"
    "links for entries|1|scripts/check-release: $zip holds * as a link or folder, not a plain file"
    "each entry twice, a fake first|1|scripts/check-release: $zip holds an entry twice"
    "re-signed, its line dropped|1|scripts/check-release: protoswitch.exe has no line in SHA256SUMS"
    "re-signed by another|0|OK: * signed by /CN=Somebody Else Entirely"
    "a byte of the signature changed|1|scripts/check-release: the signature of protoswitch.exe does not verify: *"
    "an untagged commit|1|scripts/check-release: the release names commit *, but the tag v$version is commit *"
    "a name not of the release|1|scripts/check-release: SHA256SUMS names a file that is not of protoswitch $version's release"
    "unsigned, a byte changed|1|scripts/check-release: protoswitch.exe is not the executable the sources give, signature taken off"
    "unsigned, a byte changed, another compiler|2|scripts/check-release: cannot tell: protoswitch.exe is not the executable the sources give, signature taken off, but this machine builds with another toolchain (g++-mingw-w64-i686-posix $compiler here, 1.0-1 in the release): *"
    "unsigned, no toolchain named|0|OK: * unsigned"
  )
  status=0
  for row in "${rows[@]}"; do
    IFS='|' read -r row expected_status expected <<<"$row"
    rm -rf "$download" /tmp/protoswitch-escaped /tmp/protoswitch-escaped-absolute "$keys/touched"
    mkdir "$download" || return 1
    if [[ $row == unsigned* ]]; then
      cp "$unsigned"/{protoswitch.exe,protoswitch-*,SHA256SUMS} "$download/"
    else
      cp "$signed"/{protoswitch.exe,protoswitch-*,SHA256SUMS} "$download/"
    fi
    rm "$download/protoswitch-unsigned.exe"
    (
      cd "$download" && mkdir good && (cd good && cmake -E tar xf "../$zip") && case $row in
        *climb*) write_zip "$zip" "${entries[@]}" ../../protoswitch-escaped=good/README.txt \
          /tmp/protoswitch-escaped-absolute=good/README.txt && rehash "$zip" ;;
        links*) write_zip "$zip" LICENSE.txt@../built-zip/LICENSE.txt README.txt@../built-zip/README.txt \
          protoswitch.exe@../built/protoswitch-unsigned.exe && rehash "$zip" ;;
        *twice*) write_zip "$zip" {LICENSE.txt,README.txt,protoswitch.exe}=good/README.txt \
          "${entries[@]}" && rehash "$zip" ;;
        re-signed*)
          osslsigncode remove-signature -in protoswitch.exe -out bare.exe >/dev/null &&
            osslsigncode sign -certs "$keys/other-cert.pem" -key "$keys/other-key.pem" -h sha256 \
              -in bare.exe -out protoswitch.exe.new >/dev/null && mv protoswitch.exe.new protoswitch.exe &&
            rm "$zip" bare.exe && rehash protoswitch.exe ;;&
        *dropped) sed -i '/  protoswitch[.]exe$/d' SHA256SUMS ;;
        "a byte of the signature"*)
          printf 'x' | dd of=protoswitch.exe bs=1 seek=$(($(stat -c %s protoswitch.exe) - 300)) \
            conv=notrunc status=none && rm "$zip" && rehash protoswitch.exe ;;
        *untagged*)
          printf 'touch %q\n' "$keys/touched" >>"$clone/scripts/release" &&
            git -C "$clone" -c user.name=test -c user.email=test@protoswitch.invalid \
              commit -q -a -m "touches a file" &&
            sed -i "s/^commit .*/commit $(git -C "$clone" rev-parse HEAD)/" "$source_file" &&
            git -C "$clone" checkout -q "v$version" && rehash "$source_file" ;;
        *"not of the release"*) printf '%064d  /dev/zero\n' 0 >>SHA256SUMS ;;
        *"byte changed"*)
          printf 'x' | dd of=protoswitch.exe bs=1 seek=300 conv=notrunc status=none &&
            rm "$zip" && rehash protoswitch.exe ;;&
        *"another compiler")
          sed -i "s/^built with g++-mingw-w64-i686-posix .*/built with g++-mingw-w64-i686-posix 1.0-1/" \
            "$source_file" && rehash "$source_file" ;;
        *"no toolchain"*) sed -i '/^built /d' "$source_file" && rehash "$source_file" ;;
      esac && rm -r good
    ) || { echo "cannot tamper with a download: $row" >&2; return 1; }
    said=$(cd "$download" && SOURCE_DATE_EPOCH=1 CXXFLAGS=-fno-inline PROTOSWITCH_RELEASED_EXE=/bin/true \
      ../protoswitch/scripts/check-release 2>"$keys/said") && row_status=0 || row_status=$?
    [ "$row_status" -eq 0 ] || said=$(cat "$keys/said")
    if [ "$row_status" != "$expected_status" ] || [[ ${said##*$'\n'} != $expected ]] ||
      { [ "$row_status" -ne 0 ] && [ "$(wc -l <<<"$said")" -ne 1 ]; }; then
      echo "check-release on a download, $row: status $row_status, not $expected_status, or not the line expected:" >&2
      printf '%s\n' "$said" >&2
      status=1
    elif [ -e /tmp/protoswitch-escaped ] || [ -e /tmp/protoswitch-escaped-absolute ] ||
      [ -e "$keys/touched" ]; then
      echo "check-release on a download, $row: wrote outside its folder, or ran the release's script" >&2
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
  local rows=(
    "SOURCE_DATE_EPOCH=abc"
    "GIT_DIR=/nonexistent"
    "$pkcs12 PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/wrong"
    "PROTOSWITCH_SIGN_PKCS12=$keys/missing.p12 PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/password"
    "$pkcs12 PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/missing"
    "$pkcs12 ${token[*]} PROTOSWITCH_SIGN_CERT=$keys/cert.pem $pin"
    "${token[*]} PROTOSWITCH_SIGN_CERT=$keys/cert.pem PROTOSWITCH_SIGN_PASSWORD_FILE=$keys/wrong"
    "${token[*]} PROTOSWITCH_SIGN_CERT=$keys/cert.pem $pin PROTOSWITCH_SIGN_TIMESTAMP=http://127.0.0.1:1/"
    "${token[*]} PROTOSWITCH_SIGN_CERT=$keys/cert.pem $pin PROTOSWITCH_SIGN_TIME_LIMIT=2
     PROTOSWITCH_SIGN_TIMESTAMP=http://127.0.0.1:$(cat "$keys/silent")/"
    "another release's SHA256SUMS"
    "a build tree not of these sources"
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

clone=$PWD/build/release-clone
first=$PWD/build/release-1
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
failed=()
say "building the Windows release twice, as two users from a clone and an archive, to compare"
check_release "$clone" "$first" || failed+=(two-builders)
say "building it twice under reprotest's variations, the order of folder listings among them"
check_reprotest "$clone" || failed+=(reprotest)
say "signing the release with a throwaway key, in a file and on a token"
check_signing "$clone" "$first" "$keys" || failed+=(signing)
say "checking downloads, genuine and tampered with, as a downloader would"
check_download "$clone" "$keys/signed" "$first" "$keys" || failed+=(check-release)
say "refusing releases that cannot be made, and leaving the files of their folder as they were"
check_refusals "$clone" "$keys/signed" "$keys" || failed+=(refusals)
if [ ${#failed[@]} -gt 0 ]; then
  say "the release checks FAILED: ${failed[*]}"
  exit 1
fi
say "the release checks passed"
